// The fault injector's wrappers, one per fallible import, and the plan that
// says which call fails.
#include "faults.h"

#include <string.h>

#include "imports.h"

namespace {

volatile LONG g_mode = kFaultNone;
volatile LONG g_n = 0;
volatile LONG g_calls = 0;
volatile LONG g_shortable = 0;
volatile LONG g_faults = 0;
volatile LONG g_wholeShort = 0;
volatile LONG g_readOnlyKeys = 0;
volatile LONG g_answer = kAnswerFirst;
volatile LONG g_faultedError = ERROR_SUCCESS;  // the first fault's last error
volatile LONG g_pausedMs = 0;
volatile LONG g_skipPauses = 0;

// A key the user may only read (a policy, an administrator's lock) denies
// any other access asked of it.
bool DeniedAsReadOnly(REGSAM access)
{
    return g_readOnlyKeys != 0 && (access & ~(KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY)) != 0;
}
const char* volatile g_beforeName = NULL;
void (*volatile g_beforeAction)(void*) = NULL;
void* volatile g_beforeContext = NULL;
const char* volatile g_heldName = NULL;
volatile LONG g_heldMs = 0;
SRWLOCK g_lock = SRWLOCK_INIT;
std::map<std::string, int> g_byName;
std::map<std::string, int> g_faultedByName;
std::string g_faulted;

// Counts the call and answers whether it is the one to fail.
bool Turn(const char* name)
{
    const char* held = g_heldName;
    if (held != NULL && strcmp(held, name) == 0)
        Sleep((DWORD)g_heldMs);
    const char* before = g_beforeName;
    if (before != NULL && strcmp(before, name) == 0 &&
        InterlockedCompareExchangePointer((void* volatile*)&g_beforeName, NULL, (void*)before) == before)
        g_beforeAction(g_beforeContext);
    LONG call = InterlockedIncrement(&g_calls);
    bool fail = (g_mode == kFaultNth && call == g_n) || (g_mode == kFaultFromNth && call >= g_n);
    AcquireSRWLockExclusive(&g_lock);
    g_byName[name]++;
    if (fail)
        g_faultedByName[name]++;
    if (fail && g_faulted.empty())
        g_faulted = name;
    ReleaseSRWLockExclusive(&g_lock);
    if (fail)
        InterlockedIncrement(&g_faults);
    return fail;
}

bool ShortTurn()
{
    LONG call = InterlockedIncrement(&g_shortable);
    bool answer = g_mode == kShortNth && call == g_n;
    if (answer)
        InterlockedIncrement(&g_faults);
    return answer;
}

// A registry string can answer short in two forms, each its own point: 1,
// its bytes and then more, filling the whole buffer without a NUL; 2, its
// bytes alone without their NUL, the rest of the buffer left holding
// non-zero bytes, as Windows leaves a buffer it did not fill. 0: no fault.
int StringShortTurn()
{
    if (ShortTurn())
        return 1;
    return ShortTurn() ? 2 : 0;
}

// Fills what the caller's buffer holds after a string read of unit-sized
// characters (1 for ANSI, 2 for UTF-16), in the form given. got is the
// bytes the read delivered with their NUL; size the buffer's.
void AnswerShortString(BYTE* data, DWORD size, DWORD* got, int form, DWORD unit)
{
    DWORD text = *got >= unit ? *got - unit : 0;  // the string's bytes without its NUL
    // Non-zero bytes: digits for ANSI, so that a reader that runs past the
    // end reads a number or a name it must not answer.
    for (DWORD i = text; i < size; i++)
        data[i] = '7';
    *got = form == 1 ? size - size % unit : text;
    if (form == 2)
        InterlockedExchange(&g_wholeShort, 1);
}

#define NEXT(fn) decltype(&fn) next_##fn = fn
// A failure: the call is not made.
#define FAIL_WITH(value, error)   \
    do {                          \
        Failed(error);            \
        return value;             \
    } while (0)
// A call with two answers: the first, or, when the plan asks for it, the second.
#define FAIL_WITH_EITHER(value, first, second) FAIL_WITH(value, g_answer == kAnswerSecond ? (second) : (first))

void Failed(DWORD error)
{
    InterlockedCompareExchange(&g_faultedError, (LONG)error, ERROR_SUCCESS);
    SetLastError(error);
}

// The calls whose failure a program sees in two ways worth telling apart:
// one of them another program's hold on the file, which passes.
const char* const kTwoAnswers[] = {"CreateFileA", "ReadFile", "WriteFile", "MoveFileA", "DeleteFileA"};

// kernel32
NEXT(CreateFileA);
NEXT(CreateEventA);
NEXT(CreateProcessA);
NEXT(CreateProcessW);
NEXT(ExpandEnvironmentStringsW);
NEXT(GetFileAttributesW);
NEXT(MultiByteToWideChar);
NEXT(WideCharToMultiByte);
NEXT(MoveFileA);
NEXT(GetFileTime);
NEXT(FileTimeToLocalFileTime);
NEXT(FileTimeToSystemTime);
NEXT(CreateThread);
NEXT(DeleteFileA);
NEXT(ExpandEnvironmentStringsA);
NEXT(FindFirstFileA);
NEXT(GetCurrentDirectoryA);
NEXT(SetCurrentDirectoryA);
NEXT(GetFileAttributesA);
NEXT(GetFileSizeEx);
NEXT(GetFullPathNameA);
NEXT(GetLongPathNameA);
NEXT(GetModuleHandleExA);
NEXT(GetProcessHeap);
NEXT(HeapAlloc);
NEXT(ReadFile);
NEXT(WriteFile);
NEXT(SetEndOfFile);
NEXT(SetFilePointer);
NEXT(SetEvent);
NEXT(WaitForSingleObject);
NEXT(WaitForMultipleObjects);
NEXT(MsgWaitForMultipleObjectsEx);
NEXT(CreateJobObjectA);
NEXT(CreateIoCompletionPort);
NEXT(SetInformationJobObject);
NEXT(QueryInformationJobObject);
NEXT(AssignProcessToJobObject);
NEXT(ResumeThread);
NEXT(TerminateProcess);
NEXT(GetQueuedCompletionStatus);
NEXT(PostQueuedCompletionStatus);
NEXT(CloseHandle);
NEXT(FindClose);
NEXT(HeapFree);
NEXT(Sleep);
// user32
NEXT(FindWindowExA);
NEXT(GetWindow);
NEXT(GetParent);
NEXT(GetWindowTextA);
NEXT(GetWindowLongA);
NEXT(GetWindowThreadProcessId);
NEXT(PostMessageA);
NEXT(MessageBoxA);
NEXT(MessageBoxW);
NEXT(LoadBitmapA);
// gdi32
NEXT(CreateCompatibleDC);
NEXT(SelectObject);
NEXT(BitBlt);
NEXT(DeleteDC);
NEXT(DeleteObject);
// advapi32
NEXT(RegOpenKeyExA);
NEXT(RegCreateKeyExA);
NEXT(RegQueryValueExA);
NEXT(RegQueryValueExW);
NEXT(RegSetValueExA);
NEXT(RegCloseKey);

HANDLE WINAPI W_CreateFileA(LPCSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g)
{
    if (Turn("CreateFileA"))
        // A read-only folder; or a scanner holding it, sharing nothing.
        FAIL_WITH_EITHER(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION);
    return next_CreateFileA(a, b, c, d, e, f, g);
}
HANDLE WINAPI W_CreateEventA(LPSECURITY_ATTRIBUTES a, BOOL b, BOOL c, LPCSTR d)
{
    if (Turn("CreateEventA"))
        FAIL_WITH(NULL, ERROR_NO_SYSTEM_RESOURCES);
    return next_CreateEventA(a, b, c, d);
}
BOOL WINAPI W_CreateProcessA(LPCSTR a, LPSTR b, LPSECURITY_ATTRIBUTES c, LPSECURITY_ATTRIBUTES d, BOOL e,
                             DWORD f, LPVOID g, LPCSTR h, LPSTARTUPINFOA i, LPPROCESS_INFORMATION j)
{
    if (Turn("CreateProcessA"))
        FAIL_WITH(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    return next_CreateProcessA(a, b, c, d, e, f, g, h, i, j);
}
BOOL WINAPI W_CreateProcessW(LPCWSTR a, LPWSTR b, LPSECURITY_ATTRIBUTES c, LPSECURITY_ATTRIBUTES d, BOOL e,
                             DWORD f, LPVOID g, LPCWSTR h, LPSTARTUPINFOW i, LPPROCESS_INFORMATION j)
{
    if (Turn("CreateProcessW"))
        FAIL_WITH(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    return next_CreateProcessW(a, b, c, d, e, f, g, h, i, j);
}
DWORD WINAPI W_ExpandEnvironmentStringsW(LPCWSTR a, LPWSTR b, DWORD c)
{
    if (Turn("ExpandEnvironmentStringsW"))
        FAIL_WITH(0, ERROR_NOT_ENOUGH_MEMORY);
    return next_ExpandEnvironmentStringsW(a, b, c);
}
DWORD WINAPI W_GetFileAttributesW(LPCWSTR a)
{
    if (Turn("GetFileAttributesW"))
        FAIL_WITH(INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED);
    return next_GetFileAttributesW(a);
}
int WINAPI W_MultiByteToWideChar(UINT a, DWORD b, LPCCH c, int d, LPWSTR e, int f)
{
    if (Turn("MultiByteToWideChar"))
        FAIL_WITH(0, ERROR_INSUFFICIENT_BUFFER);
    return next_MultiByteToWideChar(a, b, c, d, e, f);
}
// A conversion whose buffer is too small fails whole: it has no short answer.
int WINAPI W_WideCharToMultiByte(UINT a, DWORD b, LPCWCH c, int d, LPSTR e, int f, LPCCH g, LPBOOL h)
{
    if (Turn("WideCharToMultiByte"))
        FAIL_WITH(0, ERROR_INSUFFICIENT_BUFFER);
    return next_WideCharToMultiByte(a, b, c, d, e, f, g, h);
}
BOOL WINAPI W_MoveFileA(LPCSTR a, LPCSTR b)
{
    if (Turn("MoveFileA"))
        FAIL_WITH_EITHER(FALSE, ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED);  // held open; a read-only file
    return next_MoveFileA(a, b);
}
BOOL WINAPI W_GetFileTime(HANDLE a, LPFILETIME b, LPFILETIME c, LPFILETIME d)
{
    if (Turn("GetFileTime"))
        FAIL_WITH(FALSE, ERROR_ACCESS_DENIED);
    return next_GetFileTime(a, b, c, d);
}
BOOL WINAPI W_FileTimeToLocalFileTime(const FILETIME* a, LPFILETIME b)
{
    if (Turn("FileTimeToLocalFileTime"))
        FAIL_WITH(FALSE, ERROR_INVALID_PARAMETER);
    return next_FileTimeToLocalFileTime(a, b);
}
BOOL WINAPI W_FileTimeToSystemTime(const FILETIME* a, LPSYSTEMTIME b)
{
    if (Turn("FileTimeToSystemTime"))
        FAIL_WITH(FALSE, ERROR_INVALID_PARAMETER);  // a time past the year 30827
    return next_FileTimeToSystemTime(a, b);
}
HANDLE WINAPI W_CreateThread(LPSECURITY_ATTRIBUTES a, SIZE_T b, LPTHREAD_START_ROUTINE c, LPVOID d, DWORD e,
                             LPDWORD f)
{
    if (Turn("CreateThread"))
        FAIL_WITH(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return next_CreateThread(a, b, c, d, e, f);
}
BOOL WINAPI W_DeleteFileA(LPCSTR a)
{
    if (Turn("DeleteFileA"))
        FAIL_WITH_EITHER(FALSE, ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED);
    return next_DeleteFileA(a);
}
DWORD WINAPI W_ExpandEnvironmentStringsA(LPCSTR a, LPSTR b, DWORD c)
{
    if (Turn("ExpandEnvironmentStringsA"))
        FAIL_WITH(0, ERROR_NOT_ENOUGH_MEMORY);
    return next_ExpandEnvironmentStringsA(a, b, c);
}
HANDLE WINAPI W_FindFirstFileA(LPCSTR a, LPWIN32_FIND_DATAA b)
{
    if (Turn("FindFirstFileA"))
        FAIL_WITH(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    return next_FindFirstFileA(a, b);
}
DWORD WINAPI W_GetCurrentDirectoryA(DWORD a, LPSTR b)
{
    if (Turn("GetCurrentDirectoryA"))
        FAIL_WITH(0, ERROR_NOT_ENOUGH_MEMORY);
    return next_GetCurrentDirectoryA(a, b);
}
BOOL WINAPI W_SetCurrentDirectoryA(LPCSTR a)
{
    if (Turn("SetCurrentDirectoryA"))
        FAIL_WITH(FALSE, ERROR_ACCESS_DENIED);
    return next_SetCurrentDirectoryA(a);
}
DWORD WINAPI W_GetFileAttributesA(LPCSTR a)
{
    if (Turn("GetFileAttributesA"))
        FAIL_WITH(INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED);
    return next_GetFileAttributesA(a);
}
BOOL WINAPI W_GetFileSizeEx(HANDLE a, PLARGE_INTEGER b)
{
    if (Turn("GetFileSizeEx"))
        FAIL_WITH(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    return next_GetFileSizeEx(a, b);
}
DWORD WINAPI W_GetFullPathNameA(LPCSTR a, DWORD b, LPSTR c, LPSTR* d)
{
    if (Turn("GetFullPathNameA"))
        FAIL_WITH(0, ERROR_NOT_ENOUGH_MEMORY);
    return next_GetFullPathNameA(a, b, c, d);
}
DWORD WINAPI W_GetLongPathNameA(LPCSTR a, LPSTR b, DWORD c)
{
    if (Turn("GetLongPathNameA"))
        FAIL_WITH(0, ERROR_ACCESS_DENIED);
    return next_GetLongPathNameA(a, b, c);
}
BOOL WINAPI W_GetModuleHandleExA(DWORD a, LPCSTR b, HMODULE* c)
{
    if (Turn("GetModuleHandleExA")) {
        if (c != NULL)
            *c = NULL;
        FAIL_WITH(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    }
    return next_GetModuleHandleExA(a, b, c);
}
HANDLE WINAPI W_GetProcessHeap()
{
    if (Turn("GetProcessHeap"))
        FAIL_WITH(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return next_GetProcessHeap();
}
LPVOID WINAPI W_HeapAlloc(HANDLE a, DWORD b, SIZE_T c)
{
    if (Turn("HeapAlloc"))
        FAIL_WITH(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return next_HeapAlloc(a, b, c);
}
BOOL WINAPI W_ReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e)
{
    if (Turn("ReadFile"))
        // Another program locked a range; a network share went away.
        FAIL_WITH_EITHER(FALSE, ERROR_LOCK_VIOLATION, ERROR_NETNAME_DELETED);
    if (c >= 2 && ShortTurn())
        c /= 2;
    return next_ReadFile(a, b, c, d, e);
}
BOOL WINAPI W_WriteFile(HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e)
{
    if (Turn("WriteFile"))
        FAIL_WITH_EITHER(FALSE, ERROR_DISK_FULL, ERROR_LOCK_VIOLATION);
    if (c >= 2 && ShortTurn())
        c /= 2;
    return next_WriteFile(a, b, c, d, e);
}
BOOL WINAPI W_SetEndOfFile(HANDLE a)
{
    if (Turn("SetEndOfFile"))
        FAIL_WITH(FALSE, ERROR_DISK_FULL);
    return next_SetEndOfFile(a);
}
DWORD WINAPI W_SetFilePointer(HANDLE a, LONG b, PLONG c, DWORD d)
{
    if (Turn("SetFilePointer"))
        FAIL_WITH(INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    return next_SetFilePointer(a, b, c, d);
}
BOOL WINAPI W_SetEvent(HANDLE a)
{
    if (Turn("SetEvent"))
        FAIL_WITH(FALSE, ERROR_INVALID_HANDLE);
    return next_SetEvent(a);
}
DWORD WINAPI W_WaitForSingleObject(HANDLE a, DWORD b)
{
    if (Turn("WaitForSingleObject"))
        FAIL_WITH(WAIT_FAILED, ERROR_INVALID_HANDLE);
    return next_WaitForSingleObject(a, b);
}
DWORD WINAPI W_WaitForMultipleObjects(DWORD a, const HANDLE* b, BOOL c, DWORD d)
{
    if (Turn("WaitForMultipleObjects"))
        FAIL_WITH(WAIT_FAILED, ERROR_INVALID_HANDLE);
    return next_WaitForMultipleObjects(a, b, c, d);
}
DWORD WINAPI W_MsgWaitForMultipleObjectsEx(DWORD a, const HANDLE* b, DWORD c, DWORD d, DWORD e)
{
    if (Turn("MsgWaitForMultipleObjectsEx"))
        FAIL_WITH(WAIT_FAILED, ERROR_INVALID_HANDLE);
    return next_MsgWaitForMultipleObjectsEx(a, b, c, d, e);
}
HANDLE WINAPI W_CreateJobObjectA(LPSECURITY_ATTRIBUTES a, LPCSTR b)
{
    if (Turn("CreateJobObjectA"))
        FAIL_WITH(NULL, ERROR_NO_SYSTEM_RESOURCES);
    return next_CreateJobObjectA(a, b);
}
HANDLE WINAPI W_CreateIoCompletionPort(HANDLE a, HANDLE b, ULONG_PTR c, DWORD d)
{
    if (Turn("CreateIoCompletionPort"))
        FAIL_WITH(NULL, ERROR_NO_SYSTEM_RESOURCES);
    return next_CreateIoCompletionPort(a, b, c, d);
}
BOOL WINAPI W_SetInformationJobObject(HANDLE a, JOBOBJECTINFOCLASS b, LPVOID c, DWORD d)
{
    if (Turn("SetInformationJobObject"))
        FAIL_WITH(FALSE, ERROR_ACCESS_DENIED);
    return next_SetInformationJobObject(a, b, c, d);
}
BOOL WINAPI W_QueryInformationJobObject(HANDLE a, JOBOBJECTINFOCLASS b, LPVOID c, DWORD d, LPDWORD e)
{
    if (Turn("QueryInformationJobObject"))
        FAIL_WITH(FALSE, ERROR_ACCESS_DENIED);
    return next_QueryInformationJobObject(a, b, c, d, e);
}
// A host that runs in a job of its own that forbids another.
BOOL WINAPI W_AssignProcessToJobObject(HANDLE a, HANDLE b)
{
    if (Turn("AssignProcessToJobObject"))
        FAIL_WITH(FALSE, ERROR_ACCESS_DENIED);
    return next_AssignProcessToJobObject(a, b);
}
DWORD WINAPI W_ResumeThread(HANDLE a)
{
    if (Turn("ResumeThread"))
        FAIL_WITH((DWORD)-1, ERROR_ACCESS_DENIED);
    return next_ResumeThread(a);
}
BOOL WINAPI W_TerminateProcess(HANDLE a, UINT b)
{
    if (Turn("TerminateProcess"))
        FAIL_WITH(FALSE, ERROR_ACCESS_DENIED);
    return next_TerminateProcess(a, b);
}
// A failed dequeue with no packet: the wait itself failed.
BOOL WINAPI W_GetQueuedCompletionStatus(HANDLE a, LPDWORD b, PULONG_PTR c, LPOVERLAPPED* d, DWORD e)
{
    if (Turn("GetQueuedCompletionStatus")) {
        if (d != NULL)
            *d = NULL;
        FAIL_WITH(FALSE, ERROR_INVALID_HANDLE);
    }
    return next_GetQueuedCompletionStatus(a, b, c, d, e);
}
BOOL WINAPI W_PostQueuedCompletionStatus(HANDLE a, DWORD b, ULONG_PTR c, LPOVERLAPPED d)
{
    if (Turn("PostQueuedCompletionStatus"))
        FAIL_WITH(FALSE, ERROR_NO_SYSTEM_RESOURCES);
    return next_PostQueuedCompletionStatus(a, b, c, d);
}
// Releases: the failure is answered after the release is made, since no
// caller could release a handle whose release never happened.
BOOL WINAPI W_CloseHandle(HANDLE a)
{
    BOOL ok = next_CloseHandle(a);
    if (Turn("CloseHandle"))
        FAIL_WITH(FALSE, ERROR_INVALID_HANDLE);
    return ok;
}
BOOL WINAPI W_FindClose(HANDLE a)
{
    BOOL ok = next_FindClose(a);
    if (Turn("FindClose"))
        FAIL_WITH(FALSE, ERROR_INVALID_HANDLE);
    return ok;
}
BOOL WINAPI W_HeapFree(HANDLE a, DWORD b, LPVOID c)
{
    BOOL ok = next_HeapFree(a, b, c);
    if (Turn("HeapFree"))
        FAIL_WITH(FALSE, ERROR_INVALID_PARAMETER);
    return ok;
}

// No failure: the pause is counted and, where the sweep asks, not waited out.
VOID WINAPI W_Sleep(DWORD ms)
{
    InterlockedExchangeAdd(&g_pausedMs, (LONG)ms);
    next_Sleep(g_skipPauses != 0 ? 0 : ms);
}
HWND WINAPI W_FindWindowExA(HWND a, HWND b, LPCSTR c, LPCSTR d)
{
    if (Turn("FindWindowExA"))
        FAIL_WITH(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return next_FindWindowExA(a, b, c, d);
}
HWND WINAPI W_GetWindow(HWND a, UINT b)
{
    if (Turn("GetWindow"))
        FAIL_WITH(NULL, ERROR_INVALID_WINDOW_HANDLE);
    return next_GetWindow(a, b);
}
HWND WINAPI W_GetParent(HWND a)
{
    if (Turn("GetParent"))
        FAIL_WITH(NULL, ERROR_INVALID_WINDOW_HANDLE);
    return next_GetParent(a);
}
int WINAPI W_GetWindowTextA(HWND a, LPSTR b, int c)
{
    if (Turn("GetWindowTextA")) {
        if (b != NULL && c > 0)
            b[0] = '\0';  // as Windows leaves it on failure
        FAIL_WITH(0, ERROR_INVALID_WINDOW_HANDLE);
    }
    return next_GetWindowTextA(a, b, c);
}
LONG WINAPI W_GetWindowLongA(HWND a, int b)
{
    if (Turn("GetWindowLongA"))
        FAIL_WITH(0, ERROR_INVALID_WINDOW_HANDLE);
    return next_GetWindowLongA(a, b);
}
DWORD WINAPI W_GetWindowThreadProcessId(HWND a, LPDWORD b)
{
    if (Turn("GetWindowThreadProcessId"))
        FAIL_WITH(0, ERROR_INVALID_WINDOW_HANDLE);  // *b is left as it was
    return next_GetWindowThreadProcessId(a, b);
}
BOOL WINAPI W_PostMessageA(HWND a, UINT b, WPARAM c, LPARAM d)
{
    if (Turn("PostMessageA"))
        FAIL_WITH(FALSE, ERROR_NOT_ENOUGH_QUOTA);  // the queue is full
    return next_PostMessageA(a, b, c, d);
}
int WINAPI W_MessageBoxA(HWND a, LPCSTR b, LPCSTR c, UINT d)
{
    if (Turn("MessageBoxA"))
        FAIL_WITH(0, ERROR_NOT_ENOUGH_MEMORY);
    return next_MessageBoxA(a, b, c, d);
}
int WINAPI W_MessageBoxW(HWND a, LPCWSTR b, LPCWSTR c, UINT d)
{
    if (Turn("MessageBoxW"))
        FAIL_WITH(0, ERROR_NOT_ENOUGH_MEMORY);
    return next_MessageBoxW(a, b, c, d);
}
HBITMAP WINAPI W_LoadBitmapA(HINSTANCE a, LPCSTR b)
{
    if (Turn("LoadBitmapA"))
        FAIL_WITH(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return next_LoadBitmapA(a, b);
}

HDC WINAPI W_CreateCompatibleDC(HDC a)
{
    if (Turn("CreateCompatibleDC"))
        FAIL_WITH(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return next_CreateCompatibleDC(a);
}
HGDIOBJ WINAPI W_SelectObject(HDC a, HGDIOBJ b)
{
    if (Turn("SelectObject"))
        FAIL_WITH(NULL, ERROR_INVALID_HANDLE);
    return next_SelectObject(a, b);
}
BOOL WINAPI W_BitBlt(HDC a, int b, int c, int d, int e, HDC f, int g, int h, DWORD i)
{
    if (Turn("BitBlt"))
        FAIL_WITH(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    return next_BitBlt(a, b, c, d, e, f, g, h, i);
}
BOOL WINAPI W_DeleteDC(HDC a)
{
    BOOL ok = next_DeleteDC(a);
    if (Turn("DeleteDC"))
        FAIL_WITH(FALSE, ERROR_INVALID_HANDLE);
    return ok;
}
BOOL WINAPI W_DeleteObject(HGDIOBJ a)
{
    BOOL ok = next_DeleteObject(a);
    if (Turn("DeleteObject"))
        FAIL_WITH(FALSE, ERROR_INVALID_HANDLE);
    return ok;
}

// The registry answers its error instead of setting the last error.
LSTATUS WINAPI W_RegOpenKeyExA(HKEY a, LPCSTR b, DWORD c, REGSAM d, PHKEY e)
{
    if (Turn("RegOpenKeyExA") || DeniedAsReadOnly(d))
        return ERROR_ACCESS_DENIED;  // a policy denies the key
    return next_RegOpenKeyExA(a, b, c, d, e);
}
LSTATUS WINAPI W_RegCreateKeyExA(HKEY a, LPCSTR b, DWORD c, LPSTR d, DWORD e, REGSAM f,
                                 const LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i)
{
    if (Turn("RegCreateKeyExA") || DeniedAsReadOnly(f))
        return ERROR_ACCESS_DENIED;
    return next_RegCreateKeyExA(a, b, c, d, e, f, g, h, i);
}
LSTATUS WINAPI W_RegQueryValueExA(HKEY a, LPCSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f)
{
    if (Turn("RegQueryValueExA"))
        return ERROR_ACCESS_DENIED;
    if (e == NULL || f == NULL)
        return next_RegQueryValueExA(a, b, c, d, e, f);
    DWORD size = *f;
    DWORD type = REG_NONE;
    LSTATUS rc = next_RegQueryValueExA(a, b, c, &type, e, f);
    if (d != NULL)
        *d = type;
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
        int form = StringShortTurn();
        if (form != 0)
            AnswerShortString(e, size, f, form, 1);
    }
    return rc;
}
LSTATUS WINAPI W_RegQueryValueExW(HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f)
{
    if (Turn("RegQueryValueExW"))
        return ERROR_ACCESS_DENIED;
    if (e == NULL || f == NULL)
        return next_RegQueryValueExW(a, b, c, d, e, f);
    DWORD size = *f;
    DWORD type = REG_NONE;
    LSTATUS rc = next_RegQueryValueExW(a, b, c, &type, e, f);
    if (d != NULL)
        *d = type;
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && size >= sizeof(WCHAR)) {
        int form = StringShortTurn();
        if (form != 0)
            AnswerShortString(e, size, f, form, sizeof(WCHAR));
    }
    return rc;
}
LSTATUS WINAPI W_RegSetValueExA(HKEY a, LPCSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f)
{
    if (Turn("RegSetValueExA"))
        return ERROR_ACCESS_DENIED;
    return next_RegSetValueExA(a, b, c, d, e, f);
}
LSTATUS WINAPI W_RegCloseKey(HKEY a)
{
    LSTATUS rc = next_RegCloseKey(a);
    if (Turn("RegCloseKey"))
        return ERROR_INVALID_HANDLE;
    return rc;
}

#define WRAP(fn) {#fn, (void*)W_##fn, (void**)&next_##fn}

const ImportRedirect kKernel32[] = {
    WRAP(CreateFileA), WRAP(CreateEventA), WRAP(CreateProcessA), WRAP(CreateProcessW),
    WRAP(ExpandEnvironmentStringsW), WRAP(GetFileAttributesW), WRAP(MultiByteToWideChar), WRAP(CreateThread),
    WRAP(WideCharToMultiByte), WRAP(MoveFileA), WRAP(GetFileTime), WRAP(FileTimeToLocalFileTime),
    WRAP(FileTimeToSystemTime),
    WRAP(DeleteFileA), WRAP(ExpandEnvironmentStringsA), WRAP(FindFirstFileA),
    WRAP(GetCurrentDirectoryA), WRAP(SetCurrentDirectoryA), WRAP(GetFileAttributesA),
    WRAP(GetFileSizeEx), WRAP(GetFullPathNameA), WRAP(GetLongPathNameA), WRAP(GetModuleHandleExA), WRAP(GetProcessHeap),
    WRAP(HeapAlloc), WRAP(ReadFile), WRAP(WriteFile), WRAP(SetEndOfFile), WRAP(SetFilePointer),
    WRAP(SetEvent), WRAP(WaitForSingleObject), WRAP(WaitForMultipleObjects),
    WRAP(CreateJobObjectA), WRAP(CreateIoCompletionPort), WRAP(SetInformationJobObject),
    WRAP(QueryInformationJobObject), WRAP(AssignProcessToJobObject), WRAP(ResumeThread),
    WRAP(TerminateProcess), WRAP(GetQueuedCompletionStatus), WRAP(PostQueuedCompletionStatus),
    WRAP(CloseHandle), WRAP(FindClose), WRAP(HeapFree), WRAP(Sleep),
};
const ImportRedirect kUser32[] = {
    WRAP(FindWindowExA), WRAP(GetWindow), WRAP(GetParent), WRAP(GetWindowTextA),
    WRAP(GetWindowLongA), WRAP(GetWindowThreadProcessId), WRAP(PostMessageA), WRAP(MessageBoxA), WRAP(MessageBoxW),
    WRAP(LoadBitmapA), WRAP(MsgWaitForMultipleObjectsEx),
};
const ImportRedirect kGdi32[] = {
    WRAP(CreateCompatibleDC), WRAP(SelectObject), WRAP(BitBlt), WRAP(DeleteDC), WRAP(DeleteObject),
};
const ImportRedirect kAdvapi32[] = {
    WRAP(RegOpenKeyExA), WRAP(RegCreateKeyExA), WRAP(RegQueryValueExA), WRAP(RegQueryValueExW),
    WRAP(RegSetValueExA),
    WRAP(RegCloseKey),
};

const struct {
    const char* dll;
    const ImportRedirect* wrappers;
    int count;
} kDlls[] = {
    {"KERNEL32.dll", kKernel32, ARRAYSIZE(kKernel32)},
    {"USER32.dll", kUser32, ARRAYSIZE(kUser32)},
    {"GDI32.dll", kGdi32, ARRAYSIZE(kGdi32)},
    {"ADVAPI32.dll", kAdvapi32, ARRAYSIZE(kAdvapi32)},
};

// Imports that need no wrapper: they document no failure, or a "failure"
// that is an answer (no message waiting), or they are the compiler's
// runtime and its start-up, which run before any handler.
const char* const kCannotFail[] = {
    "GetACP", "GetCurrentProcessId", "GetLastError", "GetTickCount", "SetLastError", "lstrcmpA", "lstrcmpiA", "lstrlenA",
    "CharUpperBuffA", "CharPrevA", "PeekMessageA", "lstrlenW", "lstrcmpiW",
    "DeleteCriticalSection", "EnterCriticalSection", "InitializeCriticalSection",
    "LeaveCriticalSection", "FreeLibrary", "FreeLibraryAndExitThread", "GetModuleHandleA", "GetProcAddress", "LoadLibraryA",
    "TlsGetValue", "VirtualProtect", "VirtualQuery",
};

bool IsClassified(const char* dll, const char* name)
{
    for (const auto& d : kDlls) {
        if (lstrcmpiA(d.dll, dll) != 0)
            continue;
        for (int i = 0; i < d.count; i++)
            if (strcmp(d.wrappers[i].name, name) == 0)
                return true;
    }
    for (const char* known : kCannotFail)
        if (strcmp(known, name) == 0)
            return true;
    return lstrcmpiA(dll, "msvcrt.dll") == 0;  // the C runtime
}

}  // namespace

bool InjectFaults(HMODULE module)
{
    int changed = 0;
    for (const auto& d : kDlls)
        changed += RedirectImports(module, d.dll, d.wrappers, d.count);
    return changed > 0;
}

void PlanFaults(FaultMode mode, int n, FaultAnswer answer)
{
    AcquireSRWLockExclusive(&g_lock);
    g_byName.clear();
    g_faultedByName.clear();
    g_faulted.clear();
    ReleaseSRWLockExclusive(&g_lock);
    InterlockedExchange(&g_mode, kFaultNone);
    InterlockedExchange(&g_calls, 0);
    InterlockedExchange(&g_shortable, 0);
    InterlockedExchange(&g_faults, 0);
    InterlockedExchange(&g_wholeShort, 0);
    InterlockedExchange(&g_faultedError, ERROR_SUCCESS);
    InterlockedExchange(&g_pausedMs, 0);
    InterlockedExchange(&g_answer, answer);
    InterlockedExchange(&g_n, n);
    InterlockedExchange(&g_mode, mode);
}

int FallibleCalls() { return g_calls; }
int ShortableCalls() { return g_shortable; }
int FaultsMade() { return g_faults; }
void HoldCalls(const char* name, DWORD ms)
{
    InterlockedExchange(&g_heldMs, (LONG)ms);
    g_heldName = name;
}
void BeforeCall(const char* name, void (*action)(void*), void* context)
{
    g_beforeAction = action;
    g_beforeContext = context;
    InterlockedExchangePointer((void* volatile*)&g_beforeName, (void*)name);
}
void MakeKeysReadOnly(bool readOnly) { InterlockedExchange(&g_readOnlyKeys, readOnly ? 1 : 0); }
bool ShortAnswerWasWhole() { return g_wholeShort != 0; }
DWORD FaultedError() { return (DWORD)g_faultedError; }
bool HasSecondAnswer(const std::string& name)
{
    for (const char* two : kTwoAnswers)
        if (name == two)
            return true;
    return false;
}
void SkipPauses(bool skip) { InterlockedExchange(&g_skipPauses, skip ? 1 : 0); }
DWORD PausedMs() { return (DWORD)g_pausedMs; }

std::map<std::string, int> CallsByName()
{
    AcquireSRWLockExclusive(&g_lock);
    std::map<std::string, int> copy = g_byName;
    ReleaseSRWLockExclusive(&g_lock);
    return copy;
}

std::map<std::string, int> FaultsByName()
{
    AcquireSRWLockExclusive(&g_lock);
    std::map<std::string, int> copy = g_faultedByName;
    ReleaseSRWLockExclusive(&g_lock);
    return copy;
}

std::string FaultedCall()
{
    AcquireSRWLockExclusive(&g_lock);
    std::string name = g_faulted;
    ReleaseSRWLockExclusive(&g_lock);
    return name;
}

std::vector<std::string> UnclassifiedImports(HMODULE module)
{
    std::vector<std::string> unknown;
    for (const std::string& import : ListImports(module)) {
        size_t bang = import.find('!');
        if (!IsClassified(import.substr(0, bang).c_str(), import.c_str() + bang + 1))
            unknown.push_back(import);
    }
    return unknown;
}
