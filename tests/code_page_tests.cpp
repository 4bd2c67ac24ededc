// A host on a Japanese Windows, code page 932 (Shift-JIS): its text comes
// back in its own double-byte characters from whatever an editor saves, a
// folder's name may end in a character whose trail byte is a backslash
// (表, 95 5C), and its documents are named in kanji.
#include "editor_fixture.h"

#include <string>
#include <vector>

static const char kTempName[] = "QuillhavenTemp.html";
// 日本語 and 表 in Shift-JIS, as the host has them.
static const std::string kNihongo = "\x93\xFA\x96\x7B\x8C\xEA";
static const std::string kHyou = "\x95\x5C";

class CodePage932Test : public EditorTest {
protected:
    std::string folder;  // a folder whose name ends in 表

    void SetUp() override
    {
        EditorTest::SetUp();
        ClearSetting("EditorEncoding");
        SKIP_UNLESS_CODE_PAGE(932);
        folder = workDir + "\\" + kNihongo + kHyou;
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL)) << "a folder named in kanji";
    }
    void TearDown() override
    {
        ClearSetting("EditorEncoding");
        EditorTest::TearDown();
    }
    // "startEdit" in dir with an editor that saves these bytes (\xHH
    // escaped for it) and exits; then what "getEdit" delivers.
    Delivery EditAndSave(const std::string& dir, const std::string& hostText, const std::string& saved,
                         const char* action = "replace", const std::string& find = "")
    {
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", action);
        SetEditorScript("QH_EDITOR_TEXT", saved);
        SetEditorScript("QH_EDITOR_FIND", find);
        Delivery started = Call("startEdit", {StringArg(dir), StringArg(hostText)});
        EXPECT_EQ(started.number, 1);
        if (started.number != 1)
            return Delivery();
        EXPECT_TRUE(WaitEditorExit(logPath));
        return Call("getEdit");
    }
};

TEST_F(CodePage932Test, EveryFormAnEditorSavesComesBackInShiftJis)
{
    const struct {
        const char* form;
        std::string saved;
        std::string host;
    } cases[] = {
        {"UTF-8 with its mark", "\\xEF\\xBB\\xBF<p>\\xE6\\x97\\xA5\\xE6\\x9C\\xAC\\xE8\\xAA\\x9E</p>",
         "<p>" + kNihongo + "</p>"},
        {"UTF-8 without a mark", "\\xE6\\x97\\xA5\\xE6\\x9C\\xAC\\xE8\\xAA\\x9E \\xE8\\xA1\\xA8", kNihongo + " " + kHyou},
        {"UTF-16 LE with its mark", "\\xFF\\xFE\\xE5\\x65\\x2C\\x67\\x9E\\x8A", kNihongo},
        {"UTF-16 BE with its mark", "\\xFE\\xFF\\x65\\xE5\\x67\\x2C\\x8A\\x9E", kNihongo},
        // What 932 has is its bytes, NEC's row 13 included; what it lacks
        // a reference, a look-alike no substitute.
        {"what the code page has", "\\xE2\\x91\\xA0\\xEF\\xBD\\xB1", "\x87\x40\xB1"},
        {"what the code page lacks", "caf\\xC3\\xA9 \\xF0\\x9F\\x98\\x80 \\xC4\\x80", "caf&#233; &#128512; &#256;"},
        {"kanji around an emoji", "\\xE6\\x97\\xA5\\xF0\\x9F\\x98\\x80\\xE6\\x9C\\xAC", "\x93\xFA&#128512;\x96\x7B"},
        // Shift-JIS is no UTF-8: the bytes are the host's own, a trail
        // byte that is a backslash included.
        {"the host's own bytes", "<p>\\x93\\xFA\\x96\\x7B\\x95\\x5C</p>", "<p>" + kNihongo.substr(0, 4) + kHyou + "</p>"},
    };
    for (const auto& c : cases) {
        Delivery d = EditAndSave(workDir, "<p>before</p>", c.saved);
        EXPECT_EQ(d.kind, kDeliveredString) << c.form;
        EXPECT_EQ(d.text, c.host) << c.form;
    }
}

// "C:\...\表" and "C:\...\表\" are one folder: a trailing separator is cut
// by characters, never the trail byte of the last one.
TEST_F(CodePage932Test, AFolderEndingInACharacterWhoseTrailByteIsABackslash)
{
    BoxCatcher catcher;
    for (const std::string& dir : {folder, folder + "\\"}) {
        Delivery d = EditAndSave(dir, "<p>" + kNihongo + "</p>", "<p>\\x95\\x5C</p>");
        EXPECT_EQ(d.text, "<p>" + kHyou + "</p>") << dir;
        EXPECT_EQ(LogValue(ReadLog(logPath), "file"), folder + "\\" + kTempName) << dir;
        EXPECT_EQ(LogValue(ReadLog(logPath), "cwd"), folder) << dir;
        Call("endEdit");
        bool exists = true;
        ReadFileBytes(folder + "\\" + kTempName, &exists);
        EXPECT_FALSE(exists) << dir;
    }
    EXPECT_TRUE(catcher.Seen().empty());
}

TEST_F(CodePage932Test, ADocumentNamedInKanjiIsTheFileTheEditorOpens)
{
    const std::string page = folder + "\\" + kNihongo + ".html";
    WriteFileBytes(page, "<p>x</p>");
    NextLog();
    SetEditorScript("QH_EDITOR_ACTION", "replace");
    SetEditorScript("QH_EDITOR_TEXT", "<p>saved</p>");
    ASSERT_EQ(Call("run", {StringArg(page)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(LogValue(ReadLog(logPath), "file"), page);
    EXPECT_EQ(Call("updated").number, 1);
    EXPECT_EQ(ReadFileBytes(page), "<p>saved</p>");
}

// "EditorEncoding" UTF-8 gives the editor the host's Shift-JIS in UTF-8 and
// takes it back in Shift-JIS.
TEST_F(CodePage932Test, EditorEncodingUtf8GivesTheEditorTheKanjiInUtf8)
{
    SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "EditorEncoding", REG_SZ, "UTF-8", 6);
    BoxCatcher catcher;
    const std::string host = "<p>" + kNihongo + " \x87\x40</p>";
    Delivery d = EditAndSave(folder, host, "\\xE8\\xA1\\xA8", "substitute", "\\xE6\\x97\\xA5");
    EXPECT_EQ(d.text, "<p>" + kHyou + kNihongo.substr(2) + " \x87\x40</p>");
    NextLog();
    SetEditorScript("QH_EDITOR_ACTION", "none");
    ASSERT_EQ(Call("startEdit", {StringArg(folder), StringArg(host)}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    EXPECT_EQ(ReadFileBytes(folder + "\\" + kTempName),
              "\xEF\xBB\xBF<p>\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xE2\x91\xA0</p>");
    EXPECT_EQ(Call("getEdit").text, host) << "unchanged, the host's own text";
    Call("endEdit");
    EXPECT_TRUE(catcher.Seen().empty());
}

// A save in the host's own bytes that no host read back, in a folder named
// in kanji: kept whole, and the box names it as the host spells it.
TEST_F(CodePage932Test, ASaveNeverReadBackIsKeptInAKanjiFolder)
{
    const std::string leftover = "<p>" + kNihongo + "</p>";
    WriteFileBytes(folder + "\\" + kTempName, leftover);
    BoxCatcher catcher;
    NextLog();
    ASSERT_EQ(Call("startEdit", {StringArg(folder), StringArg("<p>new</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    std::vector<std::string> kept = FilesMatching(folder, "QuillhavenTemp-*.html");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ReadFileBytes(folder + "\\" + kept[0]), leftover);
    EXPECT_EQ(ReadFileBytes(folder + "\\" + kTempName), "<p>new</p>");
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_NE(catcher.Seen()[0].text.find(folder + "\\" + kept[0]), std::string::npos) << catcher.Seen()[0].text;
    Call("endEdit");
}
