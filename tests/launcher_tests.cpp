// Editors that don't wait: a launcher whose editor is its child, a hand-off
// to a window of the editor already open, and the command line a user makes
// with "EditorArguments" for an editor that would otherwise do either.
#include "editor_fixture.h"

#include <string>
#include <vector>

static const char kTempName[] = "QuillhavenTemp.html";

class LauncherTest : public EditorTest {
protected:
    std::string file;
    TestDialog dialog;
    HWND ok = NULL;
    NamedEvent go{"go"};

    void SetUp() override
    {
        EditorTest::SetUp();
        ok = dialog.AddButton(dialog.window, "OK", IDOK);
        file = workDir + "\\page.html";
        WriteFileBytes(file, "<p>before</p>");
    }
    // The next editor: it edits once go is set.
    void NextEditor(int launchers = 0)
    {
        ResetEvent(go.handle);
        TestDialog::Received().clear();
        NextLog();
        SetEditorScript("QH_EDITOR_GO", go.name);
        SetEditorScript("QH_EDITOR_LAUNCH", std::to_string(launchers));
    }
    // The log of the editor a chain of launchers ends in.
    std::string EditorLog(int launchers)
    {
        std::string log = logPath;
        for (int i = 0; i < launchers; i++)
            log += ".child";
        return log;
    }
    // A watcher that takes a launcher's end for the editor's clicks within
    // moments of it, and its thread ends with the click.
    bool QuietAfterTheLauncher()
    {
        return !PumpUntil([&] { return !TestDialog::Received().empty() || CountThreads() <= baselineThreads; },
                          3000);
    }
    // Waits for the edit's end as the host sees it: the watcher gone, what
    // it posted handled. Answers the clicks the dialog got.
    size_t ClicksOnceWatched()
    {
        EXPECT_TRUE(WaitWatcherEnded());
        PumpUntil([] { return false; }, 0);
        return TestDialog::Received().size();
    }
};

TEST_F(LauncherTest, ALaunchersChildOrGrandchildIsTheEditorWhoseEndClicks)
{
    for (int launchers : {1, 2}) {
        NextEditor(launchers);
        ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
        ASSERT_TRUE(WaitEditorExit(logPath)) << "the launcher ends at once";
        ASSERT_NE(EditorPid(EditorLog(launchers)), 0u) << "the editor started";
        // Stopping here: after a failure Wine keeps a thread of its own, and
        // a wait for the watcher's end would wait out its bound.
        ASSERT_TRUE(QuietAfterTheLauncher()) << "clicked while the editor of " << launchers
                                             << " launcher(s) ran";
        go.Set();
        ASSERT_TRUE(WaitEditorExit(EditorLog(launchers)));
        ASSERT_EQ(ClicksOnceWatched(), 1u) << "the editor's end clicks, once";
        EXPECT_EQ(TestDialog::Received()[0].lParam, (LPARAM)ok);
    }
}

// The job kills nothing: not when the host exits while the editor runs.
TEST_F(LauncherTest, TheHostsExitWhileALaunchersChildRunsLeavesItRunning)
{
    NextEditor(1);
    ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    HANDLE editor = OpenProcess(SYNCHRONIZE, FALSE, EditorPid(EditorLog(1)));
    ASSERT_NE(editor, nullptr);
    host.exit();
    // The stand-in waits two minutes for go: an exit that waited for the
    // editor, or a job that ended it, finds it gone.
    bool outlived = WaitForSingleObject(editor, 0) == WAIT_TIMEOUT;
    go.Set();
    if (!outlived)
        CloseHandle(editor);
    ASSERT_TRUE(outlived) << "the editor did not outlive JSAExit";
    EXPECT_EQ(WaitForSingleObject(editor, 60000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(editor);
    EXPECT_EQ(ClicksOnceWatched(), 0u) << "its end after the host's exit clicks nothing";
}

// A single-instance editor passes the file to its window already open and
// ends at once, writing nothing: the user edits there, and clicks OK when
// done. What they saved meanwhile is the edit.
TEST_F(LauncherTest, AHandOffEndsNothingAndTheTextSavedBeforeTheUsersClickIsDelivered)
{
    ClearSetting("QuickExitSeconds");  // the default: 5 s
    NextEditor();
    go.Set();
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>before</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(ClicksOnceWatched(), 0u) << "the hand-off's end clicked the dialog";

    // The window already open saves: a process the module never started.
    std::string temp = workDir + "\\" + kTempName;
    std::string command = "\"" + BinDir() + "\\standin-editor.exe\" \"" + temp + "\"";
    NextLog();
    SetEditorScript("QH_EDITOR_ACTION", "replace");
    SetEditorScript("QH_EDITOR_TEXT", "<p>edited in the open window</p>");
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION other;
    ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &other));
    EXPECT_EQ(WaitForSingleObject(other.hProcess, 60000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(other.hThread);
    CloseHandle(other.hProcess);

    // The user's click closes the host's dialog; the host reads back.
    EXPECT_EQ(Call("updated").number, 1);
    Delivery text = Call("getEdit");
    EXPECT_EQ(text.kind, kDeliveredString);
    EXPECT_EQ(text.text, "<p>edited in the open window</p>");
    Call("endEdit");
}

TEST_F(LauncherTest, AnEndThatWroteTheFileOrWithTheRuleTurnedOffClicksAtOnce)
{
    const struct {
        int quickExitSeconds;  // -1: the default
        const char* action;
    } cases[] = {{0, "none"}, {-1, "replace"}, {60, "append"}};
    for (const auto& c : cases) {
        if (c.quickExitSeconds < 0)
            ClearSetting("QuickExitSeconds");
        else
            SetQuickExitSeconds(c.quickExitSeconds);
        NextEditor();
        SetEditorScript("QH_EDITOR_ACTION", c.action);
        SetEditorScript("QH_EDITOR_TEXT", "<p>after</p>");
        go.Set();
        ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
        ASSERT_TRUE(WaitEditorExit(logPath));
        EXPECT_EQ(ClicksOnceWatched(), 1u) << c.quickExitSeconds << " s, " << c.action;
        EXPECT_EQ(Call("updated").number, std::string(c.action) == "none" ? 0 : 1);
    }
}

TEST_F(LauncherTest, EditorArgumentsMakeTheCommandLineWithTheFileWhereverItsPercentOneStands)
{
    std::string spaced = workDir + "\\my page.html";
    WriteFileBytes(spaced, "x");
    std::string program = "\"" + installDir + "\\Scrivlet.exe\"";
    SetEditorScript("QH_TEST_FLAG", "-wait");
    const struct {
        const char* arguments;
        DWORD type;
        std::string expected;
    } cases[] = {
        {"-multiInst \"%1\" -nosession", REG_SZ, program + " -multiInst \"" + spaced + "\" -nosession"},
        {"-n", REG_SZ, program + " -n \"" + spaced + "\""},
        {"%QH_TEST_FLAG% \"%1\"", REG_EXPAND_SZ, program + " -wait \"" + spaced + "\""},
        {"%1|%1", REG_SZ, program + " " + spaced + "|" + spaced},
    };
    BoxCatcher catcher;
    for (const auto& c : cases) {
        SetEditorArguments(c.arguments, c.type);
        NextEditor();
        go.Set();
        ASSERT_EQ(Call("run", {StringArg(spaced)}).number, 1) << c.arguments;
        ASSERT_TRUE(WaitEditorExit(logPath));
        EXPECT_EQ(LogValue(ReadLog(logPath), "cmdline"), c.expected) << c.arguments;
    }
    SetEnvironmentVariableA("QH_TEST_FLAG", NULL);
    EXPECT_TRUE(catcher.Seen().empty());
}

// As long as Windows takes, and not one character more: a longer one is
// refused whole, with the reason, and nothing starts.
TEST_F(LauncherTest, ACommandLineLongerThanWindowsTakesIsRefusedNeverCut)
{
    std::string program = "\"" + installDir + "\\Scrivlet.exe\"";
    std::string tail = " \"" + file + "\"";
    size_t fits = 32766 - program.size() - 1 - tail.size();  // the NUL makes 32,767
    BoxCatcher catcher;
    SetEditorArguments(std::string(fits, 'a'));
    NextEditor();
    go.Set();
    ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    std::string started = LogValue(ReadLog(logPath), "cmdline");
    EXPECT_EQ(started.size(), 32766u);
    EXPECT_EQ(started, program + " " + std::string(fits, 'a') + tail);
    EXPECT_TRUE(catcher.Seen().empty());
    ClicksOnceWatched();

    SetEditorArguments(std::string(fits + 1, 'a'));
    NextEditor();
    EXPECT_EQ(Call("run", {StringArg(file)}).number, 0);
    bool logged = true;
    ReadFileBytes(logPath, &logged);
    EXPECT_FALSE(logged) << "nothing was started";
    std::vector<BoxCatcher::Box> boxes = catcher.Seen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.compare(0, 19, "Scrivlet not found."), 0) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("32,767"), std::string::npos) << boxes[0].text;
}
