// Editors that don't wait: a launcher whose editor is its child, a hand-off
// to a window of the editor already open, and the command line a user makes
// with "EditorArguments" for an editor that would otherwise do either.
#include "editor_fixture.h"

#include "tools/host/faults.h"

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
        // A % that is not %1 is the user's own text.
        {"--zoom=100% %2 \"%1\"", REG_SZ, program + " --zoom=100% %2 \"" + spaced + "\""},
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

// The hand-off guard as a user who never set anything has it: no settings
// key at all gives the default of 5 s, so an editor that hands off within
// two seconds ends nothing; a negative value turns the guard off.
TEST_F(LauncherTest, TheHandOffGuardWithoutASettingsKeyOrWithANegativeValue)
{
    const struct {
        const char* how;
        int seconds;  // 0: no settings key
        size_t clicks;
    } cases[] = {{"no settings key, a hand-off of 2 s", 0, 0}, {"-1", -1, 1}};
    for (const auto& c : cases) {
        if (c.seconds == 0)
            DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
        else
            SetQuickExitSeconds(c.seconds);
        NextEditor();
        if (c.seconds == 0)
            SetEditorScript("QH_EDITOR_DELAY_MS", "2000");  // the hand-off itself takes a while
        go.Set();
        ASSERT_EQ(Call("run", {StringArg(file)}).number, 1) << c.how;
        ASSERT_TRUE(WaitEditorExit(logPath));
        SetEditorScript("QH_EDITOR_DELAY_MS", "");
        EXPECT_EQ(ClicksOnceWatched(), c.clicks) << c.how;
    }
}

// Strings a script wrote with their length alone, without the NUL: read as
// themselves.
TEST_F(LauncherTest, EditorPathAndArgumentsStoredWithoutTheirNul)
{
    std::wstring program = Wide(installDir + "\\Scrivlet.exe");
    std::wstring arguments = L"-n \"%1\"";
    RemoveUninstallEntry();
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL),
              ERROR_SUCCESS);
    // The registry counts a NUL the caller forgot when one follows in memory,
    // as Windows does: here a letter follows.
    std::wstring programThen = program + L"X";
    std::wstring argumentsThen = arguments + L"X";
    RegSetValueExW(key, L"EditorPath", 0, REG_SZ, (const BYTE*)programThen.data(), (DWORD)(program.size() * 2));
    RegSetValueExW(key, L"EditorArguments", 0, REG_SZ, (const BYTE*)argumentsThen.data(),
                   (DWORD)(arguments.size() * 2));
    RegCloseKey(key);
    // Stored as written, without a NUL, or the case can't be made here.
    DWORD size = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegQueryValueExW(key, L"EditorPath", NULL, NULL, NULL, &size);
    RegCloseKey(key);
    if (size != program.size() * 2)
        GTEST_SKIP() << "the registry stored " << size << " bytes for a string of " << program.size() * 2
                     << " written without its NUL";
    BoxCatcher catcher;
    NextEditor();
    go.Set();
    ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(LogValue(ReadLog(logPath), "cmdline"), "\"" + installDir + "\\Scrivlet.exe\" -n \"" + file + "\"");
    EXPECT_TRUE(catcher.Seen().empty());
    ClearEditorPath();
}

// The host's paths are in its code page: a document in a folder named with a
// letter beyond ASCII is the file the editor opens, for a file and a source
// edit alike.
TEST_F(LauncherTest, APathWithALetterBeyondAsciiInTheHostsCodePage)
{
    WCHAR e = 0xE9;
    char ansi[4] = "";
    BOOL lacked = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &e, 1, ansi, sizeof(ansi), NULL, &lacked) != 1 || lacked)
        GTEST_SKIP() << "the host's code page here (" << GetACP() << ") has no single-byte e-acute";
    std::string folder = workDir + "\\Caf" + ansi;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    BoxCatcher catcher;  // a launch that fails says so in a box: caught, not waited on
    std::string page = folder + "\\page.html";
    WriteFileBytes(page, "<p>x</p>");
    NextEditor();
    go.Set();
    ASSERT_EQ(Call("run", {StringArg(page)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(LogValue(ReadLog(logPath), "file"), page);
    ClicksOnceWatched();

    NextEditor();
    go.Set();
    ASSERT_EQ(Call("startEdit", {StringArg(folder), StringArg("<p>x</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(LogValue(ReadLog(logPath), "file"), folder + "\\" + kTempName);
    EXPECT_EQ(LogValue(ReadLog(logPath), "cwd"), folder);
    ClicksOnceWatched();
    Call("endEdit");
    EXPECT_TRUE(catcher.Seen().empty());
}

// The editor is held in its job before it runs a line: with the assignment
// to the job held for three seconds, a launcher that ran at once would start
// its child outside the job, and the edit would end with the launcher.
class HeldLaunchTest : public LauncherTest {
protected:
    void SetUp() override
    {
        g_onPluginLoaded = InjectFaults;
        LauncherTest::SetUp();
        PlanFaults(kFaultNone, 0);
        HoldCalls("AssignProcessToJobObject", 3000);
    }
    void TearDown() override
    {
        HoldCalls(NULL, 0);
        LauncherTest::TearDown();
        g_onPluginLoaded = NULL;
    }
};

TEST_F(HeldLaunchTest, ALauncherHeldBeforeItsJobStillKeepsItsChildInTheEdit)
{
    NextEditor(1);
    ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath)) << "the launcher ends at once";
    ASSERT_NE(EditorPid(EditorLog(1)), 0u) << "the editor started";
    ASSERT_TRUE(QuietAfterTheLauncher()) << "clicked while the launcher's child ran";
    go.Set();
    ASSERT_TRUE(WaitEditorExit(EditorLog(1)));
    EXPECT_EQ(ClicksOnceWatched(), 1u);
}
