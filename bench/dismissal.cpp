// The soak: whole edit cycles through the module, many of them with a
// watcher stop swept across the editor's exit and the dialog walk. The
// others measure the dismissal beside a floor that races from the same
// exit, the two floors taking turns: a host thread that only waits for the
// editor and posts to the dialog (what the contract costs), and one that
// also finds a twin dialog by its title and walks it to its OK as the
// module must (what the module's own code adds). What the process holds is
// compared at the soak's start and its end.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>

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
struct FloorJob {
    HANDLE process;  // the cycle's editor
    HWND dialog;
    void (*act)(HWND dialog);
};

static DWORD WINAPI FloorThread(LPVOID p)
{
    FloorJob* job = (FloorJob*)p;
    WaitForSingleObject(job->process, INFINITE);
    job->act(job->dialog);
    return 0;
}

static void Post(HWND dialog)
{
    PostMessageA(dialog, kFloorMessage, 0, 0);
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

// What the contract asks of a watcher once the editor has ended: the dialog
// found by its title, its descendants read in pre-order up to the first
// captioned "OK", and the click posted to that control's parent.
static void Walk(HWND)
{
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

struct Cycle {
    int n = 0;
    bool stop = false;
    double delayMs = 0;
    bool walking = false;  // which floor races the module
    double latency = -1, floorLatency = -1;
    StopOutcome outcome = kNoStop;
    bool failed = false;
    bool lost = false;  // the editor never ended by itself
};

// A cycle without a stop: the module's click and a floor race from the
// same exit, the module to its dialog, the wait-and-post floor to the same
// dialog and the walking floor to the twin.
static void DismissBesideFloor(Cycle* c, HostDialog* dialog, const std::string& log, HANDLE process, HANDLE go)
{
    Reset(&g_twin);
    FloorJob job = {process, dialog->window, c->walking ? Walk : Post};
    HANDLE floor = CreateThread(NULL, 0, FloorThread, &job, 0, NULL);
    SetEvent(go);
    if (floor == NULL || !WaitFor(&dialog->commanded) ||
        !WaitFor(c->walking ? &g_twin.commanded : &dialog->floored))
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
    unsigned long long exited = EditorExitStamp(log);
    if (!c->failed && exited != 0 && dialog->command == IDOK) {
        c->latency = Since(dialog->commandTime, exited);
        c->floorLatency = Since(c->walking ? g_twin.commandTime : dialog->floorTime, exited);
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
    std::vector<HostArg> args = {StringArg(g_temp.substr(0, g_temp.size() - 1)),
                                 StringArg("<p>cycle " + std::to_string(c->n) + "</p>")};
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("QH_EDITOR_LOG", log.c_str());
    SetEnvironmentVariableA("QH_EDITOR_ACTION", "replace");
    SetEnvironmentVariableA("QH_EDITOR_TEXT", edited.c_str());
    SetEnvironmentVariableA("QH_EDITOR_READY", ("qh-soak-ready-" + tag).c_str());
    SetEnvironmentVariableA("QH_EDITOR_GO", ("qh-soak-go-" + tag).c_str());
    if (!Call("startEdit", args).number || !WaitPumping(ready) ||
        (process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, EditorPid(log))) == NULL) {
        c->failed = true;
        SetEvent(go);
        goto out;
    }
    if (c->stop)
        StopAfterExit(c, dialog, process, go);
    else
        DismissBesideFloor(c, dialog, log, process, go);
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

SoakResult Soak(int cycles, int stops)
{
    SoakResult result;
    MakeDialogs();

    // The walk over forty captions, timed without a stop, sets the sweep.
    std::vector<double> walks;
    for (int i = 0; i < 5; i++) {
        HostDialog* dialog = Show(&g_long);
        std::string log = g_temp + "soak-editor.log";
        SetEnvironmentVariableA("QH_EDITOR_LOG", log.c_str());
        DeleteFileA(log.c_str());
        if (Call("startEdit", {StringArg(g_temp.substr(0, g_temp.size() - 1)), StringArg("walk")}).number &&
            WaitFor(&dialog->commanded) && EditorExitStamp(log) != 0)
            walks.push_back(Since(dialog->commandTime, EditorExitStamp(log)));
    }
    double walkMs = walks.empty() ? 5 : Median(walks);

    // The cycles that carry a stop are spread evenly among the others.
    int total = cycles + stops;
    Holdings start{}, end{};
    int made = 0, landed[4] = {0, 0, 0, 0}, stopFailures = 0, lost = 0;
    double began = NowMs();
    for (int i = 0; i < total; i++) {
        Cycle c;
        c.n = i;
        c.stop = (long long)(i + 1) * stops / total > (long long)i * stops / total;
        c.delayMs = walkMs * 1.5 * ((i * 37) % 100) / 100.0;
        c.walking = result.cycles % 2 == 1;
        OneCycle(&c);
        if (c.stop) {
            made++;
            landed[c.outcome]++;
            stopFailures += c.failed ? 1 : 0;
        } else {
            result.cycles++;
            if (c.latency >= 0 && c.walking) {
                result.besideWalked.push_back(c.latency);
                result.walked.push_back(c.floorLatency);
            } else if (c.latency >= 0) {
                result.besidePosted.push_back(c.latency);
                result.posted.push_back(c.floorLatency);
            }
        }
        result.failures += c.failed ? 1 : 0;
        lost += c.lost ? 1 : 0;
        // Wine keeps some handles for good after the first launches. Each
        // count is taken with the watcher slot emptied by an exit.
        if (i == 20) {
            g_host.exit();
            start = Take();
        }
        if ((i + 1) % 500 == 0 && i > 20) {
            g_host.exit();
            Holdings now = Take();
            fprintf(stderr,
                    "soak: %d of %d cycles in %.0f s, %d failures; open handles %d, threads %d, GDI objects %d, "
                    "the module's heap bytes %lld (at the start %d, %d, %d, %lld)\n",
                    i + 1, total, (NowMs() - began) / 1000, result.failures, now.handles, now.threads, now.gdi,
                    now.heap, start.handles, start.threads, start.gdi, start.heap);
        }
    }
    g_host.exit();
    end = Take();
    double took = (NowMs() - began) / 1000.0;
    static const char* script[] = {"QH_EDITOR_LOG", "QH_EDITOR_ACTION", "QH_EDITOR_TEXT", "QH_EDITOR_READY",
                                   "QH_EDITOR_GO"};
    for (const char* name : script)
        SetEnvironmentVariableA(name, NULL);

    Row(Format("soak: whole edit cycles, %d of them with a stop", made), Format("%d", result.cycles + made),
        lost == 0 ? Format("%d failed", result.failures)
                  : Format("%d failed, %d of them an editor that never ended", result.failures, lost),
        Format("%.0f s", took));
    Row("soak: open handles, start / end", Format("%d / %d", start.handles, end.handles), "", "");
    Row("soak: the module's heap bytes, start / end", Format("%lld / %lld", start.heap, end.heap), "", "");
    Row("soak: GDI objects, start / end", Format("%d / %d", start.gdi, end.gdi), "", "");
    Row("soak: threads, start / end", Format("%d / %d", start.threads, end.threads), "", "");
    Row(Format("race: stops swept over 1.5 x the %.2f ms walk of 40 captions", walkMs), Format("%d stops", made),
        Format("%d failed", stopFailures), "");
    Row("race: where the stops landed", Format("%d during a walk", landed[kDuringWalk]),
        Format("%d after the click", landed[kAfterClick]), Format("%d before the walk", landed[kBeforeWalk]));
    return result;
}
