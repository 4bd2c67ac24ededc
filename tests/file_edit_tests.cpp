// "run" and "updated": whether the file the host named was written since the
// editor was launched on it.
#include "editor_fixture.h"

#include <string>

class FileEditTest : public EditorTest {
protected:
    // "run" on a path with an editor that does what it is told and exits.
    bool RunEditor(const std::string& path, const char* action, const std::string& text = "")
    {
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", action);
        SetEditorScript("QH_EDITOR_TEXT", text);
        Delivery d = Call("run", {StringArg(path)});
        EXPECT_EQ(d.kind, kDeliveredBool);
        return d.number != 0 && WaitEditorExit(logPath);
    }
    bool Updated()
    {
        Delivery d = Call("updated");
        EXPECT_EQ(d.kind, kDeliveredBool);
        return d.number != 0;
    }
    // Moves a file's last-write time away from now, so that a save in the
    // same clock tick still shows as a change.
    void Age(const std::string& path)
    {
        HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, NULL,
                                  OPEN_EXISTING, 0, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME old = {0x12345678, 0x01D00000};
        SetFileTime(file, NULL, NULL, &old);
        CloseHandle(file);
    }
};

TEST_F(FileEditTest, NothingLaunchedYetMeansNotUpdated)
{
    EXPECT_FALSE(Updated());
}

TEST_F(FileEditTest, ClosedWithoutSavingIsNotUpdatedButASaveIsAndStaysSo)
{
    std::string page = workDir + "\\page.html";
    WriteFileBytes(page, "<p>one</p>");
    Age(page);
    ASSERT_TRUE(RunEditor(page, "none"));
    EXPECT_FALSE(Updated());

    ASSERT_TRUE(RunEditor(page, "append", "<p>two</p>"));
    EXPECT_TRUE(Updated());
    EXPECT_TRUE(Updated()) << "asking again changes nothing";
    EXPECT_EQ(ReadFileBytes(page), "<p>one</p><p>two</p>");
}

TEST_F(FileEditTest, ASaveOfTheSameBytesStillCountsAsAChange)
{
    std::string page = workDir + "\\page.html";
    WriteFileBytes(page, "same");
    Age(page);
    ASSERT_TRUE(RunEditor(page, "touch"));
    EXPECT_TRUE(Updated());
    EXPECT_EQ(ReadFileBytes(page), "same");
}

TEST_F(FileEditTest, TheLatestLaunchIsTheOneCompared)
{
    std::string a = workDir + "\\a.html";
    std::string b = workDir + "\\b.html";
    WriteFileBytes(a, "a");
    WriteFileBytes(b, "b");
    Age(a);
    Age(b);
    ASSERT_TRUE(RunEditor(a, "append", "!"));
    EXPECT_TRUE(Updated());
    ASSERT_TRUE(RunEditor(b, "none"));
    EXPECT_FALSE(Updated()) << "b was not written";
}

// Each "updated" searches the directory for the file: a search left open
// holds a kernel handle on Windows and a heap block under Wine.
TEST_F(FileEditTest, AskingAThousandTimesHoldsNothing)
{
    std::string page = workDir + "\\page.html";
    WriteFileBytes(page, "p");
    ASSERT_TRUE(RunEditor(page, "none"));
    ASSERT_TRUE(WaitWatcherEnded());
    Updated();
    int handles = CountHandles();
    long long heap = ProcessHeapBytesInUse();
    if (heap < 0)
        GTEST_SKIP() << "the process heap can't be walked here";
    int changed = 0;
    for (int i = 0; i < 1000; i++)
        changed += Updated() ? 1 : 0;
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(CountHandles(), handles);
    EXPECT_LT(ProcessHeapBytesInUse() - heap, 16 * 1024) << "bytes kept by a thousand calls";
}

TEST_F(FileEditTest, FileMissingAtLaunchCountsAsUpdatedOnceItExists)
{
    std::string page = workDir + "\\new.html";
    ASSERT_TRUE(RunEditor(page, "none"));
    EXPECT_FALSE(Updated());
    WriteFileBytes(page, "now here");
    EXPECT_TRUE(Updated());
}

TEST_F(FileEditTest, FileDeletedAfterLaunchCountsAsUpdated)
{
    std::string page = workDir + "\\gone.html";
    WriteFileBytes(page, "x");
    ASSERT_TRUE(RunEditor(page, "none"));
    EXPECT_FALSE(Updated());
    ASSERT_TRUE(DeleteFileA(page.c_str()));
    EXPECT_TRUE(Updated());
}

TEST_F(FileEditTest, EditorMissingLeavesThePreviousRecord)
{
    std::string a = workDir + "\\a.html";
    WriteFileBytes(a, "a");
    Age(a);
    ASSERT_TRUE(RunEditor(a, "none"));
    RemoveUninstallEntry();
    std::string b = workDir + "\\b.html";
    {
        BoxCatcher catcher;
        EXPECT_EQ(Call("run", {StringArg(b)}).number, 0);
        EXPECT_EQ(catcher.Seen().size(), 1u);
    }
    WriteFileBytes(a, "a2");
    EXPECT_TRUE(Updated()) << "still speaks of a";
}

TEST_F(FileEditTest, AnEditorSetUpBy64BitSetupIsFoundAndStarted)
{
    if (!RunsOnWow64())
        GTEST_SKIP() << "32-bit Windows has a single registry view";
    RemoveUninstallEntry();
    SetUninstallString(installDir + "\\SCRINST.EXE /R", KEY_WOW64_64KEY);
    std::string page = workDir + "\\page.html";
    WriteFileBytes(page, "p");
    BoxCatcher catcher;
    ASSERT_TRUE(RunEditor(page, "append", "+"));
    EXPECT_TRUE(catcher.Seen().empty()) << "no not-found box";
    EXPECT_EQ(LogValue(ReadLog(logPath), "module"), installDir + "\\Scrivlet.exe");
    EXPECT_TRUE(Updated());
}

TEST_F(FileEditTest, RelativePathIsResolvedAgainstTheCurrentDirectory)
{
    std::string saved = CurrentDir();
    ASSERT_TRUE(SetCurrentDirectoryA(workDir.c_str()));
    WriteFileBytes("rel.html", "r");
    Age(workDir + "\\rel.html");
    bool ran = RunEditor("rel.html", "append", "+");
    std::string file = LogValue(ReadLog(logPath), "file");
    bool updated = Updated();
    SetCurrentDirectoryA(saved.c_str());
    ASSERT_TRUE(ran);
    EXPECT_EQ(file, "rel.html") << "the path goes to the editor as the host gave it";
    EXPECT_TRUE(updated);
    EXPECT_EQ(ReadFileBytes(workDir + "\\rel.html"), "r+");
}
