// The editing tests' common arrangement.
#include "editor_fixture.h"

#include <stdlib.h>

#include <string>
#include <vector>

static LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND)
        TestDialog::Received().push_back(Command{window, wParam, lParam, InSendMessage() != FALSE});
    return DefWindowProcA(window, message, wParam, lParam);
}

static void RegisterClasses()
{
    RegisterTestClass("QhTestDialog", RecordingProc);
    RegisterTestClass("QhTestContainer", RecordingProc);
}

std::vector<Command>& TestDialog::Received()
{
    static std::vector<Command> received;
    return received;
}

TestDialog::TestDialog(const char* title)
{
    RegisterClasses();
    Received().clear();
    window = CreateWindowExA(0, "QhTestDialog", title, WS_OVERLAPPEDWINDOW, 10, 10, 300, 200, NULL,
                             NULL, GetModuleHandleA(NULL), NULL);
    EXPECT_NE(window, nullptr);
}

TestDialog::~TestDialog()
{
    if (window != NULL)
        DestroyWindow(window);
    PumpUntil([] { return false; }, 0);
}

HWND TestDialog::AddButton(HWND parent, const char* text, int id)
{
    return CreateWindowExA(0, "BUTTON", text, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 5, 5, 60, 20,
                           parent, (HMENU)(INT_PTR)id, GetModuleHandleA(NULL), NULL);
}

HWND TestDialog::AddContainer(HWND parent, int id)
{
    return CreateWindowExA(0, "QhTestContainer", "", WS_CHILD | WS_VISIBLE, 5, 5, 200, 100, parent,
                           (HMENU)(INT_PTR)id, GetModuleHandleA(NULL), NULL);
}

void EditorTest::SetUp()
{
    ClearEditorScript();
    RemoveUninstallEntry();
    ClearEditorPath();
    ClearSetting("EditorArguments");
    ClearSetting("EditorEncoding");
    // Most stand-ins end at once without writing and expect the click that
    // an editor's end gives: the tests of a hand-off set their own.
    SetQuickExitSeconds(0);
    installDir = NewTempDir("install");
    workDir = NewTempDir("work");
    InstallEditor(installDir);
    PluginTest::SetUp();
    baselineHandles = CountHandles();
    baselineThreads = CountThreads();
}

void EditorTest::TearDown()
{
    PluginTest::TearDown();
    ClearEditorScript();
    RemoveUninstallEntry();
    ClearEditorPath();
    ClearSetting("EditorArguments");
    ClearSetting("EditorEncoding");
    ClearSetting("QuickExitSeconds");
    RemoveTree(installDir);
    RemoveTree(workDir);
}

std::string EditorTest::NextLog()
{
    logPath = workDir + "\\editor-" + std::to_string(++launches) + ".log";
    SetEditorScript("QH_EDITOR_LOG", logPath);
    return logPath;
}

DWORD EditorTest::EditorPid(const std::string& log)
{
    std::string pid;
    PumpUntil([&] { return !(pid = LogValue(ReadLog(log), "pid")).empty(); });
    return (DWORD)strtoul(pid.c_str(), NULL, 10);
}

bool EditorTest::WaitEditorExit(const std::string& log)
{
    DWORD pid = EditorPid(log);
    if (pid == 0)
        return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == NULL)
        return true;  // gone already
    bool ended = false;
    PumpUntil([&] { return ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0; });
    CloseHandle(process);
    return ended;
}

bool EditorTest::WaitWatcherEnded()
{
    return PumpUntil([&] { return CountThreads() <= baselineThreads; });
}
