// Stops that land anywhere in a watcher's life: as it starts, while it waits
// for the editor, while it walks a long dialog, and as it posts the click.
// Whatever the moment, the stop returns, the watcher is gone by then, and a
// click either was queued before the stop returned or never comes.
#include "editor_fixture.h"

#include "tools/host/message_loop.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <utility>

static int g_textReads = 0;  // WM_GETTEXT answered by the dialog's captions

static LRESULT CALLBACK CaptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_GETTEXT)
        g_textReads++;
    return DefWindowProcA(window, message, wParam, lParam);
}

static DWORD WINAPI AllocateMuch(LPVOID)
{
    const SIZE_T size = 16 << 20;
    char* block = (char*)HeapAlloc(GetProcessHeap(), 0, size);
    if (block == NULL)
        return 0;
    for (SIZE_T i = 0; i < size; i += 4096)
        block[i] = (char)i;
    HeapFree(GetProcessHeap(), 0, block);
    return 1;
}

class WatcherRaceTest : public EditorTest {
protected:
    // One "run": an editor that says when it has started and exits when told.
    struct Launch {
        NamedEvent ready{"ready"};
        NamedEvent go{"go"};
        std::string log;
        HANDLE process = NULL;
        ~Launch()
        {
            if (process != NULL)
                CloseHandle(process);
        }
    };
    std::string file;
    TestDialog dialog;

    void SetUp() override
    {
        EditorTest::SetUp();
        file = workDir + "\\page.html";
        WriteFileBytes(file, "<p>text</p>");
        // A long walk: sixty captions read before the OK is reached.
        RegisterTestClass("QhTestCaption", CaptionProc);
        for (int i = 0; i < 60; i++)
            CreateWindowExA(0, "QhTestCaption", ("Caption " + std::to_string(i)).c_str(), WS_CHILD,
                            0, 0, 10, 10, dialog.window, (HMENU)(INT_PTR)(100 + i),
                            GetModuleHandleA(NULL), NULL);
        dialog.AddButton(dialog.window, "OK", IDOK);
    }

    std::unique_ptr<Launch> Run()
    {
        std::unique_ptr<Launch> launch(new Launch);
        launch->log = NextLog();
        SetEditorScript("QH_EDITOR_READY", launch->ready.name);
        SetEditorScript("QH_EDITOR_GO", launch->go.name);
        Delivery d = Call("run", {StringArg(file)});
        EXPECT_EQ(d.number, 1);
        return launch;
    }

    // The editor's own handle, so the host sees the moment it ends.
    bool Started(Launch* launch)
    {
        if (launch->process != NULL)
            return true;
        if (!WaitPumping(launch->ready.handle))
            return false;
        DWORD pid = (DWORD)strtoul(LogValue(ReadLog(launch->log), "pid").c_str(), NULL, 10);
        launch->process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        return launch->process != NULL;
    }

    bool Finish(Launch* launch)
    {
        if (!Started(launch))
            return false;
        launch->go.Set();
        return WaitPumping(launch->process);
    }

    size_t Clicks() { return TestDialog::Received().size(); }

    int StopsToMake()
    {
        const char* wanted = getenv("QH_RACE_STOPS");
        return wanted != NULL && atoi(wanted) > 0 ? atoi(wanted) : 120;
    }
};

TEST_F(WatcherRaceTest, StopsAtEveryMomentNeitherHangNorClickLateNorLeak)
{
    // How long the editor's exit takes to become a click, walk included.
    std::unique_ptr<Launch> probe = Run();
    ASSERT_TRUE(Started(probe.get()));
    probe->go.Set();
    ASSERT_TRUE(WaitPumping(probe->process));
    double exited = NowMs();
    ASSERT_TRUE(PumpUntil([&] { return Clicks() == 1; }));
    double walkMs = NowMs() - exited;
    ASSERT_TRUE(WaitWatcherEnded());
    probe.reset();
    TestDialog::Received().clear();

    // Stops alternate between a relaunch and JSAExit (followed by the unload,
    // which a watcher still inside the module would not survive). Phases:
    // 0 as the watcher starts, 1 while it waits, 2+ after the editor's exit,
    // at delays spread over one and a half times the whole walk.
    const int stops = StopsToMake();
    const int phases = 8;
    int beforeExit = 0, duringWalk = 0, afterClick = 0, beforeWalk = 0;
    double began = NowMs();
    std::unique_ptr<Launch> current;
    for (int i = 0; i < stops; i++) {
        bool byExit = i % 2 == 1;
        int phase = (i / 2) % phases;
        double delayMs = walkMs * 1.5 * ((i * 37) % 100) / 100.0;
        // Not SCOPED_TRACE: its first use starts a thread of GoogleTest's own.
        std::string where = "stop " + std::to_string(i) + (byExit ? " by JSAExit" : " by relaunch") +
                            ", phase " + std::to_string(phase) + ", delay " +
                            std::to_string(delayMs) + " ms";
        // Wine keeps a few handles for good after the process's first launch
        // and the module's first reload: the count is taken once both are done.
        if (i == 2)
            baselineHandles = CountHandles();
        if (!current)
            current = Run();
        size_t clicksBefore = Clicks();
        int readsBefore = g_textReads;
        if (phase >= 1) {
            ASSERT_TRUE(Started(current.get())) << where;
        }
        if (phase >= 2) {
            current->go.Set();
            ASSERT_TRUE(WaitPumping(current->process)) << where;
            PumpFor(delayMs);
        }

        std::unique_ptr<Launch> next;
        if (byExit)
            host.exit();
        else
            next = Run();
        MSG queued;
        size_t clicksAtReturn = Clicks() - clicksBefore +
                                (PeekMessageA(&queued, NULL, WM_COMMAND, WM_COMMAND, PM_NOREMOVE) ? 1 : 0);
        EXPECT_EQ(CountThreads(), baselineThreads + (next ? 1 : 0)) << where << ": the stopped watcher is gone";
        if (byExit) {
            UnloadPlugin(&host);
            std::string error;
            ASSERT_TRUE(LoadPlugin(&host, ModulePath().c_str(), &error)) << where << ": " << error;
            host.entry(&host.table);
        }
        PumpUntil([] { return false; }, 0);
        size_t clicks = Clicks() - clicksBefore;
        EXPECT_EQ(clicks, clicksAtReturn) << where << ": a click arrived after the stop had returned";
        EXPECT_LE(clicks, 1u) << where;

        if (phase < 2) {
            beforeExit++;
            EXPECT_EQ(clicks, 0u) << where;
            ASSERT_TRUE(Started(current.get())) << where;
            EXPECT_EQ(WaitForSingleObject(current->process, 0), (DWORD)WAIT_TIMEOUT)
                << where << ": the editor keeps running";
            ASSERT_TRUE(Finish(current.get())) << where;
            PumpUntil([] { return false; }, 0);
            EXPECT_EQ(Clicks() - clicksBefore, 0u) << where << ": the stopped watcher's editor ended, no click";
        } else if (clicks == 1) {
            afterClick++;
        } else if (g_textReads > readsBefore) {
            duringWalk++;
        } else {
            beforeWalk++;
        }
        current = std::move(next);
    }
    double tookS = (NowMs() - began) / 1000.0;
    if (current) {
        host.exit();
        ASSERT_TRUE(Finish(current.get()));
        current.reset();
    }
    printf("race: %d stops in %.1f s (half by relaunch, half by JSAExit); walk %.2f ms; %d while "
           "the editor ran, %d after its exit but before the walk, %d during a walk, %d after the "
           "click was committed\n",
           stops, tookS, walkMs, beforeExit, beforeWalk, duringWalk, afterClick);

    // Nothing was left broken: a new thread starts and allocates, and an
    // ordinary edit is dismissed.
    HANDLE thread = CreateThread(NULL, 1 << 20, AllocateMuch, NULL, 0, NULL);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(WaitPumping(thread));
    DWORD allocated = 0;
    GetExitCodeThread(thread, &allocated);
    CloseHandle(thread);
    EXPECT_EQ(allocated, 1u);

    TestDialog::Received().clear();
    std::unique_ptr<Launch> last = Run();
    ASSERT_TRUE(Finish(last.get()));
    ASSERT_TRUE(PumpUntil([&] { return Clicks() == 1; }));
    ASSERT_TRUE(WaitWatcherEnded());
    EXPECT_EQ(TestDialog::Received()[0].lParam, (LPARAM)GetDlgItem(dialog.window, IDOK));
    host.exit();
    last.reset();
    EXPECT_EQ(CountHandles(), baselineHandles) << "every stop gave its handles back";
}

// The same stops made to land exactly during one window-text read of the
// walk. The dialog lives on a thread of its own, and one of its controls
// answers WM_GETTEXT only once the host's thread has entered a stop: it
// sends a message to a window of the host's thread, which the host's thread
// answers only from inside the stop's wait.
class StopDuringReadTest : public EditorTest {
protected:
    struct GatedDialog {
        HWND dialog = NULL;
        HWND gated = NULL;   // the control whose text read waits for the stop
        HWND hostWindow = NULL;
        HANDLE reading = NULL;  // set when the gated read has begun
        HANDLE drained = NULL;  // set once every message posted so far was handled
        volatile LONG clicks = 0;
        bool gateOk = false;
    };
    static GatedDialog* s_gated;
    GatedDialog gated;
    HANDLE thread = NULL;
    HANDLE ready = NULL;
    static const UINT kDrain = WM_APP + 1;

    static LRESULT CALLBACK ControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_GETTEXT && window == s_gated->gated) {
            SetEvent(s_gated->reading);
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(s_gated->hostWindow, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer);
        }
        return CallWindowProcA((WNDPROC)GetWindowLongPtrA(window, GWLP_USERDATA), window, message,
                               wParam, lParam);
    }

    static LRESULT CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_COMMAND)
            InterlockedIncrement(&s_gated->clicks);
        if (message == kDrain)
            SetEvent(s_gated->drained);
        return DefWindowProcA(window, message, wParam, lParam);
    }

    static HWND Control(HWND parent, const char* text, int id)
    {
        HWND control = CreateWindowExA(0, "BUTTON", text, WS_CHILD | WS_VISIBLE, 0, 0, 60, 20, parent,
                                       (HMENU)(INT_PTR)id, GetModuleHandleA(NULL), NULL);
        SetWindowLongPtrA(control, GWLP_USERDATA, GetWindowLongPtrA(control, GWLP_WNDPROC));
        SetWindowLongPtrA(control, GWLP_WNDPROC, (LONG_PTR)ControlProc);
        return control;
    }

    static DWORD WINAPI DialogThread(LPVOID parameter)
    {
        StopDuringReadTest* self = (StopDuringReadTest*)parameter;
        RegisterTestClass("QhGatedDialog", DialogProc);
        GatedDialog& g = self->gated;
        g.dialog = CreateWindowExA(0, "QhGatedDialog", kDialogTitle, WS_OVERLAPPEDWINDOW, 0, 0, 300,
                                   200, NULL, NULL, GetModuleHandleA(NULL), NULL);
        HWND caption = Control(g.dialog, "Caption", 10);
        HWND ok = Control(g.dialog, "OK", IDOK);
        g.gated = g.gateOk ? ok : caption;
        SetEvent(self->ready);
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0)
            DispatchMessageA(&msg);
        DestroyWindow(g.dialog);
        return 0;
    }

    // The dialog on its thread, the host's window on this one, and a "run"
    // whose editor has ended: the watcher is reading the gated control.
    void Arrange(bool gateOk)
    {
        s_gated = &gated;
        gated.gateOk = gateOk;
        gated.hostWindow = CreateWindowExA(0, "STATIC", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                           GetModuleHandleA(NULL), NULL);
        gated.reading = CreateEventA(NULL, TRUE, FALSE, NULL);
        gated.drained = CreateEventA(NULL, TRUE, FALSE, NULL);
        ready = CreateEventA(NULL, TRUE, FALSE, NULL);
        thread = CreateThread(NULL, 0, DialogThread, this, 0, NULL);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
        baselineThreads = CountThreads();

        NextLog();
        Delivery d = Call("run", {StringArg(workDir + "\\page.html")});
        ASSERT_EQ(d.number, 1);
        // Not pumping: the gated read can't be answered before the stop.
        ASSERT_EQ(WaitForSingleObject(gated.reading, 60000), WAIT_OBJECT_0)
            << "the watcher never read the gated control";
    }

    // Every click the watcher posted before it ended has been handled.
    LONG ClicksOnceDrained()
    {
        PostMessageA(gated.dialog, kDrain, 0, 0);
        EXPECT_TRUE(WaitPumping(gated.drained));
        return gated.clicks;
    }

    void TearDown() override
    {
        PluginTest::TearDown();  // a watcher still reading is stopped first
        if (thread != NULL) {
            PostThreadMessageA(GetThreadId(thread), WM_QUIT, 0, 0);
            WaitPumping(thread);
            CloseHandle(thread);
        }
        for (HANDLE h : {gated.reading, gated.drained, ready})
            if (h != NULL)
                CloseHandle(h);
        if (gated.hostWindow != NULL)
            DestroyWindow(gated.hostWindow);
        s_gated = NULL;
        EditorTest::TearDown();  // the module is already unloaded
    }
};

StopDuringReadTest::GatedDialog* StopDuringReadTest::s_gated = NULL;

TEST_F(StopDuringReadTest, UnstoppedTheGatedReadEndsInTheClick)
{
    Arrange(true);
    EXPECT_TRUE(PumpUntil([&] { return gated.clicks == 1; })) << "the arrangement can click";
}

TEST_F(StopDuringReadTest, ExitDuringACaptionsReadClicksNothing)
{
    Arrange(false);
    host.exit();
    EXPECT_EQ(CountThreads(), baselineThreads) << "the watcher is gone when JSAExit returns";
    EXPECT_EQ(ClicksOnceDrained(), 0);
}

TEST_F(StopDuringReadTest, ExitDuringTheOksReadClicksNothing)
{
    Arrange(true);
    host.exit();
    EXPECT_EQ(CountThreads(), baselineThreads);
    EXPECT_EQ(ClicksOnceDrained(), 0);
}

TEST_F(StopDuringReadTest, RelaunchDuringTheOksReadClicksNothing)
{
    Arrange(true);
    NamedEvent go("go");
    NextLog();
    SetEditorScript("QH_EDITOR_GO", go.name);
    EXPECT_EQ(Call("run", {StringArg(workDir + "\\page.html")}).number, 1);
    EXPECT_EQ(CountThreads(), baselineThreads + 1) << "only the new watcher is left";
    EXPECT_EQ(ClicksOnceDrained(), 0);
    host.exit();
    go.Set();
    WaitEditorExit(logPath);
}
