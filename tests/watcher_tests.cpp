// Launching the editor on "run", and the watcher that clicks the host's
// dialog when the editor exits.
#include "editor_fixture.h"

#include <string>
#include <vector>

class WatcherTest : public EditorTest {
protected:
    std::string file;
    void SetUp() override
    {
        EditorTest::SetUp();
        file = workDir + "\\page.html";
        WriteFileBytes(file, "<p>text</p>");
    }
    // One edit to its end, the watcher's included.
    bool AnythingClickedAfterOneEdit()
    {
        NamedEvent go("go");
        go.Set();
        EXPECT_TRUE(RunWaiting(go, file));
        EXPECT_TRUE(WaitEditorExit(logPath));
        EXPECT_TRUE(WaitWatcherEnded());
        PumpUntil([] { return false; }, 0);
        return !TestDialog::Received().empty();
    }
    // "run" with an editor that waits for go before it exits.
    bool RunWaiting(const NamedEvent& go, const std::string& path)
    {
        NextLog();
        SetEditorScript("QH_EDITOR_GO", go.name);
        Delivery d = Call("run", {StringArg(path)});
        EXPECT_EQ(d.kind, kDeliveredBool);
        return d.number != 0;
    }
};

TEST_F(WatcherTest, EditorExitClicksTheDialogsOkControl)
{
    NamedEvent go("go");
    TestDialog dialog;
    dialog.AddButton(dialog.window, "Cancel", IDCANCEL);
    HWND ok = dialog.AddButton(dialog.window, "OK", 1234);
    baselineHandles = CountHandles();

    ASSERT_TRUE(RunWaiting(go, file));
    EXPECT_GT(CountHandles(), baselineHandles) << "a watcher waits on the editor";
    EXPECT_TRUE(TestDialog::Received().empty()) << "nothing is clicked while the editor runs";
    go.Set();
    ASSERT_TRUE(PumpUntil([] { return !TestDialog::Received().empty(); }));
    const Command& click = TestDialog::Received()[0];
    EXPECT_EQ(click.receiver, dialog.window);
    EXPECT_EQ(click.wParam, MAKEWPARAM(1234, BN_CLICKED));
    EXPECT_EQ(click.lParam, (LPARAM)ok);
    // A sent click would run the host's OK handler inside whatever its
    // thread is doing; a posted one waits its turn in the queue.
    EXPECT_FALSE(click.sent) << "the click was sent, not posted";
    ASSERT_TRUE(WaitWatcherEnded());
    EXPECT_EQ(TestDialog::Received().size(), 1u);
    host.exit();
    EXPECT_EQ(CountHandles(), baselineHandles) << "the editor's and the watcher's handles are closed";
}

TEST_F(WatcherTest, EditorIsStartedShownNormallyWithProgramAndFileQuoted)
{
    NamedEvent go("go");
    go.Set();
    std::string spaced = workDir + "\\my page.html";
    WriteFileBytes(spaced, "x");
    ASSERT_TRUE(RunWaiting(go, spaced));
    ASSERT_TRUE(WaitEditorExit(logPath));
    std::vector<std::string> log = ReadLog(logPath);
    EXPECT_EQ(LogValue(log, "cmdline"), "\"" + installDir + "\\Scrivlet.exe\" \"" + spaced + "\"");
    EXPECT_EQ(LogValue(log, "file"), spaced);
    EXPECT_EQ(LogValue(log, "startup-flags"), std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ(LogValue(log, "show"), std::to_string(SW_SHOWNORMAL)) << "neither hidden nor minimised";
}

TEST_F(WatcherTest, ProgramInADirectoryWithBlanksIsNotMistakenForADecoy)
{
    // Unquoted, "C:\Program Files\..." would start C:\Program.exe first.
    std::string decoy = "C:\\Program.exe";
    std::string dir = "C:\\Program Files\\Scrivlet Test " + std::to_string(GetCurrentProcessId());
    CreateDirectoryA("C:\\Program Files", NULL);
    ASSERT_TRUE(CopyFileA((BinDir() + "\\standin-editor.exe").c_str(), decoy.c_str(), FALSE));
    InstallEditor(dir);

    NamedEvent go("go");
    go.Set();
    bool launched = RunWaiting(go, file);
    bool exited = launched && WaitEditorExit(logPath);
    std::vector<std::string> log = ReadLog(logPath);
    DeleteFileA(decoy.c_str());
    RemoveTree(dir);
    ASSERT_TRUE(exited);
    EXPECT_EQ(LogValue(log, "module"), dir + "\\Scrivlet.exe");
    EXPECT_EQ(LogValue(log, "file"), file);
}

// Setups write the uninstall string as they please: without its NUL, or
// with the setup program's name in other letters.
TEST_F(WatcherTest, AnUninstallStringStoredWithoutItsNulStillStartsTheEditor)
{
    std::string value = installDir + "\\SCRINST.EXE /R";
    std::string bytes = value + "Q";  // the byte after the data must not be NUL
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_SZ, bytes.data(),
                (DWORD)value.size());
    NamedEvent go("go");
    go.Set();
    BoxCatcher catcher;
    ASSERT_TRUE(RunWaiting(go, file));
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(LogValue(ReadLog(logPath), "cmdline"),
              "\"" + installDir + "\\Scrivlet.exe\" \"" + file + "\"");
    EXPECT_TRUE(catcher.Seen().empty());
}

TEST_F(WatcherTest, TheBareSetupNameInOtherLettersLeavesTheRootOfTheCurrentDrive)
{
    // "\ScrInst.exe /r" is the whole suffix, case aside: the directory is
    // empty, and the editor is looked for at the root of the current drive.
    std::string atRoot = "C:\\Scrivlet.exe";
    ASSERT_TRUE(CopyFileA((BinDir() + "\\standin-editor.exe").c_str(), atRoot.c_str(), FALSE));
    SetUninstallString("\\ScrInst.exe /r");
    std::string saved = CurrentDir();
    ASSERT_EQ(workDir.compare(0, 3, "C:\\"), 0) << workDir;
    SetCurrentDirectoryA(workDir.c_str());
    NamedEvent go("go");
    go.Set();
    BoxCatcher catcher;
    bool launched = RunWaiting(go, file) && WaitEditorExit(logPath);
    SetCurrentDirectoryA(saved.c_str());
    std::vector<std::string> log = ReadLog(logPath);
    DeleteFileA(atRoot.c_str());
    ASSERT_TRUE(launched);
    EXPECT_EQ(LogValue(log, "module"), atRoot);
    EXPECT_EQ(LogValue(log, "cmdline"), "\"\\Scrivlet.exe\" \"" + file + "\"");
    EXPECT_TRUE(catcher.Seen().empty());
}

// The walk goes depth first, in pre-order, and climbs out of containers
// whose last descendant holds no OK; only a caption of exactly "OK" counts.
TEST_F(WatcherTest, TheFirstOkInPreOrderIsClickedAtItsOwnParent)
{
    struct Control {
        int parent;  // index of an earlier control, or -1 for the dialog
        const char* text;  // NULL: a container
        int id;
    };
    struct Shape {
        const char* story;
        std::vector<Control> controls;
        int clicked;  // index of the control clicked, or -1
    };
    const Shape shapes[] = {
        {"nested OK before a later one, clicked at its own container",
         {{-1, NULL, 50}, {0, "Cancel", 2}, {0, NULL, 51}, {2, "OK", 77}, {-1, "OK", 78}}, 3},
        {"OK reached by climbing out of two containers",
         {{-1, NULL, 50}, {0, NULL, 51}, {1, "Cancel", 2}, {-1, "OK", 79}}, 3},
        {"OK after empty containers",
         {{-1, NULL, 50}, {0, NULL, 51}, {-1, NULL, 52}, {-1, "OK", 80}}, 3},
        {"captions that only resemble OK",
         {{-1, NULL, 50}, {0, "&OK", 1}, {0, "ok", 2}, {-1, "OK ", 3}, {-1, "Okay", 4}}, -1},
        {"no OK below the last container", {{-1, "Cancel", 2}, {-1, NULL, 50}, {1, NULL, 51}}, -1},
    };
    for (const Shape& shape : shapes) {
        TestDialog dialog;
        std::vector<HWND> windows;
        for (const Control& c : shape.controls) {
            HWND parent = c.parent < 0 ? dialog.window : windows[c.parent];
            windows.push_back(c.text == NULL ? dialog.AddContainer(parent, c.id)
                                             : dialog.AddButton(parent, c.text, c.id));
        }
        EXPECT_EQ(AnythingClickedAfterOneEdit(), shape.clicked >= 0) << shape.story;
        if (shape.clicked < 0 || TestDialog::Received().empty())
            continue;
        const Command& click = TestDialog::Received()[0];
        const Control& ok = shape.controls[shape.clicked];
        EXPECT_EQ(TestDialog::Received().size(), 1u) << shape.story;
        EXPECT_EQ(click.receiver, ok.parent < 0 ? dialog.window : windows[ok.parent]) << shape.story;
        EXPECT_EQ(click.wParam, MAKEWPARAM(ok.id, BN_CLICKED)) << shape.story;
        EXPECT_EQ(click.lParam, (LPARAM)windows[shape.clicked]) << shape.story;
    }
}

// A walk that has climbed back to the dialog without an OK is over: the
// windows after the dialog on the desktop belong to other dialogs, perhaps
// other programs', and their OK is not the watcher's to click.
TEST_F(WatcherTest, AWalkThatFindsNoOkNeverLeavesTheDialog)
{
    TestDialog dialog;
    HWND group = dialog.AddContainer(dialog.window, 50);
    dialog.AddButton(group, "Cancel", IDCANCEL);
    TestDialog neighbour("Another program's dialog");
    dialog.AddButton(neighbour.window, "OK", IDOK);
    SetWindowPos(neighbour.window, dialog.window, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(GetWindow(dialog.window, GW_HWNDNEXT), neighbour.window) << "the neighbour comes next";
    EXPECT_FALSE(AnythingClickedAfterOneEdit());
}

TEST_F(WatcherTest, ADialogWithAnotherTitleIsLeftAlone)
{
    TestDialog other("Quillhaven: Under the Scrivlet edit (2)");
    other.AddButton(other.window, "OK", 1);
    EXPECT_FALSE(AnythingClickedAfterOneEdit());
}

TEST_F(WatcherTest, SecondLaunchStopsTheFirstWatcher)
{
    NamedEvent goFirst("first");
    NamedEvent goSecond("second");
    TestDialog dialog;
    dialog.AddButton(dialog.window, "OK", 1);

    ASSERT_TRUE(RunWaiting(goFirst, file));
    std::string firstLog = logPath;
    ASSERT_TRUE(RunWaiting(goSecond, file));
    std::string secondLog = logPath;
    EXPECT_EQ(CountThreads(), baselineThreads + 1) << "only the second watcher is left";

    // The first editor keeps running after its watcher is stopped, and its
    // exit clicks nothing: only the second editor's exit does.
    goFirst.Set();
    ASSERT_TRUE(WaitEditorExit(firstLog));
    PumpUntil([] { return false; }, 0);
    EXPECT_TRUE(TestDialog::Received().empty()) << "the stopped watcher clicked";
    goSecond.Set();
    ASSERT_TRUE(WaitEditorExit(secondLog));
    ASSERT_TRUE(WaitWatcherEnded());
    PumpUntil([] { return false; }, 0);
    EXPECT_EQ(TestDialog::Received().size(), 1u);
}

TEST_F(WatcherTest, ExitStopsAWaitingWatcherButNotTheEditor)
{
    NamedEvent go("go");
    TestDialog dialog;
    dialog.AddButton(dialog.window, "OK", 1);
    ASSERT_TRUE(RunWaiting(go, file));
    std::string firstLog = logPath;
    DWORD pid = EditorPid(firstLog);
    HANDLE editor = OpenProcess(SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(editor, nullptr);

    host.exit();
    EXPECT_EQ(CountThreads(), baselineThreads) << "the watcher is gone when JSAExit returns";
    EXPECT_EQ(WaitForSingleObject(editor, 0), (DWORD)WAIT_TIMEOUT) << "the editor still runs";
    go.Set();
    ASSERT_TRUE(PumpUntil([&] { return WaitForSingleObject(editor, 0) == WAIT_OBJECT_0; }));
    CloseHandle(editor);
    PumpUntil([] { return false; }, 0);
    EXPECT_TRUE(TestDialog::Received().empty()) << "the stopped watcher clicked";

    // A later launch's watcher clicks once.
    NamedEvent goAgain("again");
    goAgain.Set();
    ASSERT_TRUE(RunWaiting(goAgain, file));
    ASSERT_TRUE(WaitEditorExit(logPath));
    ASSERT_TRUE(WaitWatcherEnded());
    PumpUntil([] { return false; }, 0);
    EXPECT_EQ(TestDialog::Received().size(), 1u);
}

TEST_F(WatcherTest, RepeatedRelaunchesGiveEveryHandleBack)
{
    NamedEvent go("go");
    TestDialog dialog;
    dialog.AddButton(dialog.window, "OK", 1);
    baselineHandles = CountHandles();
    for (int i = 0; i < 12; i++)
        ASSERT_TRUE(RunWaiting(go, file)) << "launch " << i;
    go.Set();
    ASSERT_TRUE(PumpUntil([] { return !TestDialog::Received().empty(); }));
    ASSERT_TRUE(WaitWatcherEnded());
    host.exit();
    EXPECT_EQ(CountHandles(), baselineHandles) << "stopped watchers left handles open";
}

TEST_F(WatcherTest, MissingEditorShowsTheMessageAndKeepsThePreviousWatcher)
{
    NamedEvent go("go");
    TestDialog dialog;
    dialog.AddButton(dialog.window, "OK", 1);
    ASSERT_TRUE(RunWaiting(go, file));
    std::string firstLog = logPath;

    {
        BoxCatcher catcher;
        RemoveUninstallEntry();
        NextLog();
        Delivery d = Call("run", {StringArg(file)});
        EXPECT_EQ(d.kind, kDeliveredBool);
        EXPECT_EQ(d.number, 0);
        ASSERT_EQ(catcher.Seen().size(), 1u);
        EXPECT_EQ(catcher.Seen()[0].text, "Scrivlet not found.");

        // Registered, but the program isn't there: the same message, false.
        SetUninstallString(workDir + "\\nowhere\\SCRINST.EXE /R");
        d = Call("run", {StringArg(file)});
        EXPECT_EQ(d.number, 0);
        EXPECT_EQ(catcher.Seen().size(), 2u);
    }
    bool exists = true;
    ReadFileBytes(logPath, &exists);
    EXPECT_FALSE(exists) << "no editor was started";

    go.Set();
    EXPECT_TRUE(PumpUntil([] { return !TestDialog::Received().empty(); }))
        << "the first launch's watcher still clicks when its editor exits";
    WaitEditorExit(firstLog);
}

TEST_F(WatcherTest, PathThatDoesNotFitIsRefusedQuietly)
{
    std::string tooLong = workDir + "\\" + std::string(260, 'p') + ".html";
    BoxCatcher catcher;
    NextLog();
    Delivery d = Call("run", {StringArg(tooLong)});
    EXPECT_EQ(d.kind, kDeliveredBool);
    EXPECT_EQ(d.number, 0);
    EXPECT_TRUE(catcher.Seen().empty());
    bool exists = true;
    ReadFileBytes(logPath, &exists);
    EXPECT_FALSE(exists) << "no editor was started";
    EXPECT_EQ(Call("updated").number, 0) << "nothing was recorded";
}
