// The source-text road: "startEdit" writes the host's text to the temporary
// file and opens it in the editor, "getEdit" hands it back, "endEdit" removes it.
#include "editor_fixture.h"

#include <string>
#include <vector>

#include "tools/host/faults.h"

static const char kTempName[] = "QuillhavenTemp.html";

class SourceEditTest : public EditorTest {
protected:
    std::string TempFile(const std::string& dir = "") { return (dir.empty() ? workDir : dir) + "\\" + kTempName; }
    // "startEdit" with an editor that does what it is told and exits; the
    // current directory must be the same afterwards.
    Delivery StartEdit(const std::string& dir, const std::string& text, const char* action = "none",
                       const std::string& editorText = "")
    {
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", action);
        SetEditorScript("QH_EDITOR_TEXT", editorText);
        std::string before = CurrentDir();
        Delivery d = Call("startEdit", {StringArg(dir), StringArg(text)});
        EXPECT_EQ(CurrentDir(), before) << "startEdit leaves the current directory alone";
        EXPECT_EQ(d.kind, kDeliveredBool);
        if (d.number) {
            EXPECT_TRUE(WaitEditorExit(logPath));
        }
        return d;
    }
    Delivery GetEdit()
    {
        std::string before = CurrentDir();
        Delivery d = Call("getEdit");
        EXPECT_EQ(CurrentDir(), before) << "getEdit leaves the current directory alone";
        return d;
    }
    void EndEdit()
    {
        std::string before = CurrentDir();
        Delivery d = Call("endEdit");
        EXPECT_EQ(d.returnCalls, 0);
        EXPECT_EQ(CurrentDir(), before) << "endEdit leaves the current directory alone";
    }
    // The files an edit never read back was kept as, by name.
    std::vector<std::string> KeptFiles() { return FilesMatching(workDir, "QuillhavenTemp-*.html"); }
    bool LogExists()
    {
        bool exists = false;
        ReadFileBytes(logPath, &exists);
        return exists;
    }
};

TEST_F(SourceEditTest, TextComesBackByteForByte)
{
    std::string high;
    for (int c = 1; c < 256; c++)
        high += (char)c;
    std::string big;
    while (big.size() < 3 * 1024 * 1024)
        big += "<p class=\"x\">line " + std::to_string(big.size()) + "</p>\r\n";
    // Empty and 4096 bytes: under the test heap a buffer of just the text's
    // size ends at a no-access page, so a NUL written past it faults.
    const std::string texts[] = {"<html>\r\n<body>\n\tCR LF and LF\r</body>\r\n", high, "",
                                 std::string(4096, 'p'), big};
    for (const std::string& text : texts) {
        ASSERT_EQ(StartEdit(workDir, text).number, 1);
        EXPECT_TRUE(ReadFileBytes(TempFile()) == text) << "file holds exactly the text, " << text.size() << " bytes";
        Delivery d = GetEdit();
        EXPECT_EQ(d.kind, kDeliveredString);
        EXPECT_EQ(d.returnCalls, 1);
        EXPECT_TRUE(d.text == text) << d.text.size() << " bytes back for " << text.size();
    }
}

TEST_F(SourceEditTest, ALongerOldFileIsCutToTheNewText)
{
    ASSERT_EQ(StartEdit(workDir, std::string(10000, 'o')).number, 1);
    ASSERT_EQ(StartEdit(workDir, "short").number, 1);
    EXPECT_EQ(ReadFileBytes(TempFile()), "short");
    EXPECT_EQ(GetEdit().text, "short");
}

TEST_F(SourceEditTest, EditorStartsInTheWorkDirectoryOnTheFullPath)
{
    ASSERT_EQ(StartEdit(workDir, "x").number, 1);
    std::vector<std::string> log = ReadLog(logPath);
    EXPECT_EQ(LogValue(log, "cwd"), workDir);
    EXPECT_EQ(LogValue(log, "file"), TempFile());
    EXPECT_EQ(LogValue(log, "cmdline"),
              "\"" + installDir + "\\Scrivlet.exe\" \"" + TempFile() + "\"");
}

TEST_F(SourceEditTest, SavedEditIsUpdatedAndDelivered)
{
    ASSERT_EQ(StartEdit(workDir, "<p>old</p>", "replace", "<p>new</p>\\r\\n").number, 1);
    EXPECT_EQ(Call("updated").number, 1);
    EXPECT_EQ(GetEdit().text, "<p>new</p>\r\n");
    EXPECT_EQ(GetEdit().text, "<p>new</p>\r\n") << "as often as asked";
    EndEdit();
    bool exists = true;
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists);
}

TEST_F(SourceEditTest, UnsavedEditIsNotUpdated)
{
    ASSERT_EQ(StartEdit(workDir, "<p>same</p>").number, 1);
    EXPECT_EQ(Call("updated").number, 0);
}

TEST_F(SourceEditTest, ANulWrittenByTheEditorCutsTheDeliveredText)
{
    ASSERT_EQ(StartEdit(workDir, "text", "replace", "abc\\x00def").number, 1);
    EXPECT_EQ(ReadFileBytes(TempFile()), std::string("abc\0def", 7));
    EXPECT_EQ(GetEdit().text, "abc");
}

TEST_F(SourceEditTest, MissingEditorShowsTheMessageAndKeepsTheFileUntilEndEdit)
{
    RemoveUninstallEntry();
    BoxCatcher catcher;
    Delivery d = StartEdit(workDir, "<p>kept</p>");
    EXPECT_EQ(d.number, 0);
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_EQ(catcher.Seen()[0].text, "Scrivlet not found.");
    EXPECT_EQ(ReadFileBytes(TempFile()), "<p>kept</p>");
    EXPECT_EQ(GetEdit().text, "<p>kept</p>");
    EndEdit();
    bool exists = true;
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists);
}

TEST_F(SourceEditTest, GetEditWithoutAFileDeliversNothingAtAll)
{
    ASSERT_EQ(StartEdit(workDir, "x").number, 1);
    EndEdit();
    Delivery d = GetEdit();
    EXPECT_EQ(d.kind, kDeliveredNothing);
    EXPECT_EQ(d.returnCalls, 0);
    EndEdit();  // a second endEdit finds nothing and does nothing
}

TEST_F(SourceEditTest, BeforeAnyStartEditTheCurrentDirectoryIsUsed)
{
    std::string saved = CurrentDir();
    ASSERT_TRUE(SetCurrentDirectoryA(workDir.c_str()));
    Delivery none = GetEdit();
    WriteFileBytes(kTempName, "left over");
    Delivery found = GetEdit();
    EndEdit();
    bool exists = true;
    ReadFileBytes(TempFile(), &exists);
    SetCurrentDirectoryA(saved.c_str());
    EXPECT_EQ(none.kind, kDeliveredNothing);
    EXPECT_EQ(found.text, "left over");
    EXPECT_FALSE(exists);
    EXPECT_EQ(Call("updated").number, 0);
}

TEST_F(SourceEditTest, TempFileThatCannotBeOpenedIsRefused)
{
    ASSERT_TRUE(CreateDirectoryA(TempFile().c_str(), NULL));  // a directory of that name
    EXPECT_EQ(StartEdit(workDir, "x").number, 0);
    EXPECT_FALSE(LogExists()) << "no editor was started";
    EXPECT_EQ(Call("updated").number, 0) << "nothing was recorded";
    RemoveDirectoryA(TempFile().c_str());
}

// Run under a 2 MiB file-size limit by a test entry of its own: the text's
// write comes back short, and a short write must not pass for the edit, nor
// leave its part behind.
TEST_F(SourceEditTest, ShortWriteIsRefusedAndLaunchesNothing)
{
    const std::string text(3000000, 'w');
    std::string probe = workDir + "\\probe.bin";
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    BOOL wrote = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    DeleteFileA(probe.c_str());
    if (wrote && written == text.size())
        GTEST_SKIP() << "a 3,000,000-byte write went through whole: this process has no file-size limit";

    Delivery d = StartEdit(workDir, text);
    EXPECT_EQ(d.kind, kDeliveredBool);
    EXPECT_EQ(d.number, 0);
    EXPECT_FALSE(LogExists()) << "no editor was started";
    bool exists = true;
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists) << "the part written was left in the file";
    EXPECT_EQ(GetEdit().kind, kDeliveredNothing) << "a part was delivered as the text";
    EXPECT_EQ(Call("updated").number, 0) << "nothing was recorded";
}

TEST_F(SourceEditTest, DirectoryThatDoesNotFitOrDoesNotExistIsRefusedAndForgotten)
{
    ASSERT_EQ(StartEdit(workDir, "first").number, 1);
    std::string tooLong = workDir + "\\" + std::string(250, 'd');
    std::string missing = workDir + "\\no-such-directory";
    std::string tempTooLong = workDir + "\\" + std::string(250 - workDir.size(), 'e');
    CreateDirectoryA(tempTooLong.c_str(), NULL);  // fits alone, not with the file name
    for (const std::string& dir : {tooLong, missing, tempTooLong, std::string()}) {
        EXPECT_EQ(StartEdit(dir, "second").number, 0) << dir;
        EXPECT_FALSE(LogExists()) << "no editor was started for " << dir;
    }
    bool exists = true;
    ReadFileBytes(missing + "\\" + kTempName, &exists);
    EXPECT_FALSE(exists);
    ReadFileBytes(TempFile(tempTooLong), &exists);
    EXPECT_FALSE(exists);
    EXPECT_EQ(GetEdit().text, "first") << "the work directory is the one before";
}

TEST_F(SourceEditTest, RelativeDirectoryIsMadeAbsoluteOnce)
{
    std::string saved = CurrentDir();
    CreateDirectoryA((workDir + "\\sub").c_str(), NULL);
    ASSERT_TRUE(SetCurrentDirectoryA(workDir.c_str()));
    Delivery d = StartEdit("sub", "relative");
    std::string file = LogValue(ReadLog(logPath), "file");
    SetCurrentDirectoryA(saved.c_str());
    ASSERT_EQ(d.number, 1);
    EXPECT_EQ(file, workDir + "\\sub\\" + kTempName);
    EXPECT_EQ(ReadFileBytes(workDir + "\\sub\\" + kTempName), "relative");
    EXPECT_EQ(GetEdit().text, "relative") << "found from another current directory";
}

TEST_F(SourceEditTest, FileTooLargeForTheReadBufferDeliversNothingAndIsKept)
{
    ASSERT_EQ(StartEdit(workDir, "x").number, 1);
    for (LONGLONG size : {(LONGLONG)0xFFFFFFE0, (LONGLONG)0x100000010}) {
        HANDLE file = CreateFileA(TempFile().c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(file, end, NULL, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
        Delivery d = GetEdit();
        EXPECT_EQ(d.kind, kDeliveredNothing) << size;
    }
    // Not read, so not deleted: kept beside it, with a box naming it.
    BoxCatcher catcher;
    EndEdit();
    EXPECT_EQ(KeptFiles().size(), 1u);
    EXPECT_EQ(catcher.Seen().size(), 1u);
}

// A new "startEdit" stops the previous edit's watcher; "endEdit" removes the
// file but leaves a running watcher alone.
TEST_F(SourceEditTest, StartEditStopsTheRunningWatcherAndEndEditLeavesItRunning)
{
    TestDialog dialog;
    dialog.AddButton(dialog.window, "OK", IDOK);
    NamedEvent goFirst("first");
    NamedEvent goSecond("second");

    NextLog();
    SetEditorScript("QH_EDITOR_GO", goFirst.name);
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("first")}).number, 1);
    std::string firstLog = logPath;
    NextLog();
    SetEditorScript("QH_EDITOR_GO", goSecond.name);
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("second")}).number, 1);
    std::string secondLog = logPath;
    EXPECT_EQ(CountThreads(), baselineThreads + 1) << "only the second edit's watcher is left";

    goFirst.Set();
    ASSERT_TRUE(WaitEditorExit(firstLog));
    PumpUntil([] { return false; }, 0);
    EXPECT_TRUE(TestDialog::Received().empty()) << "the first edit's watcher was stopped";

    EndEdit();
    bool exists = true;
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists);
    EXPECT_EQ(CountThreads(), baselineThreads + 1) << "endEdit stops no watcher";
    goSecond.Set();
    ASSERT_TRUE(WaitEditorExit(secondLog));
    ASSERT_TRUE(WaitWatcherEnded());
    PumpUntil([] { return false; }, 0);
    EXPECT_EQ(TestDialog::Received().size(), 1u) << "the second edit's exit dismisses the dialog";
}

// Once the edit's directory is gone, the text and the file of that name in
// the host's current directory belong to some other document.
TEST_F(SourceEditTest, AVanishedWorkDirectoryDeliversAndDeletesNothing)
{
    std::string hostDir = NewTempDir("host");
    WriteFileBytes(TempFile(hostDir), "another document");
    std::string saved = CurrentDir();
    for (const char* how : {"renamed", "removed"}) {
        std::string editDir = NewTempDir("edit");
        ASSERT_EQ(StartEdit(editDir, "the edit").number, 1) << how;
        if (std::string(how) == "renamed")
            ASSERT_TRUE(MoveFileA(editDir.c_str(), (editDir + "-moved").c_str()));
        else
            RemoveTree(editDir);
        ASSERT_TRUE(SetCurrentDirectoryA(hostDir.c_str()));
        Delivery d = GetEdit();
        EndEdit();
        SetCurrentDirectoryA(saved.c_str());
        EXPECT_EQ(d.kind, kDeliveredNothing) << how;
        EXPECT_EQ(d.returnCalls, 0) << how;
        EXPECT_EQ(ReadFileBytes(TempFile(hostDir)), "another document") << how;
        RemoveTree(editDir + "-moved");
    }
    RemoveTree(hostDir);
}

// What a host does every day keeps nothing: the text it read back, the text
// it wrote and no one saved over, an empty file, and the same text again.
TEST_F(SourceEditTest, AnEditTheHostHasOrNoOneSavedIsReplacedWithoutAWord)
{
    BoxCatcher catcher;
    ASSERT_EQ(StartEdit(workDir, "<p>one</p>", "replace", "<p>one, saved</p>").number, 1);
    EXPECT_EQ(GetEdit().text, "<p>one, saved</p>");
    ASSERT_EQ(StartEdit(workDir, "<p>two</p>").number, 1) << "after getEdit, without endEdit";
    ASSERT_EQ(StartEdit(workDir, "<p>three</p>").number, 1) << "over a text no one saved";
    WriteFileBytes(TempFile(), "<p>four</p>");
    ASSERT_EQ(StartEdit(workDir, "<p>four</p>").number, 1) << "over the same text";
    WriteFileBytes(TempFile(), "");
    ASSERT_EQ(StartEdit(workDir, "<p>five</p>").number, 1) << "over an empty file";
    EXPECT_EQ(ReadFileBytes(TempFile()), "<p>five</p>");
    EXPECT_TRUE(KeptFiles().empty());
    EXPECT_TRUE(catcher.Seen().empty());
}

// A save the host never read back is the user's only copy: it is kept
// under a name from its last-write time, a counter added when that name is
// taken, and a box names it.
TEST_F(SourceEditTest, ASaveTheHostNeverReadBackIsKeptAndNamed)
{
    ASSERT_EQ(StartEdit(workDir, "<p>old</p>", "replace", "<p>saved, not read</p>").number, 1);
    // Its last-write time, set to a known local time; that name is taken.
    SYSTEMTIME when = {2026, 1, 0, 2, 3, 4, 5, 0};
    FILETIME local, utc;
    ASSERT_TRUE(SystemTimeToFileTime(&when, &local) && LocalFileTimeToFileTime(&local, &utc));
    HANDLE file = CreateFileA(TempFile().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, NULL, NULL, &utc));
    CloseHandle(file);
    WriteFileBytes(workDir + "\\QuillhavenTemp-20260102-030405.html", "another kept edit");

    BoxCatcher catcher;
    ASSERT_EQ(StartEdit(workDir, "<p>new</p>").number, 1);
    const std::string kept = workDir + "\\QuillhavenTemp-20260102-030405-2.html";
    EXPECT_EQ(ReadFileBytes(kept), "<p>saved, not read</p>");
    EXPECT_EQ(ReadFileBytes(workDir + "\\QuillhavenTemp-20260102-030405.html"), "another kept edit");
    EXPECT_EQ(ReadFileBytes(TempFile()), "<p>new</p>");
    EXPECT_EQ(GetEdit().text, "<p>new</p>");
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_NE(catcher.Seen()[0].text.find(kept), std::string::npos) << catcher.Seen()[0].text;
    EXPECT_EQ(KeptFiles().size(), 2u);
}

// A leftover that can't be renamed (a program holds it open) is left whole,
// and nothing is written or started over it.
TEST_F(SourceEditTest, ALeftoverThatCannotBeKeptStopsTheEdit)
{
    WriteFileBytes(TempFile(), "<p>saved by a host that died</p>");
    HANDLE held = CreateFileA(TempFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string probe = workDir + "\\probe.html";
    BOOL renamed = MoveFileA(TempFile().c_str(), probe.c_str());
    if (renamed) {
        MoveFileA(probe.c_str(), TempFile().c_str());
        CloseHandle(held);
        GTEST_SKIP() << "a file held open without FILE_SHARE_DELETE was renamed all the same here";
    }
    BoxCatcher catcher;
    Delivery d = StartEdit(workDir, "<p>new</p>");
    CloseHandle(held);
    EXPECT_EQ(d.number, 0);
    EXPECT_FALSE(LogExists()) << "an editor was started";
    EXPECT_EQ(ReadFileBytes(TempFile()), "<p>saved by a host that died</p>");
    EXPECT_TRUE(KeptFiles().empty());
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_NE(catcher.Seen()[0].text.find("open in another program"), std::string::npos) << catcher.Seen()[0].text;
}

// The texts the host has are known folder by folder: edits in two folders
// in turn, and the first folder's own text is replaced on return without a
// word.
TEST_F(SourceEditTest, EachFoldersOwnTextIsKnownAfterAnEditElsewhere)
{
    BoxCatcher catcher;
    const std::string other = NewTempDir("other");
    ASSERT_EQ(StartEdit(workDir, "<p>one</p>", "replace", "<p>one, saved</p>").number, 1);
    EXPECT_EQ(GetEdit().text, "<p>one, saved</p>");
    ASSERT_EQ(StartEdit(other, "<p>two</p>", "replace", "<p>two, saved</p>").number, 1);
    EXPECT_EQ(GetEdit().text, "<p>two, saved</p>");
    ASSERT_EQ(StartEdit(workDir, "<p>one again</p>").number, 1);
    EXPECT_EQ(ReadFileBytes(TempFile()), "<p>one again</p>");
    EXPECT_TRUE(KeptFiles().empty());
    EXPECT_TRUE(catcher.Seen().empty()) << catcher.Seen()[0].text;
    EndEdit();
    RemoveTree(other);
}

// A leftover that another program removes between the look and the rename
// (the user, a sync tool) leaves nothing to keep: the edit goes on.
class VanishingLeftoverTest : public SourceEditTest {
protected:
    void SetUp() override
    {
        g_onPluginLoaded = InjectFaults;
        SourceEditTest::SetUp();
        PlanFaults(kFaultNone, 0);
    }
    void TearDown() override
    {
        BeforeCall(NULL, NULL, NULL);
        SourceEditTest::TearDown();
        g_onPluginLoaded = NULL;
    }
    static void Remove(void* path) { DeleteFileA(((std::string*)path)->c_str()); }
};

TEST_F(VanishingLeftoverTest, ALeftoverGoneBeforeItsRenameLetsTheEditGoOn)
{
    std::string temp = TempFile();
    WriteFileBytes(temp, "<p>saved by a host that died</p>");
    BeforeCall("MoveFileA", Remove, &temp);
    BoxCatcher catcher;
    ASSERT_EQ(StartEdit(workDir, "<p>new</p>").number, 1);
    EXPECT_TRUE(LogExists()) << "the editor was not started";
    EXPECT_EQ(ReadFileBytes(temp), "<p>new</p>");
    EXPECT_TRUE(KeptFiles().empty());
    EXPECT_TRUE(catcher.Seen().empty()) << catcher.Seen()[0].text;
}
