// How the editor's installation directory is read from its uninstall entry.
#include "editor_fixture.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "editor/editor.h"
#include "tools/host/faults.h"

class LocatorTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveUninstallEntry(); }
    void TearDown() override { RemoveUninstallEntry(); }
    std::string Found(BOOL expected = TRUE)
    {
        WCHAR dir[MAX_PATH];
        wmemset(dir, L'Z', ARRAYSIZE(dir));
        EXPECT_EQ(FindEditorDir(dir), expected);
        EXPECT_NE(wmemchr(dir, L'\0', ARRAYSIZE(dir)), nullptr);
        return Utf8(dir);
    }
};

TEST_F(LocatorTest, WorkedResults)
{
    const struct {
        const char* stored;
        const char* dir;
    } cases[] = {
        {"C:\\Tools\\Scrivlet\\SCRINST.EXE /R", "C:\\Tools\\Scrivlet"},
        {"C:\\Tools\\Scrivlet\\scrinst.exe /r", "C:\\Tools\\Scrivlet"},
        {"C:\\Tools\\Scrivlet\\remove.exe -q", "C:\\Tools\\Scrivlet"},
        {"remove.exe", "remove.exe"},
        {"\\remove.exe", "\\remove.exe"},
        {"\\SCRINST.EXE /R", ""},
        {"C:\\Tools\\Scrivlet\\SCRINST.EXE /R ", "C:\\Tools\\Scrivlet"},  // trailing blank: last backslash
        {"C:\\A\\B\\SCRINST.EXE /Rx", "C:\\A\\B"},
        {"\"C:\\Program Files\\Scrivlet\\SCRINST.EXE\" /R", "\"C:\\Program Files\\Scrivlet"},
        {"a\\b", "a"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SetUninstallString(c.stored);
        EXPECT_EQ(Found(), c.dir) << '"' << c.stored << '"';
    }
}

TEST_F(LocatorTest, MissingKeyIsNotFoundAndLeavesTheBufferEmpty)
{
    EXPECT_EQ(Found(FALSE), "");
}

TEST_F(LocatorTest, UnusableValueStillCountsAsFoundWithAnEmptyDirectory)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &key, NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Found(), "") << "no value";

    DWORD number = 5;
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_DWORD, &number, 4);
    EXPECT_EQ(Found(), "") << "a value of another type";

    SetUninstallString(std::string(260, 'x'));  // 261 bytes with its NUL
    EXPECT_EQ(Found(), "") << "a value that doesn't fit";

    std::string fits = "C:\\" + std::string(250, 'd') + "\\x.exe";  // 259 characters
    SetUninstallString(fits);
    EXPECT_EQ(Found(), fits.substr(0, fits.size() - 6));
}

TEST_F(LocatorTest, UnterminatedValueIsNeverReadPastTheBuffer)
{
    std::string value = "C:\\Tools\\Scrivlet\\SCRINST.EXE /R";
    std::string bytes = value + "Q";  // the byte after the data must not be NUL
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_SZ, bytes.data(),
                (DWORD)value.size());
    EXPECT_EQ(Found(), "C:\\Tools\\Scrivlet");

    std::string full = "C:\\" + std::string(257, 'u');  // exactly 260 bytes, no room for a NUL
    bytes = full + "Q";
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_SZ, bytes.data(),
                (DWORD)full.size());
    EXPECT_EQ(Found(), "");
}

// On 64-bit Windows this 32-bit module reads the 32-bit registry view, and
// a 64-bit editor's setup writes its entry into the 64-bit view only.
TEST_F(LocatorTest, OnWow64AnEntryInEitherRegistryViewIsFoundTheModulesOwnFirst)
{
    if (!RunsOnWow64())
        GTEST_SKIP() << "32-bit Windows has a single registry view";
    SetUninstallString("C:\\Tools\\Scrivlet64\\SCRINST.EXE /R", KEY_WOW64_64KEY);
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)) << "the two views are apart";
    EXPECT_EQ(Found(), "C:\\Tools\\Scrivlet64") << "only in the 64-bit view";

    SetUninstallString("C:\\Tools\\Scrivlet32\\SCRINST.EXE /R");
    EXPECT_EQ(Found(), "C:\\Tools\\Scrivlet32") << "in both views";

    // The 32-bit view's entry is the answer even when it is unusable.
    DWORD number = 5;
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_DWORD, &number, 4);
    EXPECT_EQ(Found(), "") << "an unusable value in the 32-bit view";

    RemoveUninstallEntry();
    EXPECT_EQ(Found(FALSE), "") << "in neither view";
}

// A setup run "just for me" writes the entry under the current user.
TEST_F(LocatorTest, APerUserEntryIsFoundAfterEveryMachineWideOne)
{
    SetUninstallString("C:\\Users\\me\\Scrivlet\\SCRINST.EXE /R", 0, HKEY_CURRENT_USER);
    EXPECT_EQ(Found(), "C:\\Users\\me\\Scrivlet") << "only the per-user entry";

    SetUninstallString("C:\\Tools\\Scrivlet\\SCRINST.EXE /R");
    EXPECT_EQ(Found(), "C:\\Tools\\Scrivlet") << "a machine-wide entry beside it wins";
    if (RunsOnWow64()) {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);
        SetUninstallString("C:\\Tools\\Scrivlet64\\SCRINST.EXE /R", KEY_WOW64_64KEY);
        EXPECT_EQ(Found(), "C:\\Tools\\Scrivlet64") << "so does one in the 64-bit view";
    }
}

// Sizes and answers count bytes, two to a character.
TEST_F(LocatorTest, ReadRegStringAnswersTheDeliveredCountOrEmptiesTheBuffer)
{
    SetUninstallString("abc");
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR buffer[8];
    EXPECT_EQ(ReadRegString(key, L"UninstallString", buffer, sizeof(buffer)), 8u);
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(ReadRegString(key, L"UninstallString", buffer, 6), 0u) << "too small";
    EXPECT_STREQ(buffer, L"");
    RegCloseKey(key);

    // Stored without a NUL: terminated here when there is room for one, and
    // refused when the data fills the buffer; never a character written past it.
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_SZ, "abcdQ", 4);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    wmemset(buffer, L'Z', ARRAYSIZE(buffer));
    EXPECT_EQ(ReadRegString(key, L"UninstallString", buffer, 10), 10u);
    EXPECT_STREQ(buffer, L"abcd");
    wmemset(buffer, L'Z', ARRAYSIZE(buffer));
    EXPECT_EQ(ReadRegString(key, L"UninstallString", buffer, 8), 0u) << "no room for a NUL";
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[4], L'Z') << "written past the buffer";
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "Expandable", REG_EXPAND_SZ, "%x%", 4);
    wcscpy(buffer, L"old");
    EXPECT_EQ(ReadRegString(key, L"Expandable", buffer, sizeof(buffer)), 0u) << "not a REG_SZ";
    EXPECT_STREQ(buffer, L"");
    wcscpy(buffer, L"old");
    EXPECT_EQ(ReadRegString(key, L"NoSuchValue", buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, L"");
    RegCloseKey(key);
    wcscpy(buffer, L"old");
    EXPECT_EQ(ReadRegString(NULL, L"UninstallString", buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, L"");
}

TEST(NotFoundMessage, IsAModalErrorBoxWithTheFixedText)
{
    BoxCatcher catcher;
    ReportEditorMissing();  // returns only once the catcher has dismissed it
    std::vector<BoxCatcher::Box> boxes = catcher.Seen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Scrivlet not found.");
    EXPECT_EQ(boxes[0].caption, "Error") << "no caption of its own";
    EXPECT_EQ(boxes[0].icon, LoadIconA(NULL, IDI_ERROR)) << "the error icon";
    EXPECT_EQ(boxes[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(boxes[0].owner, nullptr) << "no owner window";
}

// Where the module looks for the editor, as a host sees it: the program the
// user named in the settings, or the one an uninstall entry, machine-wide or
// the user's own, says is installed.
class EditorPlaceTest : public EditorTest {
protected:
    std::string page;
    void SetUp() override
    {
        EditorTest::SetUp();
        page = workDir + "\\page.html";
        WriteFileBytes(page, "<p>text</p>");
    }
    // "run" on the page, the editor saving and exiting at once.
    Delivery Run()
    {
        NextLog();
        SetEditorScript("QH_EDITOR_ACTION", "append");
        SetEditorScript("QH_EDITOR_TEXT", "+");
        return Call("run", {StringArg(page)});
    }
    // The program the last "run" started, once it has exited.
    std::string Started()
    {
        EXPECT_TRUE(WaitEditorExit(logPath));
        return LogValue(ReadLog(logPath), "module");
    }
    // "run" on the page with an editor that waits for go: its end must
    // click OK, and no box come, and it has ended by the return.
    void RunAndClick()
    {
        TestDialog dialog;
        HWND ok = dialog.AddButton(dialog.window, "OK", IDOK);
        NamedEvent go("go");
        NextLog();
        SetEditorScript("QH_EDITOR_GO", go.name);
        BoxCatcher catcher;
        ASSERT_EQ(Call("run", {StringArg(page)}).number, 1);
        go.Set();
        ASSERT_TRUE(PumpUntil([] { return !TestDialog::Received().empty(); })) << "its exit clicks OK";
        EXPECT_EQ(TestDialog::Received()[0].lParam, (LPARAM)ok);
        EXPECT_TRUE(WaitEditorExit(logPath));
        EXPECT_TRUE(catcher.Seen().empty());
    }
    // A "run" that answered false started nothing that could log later.
    bool AnyStarted()
    {
        bool exists = false;
        ReadFileBytes(logPath, &exists);
        return exists;
    }
    std::string Copy(const std::string& dir)
    {
        CreateDirectoryA(dir.c_str(), NULL);
        std::string program = dir + "\\MyEditor.exe";
        EXPECT_TRUE(CopyFileA((BinDir() + "\\standin-editor.exe").c_str(), program.c_str(), FALSE));
        return program;
    }
};

TEST_F(EditorPlaceTest, AnEditorInstalledForTheCurrentUserAloneIsStarted)
{
    RemoveUninstallEntry();
    SetUninstallString(installDir + "\\SCRINST.EXE /R", 0, HKEY_CURRENT_USER);
    BoxCatcher catcher;
    Delivery d = Run();
    EXPECT_EQ(d.kind, kDeliveredBool);
    ASSERT_EQ(d.number, 1);
    EXPECT_EQ(Started(), installDir + "\\Scrivlet.exe");
    EXPECT_TRUE(catcher.Seen().empty()) << "no not-found box";
}

// A folder with a blank and a byte of the ANSI code page's upper half, as
// a user's own tools folder may have.
TEST_F(EditorPlaceTest, TheProgramNamedInTheSettingsIsStartedInPlaceOfAnyUninstallEntry)
{
    std::string program = Copy(installDir + "\\My \xE9" "ditor");
    SetEditorPath(program);
    RunAndClick();
    EXPECT_EQ(Started(), program);
    EXPECT_EQ(LogValue(ReadLog(logPath), "cmdline"), "\"" + program + "\" \"" + page + "\"");
    BoxCatcher catcher;

    SetEditorScript("QH_TEST_TOOLS", installDir);
    SetEditorPath("%QH_TEST_TOOLS%\\My \xE9" "ditor\\MyEditor.exe", REG_EXPAND_SZ);
    EXPECT_EQ(Run().number, 1);
    EXPECT_EQ(Started(), program) << "with the variable expanded";
    SetEnvironmentVariableA("QH_TEST_TOOLS", NULL);
    EXPECT_TRUE(catcher.Seen().empty());
}

// A host may "set" any name, and "set" writes a number: that names no
// program. Nor does an empty string.
TEST_F(EditorPlaceTest, ANumberOrAnEmptyStringNamesNoProgram)
{
    BoxCatcher catcher;
    EXPECT_EQ(Call("set", {StringArg("EditorPath"), IntArg(7)}).kind, kDeliveredNothing);
    ASSERT_EQ(Run().number, 1);
    EXPECT_EQ(Started(), installDir + "\\Scrivlet.exe");
    SetEditorPath("");
    ASSERT_EQ(Run().number, 1);
    EXPECT_EQ(Started(), installDir + "\\Scrivlet.exe");
    EXPECT_TRUE(catcher.Seen().empty());

    SetEditorPath(installDir + "\\Scrivlet.exe");
    Delivery d = Call("get", {StringArg("editorpath")});
    EXPECT_EQ(d.kind, kDeliveredInt) << "settings stay integers";
    EXPECT_EQ(d.number, 0);
}

// No silent fallback: the user named a program, so an uninstall entry that
// would work is not used in its place.
TEST_F(EditorPlaceTest, ANamedProgramThatIsNotThereOrDoesNotFitIsReportedNeverPassedOver)
{
    std::string missing = installDir + "\\gone\\MyEditor.exe";
    std::string tooLong = "C:\\" + std::string(300, 'd') + "\\MyEditor.exe";
    SetEditorScript("QH_TEST_DEEP", std::string(250, 'e'));
    const struct {
        std::string value;
        DWORD type;
        std::string shown;  // the path the box names, if any
    } cases[] = {
        {missing, REG_SZ, missing},
        {installDir, REG_SZ, installDir},  // a folder, not a program
        {tooLong, REG_SZ, ""},
        {"C:\\%QH_TEST_DEEP%\\MyEditor.exe", REG_EXPAND_SZ, ""},  // too long once expanded
    };
    for (const auto& c : cases) {
        SetEditorPath(c.value, c.type);
        BoxCatcher catcher;
        Delivery d = Run();
        EXPECT_EQ(d.kind, kDeliveredBool) << c.value;
        EXPECT_EQ(d.number, 0) << c.value;
        if (d.number != 0)
            WaitEditorExit(logPath);  // the fallback this forbids: let it end
        EXPECT_FALSE(AnyStarted()) << "nothing started for " << c.value;
        std::vector<BoxCatcher::Box> boxes = catcher.Seen();
        ASSERT_EQ(boxes.size(), 1u) << c.value;
        EXPECT_EQ(boxes[0].text.compare(0, 19, "Scrivlet not found."), 0) << boxes[0].text;
        if (!c.shown.empty()) {
            EXPECT_NE(boxes[0].text.find(c.shown), std::string::npos) << boxes[0].text;
        }
        EXPECT_EQ(boxes[0].text.find("dddddddddd"), std::string::npos) << "never cut and shown";
    }
    SetEnvironmentVariableA("QH_TEST_DEEP", NULL);
    EXPECT_EQ(Call("updated").number, 0) << "nothing was recorded";
}

// The command line holds a deep folder's program and a long file path
// together, past 260 bytes: the edit starts.
TEST_F(EditorPlaceTest, ALongPathInALongFolderStillStarts)
{
    std::string deep = installDir + "\\" + std::string(200 - installDir.size() - 1, 'f');
    ASSERT_EQ(deep.size(), 200u);
    InstallEditor(deep);
    std::string longPage = workDir + "\\" + std::string(250 - workDir.size() - 6, 'p') + ".html";
    ASSERT_EQ(longPage.size(), 250u);
    WriteFileBytes(longPage, "x");
    page = longPage;
    BoxCatcher catcher;
    ASSERT_EQ(Run().number, 1);
    EXPECT_EQ(Started(), deep + "\\Scrivlet.exe");
    EXPECT_EQ(LogValue(ReadLog(logPath), "file"), longPage);
    EXPECT_TRUE(catcher.Seen().empty());
    RemoveTree(deep);
}

// The editor gets none of the host's handles: a pipe whose write end it
// held would never report its end to the host, and a file it held would
// stay locked until the editor exits.
TEST_F(EditorPlaceTest, TheEditorInheritsNoneOfTheHostsHandles)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), NULL, TRUE};
    HANDLE readEnd = NULL, writeEnd = NULL;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    std::string locked = workDir + "\\locked.bin";
    HANDLE file = CreateFileA(locked.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    NamedEvent go("go");
    NextLog();
    SetEditorScript("QH_EDITOR_GO", go.name);
    ASSERT_EQ(Call("run", {StringArg(page)}).number, 1);
    EditorPid(logPath);  // the editor is running
    CloseHandle(writeEnd);
    CloseHandle(file);

    DWORD available = 0;
    EXPECT_FALSE(PeekNamedPipe(readEnd, NULL, 0, NULL, &available, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE) << "the pipe's write end lives on";
    HANDLE again = CreateFileA(locked.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the file is still held, error " << GetLastError();
    if (again != INVALID_HANDLE_VALUE)
        CloseHandle(again);
    go.Set();
    EXPECT_TRUE(WaitEditorExit(logPath));
    CloseHandle(readEnd);
}

// A key the user may only read still names the editor and its arguments.
class ReadOnlySettingsTest : public EditorPlaceTest {
protected:
    void SetUp() override
    {
        g_onPluginLoaded = InjectFaults;
        EditorPlaceTest::SetUp();
        PlanFaults(kFaultNone, 0);
        MakeKeysReadOnly(true);
    }
    void TearDown() override
    {
        MakeKeysReadOnly(false);
        EditorPlaceTest::TearDown();
        g_onPluginLoaded = NULL;
    }
};

TEST_F(ReadOnlySettingsTest, AKeyTheUserMayOnlyReadStillNamesTheEditorAndItsArguments)
{
    std::string program = Copy(installDir + "\\locked");
    SetEditorPath(program);
    SetEditorArguments("-r \"%1\"");
    BoxCatcher catcher;
    ASSERT_EQ(Run().number, 1);
    EXPECT_EQ(Started(), program);
    EXPECT_EQ(LogValue(ReadLog(logPath), "cmdline"), "\"" + program + "\" -r \"" + page + "\"");
    EXPECT_TRUE(catcher.Seen().empty());
}

// A folder named in letters the ANSI code page lacks, as a user's profile
// may be: Greek and CJK on a Western system.
class UnicodeFolderTest : public EditorPlaceTest {
protected:
    std::wstring folder;
    void SetUp() override
    {
        EditorPlaceTest::SetUp();
        folder = Wide(installDir) + L"\\\x03A9\x03BC\x03AD\x03B3\x03B1 \x6F22\x5B57";
        BOOL lossy = FALSE;
        if (GetACP() == CP_UTF8 ||
            WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, NULL, 0, NULL, &lossy) == 0 || !lossy)
            GTEST_SKIP() << "the ANSI code page " << GetACP() << " spells Greek and CJK";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
        ASSERT_TRUE(CopyFileW((Wide(BinDir()) + L"\\standin-editor.exe").c_str(), Program().c_str(), FALSE));
    }
    std::wstring Program() { return folder + L"\\Scrivlet.exe"; }
    // "run" on the page, started from the program in that folder.
    void RunFromTheFolder()
    {
        RunAndClick();
        std::vector<std::string> log = ReadLog(logPath);
        EXPECT_EQ(LogValue(log, "module-utf8"), Utf8(Program()));
        EXPECT_EQ(LogValue(log, "file"), page);
    }
};

TEST_F(UnicodeFolderTest, AnEditorInstalledForTheUserUnderSuchAFolderIsStarted)
{
    RemoveUninstallEntry();
    SetWideValue(HKEY_CURRENT_USER, kUninstallKey, L"UninstallString", REG_SZ, folder + L"\\SCRINST.EXE /R");
    RunFromTheFolder();
}

TEST_F(UnicodeFolderTest, EditorPathNamesAProgramInSuchAFolder)
{
    SetWideValue(HKEY_CURRENT_USER, kSettingsKey, L"EditorPath", REG_SZ, Program());
    RunFromTheFolder();
    SetEnvironmentVariableW(L"QH_TEST_PROFILE", folder.c_str());
    SetWideValue(HKEY_CURRENT_USER, kSettingsKey, L"EditorPath", REG_EXPAND_SZ, L"%QH_TEST_PROFILE%\\Scrivlet.exe");
    RunFromTheFolder();
    SetEnvironmentVariableW(L"QH_TEST_PROFILE", NULL);
}

TEST_F(UnicodeFolderTest, TheNotFoundBoxShowsSuchAPathWithItsOwnCharacters)
{
    std::wstring missing = folder + L"\\gone\\Scrivlet.exe";
    SetWideValue(HKEY_CURRENT_USER, kSettingsKey, L"EditorPath", REG_SZ, missing);
    BoxCatcher catcher;
    EXPECT_EQ(Run().number, 0);
    EXPECT_FALSE(AnyStarted());
    std::vector<BoxCatcher::Box> boxes = catcher.Seen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].wideText.compare(0, 19, L"Scrivlet not found."), 0) << Utf8(boxes[0].wideText);
    EXPECT_NE(boxes[0].wideText.find(missing), std::wstring::npos) << Utf8(boxes[0].wideText);
}
