// memory.cpp — LocalAlloc and LocalFree.
//
// Blocks are fixed (LMEM_MOVEABLE is not supported on Windows CE either,
// and its flag is ignored). Every live block is remembered, so that
// LocalFree of a foreign or already freed pointer fails cleanly with
// ERROR_INVALID_HANDLE instead of corrupting the heap.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

struct LocalHeap {
    std::mutex lock;
    std::unordered_set<void *> blocks;
};

// Never destroyed: modules may free memory during process exit.
LocalHeap &Heap() {
    static LocalHeap *heap = new LocalHeap;
    return *heap;
}

} // namespace

HLOCAL WINAPI LocalAlloc(UINT flags, size_t bytes) {
    // A zero-byte request still answers a distinct block, as Windows does.
    void *block = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                          : std::malloc(bytes ? bytes : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LocalHeap &heap = Heap();
    try {
        std::lock_guard guard(heap.lock);
        heap.blocks.insert(block);
    } catch (...) {
        std::free(block);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return block;
}

// Answers NULL on success (and for NULL), else the block it was given.
HLOCAL WINAPI LocalFree(HLOCAL mem) {
    if (!mem)
        return nullptr;
    LocalHeap &heap = Heap();
    {
        std::lock_guard guard(heap.lock);
        if (heap.blocks.erase(mem) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return mem;
        }
    }
    std::free(mem);
    return nullptr;
}
