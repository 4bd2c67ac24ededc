// A temporary file another program holds for a moment, as a virus scanner,
// the search indexer or a sync tool does right after a save: within about a
// second the edit goes through as if nothing held it; past that the host is
// told with a box, and the user's saved edit is never deleted unread.
#include "editor_fixture.h"

#include <string>
#include <vector>

// Another program's open of the file, sharing nothing, let go after ms or
// when Release is called, whichever comes first.
class Holder {
public:
    ~Holder() { Release(); }
    bool Hold(const std::string& path, DWORD ms)
    {
        file_ = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file_ == INVALID_HANDLE_VALUE)
            return false;
        ms_ = ms;
        release_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        thread_ = CreateThread(NULL, 0, LetGo, this, 0, NULL);
        return release_ != NULL && thread_ != NULL;
    }
    void Release()
    {
        if (thread_ != NULL) {
            SetEvent(release_);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = NULL;
        }
        if (release_ != NULL)
            CloseHandle(release_);
        release_ = NULL;
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

private:
    static DWORD WINAPI LetGo(void* self)
    {
        Holder* h = (Holder*)self;
        WaitForSingleObject(h->release_, h->ms_);
        CloseHandle(h->file_);
        h->file_ = INVALID_HANDLE_VALUE;
        return 0;
    }
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE release_ = NULL;
    HANDLE thread_ = NULL;
    DWORD ms_ = 0;
};

// Well inside the module's bound of about a second, and well past it.
static const DWORD kMoment = 150;

class HeldFileTest : public EditorTest {
protected:
    std::string TempFile() { return workDir + "\\QuillhavenTemp.html"; }
    std::vector<std::string> KeptFiles() { return FilesMatching(workDir, "QuillhavenTemp-*.html"); }
    // "startEdit" with an editor that saves text and exits.
    void EditAndSave(const std::string& hostText, const std::string& saved)
    {
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", "replace");
        SetEditorScript("QH_EDITOR_TEXT", saved);
        ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg(hostText)}).number, 1);
        ASSERT_TRUE(WaitEditorExit(logPath));
    }
    void Hold(Holder* holder, DWORD ms)
    {
        ASSERT_TRUE(holder->Hold(TempFile(), ms)) << "the test could not hold " << TempFile();
        // Sharing nothing, the hold refuses the module's own kind of open.
        HANDLE probe = CreateFileA(TempFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, 0, NULL);
        ASSERT_EQ(probe, INVALID_HANDLE_VALUE) << "the hold shares the file";
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    }
};

// The host sees nothing of a hold that ends within the bound: the edit's
// read, its removal, and the next edit over the host's own text.
TEST_F(HeldFileTest, AMomentsHoldCostsTheHostNothing)
{
    BoxCatcher catcher;
    EditAndSave("<p>before</p>", "<p>saved</p>");
    {
        Holder scanner;
        Hold(&scanner, kMoment);
        Delivery d = Call("getEdit");
        EXPECT_EQ(d.kind, kDeliveredString) << "getEdit right after the save";
        EXPECT_EQ(d.text, "<p>saved</p>");
    }
    {
        // Over the text the host just read back.
        Holder scanner;
        Hold(&scanner, kMoment);
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", "none");
        EXPECT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>next</p>")}).number, 1);
        EXPECT_TRUE(WaitEditorExit(logPath)) << "the editor was not started";
        EXPECT_EQ(ReadFileBytes(TempFile()), "<p>next</p>");
    }
    {
        // Over a file that holds the very text: compared, not kept.
        WriteFileBytes(TempFile(), "<p>same</p>");
        Holder scanner;
        Hold(&scanner, kMoment);
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", "none");
        EXPECT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>same</p>")}).number, 1);
        EXPECT_TRUE(WaitEditorExit(logPath)) << "the editor was not started";
    }
    {
        Holder scanner;
        Hold(&scanner, kMoment);
        Call("endEdit");
        bool exists = true;
        ReadFileBytes(TempFile(), &exists);
        EXPECT_FALSE(exists) << "endEdit left the file";
    }
    EXPECT_TRUE(KeptFiles().empty());
    for (const auto& box : catcher.Seen())
        ADD_FAILURE() << "a box: " << box.text;
}

// Held past the bound: "getEdit" delivers nothing and says why, and the
// "endEdit" after it keeps the saved text under a name of its own.
TEST_F(HeldFileTest, AHoldPastTheBoundIsToldAndTheSaveIsKept)
{
    BoxCatcher catcher;
    EditAndSave("<p>before</p>", "<p>the user's only copy</p>");
    Holder syncTool;
    Hold(&syncTool, INFINITE);
    Delivery d = Call("getEdit");
    syncTool.Release();
    EXPECT_EQ(d.kind, kDeliveredNothing);
    ASSERT_EQ(catcher.Seen().size(), 1u);
    const std::string told = catcher.Seen()[0].text;
    EXPECT_NE(told.find(TempFile()), std::string::npos) << told;
    EXPECT_NE(told.find("Another program holds it"), std::string::npos) << told;

    Call("endEdit");
    std::vector<std::string> kept = KeptFiles();
    ASSERT_EQ(kept.size(), 1u) << "the save getEdit could not read is gone";
    EXPECT_EQ(ReadFileBytes(workDir + "\\" + kept[0]), "<p>the user's only copy</p>");
    bool exists = true;
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists);
    ASSERT_EQ(catcher.Seen().size(), 2u);
    EXPECT_NE(catcher.Seen()[1].text.find(workDir + "\\" + kept[0]), std::string::npos) << catcher.Seen()[1].text;

    // A getEdit that delivers, or none at all, and endEdit deletes as ever.
    EditAndSave("<p>again</p>", "<p>read</p>");
    EXPECT_EQ(Call("getEdit").text, "<p>read</p>");
    Call("endEdit");
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists);
    EXPECT_EQ(KeptFiles().size(), 1u);
}

// Held past the bound at "startEdit" and at "endEdit": each says so, starts
// nothing or leaves the file, and loses nothing.
TEST_F(HeldFileTest, AHoldPastTheBoundRefusesTheEditOrLeavesTheFile)
{
    BoxCatcher catcher;
    EditAndSave("<p>before</p>", "<p>saved</p>");
    ASSERT_EQ(Call("getEdit").text, "<p>saved</p>");
    Holder indexer;
    Hold(&indexer, INFINITE);
    NextLog();
    Delivery d = Call("startEdit", {StringArg(workDir), StringArg("<p>next</p>")});
    EXPECT_EQ(d.number, 0);
    bool exists = true;
    ReadFileBytes(logPath, &exists);
    EXPECT_FALSE(exists) << "an editor was started";
    Call("endEdit");
    indexer.Release();
    EXPECT_EQ(ReadFileBytes(TempFile()), "<p>saved</p>");
    EXPECT_TRUE(KeptFiles().empty());
    std::vector<BoxCatcher::Box> boxes = catcher.Seen();
    ASSERT_EQ(boxes.size(), 2u);
    for (const auto& box : boxes) {
        EXPECT_NE(box.text.find(TempFile()), std::string::npos) << box.text;
        EXPECT_NE(box.text.find("Another program holds it"), std::string::npos) << box.text;
    }
}
