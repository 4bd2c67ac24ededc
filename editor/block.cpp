// Blocks from the process heap that remember the heap they came from, so
// that their release needs no call that could fail.
#include "editor.h"

// Eight bytes keep the block's own alignment for what follows the handle.
static const SIZE_T kHeader = 8;

void* AllocBlock(SIZE_T size)
{
    HANDLE heap = GetProcessHeap();
    if (heap == NULL || size > (SIZE_T)-1 - kHeader)
        return NULL;
    HANDLE* block = (HANDLE*)HeapAlloc(heap, 0, size + kHeader);
    if (block == NULL)
        return NULL;
    block[0] = heap;
    return (BYTE*)block + kHeader;
}

void FreeBlock(void* data)
{
    if (data == NULL)
        return;
    HANDLE* block = (HANDLE*)((BYTE*)data - kHeader);
    HeapFree(block[0], 0, block);
}
