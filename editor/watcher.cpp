// The watcher: one thread per launch that waits for the editor to end and
// then clicks the OK control of the host's edit dialog.
#include "editor.h"

#include "../settings/settings.h"

// One record per launch, held in g_watcher from its start until the host's
// thread starts the next watcher or stops watching. It has two owners, the
// watcher's thread and the host's side, and whichever lets go of it last
// releases it: a stop that could not see the thread end must not free what
// the thread may still read. The watcher is never
// killed: a thread killed inside a heap call or a loader lock leaves that
// lock held for good, and its stack may never be freed. A stop asks instead,
// and the watcher ends by itself at its next step.
//
// The state moves only by compare-and-swap:
//   running    -> dismissing  the editor ended; the walk begins
//   dismissing -> clicking    the walk found OK; the click is posted
//   running, dismissing -> stopped   a stop; the watcher clicks nothing
// Of "clicking" and "stopped" exactly one can win, so a stop that returns
// has either prevented the click or come after it was already queued.
enum { kRunning, kDismissing, kClicking, kStopped };

struct Watcher {
    HANDLE heap;  // the one it was allocated from
    HANDLE thread;
    HANDLE process;
    HANDLE stop;  // manual-reset, set by a stop
    HMODULE module;  // this module, held loaded until the thread has ended
    volatile LONG state;
    volatile LONG owners;  // 2 while the thread runs, then 1, then none
};

static Watcher* volatile g_watcher = NULL;

static void ReleaseWatcher(Watcher* watcher)
{
    if (watcher->process != NULL)
        CloseHandle(watcher->process);
    if (watcher->stop != NULL)
        CloseHandle(watcher->stop);
    if (watcher->thread != NULL)
        CloseHandle(watcher->thread);
    HeapFree(watcher->heap, 0, watcher);
}

static void LetGo(Watcher* watcher)
{
    if (InterlockedDecrement(&watcher->owners) == 0)
        ReleaseWatcher(watcher);
}

static BOOL Moves(Watcher* watcher, LONG from, LONG to)
{
    return InterlockedCompareExchange(&watcher->state, to, from) == from;
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

// The host's own edit dialog: the first top-level window, in z-order, with
// exactly the dialog's title that belongs to this process. Another host on
// the same desktop shows a dialog of the same title, and a click there would
// tell that host its edit is done while its user is still editing.
static HWND FindOwnEditDialog(void)
{
    DWORD self = GetCurrentProcessId();
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window, NULL, kDialogTitle)) != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == self)
            return window;
    }
    return NULL;
}

// Clicks the first control captioned exactly "OK", walking the dialog's
// descendants in pre-order. The walk gives up as soon as a stop lands, and
// the click is posted only if this watcher wins the move to "clicking".
static void DismissEditDialog(Watcher* self)
{
    HWND dialog = FindOwnEditDialog();
    if (dialog == NULL)
        return;
    for (HWND window = GetWindow(dialog, GW_CHILD); window != NULL;
         window = NextInPreOrder(dialog, window)) {
        if (self->state != kDismissing)
            return;
        char text[32];
        text[0] = '\0';
        GetWindowTextA(window, text, 30);
        if (lstrcmpA(text, "OK") == 0) {
            if (!Moves(self, kDismissing, kClicking))
                return;
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
    // A null process handle means the editor never started: the wait ends
    // at once, but a stop that came first still wins. Otherwise only the
    // editor's end clicks: a wait that failed has seen neither, and a click
    // then would end the host's edit while the user is still in the editor.
    // The user clicks OK instead.
    BOOL ended = TRUE;
    if (self->process != NULL) {
        HANDLE waits[2] = {self->stop, self->process};
        ended = WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
        CloseHandle(self->process);
        self->process = NULL;
    }
    if (ended && Moves(self, kRunning, kDismissing))
        DismissEditDialog(self);
    HMODULE module = self->module;
    LetGo(self);
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

// The walk reads the text of the host's own windows, and each read is a
// message sent to this thread: a plain wait here would deadlock with it.
// Only sent messages are answered; posted ones stay queued for the host.
// Returns early only when no wait can tell whether the thread has ended.
static void WaitUntilGone(HANDLE thread)
{
    MSG message;
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_SENDMESSAGE, 0);
        if (woken == WAIT_OBJECT_0)
            return;
        if (woken != WAIT_OBJECT_0 + 1)
            break;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    // The same wait in steps, answering sent messages between them.
    for (;;) {
        DWORD woken = WaitForSingleObject(thread, 100);
        if (woken != WAIT_TIMEOUT)
            return;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void StopWatcher(void)
{
    Watcher* watcher = (Watcher*)InterlockedExchangePointer((PVOID volatile*)&g_watcher, NULL);
    if (watcher == NULL)
        return;
    if (!Moves(watcher, kRunning, kStopped))
        Moves(watcher, kDismissing, kStopped);
    // The caller may unload the module next: the thread must be gone, not
    // merely on its way out. A watcher that can't be woken ends only with
    // the editor, and no wait can tell when a thread is gone: the host is
    // not kept waiting for either. The record is left to the thread, which
    // releases it as it ends, and the module stays loaded until then.
    if (SetEvent(watcher->stop))
        WaitUntilGone(watcher->thread);
    LetGo(watcher);
}

void StartWatcher(HANDLE process)
{
    StopWatcher();

    HANDLE heap = GetProcessHeap();
    Watcher* watcher = heap != NULL ? (Watcher*)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(Watcher)) : NULL;
    if (watcher == NULL) {
        if (process != NULL)
            CloseHandle(process);
        return;
    }
    watcher->heap = heap;
    watcher->process = process;
    watcher->state = kRunning;
    watcher->owners = 2;
    // A watcher that could not be stopped is not started.
    watcher->stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (watcher->stop == NULL) {
        ReleaseWatcher(watcher);
        return;
    }
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)&WatchEditor,
                            &watcher->module)) {
        ReleaseWatcher(watcher);
        return;
    }
    watcher->thread = CreateThread(NULL, 8192, WatchEditor, watcher, 0, NULL);
    if (watcher->thread == NULL) {
        FreeLibrary(watcher->module);
        ReleaseWatcher(watcher);
        return;
    }
    InterlockedExchangePointer((PVOID volatile*)&g_watcher, watcher);
}
