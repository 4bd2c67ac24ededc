// How the editor's installation directory is read from its uninstall entry.
#include "support.h"

#include <string.h>

#include <string>
#include <vector>

#include "editor/editor.h"

class LocatorTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveUninstallEntry(); }
    void TearDown() override { RemoveUninstallEntry(); }
    std::string Found(BOOL expected = TRUE)
    {
        char dir[MAX_PATH];
        memset(dir, 'Z', sizeof(dir));
        EXPECT_EQ(FindEditorDir(dir), expected);
        EXPECT_NE(memchr(dir, '\0', sizeof(dir)), nullptr);
        return dir;
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

TEST_F(LocatorTest, ReadRegStringAnswersTheDeliveredCountOrEmptiesTheBuffer)
{
    SetUninstallString("abc");
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char buffer[8];
    EXPECT_EQ(ReadRegString(key, "UninstallString", buffer, sizeof(buffer)), 4u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(ReadRegString(key, "UninstallString", buffer, 3), 0u) << "too small";
    EXPECT_STREQ(buffer, "");
    RegCloseKey(key);

    // Stored without a NUL: terminated here when there is room for one, and
    // refused when the data fills the buffer; never a byte written past it.
    SetRawValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", REG_SZ, "abcdQ", 4);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(ReadRegString(key, "UninstallString", buffer, 5), 4u);
    EXPECT_STREQ(buffer, "abcd");
    memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(ReadRegString(key, "UninstallString", buffer, 4), 0u) << "no room for a NUL";
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[4], 'Z') << "written past the buffer";
    strcpy(buffer, "old");
    EXPECT_EQ(ReadRegString(key, "NoSuchValue", buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "");
    RegCloseKey(key);
    strcpy(buffer, "old");
    EXPECT_EQ(ReadRegString(NULL, "UninstallString", buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "");
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
