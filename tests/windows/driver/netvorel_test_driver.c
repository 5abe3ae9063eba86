// A packet driver for the Wine tests: it keeps the driver's side of the library's contract without a network.
// One device object per entry of its service's Linkage\Export (read as it starts). On those devices: the OID
// request is recorded and answered with success (or held back until the test completes it); reads take what the
// test queued on the control device, in order, and pend (cancellable) while nothing is queued. Wine sends no
// IRP_MJ_CLEANUP and closes a file with its reads still pending, so close ends them (and a held-back request) too.
#include <ntddk.h>

#include "test_driver_control.h"

#define POOL_TAG 0x7473564Eu  // "NVst"

typedef struct {
    LIST_ENTRY link;
    NETVOREL_TEST_READ read;
    ULONG length;
    UCHAR bytes[1];
} QUEUED_READ;

static KSPIN_LOCK lock;
static LIST_ENTRY queue;    // QUEUED_READ
static LIST_ENTRY pending;  // IRPs, by Tail.Overlay.ListEntry
static NETVOREL_TEST_STATE state;
static PDEVICE_OBJECT controlDevice;
static PIRP pendingOid;  // the OID request held back while pendOid is set

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Fills a read from the first queued entry (lock held); its status is left in the IRP.
static void Fill(PIRP irp) {
    QUEUED_READ* entry = CONTAINING_RECORD(queue.Flink, QUEUED_READ, link);
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG bytes = entry->length < room ? entry->length : room;
    if (entry->read.status != 0) {
        irp->IoStatus.Status = (NTSTATUS)entry->read.status;
        irp->IoStatus.Information = 0;
    } else {
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, entry->bytes, bytes);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = bytes;
    }
    ++state.readsServed;
    if (entry->read.repeats != 0 && --entry->read.repeats == 0) {
        RemoveEntryList(&entry->link);
        --state.queued;
        ExFreePoolWithTag(entry, POOL_TAG);
    }
}

// Takes a pending read off the list unless its cancel routine already runs (which then removes it). Lock held.
static PIRP TakePending(PFILE_OBJECT file) {
    for (PLIST_ENTRY at = pending.Flink; at != &pending; at = at->Flink) {
        PIRP irp = CONTAINING_RECORD(at, IRP, Tail.Overlay.ListEntry);
        if (file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
        if (IoSetCancelRoutine(irp, NULL) == NULL) continue;
        RemoveEntryList(at);
        --state.pendingReads;
        return irp;
    }
    return NULL;
}

// Completes pending reads from the queue while both hold something.
static void Serve(void) {
    for (;;) {
        KIRQL irql;
        PIRP irp = NULL;
        KeAcquireSpinLock(&lock, &irql);
        if (!IsListEmpty(&queue) && (irp = TakePending(NULL)) != NULL) Fill(irp);
        KeReleaseSpinLock(&lock, irql);
        if (irp == NULL) return;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    --state.pendingReads;
    KeReleaseSpinLock(&lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    if (device == controlDevice) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    KeAcquireSpinLock(&lock, &irql);
    state.readDevice = *(PULONG)device->DeviceExtension;
    if (!IsListEmpty(&queue)) {
        Fill(irp);
        KeReleaseSpinLock(&lock, irql);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&lock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&pending, &irp->Tail.Overlay.ListEntry);
    ++state.pendingReads;
    KeReleaseSpinLock(&lock, irql);
    return STATUS_PENDING;
}

// Completes the held-back OID request (of `file`, or any when NULL) with `status`.
static void EndPendingOid(PFILE_OBJECT file, NTSTATUS status) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    PIRP irp = pendingOid;
    if (irp != NULL && (file == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == file)) {
        pendingOid = NULL;
        state.oidPending = 0;
    } else {
        irp = NULL;
    }
    KeReleaseSpinLock(&lock, irql);
    if (irp != NULL)
        Complete(irp, status, NT_SUCCESS(status) ? IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength : 0);
}

static void Reset(void) {
    KIRQL irql;
    EndPendingOid(NULL, STATUS_CANCELLED);
    KeAcquireSpinLock(&lock, &irql);
    while (!IsListEmpty(&queue)) ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&queue), QUEUED_READ, link), POOL_TAG);
    ULONG pendingReads = state.pendingReads, openFiles = state.openFiles;
    RtlZeroMemory(&state, sizeof state);
    state.pendingReads = pendingReads;
    state.openFiles = openFiles;
    KeReleaseSpinLock(&lock, irql);
}

static NTSTATUS Control(PIRP irp, PIO_STACK_LOCATION stack) {
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_NETVOREL_TEST_QUEUE: {
            if (in < sizeof(NETVOREL_TEST_READ)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            ULONG length = in - sizeof(NETVOREL_TEST_READ);
            QUEUED_READ* entry = ExAllocatePoolWithTag(NonPagedPool, sizeof(QUEUED_READ) + length, POOL_TAG);
            if (entry == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            RtlCopyMemory(&entry->read, buffer, sizeof entry->read);
            entry->length = length;
            RtlCopyMemory(entry->bytes, buffer + sizeof(NETVOREL_TEST_READ), length);
            KeAcquireSpinLock(&lock, &irql);
            InsertTailList(&queue, &entry->link);
            ++state.queued;
            KeReleaseSpinLock(&lock, irql);
            Serve();
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_NETVOREL_TEST_STATE:
            if (out < sizeof state) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            KeAcquireSpinLock(&lock, &irql);
            RtlCopyMemory(buffer, &state, sizeof state);
            KeReleaseSpinLock(&lock, irql);
            return Complete(irp, STATUS_SUCCESS, sizeof state);
        case IOCTL_NETVOREL_TEST_RESET:
            Reset();
            return Complete(irp, STATUS_SUCCESS, 0);
        case IOCTL_NETVOREL_TEST_REFUSE_OID:
            state.refuseOid = 1;
            return Complete(irp, STATUS_SUCCESS, 0);
        case IOCTL_NETVOREL_TEST_PEND_OID:
            state.pendOid = 1;
            return Complete(irp, STATUS_SUCCESS, 0);
        case IOCTL_NETVOREL_TEST_COMPLETE_OID:
            EndPendingOid(NULL, STATUS_SUCCESS);
            return Complete(irp, STATUS_SUCCESS, 0);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI DispatchIoctl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG* request = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    if (device == controlDevice) return Control(irp, stack);
    if (code != 0x80000000 && code != 0x80000008) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    KeAcquireSpinLock(&lock, &irql);
    ++state.oidRequests;
    state.oidDevice = *(PULONG)device->DeviceExtension;
    state.controlCode = code;
    state.inputBytes = in;
    state.outputBytes = out;
    state.oid = in >= 4 ? request[0] : 0;
    state.length = in >= 8 ? request[1] : 0;
    state.data = in >= 12 ? request[2] : 0;
    ULONG refuse = state.refuseOid;
    if (!refuse && state.pendOid && pendingOid == NULL) {
        IoMarkIrpPending(irp);
        pendingOid = irp;
        state.oidPending = 1;
        KeReleaseSpinLock(&lock, irql);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&lock, irql);
    return refuse ? Complete(irp, STATUS_NOT_SUPPORTED, 0) : Complete(irp, STATUS_SUCCESS, out);
}

// Create, and close (Wine's last CloseHandle) or cleanup (Windows'): the file's pending reads end.
static NTSTATUS NTAPI DispatchFile(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (device != controlDevice && stack->MajorFunction != IRP_MJ_CLEANUP) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        stack->MajorFunction == IRP_MJ_CREATE ? ++state.openFiles : --state.openFiles;
        KeReleaseSpinLock(&lock, irql);
    }
    if (stack->MajorFunction != IRP_MJ_CREATE) {
        EndPendingOid(stack->FileObject, STATUS_CANCELLED);
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            PIRP read = TakePending(stack->FileObject);
            KeReleaseSpinLock(&lock, irql);
            if (read == NULL) break;
            Complete(read, STATUS_CANCELLED, 0);
        }
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, NETVOREL_TEST_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
    Reset();
}

// `position`: the device's place in Export, counted from 1 (0: the control device).
static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, PCWSTR name, ULONG position, PDEVICE_OBJECT* device) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    NTSTATUS status = IoCreateDevice(driver, sizeof position, &text, FILE_DEVICE_UNKNOWN, 0, position != 0, device);
    if (NT_SUCCESS(status)) {
        *(PULONG)(*device)->DeviceExtension = position;
        (*device)->Flags |= DO_BUFFERED_IO;
        (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

// A packet device for each name in <service key>\Linkage, value Export (REG_MULTI_SZ).
static NTSTATUS CreatePacketDevices(PDRIVER_OBJECT driver, PUNICODE_STRING serviceKey) {
    static const WCHAR linkage[] = L"\\Linkage";
    UNICODE_STRING path, value;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG size = 16384, got = 0;
    path.MaximumLength = (USHORT)(serviceKey->Length + sizeof linkage);
    path.Buffer = ExAllocatePoolWithTag(PagedPool, path.MaximumLength, POOL_TAG);
    PKEY_VALUE_PARTIAL_INFORMATION info = ExAllocatePoolWithTag(PagedPool, size, POOL_TAG);
    NTSTATUS status = path.Buffer != NULL && info != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) {
        RtlCopyUnicodeString(&path, serviceKey);
        RtlAppendUnicodeToString(&path, linkage);
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        status = ZwOpenKey(&key, KEY_READ, &attributes);
    }
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&value, L"Export");
        status = ZwQueryValueKey(key, &value, KeyValuePartialInformation, info, size - sizeof(WCHAR), &got);
        ZwClose(key);
    }
    if (NT_SUCCESS(status)) {
        PWCHAR names = (PWCHAR)info->Data;
        ULONG position = 0;
        names[info->DataLength / sizeof(WCHAR)] = 0;  // room kept above: the list ends even if the value does not
        for (PWCHAR name = names; NT_SUCCESS(status) && name < names + info->DataLength / sizeof(WCHAR) && *name != 0;
             name += wcslen(name) + 1) {
            PDEVICE_OBJECT device;
            status = CreateDevice(driver, name, ++position, &device);
        }
    }
    if (info != NULL) ExFreePoolWithTag(info, POOL_TAG);
    if (path.Buffer != NULL) ExFreePoolWithTag(path.Buffer, POOL_TAG);
    return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING link, target;
    KeInitializeSpinLock(&lock);
    InitializeListHead(&queue);
    InitializeListHead(&pending);
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;
    NTSTATUS status = CreateDevice(driver, NETVOREL_TEST_CONTROL_DEVICE, 0, &controlDevice);
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&link, NETVOREL_TEST_CONTROL_LINK);
        RtlInitUnicodeString(&target, NETVOREL_TEST_CONTROL_DEVICE);
        status = IoCreateSymbolicLink(&link, &target);
    }
    if (NT_SUCCESS(status)) status = CreatePacketDevices(driver, registryPath);
    if (!NT_SUCCESS(status)) Unload(driver);
    return status;
}
