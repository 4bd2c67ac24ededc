// The watcher: one thread per launch that waits for the editor to end and
// then clicks the OK control of the host's edit dialog.
#include "editor.h"

#include "../settings/settings.h"

// One record per launch, held in g_watcher from its start until the host's
// thread starts the next watcher or stops watching. A watcher that ends by
// itself marks its record done, and the slot then counts as empty; a stop
// marks a running record stopped before it terminates the thread. Whichever
// mark lands first decides, so a stop never aims at a thread that has left,
// and the thread handle is closed only after the thread is gone: it always
// names the thread it was made for.
enum { kRunning, kDone, kStopped };

struct Watcher {
    HANDLE thread;
    HANDLE process;
    volatile LONG state;
};

static Watcher* volatile g_watcher = NULL;

static void ReleaseWatcher(Watcher* watcher)
{
    if (watcher->process != NULL)
        CloseHandle(watcher->process);
    if (watcher->thread != NULL)
        CloseHandle(watcher->thread);
    HeapFree(GetProcessHeap(), 0, watcher);
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
            // Posted, not sent: the host's thread may be busy, and the
            // watcher must not wait for it.
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
    if (InterlockedCompareExchange(&self->state, kDone, kRunning) == kRunning) {
        // No stop can reach this thread any more.
        if (self->process != NULL)
            CloseHandle(self->process);
        self->process = NULL;
    }
    return 0;
}

void StopWatcher(void)
{
    Watcher* watcher = (Watcher*)InterlockedExchangePointer((PVOID volatile*)&g_watcher, NULL);
    if (watcher == NULL)
        return;
    if (InterlockedCompareExchange(&watcher->state, kStopped, kRunning) == kRunning)
        TerminateThread(watcher->thread, 0);
    // TerminateThread only asks, and a watcher that is done may still be on
    // its way out: the thread is gone when its handle is signalled.
    WaitForSingleObject(watcher->thread, INFINITE);
    ReleaseWatcher(watcher);
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
    watcher->state = kRunning;
    // Created suspended so that the record is in the slot before the watcher
    // can end and look for itself there.
    watcher->thread = CreateThread(NULL, 8192, WatchEditor, watcher, CREATE_SUSPENDED, NULL);
    if (watcher->thread == NULL) {
        ReleaseWatcher(watcher);
        return;
    }
    InterlockedExchangePointer((PVOID volatile*)&g_watcher, watcher);
    ResumeThread(watcher->thread);
}
