// The watcher: one thread per launch that waits for the editor to end, all
// of it, and then clicks the OK control of the host's edit dialog, unless
// the editor handed the file on to a window of its own.
#include "editor.h"

#include <strsafe.h>

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
    HANDLE job;   // with its port, when the editor runs in a job
    HANDLE port;  // the job's notices, and a stop's
    HANDLE stop;  // without a job: manual-reset, set by a stop
    HMODULE module;  // this module, held loaded until the thread has ended
    DWORD started;
    DWORD quickExitSeconds;
    FILETIME savedWriteTime;
    char path[MAX_PATH];
    volatile LONG state;
    volatile LONG owners;  // 2 while the thread runs, then 1, then none
};

// A stop's notice on the port; the job's notices carry the job's handle.
static const ULONG_PTR kStopKey = 0;

static Watcher* volatile g_watcher = NULL;

static void ReleaseWatcher(Watcher* watcher)
{
    if (watcher->process != NULL)
        CloseHandle(watcher->process);
    if (watcher->stop != NULL)
        CloseHandle(watcher->stop);
    if (watcher->port != NULL)
        CloseHandle(watcher->port);
    if (watcher->job != NULL)
        CloseHandle(watcher->job);
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

// Until the job has no process left. Windows does not promise to queue
// every notice, so each process's exit also asks the job how many remain.
// FALSE for a stop, or a wait that failed.
static BOOL WaitForJob(Watcher* self)
{
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = kStopKey;
        LPOVERLAPPED detail = NULL;
        if (!GetQueuedCompletionStatus(self->port, &message, &key, &detail, INFINITE) ||
            key == kStopKey)
            return FALSE;
        if (key != (ULONG_PTR)self->job)
            continue;
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            return TRUE;
        if (message == JOB_OBJECT_MSG_EXIT_PROCESS || message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
            JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
            if (QueryInformationJobObject(self->job, JobObjectBasicAccountingInformation, &accounting,
                                          sizeof(accounting), NULL) &&
                accounting.ActiveProcesses == 0)
                return TRUE;
        }
    }
}

// An editor gone within moments of its start, the file unwritten, has
// handed the file to a window of its own that was already open: the user
// edits there, and a click now would end the edit under them.
static BOOL HandedOn(const Watcher* self)
{
    // The difference of two tick counts is right across their wrap.
    DWORD elapsed = GetTickCount() - self->started;
    if (self->quickExitSeconds == 0 || (ULONGLONG)elapsed >= (ULONGLONG)self->quickExitSeconds * 1000)
        return FALSE;
    FILETIME now = GetWriteTime(self->path);
    return now.dwLowDateTime == self->savedWriteTime.dwLowDateTime &&
           now.dwHighDateTime == self->savedWriteTime.dwHighDateTime;
}

static DWORD WINAPI WatchEditor(LPVOID parameter)
{
    Watcher* self = (Watcher*)parameter;
    // Only the editor's end clicks: a wait that failed has seen neither the
    // end nor a stop, and a click then would end the host's edit while the
    // user is still in the editor. The user clicks OK instead, as after a
    // hand-off. A null process handle means the editor never started.
    BOOL ended = TRUE;
    if (self->port != NULL) {
        ended = WaitForJob(self);
    } else if (self->process != NULL) {
        HANDLE waits[2] = {self->stop, self->process};
        ended = WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
    }
    if (ended && self->process != NULL && HandedOn(self))
        ended = FALSE;
    if (ended && Moves(self, kRunning, kDismissing))
        DismissEditDialog(self);
    // Only the port is the host's side's too (a stop posts to it): the rest
    // goes now, not with the record, which lasts until the next launch. After
    // the click, which waits for nothing these closes do.
    HANDLE done[2] = {self->process, self->job};
    self->process = self->job = NULL;
    for (HANDLE handle : done) {
        if (handle != NULL)
            CloseHandle(handle);
    }
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
    BOOL woken = watcher->port != NULL
                     ? PostQueuedCompletionStatus(watcher->port, 0, kStopKey, NULL)
                     : SetEvent(watcher->stop);
    if (woken)
        WaitUntilGone(watcher->thread);
    LetGo(watcher);
}

void StartWatcher(const EditorRun* run)
{
    StopWatcher();

    HANDLE heap = GetProcessHeap();
    Watcher* watcher = heap != NULL ? (Watcher*)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(Watcher)) : NULL;
    if (watcher == NULL) {
        HANDLE handles[3] = {run->process, run->job, run->port};
        for (HANDLE handle : handles) {
            if (handle != NULL)
                CloseHandle(handle);
        }
        return;
    }
    watcher->heap = heap;
    watcher->process = run->process;
    watcher->job = run->job;
    watcher->port = run->port;
    watcher->started = run->started;
    watcher->quickExitSeconds = run->quickExitSeconds;
    watcher->savedWriteTime = g_savedWriteTime;
    StringCchCopyA(watcher->path, ARRAYSIZE(watcher->path), g_editedPath);  // fits: same size
    watcher->state = kRunning;
    watcher->owners = 2;
    // A watcher that could not be stopped is not started. With a job, a
    // stop is a notice on its port.
    if (watcher->port == NULL) {
        watcher->stop = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (watcher->stop == NULL) {
            ReleaseWatcher(watcher);
            return;
        }
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
