// Two hosts on one desktop, each with the module loaded: the second is the
// reference host, qhost, in a process of its own. Each host's editor exit
// clicks that host's own dialog, and one host's live source edit is never
// overwritten, nor its file deleted, by the other.
#include "editor_fixture.h"

#include <string>
#include <utility>
#include <vector>

class SecondHostTest : public EditorTest {
protected:
    // The other host: qhost running one command against the module, with
    // an editor of its own that waits for their.go before it exits.
    struct OtherHost {
        HANDLE process = NULL;
        DWORD pid = 0;
        NamedEvent go{"their-go"};
        NamedEvent ready{"their-ready"};
        NamedEvent shown{"their-shown"};
        std::string output;
    } their;

    void TearDown() override
    {
        their.go.Set();
        if (their.process != NULL) {
            if (!PumpUntil([&] { return Ended(); }))
                TerminateProcess(their.process, 1);
            CloseHandle(their.process);
        }
        EditorTest::TearDown();
    }

    // script: more of their editor's script, name and value.
    void StartOtherHost(const std::vector<std::string>& command,
                        const std::vector<std::pair<const char*, std::string>>& script = {})
    {
        if (their.process != NULL)
            CloseHandle(their.process);
        their.process = NULL;
        for (NamedEvent* event : {&their.go, &their.ready, &their.shown})
            ResetEvent(event->handle);
        their.output = workDir + "\\qhost.out";
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), NULL, TRUE};
        HANDLE out = CreateFileA(their.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        std::string line = "\"" + BinDir() + "\\qhost.exe\" --dialog-timeout 60 --answer-boxes yes --signal-when-shown " +
                           their.shown.name + " \"" + ModulePath() + "\"";
        for (const std::string& arg : command)
            line += " \"" + arg + "\"";
        // Their editor inherits this script from their host.
        ClearEditorScript();
        SetEditorScript("QH_EDITOR_LOG", workDir + "\\their-editor.log");
        SetEditorScript("QH_EDITOR_GO", their.go.name);
        SetEditorScript("QH_EDITOR_READY", their.ready.name);
        for (const auto& item : script)
            SetEditorScript(item.first, item.second);
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = out;
        PROCESS_INFORMATION info;
        BOOL started = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info);
        CloseHandle(out);
        ClearEditorScript();
        ASSERT_TRUE(started) << line;
        CloseHandle(info.hThread);
        their.process = info.hProcess;
        their.pid = info.dwProcessId;
    }
    bool Ended() { return WaitForSingleObject(their.process, 0) == WAIT_OBJECT_0; }
    // Their host's answer once it has ended, with what it printed.
    DWORD TheirExit()
    {
        EXPECT_TRUE(PumpUntil([&] { return Ended(); }, 120000)) << "their host never ended";
        DWORD code = 0;
        GetExitCodeProcess(their.process, &code);
        return code;
    }
    bool WaitFor(NamedEvent& event)
    {
        return PumpUntil([&] { return event.WaitFor(0) || Ended(); }, 120000) && !Ended();
    }
    // Their editor exits once their dialog is on screen, so that its exit
    // has a dialog to click; then their host reads back, ends, and exits.
    DWORD FinishTheirEdit()
    {
        EXPECT_TRUE(WaitFor(their.shown)) << "their dialog was never shown: "
                                          << ReadFileBytes(their.output);
        their.go.Set();
        return TheirExit();
    }
};

TEST_F(SecondHostTest, EachEditorsExitClicksOnlyItsOwnHostsDialog)
{
    std::string ourPage = workDir + "\\ours.html";
    std::string theirPage = workDir + "\\theirs.html";
    WriteFileBytes(ourPage, "ours");
    WriteFileBytes(theirPage, "theirs");
    TestDialog dialog;
    HWND ok = dialog.AddButton(dialog.window, "OK", 1234);
    StartOtherHost({"run", theirPage});
    ASSERT_TRUE(WaitFor(their.shown)) << "their dialog was never shown";

    HWND first = FindWindowA(NULL, kDialogTitle);
    DWORD firstOwner = 0;
    GetWindowThreadProcessId(first, &firstOwner);
    ASSERT_EQ(firstOwner, their.pid) << "their dialog lies above ours";

    NamedEvent go("our-go");
    NextLog();
    SetEditorScript("QH_EDITOR_GO", go.name);
    ASSERT_EQ(Call("run", {StringArg(ourPage)}).number, 1);
    go.Set();
    ASSERT_TRUE(WaitEditorExit(logPath));
    ASSERT_TRUE(WaitWatcherEnded());
    EXPECT_TRUE(PumpUntil([] { return !TestDialog::Received().empty(); }));
    ASSERT_EQ(TestDialog::Received().size(), 1u) << "our dialog, exactly once";
    EXPECT_EQ(TestDialog::Received()[0].lParam, (LPARAM)ok);
    EXPECT_FALSE(Ended()) << "their dialog was clicked: " << ReadFileBytes(their.output);
    EXPECT_TRUE(IsWindow(first));

    their.go.Set();
    EXPECT_EQ(TheirExit(), 0u) << "their editor's exit clicks their dialog: "
                               << ReadFileBytes(their.output);
    EXPECT_NE(ReadFileBytes(their.output).find("dialog closed by OK"), std::string::npos);
    EXPECT_EQ(TestDialog::Received().size(), 1u) << "and ours no more";
}

// Two hosts editing the sources of two documents in one folder would share
// its temporary file: whichever editor saved last would win, and the first
// "endEdit" would delete the file the other editor shows.
TEST_F(SecondHostTest, AnotherHostsLiveSourceEditInAFolderIsLeftAlone)
{
    std::string folder = NewTempDir("shared");
    std::string theirPage = workDir + "\\theirs.html";
    std::string theirFile = folder + "\\QuillhavenTemp.html";
    WriteFileBytes(theirPage, "<p>their document</p>");

    NextLog();
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>our first</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    StartOtherHost({"edit-source", theirPage, folder});
    ASSERT_TRUE(WaitFor(their.ready)) << "their editor never started";
    ASSERT_EQ(ReadFileBytes(theirFile), "<p>their document</p>");

    // Every spelling of their folder: in other letters, with "." or a
    // trailing separator as many programs write a folder, and by its short
    // (8.3) name.
    std::string upper = folder;
    CharUpperBuffA(&upper[0], (DWORD)upper.size());
    std::vector<std::string> spellings = {folder, upper, folder + "\\.", folder + "\\", folder + "\\.\\",
                                          folder + "/"};
    char shortName[MAX_PATH];
    DWORD shortLength = GetShortPathNameA(folder.c_str(), shortName, MAX_PATH);
    ASSERT_TRUE(shortLength > 0 && shortLength < MAX_PATH);
    ASSERT_NE(std::string(shortName), folder) << "the folder's name has a short form";
    spellings.push_back(shortName);
    spellings.push_back(std::string(shortName) + "\\");
    for (const std::string& spelling : spellings) {
        BoxCatcher catcher;
        NextLog();
        std::string before = CurrentDir();
        Delivery d = Call("startEdit", {StringArg(spelling), StringArg("<p>ours</p>")});
        EXPECT_EQ(d.kind, kDeliveredBool) << spelling;
        EXPECT_EQ(d.number, 0) << spelling;
        EXPECT_EQ(CurrentDir(), before);
        std::vector<BoxCatcher::Box> boxes = catcher.Seen();
        ASSERT_EQ(boxes.size(), 1u) << spelling;
        EXPECT_NE(boxes[0].text.find("already being edited in Scrivlet"), std::string::npos)
            << boxes[0].text;
        bool started = true;
        ReadFileBytes(logPath, &started);
        EXPECT_FALSE(started) << "no editor for " << spelling;
        EXPECT_EQ(ReadFileBytes(theirFile), "<p>their document</p>") << spelling;
    }
    // Our own edit is as it was: our text, in our folder, ours to end.
    Delivery text = Call("getEdit");
    EXPECT_EQ(text.text, "<p>our first</p>");
    Call("endEdit");
    EXPECT_EQ(ReadFileBytes(theirFile), "<p>their document</p>") << "our endEdit left theirs";

    EXPECT_EQ(FinishTheirEdit(), 0u) << ReadFileBytes(their.output);
    bool exists = true;
    ReadFileBytes(theirFile, &exists);
    EXPECT_FALSE(exists) << "their endEdit removed their file";

    NextLog();
    EXPECT_EQ(Call("startEdit", {StringArg(folder), StringArg("<p>ours</p>")}).number, 1)
        << "the folder is free once their edit has ended";
    EXPECT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(ReadFileBytes(theirFile), "<p>ours</p>");
    Call("endEdit");
    RemoveTree(folder);
}

// The mark lives in the host's process: a host that dies in the middle of
// an edit, however it dies, leaves the folder free.
TEST_F(SecondHostTest, AHostKilledInTheMiddleOfItsEditLeavesNoMark)
{
    std::string folder = NewTempDir("shared");
    std::string theirPage = workDir + "\\theirs.html";
    WriteFileBytes(theirPage, "<p>their document</p>");
    StartOtherHost({"edit-source", theirPage, folder});
    ASSERT_TRUE(WaitFor(their.ready));
    ASSERT_TRUE(TerminateProcess(their.process, 9));
    ASSERT_EQ(TheirExit(), 9u);

    BoxCatcher catcher;
    NextLog();
    EXPECT_EQ(Call("startEdit", {StringArg(folder), StringArg("<p>ours</p>")}).number, 1);
    EXPECT_TRUE(WaitEditorExit(logPath));
    // Their text, which no host read back, is kept and named: the folder's
    // edit is not refused.
    for (const BoxCatcher::Box& box : catcher.Seen())
        EXPECT_EQ(box.text.find("already being edited"), std::string::npos) << box.text;
    EXPECT_EQ(ReadFileBytes(folder + "\\QuillhavenTemp.html"), "<p>ours</p>");
    Call("endEdit");
    their.go.Set();  // their editor outlived its host
    RemoveTree(folder);
}

// This host's own mark never refuses: a second "startEdit" in the same
// folder, however spelled, replaces the first edit.
TEST_F(SecondHostTest, TheSameHostsSecondStartEditInAFolderReplacesItsFirst)
{
    NamedEvent go("our-go");
    NextLog();
    SetEditorScript("QH_EDITOR_GO", go.name);
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("first")}).number, 1);
    std::string firstLog = logPath;
    std::string upper = workDir;
    CharUpperBuffA(&upper[0], (DWORD)upper.size());
    BoxCatcher catcher;
    NextLog();
    EXPECT_EQ(Call("startEdit", {StringArg(upper), StringArg("second")}).number, 1);
    EXPECT_TRUE(catcher.Seen().empty());
    EXPECT_EQ(ReadFileBytes(workDir + "\\QuillhavenTemp.html"), "second");
    go.Set();
    EXPECT_TRUE(WaitEditorExit(firstLog));
    EXPECT_TRUE(WaitEditorExit(logPath));
    Call("endEdit");
}

// The mark ends with the edit: a folder this host has moved on from, whose
// edit it has ended, or whose host has called JSAExit is free for another.
TEST_F(SecondHostTest, AFolderThisHostIsDoneWithIsFreeForAnother)
{
    std::string theirPage = workDir + "\\theirs.html";
    WriteFileBytes(theirPage, "<p>their document</p>");
    std::string left = NewTempDir("left");
    std::string ended = NewTempDir("ended");
    std::string exited = NewTempDir("exited");
    auto ourEdit = [&](const std::string& folder) {
        NextLog();
        EXPECT_EQ(Call("startEdit", {StringArg(folder), StringArg("<p>ours</p>")}).number, 1);
        EXPECT_TRUE(WaitEditorExit(logPath));
    };
    auto theirEdit = [&](const std::string& folder) {
        StartOtherHost({"edit-source", theirPage, folder});
        EXPECT_EQ(FinishTheirEdit(), 0u) << folder << ": " << ReadFileBytes(their.output);
        RemoveTree(folder);
    };
    ourEdit(left);
    ourEdit(ended);
    Call("endEdit");
    theirEdit(left);
    theirEdit(ended);
    ourEdit(exited);
    host.exit();
    theirEdit(exited);
}

// A host ends (a crash, the task manager) after its user saved the source in
// the editor: the next source edit in that folder keeps the saved text under
// a name of its own, says so, and only then writes the new page's text.
TEST_F(SecondHostTest, AnEditSavedInAHostThatEndedIsKeptByTheNextEdit)
{
    const std::string page = workDir + "\\page.html";
    const std::string temp = workDir + "\\QuillhavenTemp.html";
    WriteFileBytes(page, "<p>page</p>");
    StartOtherHost({"edit-source", page, workDir},
                   {{"QH_EDITOR_ACTION", "replace"}, {"QH_EDITOR_TEXT", "<p>saved by the user</p>"}});
    ASSERT_TRUE(WaitFor(their.ready)) << "their editor never started: " << ReadFileBytes(their.output);
    ASSERT_TRUE(TerminateProcess(their.process, 9));
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    // The editor outlives its host; the user saves and closes it.
    their.go.Set();
    ASSERT_TRUE(WaitEditorExit(workDir + "\\their-editor.log"));
    ASSERT_EQ(ReadFileBytes(temp), "<p>saved by the user</p>");

    BoxCatcher catcher;
    NextLog();
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>page</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(ReadFileBytes(temp), "<p>page</p>");
    std::vector<std::string> keptFiles = FilesMatching(workDir, "QuillhavenTemp-*.html");
    ASSERT_EQ(keptFiles.size(), 1u) << "the saved edit was kept once";
    std::string kept = keptFiles[0];
    EXPECT_EQ(ReadFileBytes(workDir + "\\" + kept), "<p>saved by the user</p>");
    // QuillhavenTemp-YYYYMMDD-HHMMSS.html
    EXPECT_EQ(kept.size(), std::string("QuillhavenTemp-20261210-153000.html").size()) << kept;
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_NE(catcher.Seen()[0].text.find(workDir + "\\" + kept), std::string::npos) << catcher.Seen()[0].text;
    Call("endEdit");
}
