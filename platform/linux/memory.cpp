// The global and local heaps. Movable blocks get a handle distinct from their pointer, as on Windows, and
// every handle is checked against the live blocks so that a stale or foreign handle fails instead of
// corrupting the heap.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "faults.h"
#include "immortal.h"
#include "win32_memory.h"

namespace {

struct BlockHeader {
    SIZE_T size;
    UINT flags;
    unsigned lockCount;
    alignas(std::max_align_t) unsigned char data[1];
};

constexpr size_t kDataOffset = offsetof(BlockHeader, data);

std::mutex heapLock;
std::unordered_set<BlockHeader*>& LiveBlocks() {
    static auto& blocks = Immortal<std::unordered_set<BlockHeader*>>();
    return blocks;
}

HANDLE Allocate(const char* callName, UINT flags, SIZE_T bytes) {
    DWORD error = 0;
    if (StandInCallFails(callName, &error)) {
        SetLastError(error ? error : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (bytes > (SIZE_T(1) << 40)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* block = static_cast<BlockHeader*>(std::malloc(kDataOffset + (bytes ? bytes : 1)));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    block->size = bytes;
    block->flags = flags;
    block->lockCount = 0;
    if (flags & GMEM_ZEROINIT) std::memset(block->data, 0, bytes);
    std::lock_guard<std::mutex> guard(heapLock);
    LiveBlocks().insert(block);
    return (flags & GMEM_MOVEABLE) ? static_cast<HANDLE>(block) : static_cast<HANDLE>(block->data);
}

// Finds the live block that a handle (movable) or a pointer (fixed, or any block's data) names.
BlockHeader* FindBlock(const void* handleOrPointer) {
    if (handleOrPointer == nullptr) return nullptr;
    auto& blocks = LiveBlocks();
    auto* asHeader = static_cast<BlockHeader*>(const_cast<void*>(handleOrPointer));
    if (blocks.count(asHeader) && (asHeader->flags & GMEM_MOVEABLE) != 0) return asHeader;
    auto* fromData = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(const_cast<void*>(handleOrPointer)) - kDataOffset);
    if (blocks.count(fromData)) return fromData;
    return nullptr;
}

HANDLE HandleOf(BlockHeader* block) {
    return (block->flags & GMEM_MOVEABLE) ? static_cast<HANDLE>(block) : static_cast<HANDLE>(block->data);
}

// Movable handles must be the header; fixed handles must be the data pointer.
BlockHeader* FindByHandle(HANDLE handle) {
    BlockHeader* block = FindBlock(handle);
    if (block == nullptr || HandleOf(block) != handle) return nullptr;
    return block;
}

HANDLE Free(HANDLE handle) {
    std::lock_guard<std::mutex> guard(heapLock);
    BlockHeader* block = FindByHandle(handle);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return handle;
    }
    LiveBlocks().erase(block);
    std::free(block);
    return nullptr;
}

}  // namespace

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) { return Allocate("GlobalAlloc", uFlags, dwBytes); }

extern "C" LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
    DWORD error = 0;
    if (StandInCallFails("GlobalLock", &error)) {
        SetLastError(error);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(heapLock);
    BlockHeader* block = FindByHandle(hMem);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (block->flags & GMEM_MOVEABLE) ++block->lockCount;
    return block->data;
}

extern "C" BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
    std::lock_guard<std::mutex> guard(heapLock);
    BlockHeader* block = FindByHandle(hMem);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (block->lockCount == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    --block->lockCount;
    SetLastError(NO_ERROR);
    return block->lockCount != 0;
}

extern "C" HGLOBAL WINAPI GlobalHandle(LPCVOID pMem) {
    std::lock_guard<std::mutex> guard(heapLock);
    BlockHeader* block = FindBlock(pMem);
    if (block == nullptr || static_cast<const void*>(block->data) != pMem) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return HandleOf(block);
}

extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return Free(hMem); }

extern "C" SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
    std::lock_guard<std::mutex> guard(heapLock);
    BlockHeader* block = FindByHandle(hMem);
    return block ? block->size : 0;
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) { return Allocate("LocalAlloc", uFlags, uBytes); }
extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) { return Free(hMem); }
