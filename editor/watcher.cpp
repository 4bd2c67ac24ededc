// The watcher: one thread per launch that waits for the editor to end and
// then clicks the OK control of the host's edit dialog.
#include "editor.h"

#include "../settings/settings.h"

// One watcher record per launch. Whoever takes it out of g_watcher owns it:
// the watcher itself when it ends (it then closes and frees it), or a stop
// from the host's thread (which waits for the thread to be gone first).
// So a stop never aims at a handle that has been closed and reused.
// A watcher also holds a reference on the module, so that a host unloading
// it right after the watcher's click doesn't pull the code from under the
// thread's last steps.
struct Watcher {
    HANDLE thread;
    HANDLE process;
    HMODULE pin;
};

static Watcher* volatile g_watcher = NULL;

// Answers the module reference for the caller to drop last.
static HMODULE ReleaseWatcher(Watcher* watcher)
{
    HMODULE pin = watcher->pin;
    if (watcher->process != NULL)
        CloseHandle(watcher->process);
    if (watcher->thread != NULL)
        CloseHandle(watcher->thread);
    HeapFree(GetProcessHeap(), 0, watcher);
    return pin;
}

static void Unpin(HMODULE pin)
{
    if (pin != NULL)
        FreeLibrary(pin);
}

static HWND NextInPreOrder(HWND dialog, HWND window)
{
    HWND next = GetWindow(window, GW_CHILD);
    if (next != NULL)
        return next;
    for (;;) {
        next = GetWindow(window, GW_HWNDNEXT);
        if (next != NULL)
            return next;
        HWND parent = GetParent(window);
        if (parent == NULL || parent == dialog)
            return NULL;
        window = parent;
    }
}

void DismissEditDialog(void)
{
    HWND dialog = FindWindowA(NULL, kDialogTitle);
    if (dialog == NULL)
        return;
    for (HWND window = GetWindow(dialog, GW_CHILD); window != NULL;
         window = NextInPreOrder(dialog, window)) {
        char text[32];
        text[0] = '\0';
        GetWindowTextA(window, text, 30);
        if (lstrcmpA(text, "OK") == 0) {
            WORD id = LOWORD(GetWindowLongA(window, GWL_ID));
            PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         (LPARAM)window);
            return;
        }
    }
}

static DWORD WINAPI WatchEditor(LPVOID parameter)
{
    Watcher* self = (Watcher*)parameter;
    if (self->process != NULL)
        WaitForSingleObject(self->process, INFINITE);
    DismissEditDialog();
    if (InterlockedCompareExchangePointer((PVOID volatile*)&g_watcher, NULL, self) == self) {
        HMODULE pin = ReleaseWatcher(self);
        if (pin != NULL)
            FreeLibraryAndExitThread(pin, 0);
    }
    return 0;
}

void StopWatcher(void)
{
    Watcher* watcher =
        (Watcher*)InterlockedExchangePointer((PVOID volatile*)&g_watcher, NULL);
    if (watcher == NULL)
        return;
    // TerminateThread only asks; the thread is gone when its handle is signalled.
    TerminateThread(watcher->thread, 0);
    WaitForSingleObject(watcher->thread, INFINITE);
    Unpin(ReleaseWatcher(watcher));
}

void StartWatcher(HANDLE process)
{
    StopWatcher();

    Watcher* watcher = (Watcher*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Watcher));
    if (watcher == NULL) {
        if (process != NULL)
            CloseHandle(process);
        return;
    }
    watcher->process = process;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)WatchEditor, &watcher->pin);
    // Created suspended so that the record is in the slot before the watcher
    // can end and look for itself there.
    watcher->thread = CreateThread(NULL, 8192, WatchEditor, watcher, CREATE_SUSPENDED, NULL);
    if (watcher->thread == NULL) {
        Unpin(ReleaseWatcher(watcher));
        return;
    }
    InterlockedExchangePointer((PVOID volatile*)&g_watcher, watcher);
    ResumeThread(watcher->thread);
}
