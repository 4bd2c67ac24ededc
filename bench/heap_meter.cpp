// Counts a module's heap bytes through its redirected heap imports.
#include "heap_meter.h"

#include "tools/host/imports.h"

static volatile LONGLONG g_bytes = 0;
static volatile LONGLONG g_peak = 0;

static void Add(LONGLONG delta)
{
    LONGLONG now = InterlockedExchangeAdd64(&g_bytes, delta) + delta;
    if (now > g_peak)
        g_peak = now;
}

static LPVOID WINAPI CountingAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    LPVOID block = HeapAlloc(heap, flags, size);
    if (block != NULL)
        Add((LONGLONG)size);
    return block;
}

static LPVOID WINAPI CountingReAlloc(HANDLE heap, DWORD flags, LPVOID old, SIZE_T size)
{
    SIZE_T before = old != NULL ? HeapSize(heap, 0, old) : 0;
    LPVOID block = HeapReAlloc(heap, flags, old, size);
    if (block != NULL)
        Add((LONGLONG)size - (LONGLONG)before);
    return block;
}

static BOOL WINAPI CountingFree(HANDLE heap, DWORD flags, LPVOID block)
{
    SIZE_T size = block != NULL ? HeapSize(heap, 0, block) : 0;
    BOOL freed = HeapFree(heap, flags, block);
    if (freed && size != (SIZE_T)-1)
        Add(-(LONGLONG)size);
    return freed;
}

bool MeterModuleHeap(HMODULE module)
{
    static const ImportRedirect wrappers[] = {{"HeapAlloc", (void*)CountingAlloc},
                                              {"HeapReAlloc", (void*)CountingReAlloc},
                                              {"HeapFree", (void*)CountingFree}};
    return RedirectImports(module, "KERNEL32.dll", wrappers, ARRAYSIZE(wrappers)) > 0;
}

long long MeteredBytes() { return g_bytes; }
long long MeteredPeak() { return g_peak; }
void ResetMeteredPeak() { g_peak = g_bytes; }
