// Counting a process's handles, threads, GDI objects and children from inside it.
#include "probes.h"

#include <tlhelp32.h>

// Every value up to 0x2000: exact, and 2,047 calls into the server.
static int ProbeEveryHandleValue()
{
    int count = 0;
    for (UINT_PTR value = 4; value < 0x2000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation((HANDLE)value, &flags))
            count++;
    }
    return count;
}

// The system's list of handles, in one call: the entries this process owns.
// -1 where the system does not answer it.
static int CountListedHandles()
{
    struct Entry {
        ULONG ownerPid;
        BYTE type;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    typedef LONG(WINAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    static QueryFn query = (QueryFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    static ULONG size = 1 << 16;
    const ULONG kSystemHandleInformation = 16;
    const LONG kLengthMismatch = (LONG)0xC0000004;
    if (query == NULL)
        return -1;
    for (int tries = 0; tries < 8; tries++) {
        BYTE* buffer = (BYTE*)HeapAlloc(GetProcessHeap(), 0, size);
        if (buffer == NULL)
            return -1;
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer, size, &needed);
        if (status == kLengthMismatch) {
            HeapFree(GetProcessHeap(), 0, buffer);
            size = needed > size ? needed + 4096 : size * 2;
            continue;
        }
        int count = -1;
        if (status >= 0) {
            // Never more entries than the buffer holds, whatever the count says.
            ULONG entries = *(ULONG*)buffer;
            ULONG room = (size - (ULONG)sizeof(ULONG_PTR)) / (ULONG)sizeof(Entry);
            if (entries > room)
                entries = room;
            const Entry* entry = (const Entry*)(buffer + sizeof(ULONG_PTR));
            count = 0;
            for (ULONG i = 0; i < entries; i++)
                if (entry[i].ownerPid == GetCurrentProcessId())
                    count++;
        }
        HeapFree(GetProcessHeap(), 0, buffer);
        return count;
    }
    return -1;
}

int CountHandles()
{
    // The list is trusted once it agreed with the probe of every value;
    // the two are asked together so that nothing opens in between.
    static int trusted = -1;
    if (trusted < 0) {
        int listed = CountListedHandles();
        trusted = listed >= 0 && listed == ProbeEveryHandleValue() ? 1 : 0;
    }
    int listed = trusted == 1 ? CountListedHandles() : -1;
    return listed >= 0 ? listed : ProbeEveryHandleValue();
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
