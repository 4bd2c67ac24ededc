// Redirects a module's heap imports through its import address table.
#include "heap_meter.h"

#include <string.h>

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
    const BYTE* base = (const BYTE*)module;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return false;
    static const struct {
        const char* name;
        void* wrapper;
    } wrappers[] = {{"HeapAlloc", (void*)CountingAlloc},
                    {"HeapReAlloc", (void*)CountingReAlloc},
                    {"HeapFree", (void*)CountingFree}};
    int patched = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR* import = (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress);
         import->Name != 0; import++) {
        if (lstrcmpiA((const char*)(base + import->Name), "KERNEL32.dll") != 0)
            continue;
        const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + import->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = (const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            for (const auto& w : wrappers) {
                if (strcmp(name, w.name) != 0)
                    continue;
                DWORD old = 0;
                if (VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old)) {
                    slots->u1.Function = (DWORD_PTR)w.wrapper;
                    VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
                    patched++;
                }
            }
        }
    }
    return patched > 0;
}

long long MeteredBytes() { return g_bytes; }
long long MeteredPeak() { return g_peak; }
void ResetMeteredPeak() { g_peak = g_bytes; }
