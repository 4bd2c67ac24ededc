// The soak: whole edit cycles through the module, many of them with a
// watcher stop swept across the editor's exit and the dialog walk. The
// others measure the dismissal from the editor's exit, three kinds of cycle
// taking turns: the module's watcher clicks alone, as in a host; or the
// watcher is stopped before the exit and a floor of the host's own answers
// it alone: a thread that only waits for the editor and posts to the dialog
// (what the contract costs), or one that pays what the watcher must (the
// job's notices, the hand-off's write-time read, the dialog found by its
// title and walked to its OK). Alone, because two walks at once queue for
// the one host thread that answers every caption read, and whichever woke
// first would win. Each block of cycles is a process of its own; what it
// holds is compared at its start and its end.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "bench/heap_meter.h"
#include "tools/host/probes.h"

// The host's edit dialogs stay up for the whole run, so that the figures are
// the editor's and the module's, not the window system's: a plain one (an
// instruction, OK and Cancel) and a long one with forty captions before its
// OK. Only the one in use carries the dialog title. The twin is the plain
// one's copy for the walking floor, answered by the same host thread as the
// module's walk; its title has the same length as the module's.
struct HostDialog {
    HWND window = NULL;
    bool commanded = false;
    WORD command = 0;
    FILETIME commandTime{};
    bool floored = false;  // the wait-and-post floor's message arrived
    FILETIME floorTime{};
};

static const UINT kFloorMessage = WM_APP + 2;
static const char kTwinTitle[] = "Quillhaven: Under the Scrivlet twin";
static_assert(sizeof(kTwinTitle) == sizeof("Quillhaven: Under the Scrivlet edit"), "the titles match in length");

static HostDialog g_plain, g_long, g_twin;
static int g_captionReads = 0;

static HostDialog* DialogOf(HWND window)
{
    return window == g_plain.window ? &g_plain : window == g_long.window ? &g_long : &g_twin;
}

static LRESULT CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kFloorMessage) {
        HostDialog* d = DialogOf(window);
        GetSystemTimePreciseAsFileTime(&d->floorTime);
        d->floored = true;
        return 0;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        HostDialog* d = DialogOf(window);
        if (!d->commanded)
            GetSystemTimePreciseAsFileTime(&d->commandTime);
        d->commanded = true;
        d->command = LOWORD(wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static LRESULT CALLBACK CaptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_GETTEXT)
        g_captionReads++;
    return DefWindowProcA(window, message, wParam, lParam);
}

static HWND MakeDialog(int captions, const char* title)
{
    HINSTANCE instance = GetModuleHandleA(NULL);
    HWND window = CreateWindowExA(0, "QhBenchDialog", title, WS_POPUP | WS_CAPTION | WS_VISIBLE, 100, 100, 320,
                                  120, NULL, NULL, instance, NULL);
    CreateWindowExA(0, "STATIC", "Edit the text in the editor.", WS_CHILD | WS_VISIBLE, 10, 10, 300, 20, window,
                    NULL, instance, NULL);
    for (int i = 0; i < captions; i++)
        CreateWindowExA(0, "QhBenchCaption", "Caption", WS_CHILD, 0, 0, 10, 10, window, NULL, instance, NULL);
    CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 60, 60, 80, 24, window,
                    (HMENU)IDOK, instance, NULL);
    CreateWindowExA(0, "BUTTON", "Cancel", WS_CHILD | WS_VISIBLE, 160, 60, 80, 24, window, (HMENU)IDCANCEL,
                    instance, NULL);
    return window;
}

// The floors take turns, cycle by cycle, each on a thread of the host's own
// started for the cycle, as the module starts its watcher. (Under qemu-user
// a third thread waiting for the same editor beside the watcher and a
// floor brought the emulator down within a few dozen cycles, and a floor
// thread kept for the whole soak now and then finished a cycle's work
// without its signal ever being seen.)
//
// The wait-and-post floor waits for the editor's process. The walking
// floor pays what the module's watcher must: the editor in a job (its own,
// nested in the module's), the job's notices on a port with the count of
// its processes asked on each exit, the file's write time read to tell an
// editor that saved from one that handed the file on, then the walk.
struct FloorJob {
    HANDLE process;  // the cycle's editor
    HANDLE job = NULL, port = NULL;
    HWND dialog = NULL;
    void (*act)(FloorJob* job) = NULL;
    DWORD started = 0;      // tick count once startEdit returned
    FILETIME saved{};       // the file's write time then
    std::string path;       // the file
    FILETIME woke{};        // when the wait ended
    HANDLE waiting = NULL;  // set as the floor begins to wait
    bool onJob = false;     // waits for the job's notices, not the process
};

static std::string TempFile()
{
    return g_temp + "QuillhavenTemp.html";
}

// As the watcher waits: until the job has no process left.
static void WaitForJob(FloorJob* job)
{
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = NULL;
        if (!GetQueuedCompletionStatus(job->port, &message, &key, &detail, INFINITE))
            return;
        if (key != (ULONG_PTR)job->job)
            continue;
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            return;
        if (message == JOB_OBJECT_MSG_EXIT_PROCESS || message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
            JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
            if (QueryInformationJobObject(job->job, JobObjectBasicAccountingInformation, &accounting,
                                          sizeof(accounting), NULL) &&
                accounting.ActiveProcesses == 0)
                return;
        }
    }
}

static DWORD WINAPI FloorThread(LPVOID p)
{
    FloorJob* job = (FloorJob*)p;
    SetEvent(job->waiting);
    if (job->onJob)
        WaitForJob(job);
    else
        WaitForSingleObject(job->process, INFINITE);
    GetSystemTimePreciseAsFileTime(&job->woke);
    job->act(job);
    return 0;
}

// Puts the editor in a job of the floor's own with a port for its notices,
// as the module's launch does; false when this system nests no jobs.
static bool PutInOwnJob(FloorJob* job)
{
    job->job = CreateJobObjectA(NULL, NULL);
    job->port = job->job != NULL ? CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 1) : NULL;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT notices = {job->job, job->port};
    if (job->port != NULL &&
        SetInformationJobObject(job->job, JobObjectAssociateCompletionPortInformation, &notices, sizeof(notices)) &&
        AssignProcessToJobObject(job->job, job->process))
        return true;
    if (job->port != NULL)
        CloseHandle(job->port);
    if (job->job != NULL)
        CloseHandle(job->job);
    job->job = job->port = NULL;
    return false;
}

static void Post(FloorJob* job)
{
    PostMessageA(job->dialog, kFloorMessage, 0, 0);
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

// What the contract asks of a watcher once the editor has ended: an end
// soon after the launch that left the file unwritten is a hand-off, and
// clicks nothing; otherwise the dialog found by its title, its descendants
// read in pre-order up to the first captioned "OK", and the click posted to
// that control's parent.
static void Walk(FloorJob* job)
{
    if (GetTickCount() - job->started < 5000) {
        FILETIME now = WriteTime(job->path.c_str());
        if (CompareFileTime(&now, &job->saved) == 0)
            return;
    }
    // As the watcher does: the first window of the title that is this
    // process's own.
    HWND dialog = NULL;
    while ((dialog = FindWindowExA(NULL, dialog, NULL, kTwinTitle)) != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(dialog, &owner);
        if (owner == GetCurrentProcessId())
            break;
    }
    if (dialog == NULL)
        return;
    for (HWND window = GetWindow(dialog, GW_CHILD); window != NULL; window = NextInPreOrder(dialog, window)) {
        char text[32];
        text[0] = '\0';
        GetWindowTextA(window, text, 30);
        if (lstrcmpA(text, "OK") == 0) {
            WORD id = LOWORD(GetWindowLongA(window, GWL_ID));
            PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)window);
            return;
        }
    }
}

static void MakeDialogs()
{
    if (g_plain.window != NULL)
        return;
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpfnWndProc = DialogProc;
    wc.lpszClassName = "QhBenchDialog";
    RegisterClassA(&wc);
    wc.lpfnWndProc = CaptionProc;
    wc.lpszClassName = "QhBenchCaption";
    RegisterClassA(&wc);
    g_plain.window = MakeDialog(0, "idle");
    g_long.window = MakeDialog(40, "idle");
    g_twin.window = MakeDialog(0, kTwinTitle);
    PumpFor(50);
}

// Nothing commanded yet, no floor arrived.
static HostDialog* Reset(HostDialog* dialog)
{
    dialog->commanded = false;
    dialog->commandTime = FILETIME{};
    dialog->floored = false;
    dialog->floorTime = FILETIME{};
    return dialog;
}

// The dialog in use for the next edit: titled, and reset.
static HostDialog* Show(HostDialog* dialog)
{
    HostDialog* other = dialog == &g_plain ? &g_long : &g_plain;
    SetWindowTextA(other->window, "idle");
    SetWindowTextA(dialog->window, kTitle);
    return Reset(dialog);
}

static bool WaitFor(const bool* flag, DWORD timeoutMs = 60000)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        if (*flag)
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

static double Since(const FILETIME& when, unsigned long long exit)
{
    return ((double)Stamp(when) - (double)exit) / 10000.0;
}

struct Holdings {
    int handles, threads, gdi;
    long long heap;
};

static Holdings Take()
{
    return Holdings{CountHandles(), CountThreads(), CountGdiObjects(), MeteredBytes()};
}

enum StopOutcome { kNoStop, kBeforeWalk, kDuringWalk, kAfterClick };

// Who answers the editor's exit in a cycle without a stop.
enum Answerer { kModule, kPostingFloor, kWalkingFloor };

struct Cycle {
    int n = 0;
    bool stop = false;
    double delayMs = 0;
    Answerer answerer = kModule;
    double latency = -1;  // ms from the editor's exit to the click or the floor's message
    double wake = -1;     // ms from the editor's exit to a floor's wake
    StopOutcome outcome = kNoStop;
    bool failed = false;
    bool lost = false;      // the editor never ended by itself
    bool unjobbed = false;  // the walking floor waited for the process: no nested job
};

// The host's own job around the editor, nested in the module's, in every
// measuring cycle and not only the walking floor's, so that each editor's
// end is the same work for the system whoever answers it.
static void CloseOwnJob(FloorJob* job)
{
    if (job->port != NULL)
        CloseHandle(job->port);
    if (job->job != NULL)
        CloseHandle(job->job);
    job->job = job->port = NULL;
}

// The module's watcher answers the exit alone.
static void DismissByModule(Cycle* c, HostDialog* dialog, const std::string& log, HANDLE process, HANDLE go)
{
    FloorJob nest;
    nest.process = process;
    PutInOwnJob(&nest);
    SetEvent(go);
    if (!WaitFor(&dialog->commanded))
        c->failed = true;
    CloseOwnJob(&nest);
    unsigned long long exited = EditorExitStamp(log);
    if (!c->failed && exited != 0 && dialog->command == IDOK)
        c->latency = Since(dialog->commandTime, exited);
}

// A floor answers the exit alone: the module's watcher was stopped as the
// cycle began, and clicks nothing. The wait-and-post floor posts to the dialog, the
// walking floor clicks the twin.
static void DismissByFloor(Cycle* c, HostDialog* dialog, const std::string& log, HANDLE process, HANDLE go,
                           DWORD started, FILETIME saved)
{
    Reset(&g_twin);
    bool walking = c->answerer == kWalkingFloor;
    FloorJob job;
    job.process = process;
    job.dialog = dialog->window;
    job.act = walking ? Walk : Post;
    job.started = started;
    job.saved = saved;
    job.path = TempFile();
    job.onJob = PutInOwnJob(&job) && walking;
    if (walking && !job.onJob)
        c->unjobbed = true;
    // The floor is at its wait before the editor may end, as the watcher is.
    job.waiting = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE floor = job.waiting != NULL ? CreateThread(NULL, 0, FloorThread, &job, 0, NULL) : NULL;
    if (floor != NULL)
        WaitForSingleObject(job.waiting, INFINITE);
    SetEvent(go);
    if (floor == NULL || !WaitFor(walking ? &g_twin.commanded : &dialog->floored))
        c->failed = true;
    // The floor waits for the editor: one that never ends (under qemu-user
    // Wine now and then loses a process) is ended here, and the cycle has
    // failed. The floor must be gone before its job goes out of scope.
    if (floor != NULL && !WaitPumping(floor)) {
        c->failed = c->lost = true;
        TerminateProcess(process, 1);
        if (!WaitPumping(floor)) {
            fprintf(stderr, "soak: cycle %d: the floor's thread did not end; the figures stop here\n", c->n);
            exit(1);
        }
    }
    if (floor != NULL)
        CloseHandle(floor);
    if (job.waiting != NULL)
        CloseHandle(job.waiting);
    CloseOwnJob(&job);
    if (dialog->commanded)
        c->failed = true;  // a stopped watcher clicked
    unsigned long long exited = EditorExitStamp(log);
    if (!c->failed && exited != 0) {
        c->latency = Since(walking ? g_twin.commandTime : dialog->floorTime, exited);
        c->wake = Since(job.woke, exited);
    }
}

// The stop of a cycle that carries one: once the editor has ended and the
// delay has passed, JSAExit. A stop that won leaves the dialog up, and the
// host dismisses it as a user would; a click after the stop returned fails.
static void StopAfterExit(Cycle* c, HostDialog* dialog, HANDLE process, HANDLE go)
{
    SetEvent(go);
    if (!WaitPumping(process)) {
        c->failed = true;
        return;
    }
    int reads = g_captionReads;
    PumpFor(c->delayMs);
    g_host.exit();
    MSG queued;
    bool clicked = dialog->commanded || PeekMessageA(&queued, dialog->window, WM_COMMAND, WM_COMMAND, PM_NOREMOVE);
    c->outcome = clicked ? kAfterClick : g_captionReads > reads ? kDuringWalk : kBeforeWalk;
    PumpFor(0);
    if (!clicked && dialog->commanded)
        c->failed = true;
    if (!clicked)
        PostMessageA(dialog->window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    if (!WaitFor(&dialog->commanded))
        c->failed = true;
}

// One whole edit: startEdit, the editor saves and exits, the dialog is
// dismissed, then updated, getEdit and endEdit, each checked. The editor
// waits until the host holds its process, so the host sees its very end.
static void OneCycle(Cycle* c)
{
    std::string log = g_temp + "soak-editor.log";
    std::string tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(c->n);
    std::string edited = "<p>edited in cycle " + std::to_string(c->n) + "</p>";
    HostDialog* dialog = Show(c->stop ? &g_long : &g_plain);
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, ("qh-soak-ready-" + tag).c_str());
    HANDLE go = CreateEventA(NULL, TRUE, FALSE, ("qh-soak-go-" + tag).c_str());
    HANDLE process = NULL;
    Delivery text;
    DWORD started = 0;
    FILETIME saved = {0, 0};
    std::vector<HostArg> args = {StringArg(g_temp.substr(0, g_temp.size() - 1)),
                                 StringArg("<p>cycle " + std::to_string(c->n) + "</p>")};
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("QH_EDITOR_LOG", log.c_str());
    SetEnvironmentVariableA("QH_EDITOR_ACTION", "replace");
    SetEnvironmentVariableA("QH_EDITOR_TEXT", edited.c_str());
    SetEnvironmentVariableA("QH_EDITOR_READY", ("qh-soak-ready-" + tag).c_str());
    SetEnvironmentVariableA("QH_EDITOR_GO", ("qh-soak-go-" + tag).c_str());
    bool began = Call("startEdit", args).number != 0;
    if (began) {
        started = GetTickCount();
        saved = WriteTime(TempFile().c_str());
    }
    // In a floor's cycle the module's watcher is stopped at once, well
    // before the editor may end: its thread's own end is not in the race.
    if (!c->stop && c->answerer != kModule)
        g_host.exit();
    if (!began || !WaitPumping(ready) ||
        (process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, EditorPid(log))) ==
            NULL) {
        c->failed = true;
        SetEvent(go);
        goto out;
    }
    if (c->stop)
        StopAfterExit(c, dialog, process, go);
    else if (c->answerer == kModule)
        DismissByModule(c, dialog, log, process, go);
    else
        DismissByFloor(c, dialog, log, process, go, started, saved);
    if (!Call("updated").number)
        c->failed = true;
    text = Call("getEdit");
    if (text.kind != kDeliveredString || text.text != edited)
        c->failed = true;
    Call("endEdit");
    if (GetFileAttributesA((g_temp + "QuillhavenTemp.html").c_str()) != INVALID_FILE_ATTRIBUTES)
        c->failed = true;
out:
    if (c->failed)
        WaitEditorsGone();
    if (process != NULL)
        CloseHandle(process);
    CloseHandle(ready);
    CloseHandle(go);
}

// What one block measured, as lines of "WHAT VALUE..." in its file.
static void WriteValues(FILE* out, const char* what, const std::vector<double>& values)
{
    for (double v : values)
        fprintf(out, "%s %.6f\n", what, v);
}

int MeasureSoakBlock(int cycles, int stops, double walkMs, const std::string& outPath)
{
    FILE* out = fopen(outPath.c_str(), "w");
    if (out == NULL) {
        fprintf(stderr, "qh_bench: cannot write %s\n", outPath.c_str());
        return 1;
    }
    MakeDialogs();
    SoakBlock block;
    // The cycles that carry a stop are spread evenly among the others.
    int total = cycles + stops;
    Holdings start{}, end{};
    int measuring = 0, failures = 0, made = 0, landed[4] = {0, 0, 0, 0}, stopFailures = 0, lost = 0, unjobbed = 0;
    for (int i = 0; i < total; i++) {
        Cycle c;
        c.n = i;
        c.stop = (long long)(i + 1) * stops / total > (long long)i * stops / total;
        c.delayMs = walkMs * 1.5 * ((i * 37) % 100) / 100.0;
        c.answerer = (Answerer)(measuring % 3);
        OneCycle(&c);
        if (c.stop) {
            made++;
            landed[c.outcome]++;
            stopFailures += c.failed ? 1 : 0;
        } else {
            measuring++;
            unjobbed += c.unjobbed ? 1 : 0;
            if (c.latency >= 0 && c.answerer == kModule) {
                block.module.push_back(c.latency);
            } else if (c.latency >= 0 && c.answerer == kPostingFloor) {
                block.posted.push_back(c.latency);
                block.wokeByProcess.push_back(c.wake);
            } else if (c.latency >= 0) {
                block.walked.push_back(c.latency);
                if (!c.unjobbed)
                    block.wokeByJob.push_back(c.wake);
            }
        }
        failures += c.failed ? 1 : 0;
        lost += c.lost ? 1 : 0;
        // Wine keeps some handles for good after the first launches. Each
        // count is taken with the watcher slot emptied by an exit.
        if (i == std::min(20, total - 1)) {
            g_host.exit();
            start = Take();
        }
    }
    g_host.exit();
    end = Take();
    WriteValues(out, "module", block.module);
    WriteValues(out, "posted", block.posted);
    WriteValues(out, "walked", block.walked);
    WriteValues(out, "job", block.wokeByJob);
    WriteValues(out, "process", block.wokeByProcess);
    fprintf(out, "counts %d %d %d %d %d %d %d %d %d %d\n", measuring, failures, made, stopFailures, lost, unjobbed,
            landed[kBeforeWalk], landed[kDuringWalk], landed[kAfterClick], 0);
    fprintf(out, "held %d %d %d %lld %d %d %d %lld\n", start.handles, start.threads, start.gdi, start.heap,
            end.handles, end.threads, end.gdi, end.heap);
    fprintf(out, "done\n");
    return fclose(out) == 0 ? 0 : 1;
}

// The walk over forty captions, timed without a stop, sets the sweep. The
// editor saves: one that ends at once having written nothing has handed
// the file on, and nothing is clicked.
static double MeasureWalk()
{
    MakeDialogs();
    std::vector<double> walks;
    SetEnvironmentVariableA("QH_EDITOR_ACTION", "replace");
    SetEnvironmentVariableA("QH_EDITOR_TEXT", "<p>walked</p>");
    for (int i = 0; i < 5; i++) {
        HostDialog* dialog = Show(&g_long);
        std::string log = g_temp + "soak-editor.log";
        SetEnvironmentVariableA("QH_EDITOR_LOG", log.c_str());
        DeleteFileA(log.c_str());
        if (Call("startEdit", {StringArg(g_temp.substr(0, g_temp.size() - 1)), StringArg("walk")}).number &&
            WaitFor(&dialog->commanded) && EditorExitStamp(log) != 0)
            walks.push_back(Since(dialog->commandTime, EditorExitStamp(log)));
        WaitEditorsGone();
        Call("getEdit");
        Call("endEdit");
    }
    static const char* script[] = {"QH_EDITOR_LOG", "QH_EDITOR_ACTION", "QH_EDITOR_TEXT"};
    for (const char* name : script)
        SetEnvironmentVariableA(name, NULL);
    // The blocks' own dialogs are the ones to find from now on.
    SetWindowTextA(g_long.window, "idle");
    SetWindowTextA(g_twin.window, "idle");
    if (walks.size() < 5) {
        fprintf(stderr, "soak: the walk of 40 captions was clicked in %zu of 5 edits\n", walks.size());
        exit(1);
    }
    return Median(walks);
}

// The soak's blocks, each a process of its own, so that the spread between
// blocks covers what moves from one process to the next (on which core the
// host's thread settles beside the wineserver's, where the heap lies), not
// only the drift within one.
static const int kSoakBlocks = 20;

SoakResult Soak(const std::string& plugin, int cycles, int stops)
{
    SoakResult result;
    double walkMs = MeasureWalk();
    int measuring = 0, failures = 0, made = 0, stopFailures = 0, lost = 0, landed[3] = {0, 0, 0}, failedBlocks = 0;
    // The block whose holdings grew the most, each holding apart.
    long long grown[4] = {-1, -1, -1, -1};
    long long shown[4][2] = {};
    double began = NowMs();
    for (int k = 0; k < kSoakBlocks; k++) {
        int blockCycles = cycles * (k + 1) / kSoakBlocks - cycles * k / kSoakBlocks;
        int blockStops = stops * (k + 1) / kSoakBlocks - stops * k / kSoakBlocks;
        std::string outPath = g_temp + Format("soak-block-%d.txt", k);
        DeleteFileA(outPath.c_str());
        bool ran = RunSelf(plugin, Format("--soak-block %d %d %.3f \"%s\"", blockCycles, blockStops, walkMs,
                                          outPath.c_str()));
        SoakBlock block;
        bool done = false;
        FILE* in = fopen(outPath.c_str(), "r");
        char line[256], what[32];
        double value;
        while (in != NULL && fgets(line, sizeof(line), in) != NULL) {
            int n[10];
            long long h[8];
            if (sscanf(line, "counts %d %d %d %d %d %d %d %d %d %d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5],
                       &n[6], &n[7], &n[8], &n[9]) == 10) {
                measuring += n[0], failures += n[1], made += n[2], stopFailures += n[3], lost += n[4];
                result.unjobbed += n[5], landed[0] += n[6], landed[1] += n[7], landed[2] += n[8];
            } else if (sscanf(line, "held %lld %lld %lld %lld %lld %lld %lld %lld", &h[0], &h[1], &h[2], &h[3],
                              &h[4], &h[5], &h[6], &h[7]) == 8) {
                for (int m = 0; m < 4; m++) {
                    if (h[m + 4] - h[m] > grown[m]) {
                        grown[m] = h[m + 4] - h[m];
                        shown[m][0] = h[m];
                        shown[m][1] = h[m + 4];
                    }
                }
            } else if (strncmp(line, "done", 4) == 0) {
                done = true;
            } else if (sscanf(line, "%31s %lf", what, &value) == 2) {
                std::vector<double>* to = strcmp(what, "module") == 0    ? &block.module
                                          : strcmp(what, "posted") == 0  ? &block.posted
                                          : strcmp(what, "walked") == 0  ? &block.walked
                                          : strcmp(what, "job") == 0     ? &block.wokeByJob
                                          : strcmp(what, "process") == 0 ? &block.wokeByProcess
                                                                         : NULL;
                if (to != NULL)
                    to->push_back(value);
            }
        }
        if (in != NULL)
            fclose(in);
        DeleteFileA(outPath.c_str());
        if (!ran || !done) {
            failedBlocks++;
            continue;
        }
        result.blocks.push_back(block);
        fprintf(stderr, "soak: %d of %d blocks in %.0f s, %d failures so far\n", k + 1, kSoakBlocks,
                (NowMs() - began) / 1000, failures);
    }
    double took = (NowMs() - began) / 1000.0;
    result.failures = failures + failedBlocks;

    std::string failed = Format("%d failed", failures);
    if (lost > 0)
        failed += Format(", %d of them an editor that never ended", lost);
    if (failedBlocks > 0)
        failed += Format("; %d of %d processes did not finish", failedBlocks, kSoakBlocks);
    Row(Format("soak: whole edit cycles in %d processes, %d of them with a stop", kSoakBlocks, made),
        Format("%d", measuring + made), failed, Format("%.0f s", took));
    const char* held[] = {"open handles", "threads", "GDI objects", "the module's heap bytes"};
    for (int m = 0; m < 4; m++)
        Row(Format("soak: %s, start / end, in the process where they grew the most", held[m]),
            Format("%lld / %lld", shown[m][0], shown[m][1]), "", "");
    Row(Format("race: stops swept over 1.5 x the %.2f ms walk of 40 captions", walkMs), Format("%d stops", made),
        Format("%d failed", stopFailures), "");
    Row("race: where the stops landed", Format("%d during a walk", landed[kDuringWalk - 1]),
        Format("%d after the click", landed[kAfterClick - 1]), Format("%d before the walk", landed[kBeforeWalk - 1]));
    return result;
}
