// The source text in whatever form an editor saves it: UTF-8 with its mark or
// without, UTF-16 in either byte order, or the host's own bytes. The host
// gets its own text back in its code page, each character the code page
// lacks as an HTML numeric character reference; with "EditorEncoding" set to
// UTF-8 the editor is given UTF-8 with its mark.
#include "editor_fixture.h"

#include <string>

static const char kTempName[] = "QuillhavenTemp.html";

class TextEncodingTest : public EditorTest {
protected:
    void SetUp() override
    {
        EditorTest::SetUp();
        ClearSetting("EditorEncoding");
    }
    void TearDown() override
    {
        ClearSetting("EditorEncoding");
        EditorTest::TearDown();
    }
    std::string TempFile() { return workDir + "\\" + kTempName; }
    void SetEncoding(const std::string& value)
    {
        SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "EditorEncoding", REG_SZ, value.c_str(),
                    (DWORD)value.size() + 1);
    }
    // "startEdit" with an editor that saves these bytes (\xHH escaped for
    // it) and exits; then what "getEdit" delivers.
    Delivery EditAndSave(const std::string& hostText, const std::string& saved, const char* action = "replace",
                         const std::string& find = "")
    {
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", action);
        SetEditorScript("QH_EDITOR_TEXT", saved);
        SetEditorScript("QH_EDITOR_FIND", find);
        Delivery started = Call("startEdit", {StringArg(workDir), StringArg(hostText)});
        EXPECT_EQ(started.number, 1);
        if (started.number != 1)
            return Delivery();
        EXPECT_TRUE(WaitEditorExit(logPath));
        return Call("getEdit");
    }
};

// What a user of a current editor saves, one form at a time.
TEST_F(TextEncodingTest, EveryFormAnEditorSavesComesBackInTheHostsCodePage)
{
    SKIP_UNLESS_CODE_PAGE(1252);
    const struct {
        const char* form;
        std::string saved;
        std::string host;
    } cases[] = {
        {"UTF-8 with its mark", "\\xEF\\xBB\\xBF<p>caf\\xC3\\xA9</p>\\r\\n", "<p>caf\xE9</p>\r\n"},
        {"UTF-8 without a mark", "<p>caf\\xC3\\xA9 \\xE2\\x82\\xAC5</p>", "<p>caf\xE9 \x80" "5</p>"},
        {"UTF-16 LE with its mark", std::string("\\xFF\\xFE<\\x00p\\x00>\\x00\\xE9\\x00\\xAC\\x20"),
         "<p>\xE9\x80"},
        {"UTF-16 BE with its mark", "\\xFE\\xFF\\x00<\\x00p\\x00>\\x00\\xE9\\x20\\xAC", "<p>\xE9\x80"},
        {"the host's own bytes", "<p>caf\\xE9 \\x80 ?</p>\\r\\n", "<p>caf\xE9 \x80 ?</p>\r\n"},
        // Beyond the code page: one reference a character, a pair included;
        // a look-alike (A for U+0100) is no substitute.
        {"UTF-8 beyond the code page", "\\xE4\\xB8\\xAD|\\xF0\\x9F\\x98\\x80|\\xC4\\x80|?",
         "&#20013;|&#128512;|&#256;|?"},
        {"UTF-16 LE beyond the code page", "\\xFF\\xFE\\x2D\\x4E\\x3D\\xD8\\x00\\xDE", "&#20013;&#128512;"},
        // Malformed after a mark: each broken part one U+FFFD, never a "?".
        {"UTF-8 malformed after its mark", "\\xEF\\xBB\\xBFa\\xC3b\\xED\\xA0\\x80c\\xE4\\xB8",
         "a&#65533;b&#65533;&#65533;&#65533;c&#65533;"},
        {"UTF-16 LE with a lone surrogate and a cut unit", "\\xFF\\xFEa\\x00\\x00\\xD8b\\x00c",
         "a&#65533;b&#65533;"},
        {"only a mark", "\\xEF\\xBB\\xBF", ""},
        // An overlong form is no UTF-8: the page is the host's own bytes.
        {"the host's bytes holding an overlong form", "<p>\\xE0\\x80\\xAF</p>", "<p>\xE0\x80\xAF</p>"},
    };
    for (const auto& c : cases) {
        Delivery d = EditAndSave("<p>before</p>", c.saved);
        EXPECT_EQ(d.kind, kDeliveredString) << c.form;
        EXPECT_EQ(d.text, c.host) << c.form;
    }
}

// What reads alike in every code page: ASCII, and references for what no
// code page of a host has.
TEST_F(TextEncodingTest, WhatNoCodePageHoldsReadsAlikeInEach)
{
    const struct {
        const char* form;
        std::string saved;
        std::string host;
    } cases[] = {
        // Notepad's and VS Code's "UTF-8 with BOM" of a plain page.
        {"UTF-8 with its mark and ASCII after it", "\\xEF\\xBB\\xBF<p>plain</p>\\r\\n", "<p>plain</p>\r\n"},
        // The end with a lead surrogate and a lone byte pending is one error.
        {"UTF-16 LE ending in a lead surrogate and a lone byte", "\\xFF\\xFEa\\x00\\x3D\\xD8\\xF9", "a&#65533;"},
        {"UTF-16 BE ending in a lead surrogate and a lone byte", "\\xFE\\xFF\\x00a\\xD8\\x3D\\xF9", "a&#65533;"},
        {"UTF-16 LE ending in a lone byte", "\\xFF\\xFEa\\x00\\xF9", "a&#65533;"},
        // A pair never split where a run is halved down to what is lacked.
        {"UTF-8, an emoji after a letter the code page lacks", "\\xD7\\x90\\xF0\\x9F\\x98\\x80x",
         "&#1488;&#128512;x"},
        {"UTF-16 LE, an emoji after a letter the code page lacks",
         "\\xFF\\xFE\\xD0\\x05\\x3D\\xD8\\x00\\xDEx\\x00", "&#1488;&#128512;x"},
        {"UTF-8, letters lacked on both sides of an emoji",
         "\\xD7\\x90\\xD7\\x91\\xD7\\x92\\xF0\\x9F\\x98\\x80\\xD7\\x93", "&#1488;&#1489;&#1490;&#128512;&#1491;"},
    };
    for (const auto& c : cases) {
        Delivery d = EditAndSave("<p>before</p>", c.saved);
        EXPECT_EQ(d.kind, kDeliveredString) << c.form;
        EXPECT_EQ(d.text, c.host) << c.form;
    }
}

// A host that keeps its page as UTF-8 bytes gets its bytes back as they are,
// whatever they look like; a mark still says what the editor saved.
TEST_F(TextEncodingTest, AHostTextThatIsItselfUtf8StaysBytes)
{
    SKIP_UNLESS_CODE_PAGE(1252);
    const std::string page = "<p>caf\xC3\xA9</p>";
    EXPECT_EQ(EditAndSave(page, "!", "append").text, page + "!");
    EXPECT_EQ(EditAndSave(page, "\\xEF\\xBB\\xBFcaf\\xC3\\xA9").text, "caf\xE9");
    // The next page, in the code page, is read as the editor saved it again.
    EXPECT_EQ(EditAndSave("<p>plain</p>", "caf\\xC3\\xA9").text, "caf\xE9");
}

TEST_F(TextEncodingTest, EditorEncodingUtf8GivesTheEditorUtf8WithItsMark)
{
    SKIP_UNLESS_CODE_PAGE(1252);
    for (const char* value : {"UTF-8", "utf8"}) {
        SetEncoding(value);
        // The editor changes one word and saves without a mark, as it read.
        Delivery d = EditAndSave("<p>caf\xE9 \x80</p>", "\\xE4\\xB8\\xAD", "substitute", "caf\\xC3\\xA9");
        EXPECT_EQ(d.text, "<p>&#20013; \x80</p>") << value;
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", "none");
        ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>caf\xE9 \x80</p>")}).number, 1);
        ASSERT_TRUE(WaitEditorExit(logPath));
        EXPECT_EQ(ReadFileBytes(TempFile()), "\xEF\xBB\xBF<p>caf\xC3\xA9 \xE2\x82\xAC</p>") << value;
        EXPECT_EQ(Call("getEdit").text, "<p>caf\xE9 \x80</p>") << value << ": unchanged, the host's own text";
    }
    // Written as UTF-8 by the module, a page whose bytes look like UTF-8 is
    // UTF-8 coming back: the host's text is what it gave.
    SetEncoding("UTF-8");
    EXPECT_EQ(EditAndSave("caf\xC3\xA9", "", "touch").text, "caf\xC3\xA9");
    EXPECT_EQ(EditAndSave("caf\xC3\xA9", "caf\\xC3\\x83\\xC2\\xA9!").text, "caf\xC3\xA9!") << "saved without its mark";
}

TEST_F(TextEncodingTest, ANSIOrNoEncodingWritesTheHostsBytes)
{
    SKIP_UNLESS_CODE_PAGE(1252);
    for (const char* value : {"ANSI", "", "ansi"}) {
        SetEncoding(value);
        NextLog();
        ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("caf\xE9")}).number, 1) << value;
        ASSERT_TRUE(WaitEditorExit(logPath));
        EXPECT_EQ(ReadFileBytes(TempFile()), "caf\xE9") << value;
    }
}

TEST_F(TextEncodingTest, AnUnknownEncodingShowsTheBoxAndStartsNothing)
{
    SKIP_UNLESS_CODE_PAGE(1252);
    SetEncoding("Latin-1");
    BoxCatcher catcher;
    NextLog();
    Delivery d = Call("startEdit", {StringArg(workDir), StringArg("caf\xE9")});
    EXPECT_EQ(d.kind, kDeliveredBool);
    EXPECT_EQ(d.number, 0);
    ASSERT_EQ(catcher.Seen().size(), 1u);
    const std::string text = catcher.Seen()[0].text;
    for (const char* word : {"\"Latin-1\"", "\"UTF-8\"", "\"ANSI\"", "EditorEncoding"})
        EXPECT_NE(text.find(word), std::string::npos) << word << " in: " << text;
    bool exists = true;
    ReadFileBytes(logPath, &exists);
    EXPECT_FALSE(exists) << "an editor was started";
    ReadFileBytes(TempFile(), &exists);
    EXPECT_FALSE(exists) << "the temporary file was written";
}
