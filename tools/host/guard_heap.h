// A page heap for one module: every block it allocates ends at a page
// boundary, right before a no-access page, and a freed block's pages become
// no-access, so that an overrun or a use after free inside the module faults
// at once, in the call that made it.
#pragma once

#include <windows.h>

// Redirects the module's imports of HeapAlloc, HeapReAlloc, HeapFree and
// HeapSize; false when it imports none of them. Blocks are 8-byte aligned:
// a size that is a multiple of 8 leaves no slack before the guard page.
bool GuardModuleHeap(HMODULE module);
// Blocks the guarded modules hold: allocated and not yet freed.
int GuardHeapLiveBlocks();
