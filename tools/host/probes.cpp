// Counting a process's handles, threads, GDI objects and children from inside it.
#include "probes.h"

#include <tlhelp32.h>

int CountHandles()
{
    int count = 0;
    for (UINT_PTR value = 4; value < 0x2000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation((HANDLE)value, &flags))
            count++;
    }
    return count;
}

int CountThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            count++;
    }
    CloseHandle(snapshot);
    return count;
}

std::vector<DWORD> ChildProcessIds(const char* program)
{
    std::vector<DWORD> children;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == GetCurrentProcessId() &&
            (program == NULL || lstrcmpiA(entry.szExeFile, program) == 0))
            children.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return children;
}

// A GDI handle's low word is its slot in the process's table; Wine accepts
// a handle whose high word (the slot's reuse count) is 0 for any reuse, so
// probing every slot finds every live object.
static int ProbeGdiSlots()
{
    int count = 0;
    for (UINT_PTR slot = 1; slot < 0x10000; slot++) {
        if (GetObjectType((HGDIOBJ)slot) != 0)
            count++;
    }
    return count;
}

int CountGdiObjects()
{
    DWORD reported = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (reported != 0)
        return (int)reported;
    // The probe must see an object made for it, or it sees nothing at all.
    int before = ProbeGdiSlots();
    HBITMAP marker = CreateBitmap(1, 1, 1, 1, NULL);
    if (marker == NULL)
        return -1;
    int with = ProbeGdiSlots();
    DeleteObject(marker);
    return with == before + 1 ? before : -1;
}

long long ProcessHeapBytesInUse()
{
    HANDLE heap = GetProcessHeap();
    long long bytes = 0;
    if (!HeapLock(heap))
        return -1;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = NULL;
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            bytes += entry.cbData;
    }
    HeapUnlock(heap);
    return bytes;
}
