// The guard-page heap. Each block has pages of its own: a header and the
// block at the end of its readable pages, then one no-access page. A freed
// block's pages are made no-access and kept reserved for a while, so that a
// late use faults instead of reading another block; only the most recent
// ones are kept, as a 32-bit process has 2 GB of address space at most.
#include "guard_heap.h"

#include <string.h>

#include "imports.h"

namespace {

const DWORD kLive = 0x51486C76;  // "QHlv"
const SIZE_T kAlign = 8;
const SIZE_T kGranularity = 64 << 10;
// Address space held by freed blocks, counted in whole reservations (64 KB
// each at least): a 32-bit process under qemu-user has far less than 2 GB
// to spare, and with 64 blocks kept the race test's own 16 MB allocation
// found no room after 40 stops.
const int kQuarantineBlocks = 8;
const SIZE_T kQuarantineBytes = 8 << 20;

struct Header {
    DWORD magic;
    SIZE_T size;  // as asked
    BYTE* base;   // of the whole reservation
    SIZE_T span;  // bytes reserved, the guard page included
};

struct Reservation {
    BYTE* base;
    SIZE_T span;  // the address space it holds
};

SRWLOCK g_lock = SRWLOCK_INIT;
volatile LONG g_live = 0;  // blocks handed out and not yet freed
Reservation g_quarantine[kQuarantineBlocks];
int g_oldest = 0;
int g_held = 0;
SIZE_T g_heldBytes = 0;

SIZE_T PageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void* Allocate(DWORD flags, SIZE_T size)
{
    const SIZE_T page = PageSize();
    if (size > ((SIZE_T)1 << 30))
        return NULL;
    SIZE_T rounded = (size + kAlign - 1) & ~(kAlign - 1);
    SIZE_T pages = (rounded + sizeof(Header) + page - 1) / page;
    SIZE_T span = (pages + 1) * page;
    BYTE* base = (BYTE*)VirtualAlloc(NULL, span, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (base == NULL)
        return NULL;
    DWORD old = 0;
    if (!VirtualProtect(base + pages * page, page, PAGE_NOACCESS, &old)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return NULL;
    }
    BYTE* block = base + pages * page - rounded;
    Header* header = (Header*)(block - sizeof(Header));
    header->magic = kLive;
    InterlockedIncrement(&g_live);
    header->size = size;
    header->base = base;
    header->span = span;
    // Fresh pages are zero; a block not asked to be zeroed is not, so that
    // reading what was never written shows.
    if (!(flags & HEAP_ZERO_MEMORY))
        memset(block, 0xC5, rounded);
    return block;
}

// The header of a block this heap made, or NULL for any other pointer.
Header* HeaderOf(void* block)
{
    if (block == NULL || ((UINT_PTR)block % kAlign) != 0)
        return NULL;
    Header* header = (Header*)((BYTE*)block - sizeof(Header));
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(header, &info, sizeof(info)) == 0 || info.State != MEM_COMMIT ||
        info.Protect != PAGE_READWRITE)
        return NULL;
    return header->magic == kLive ? header : NULL;
}

void Quarantine(Header* header)
{
    Reservation freed = {header->base, (header->span + kGranularity - 1) & ~(kGranularity - 1)};
    SIZE_T span = header->span;
    header->magic = 0;
    InterlockedDecrement(&g_live);
    DWORD old = 0;
    VirtualProtect(freed.base, span, PAGE_NOACCESS, &old);
    AcquireSRWLockExclusive(&g_lock);
    while (g_held > 0 && (g_held == kQuarantineBlocks || g_heldBytes + freed.span > kQuarantineBytes)) {
        Reservation& oldest = g_quarantine[g_oldest];
        VirtualFree(oldest.base, 0, MEM_RELEASE);
        g_heldBytes -= oldest.span;
        g_oldest = (g_oldest + 1) % kQuarantineBlocks;
        g_held--;
    }
    g_quarantine[(g_oldest + g_held) % kQuarantineBlocks] = freed;
    g_held++;
    g_heldBytes += freed.span;
    ReleaseSRWLockExclusive(&g_lock);
}

LPVOID WINAPI GuardAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    (void)heap;
    return Allocate(flags, size);
}

BOOL WINAPI GuardFree(HANDLE heap, DWORD flags, LPVOID block)
{
    if (block == NULL)
        return TRUE;
    Header* header = HeaderOf(block);
    if (header == NULL)
        return HeapFree(heap, flags, block);
    Quarantine(header);
    return TRUE;
}

LPVOID WINAPI GuardReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size)
{
    Header* header = HeaderOf(block);
    if (header == NULL)
        return HeapReAlloc(heap, flags, block, size);
    if (flags & HEAP_REALLOC_IN_PLACE_ONLY)
        return NULL;
    BYTE* moved = (BYTE*)Allocate(flags & ~HEAP_ZERO_MEMORY, size);
    if (moved == NULL)
        return NULL;
    SIZE_T kept = header->size < size ? header->size : size;
    memcpy(moved, block, kept);
    if (flags & HEAP_ZERO_MEMORY)
        memset(moved + kept, 0, size - kept);
    Quarantine(header);
    return moved;
}

SIZE_T WINAPI GuardSize(HANDLE heap, DWORD flags, LPCVOID block)
{
    Header* header = HeaderOf((void*)block);
    return header != NULL ? header->size : HeapSize(heap, flags, block);
}

}  // namespace

int GuardHeapLiveBlocks()
{
    return g_live;
}

bool GuardModuleHeap(HMODULE module)
{
    static const ImportRedirect guards[] = {{"HeapAlloc", (void*)GuardAlloc},
                                            {"HeapReAlloc", (void*)GuardReAlloc},
                                            {"HeapFree", (void*)GuardFree},
                                            {"HeapSize", (void*)GuardSize}};
    return RedirectImports(module, "KERNEL32.dll", guards, ARRAYSIZE(guards)) > 0;
}
