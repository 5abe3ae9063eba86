// What the tests and the test packet driver share: the control device's name, its control codes and the state
// record it answers with. The includer provides CTL_CODE (winioctl.h in a program, ntddk.h in the driver).
#pragma once

#define NETVOREL_TEST_SERVICE "NetVorel"
#define NETVOREL_TEST_CONTROL_DEVICE L"\\Device\\NetVorelTestControl"
#define NETVOREL_TEST_CONTROL_LINK L"\\DosDevices\\NetVorelTestControl"
#define NETVOREL_TEST_CONTROL_FILE "\\\\.\\NetVorelTestControl"

// Input: a NETVOREL_TEST_READ header, then the bytes the read delivers. The reads of the packet devices take the
// queued entries in order; a read finding none pends until one is queued.
#define IOCTL_NETVOREL_TEST_QUEUE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: NETVOREL_TEST_STATE.
#define IOCTL_NETVOREL_TEST_STATE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Drops the queued entries, the recorded request and a refusal; pending reads and open files stay.
#define IOCTL_NETVOREL_TEST_RESET CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
// From now until a reset, OID requests are recorded and then refused (STATUS_NOT_SUPPORTED).
#define IOCTL_NETVOREL_TEST_REFUSE_OID CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)

// From now until a reset, an OID request pends (one at a time) until IOCTL_NETVOREL_TEST_COMPLETE_OID.
#define IOCTL_NETVOREL_TEST_PEND_OID CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes the pending OID request with success.
#define IOCTL_NETVOREL_TEST_COMPLETE_OID CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct {
    ULONG status;   // 0: complete the read with the bytes; otherwise fail it with this NTSTATUS
    ULONG repeats;  // reads this entry serves; 0: every read until a reset
} NETVOREL_TEST_READ;

typedef struct {
    ULONG oidRequests;  // OID requests seen since the last reset; the last one follows
    ULONG oidDevice;    // the device it came to: its place in Export, counted from 1
    ULONG controlCode;
    ULONG oid;
    ULONG length;
    ULONG data;
    ULONG inputBytes;
    ULONG outputBytes;
    ULONG pendingReads;  // reads waiting in the driver now
    ULONG readDevice;    // the device of the latest read: its place in Export
    ULONG queued;        // entries not yet taken
    ULONG readsServed;   // reads completed from the queue since the last reset
    ULONG openFiles;     // files open on the packet devices now
    ULONG refuseOid;     // OID requests are refused
    ULONG pendOid;       // OID requests pend until completed
    ULONG oidPending;    // an OID request waits in the driver now
} NETVOREL_TEST_STATE;
