// Properties and settings as a host sees them, checked against the registry.
#include "support.h"

#include <limits.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

class SettingsTest : public PluginTest {
protected:
    void SetUp() override
    {
        DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
        PluginTest::SetUp();
    }
    void TearDown() override
    {
        PluginTest::TearDown();
        DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
    }
    Delivery Get(const std::string& name) { return Call("get", {StringArg(name)}); }
    int GetInt(const std::string& name)
    {
        Delivery d = Get(name);
        EXPECT_EQ(d.kind, kDeliveredInt) << name;
        return d.number;
    }
    void Set(const std::string& name, int value)
    {
        Delivery d = Call("set", {StringArg(name), IntArg(value)});
        EXPECT_EQ(d.returnCalls, 0) << "set delivers nothing";
    }
    void Store(const char* name, DWORD type, const std::string& bytes)
    {
        SetRawValue(HKEY_CURRENT_USER, kSettingsKey, name, type, bytes.data(),
                    (DWORD)bytes.size());
    }
    // A REG_SZ without its NUL: the byte after the data must not be NUL, or
    // the registry adds one.
    void StoreUnterminated(const char* name, const std::string& text)
    {
        std::string bytes = text + "X";
        SetRawValue(HKEY_CURRENT_USER, kSettingsKey, name, REG_SZ, bytes.data(),
                    (DWORD)text.size());
        DWORD type = 0;
        std::string stored;
        ASSERT_TRUE(QueryRawValue(HKEY_CURRENT_USER, kSettingsKey, name, &type, &stored));
        ASSERT_EQ(stored, text) << "the value must be stored without its NUL";
    }
    bool KeyExists()
    {
        HKEY key = NULL;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
};

TEST_F(SettingsTest, FixedPropertiesAnswerWithStringsWhateverTheCaseOfTheName)
{
    const struct {
        const char* name;
        const char* value;
    } cases[] = {
        {"dialogtitle", "Quillhaven: Under the Scrivlet edit"},
        {"DIALOGTITLE", "Quillhaven: Under the Scrivlet edit"},
        {"versionstring", "Pagora! Scrivlet Version 1.02"},
        {"VersionString", "Pagora! Scrivlet Version 1.02"},
        {"abouturl", "http://www.penhollow.example/"},
        {"AboutURL", "http://www.penhollow.example/"},
    };
    for (const auto& c : cases) {
        Delivery d = Get(c.name);
        EXPECT_EQ(d.kind, kDeliveredString) << c.name;
        EXPECT_EQ(d.text, c.value) << c.name;
        EXPECT_EQ(d.returnCalls, 1) << c.name;
    }
    EXPECT_FALSE(KeyExists()) << "fixed properties never touch the registry";
}

TEST_F(SettingsTest, FixedPropertyWinsOverAStoredSettingOfTheSameName)
{
    Set("versionstring", 77);
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(QueryRawValue(HKEY_CURRENT_USER, kSettingsKey, "versionstring", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(Get("versionstring").text, "Pagora! Scrivlet Version 1.02");
}

TEST_F(SettingsTest, GetLeavesAMissingKeyMissingAndSetCreatesIt)
{
    EXPECT_EQ(GetInt("width"), 0);
    EXPECT_FALSE(KeyExists());
    Set("width", 640);
    EXPECT_TRUE(KeyExists());
    EXPECT_EQ(GetInt("width"), 640);
    EXPECT_EQ(GetInt("height"), 0) << "a name never set reads as a stored 0 does";
    Set("height", 0);
    EXPECT_EQ(GetInt("height"), 0);
}

// A key made for this logon session only would vanish when the user logs
// off, taking every setting with it. Under a volatile key the registry
// refuses a lasting child key, so making one tells what the key is.
TEST_F(SettingsTest, TheKeySetMakesOutlivesTheLogonSession)
{
    DeleteKeyTree(HKEY_CURRENT_USER, "Software\\Penhollow");
    Set("width", 640);
    std::string probe = std::string(kSettingsKey) + "\\lasting";
    HKEY key = NULL;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, probe.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS)
        << "the settings key, or one above it, lasts only for this session";
    if (key != NULL)
        RegCloseKey(key);
    DeleteKeyTree(HKEY_CURRENT_USER, probe.c_str());
    EXPECT_EQ(GetInt("width"), 640);
}

TEST_F(SettingsTest, NegativeValueIsStoredAsALittleEndianDword)
{
    Set("offset", -5);
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(QueryRawValue(HKEY_CURRENT_USER, kSettingsKey, "offset", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(data, std::string("\xFB\xFF\xFF\xFF", 4));
    EXPECT_EQ(GetInt("offset"), -5);
    EXPECT_EQ(GetInt("OFFSET"), -5) << "registry value names are case-blind";
}

TEST_F(SettingsTest, DecimalStringsAreReadAsTheStandardLibraryReadsThem)
{
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"  42abc", 42},  {"-17", -17},     {"+8", 8},     {"\t\n 7", 7},
        {"letters", 0},   {"", 0},          {"- 3", 0},    {"0x1F", 0},
        {"2147483647", 2147483647},         {"-2147483648", (int)0x80000000},
    };
    for (const auto& c : cases) {
        std::string bytes = std::string(c.text) + '\0';
        Store("n", REG_SZ, bytes);
        EXPECT_EQ(GetInt("n"), c.value) << '"' << c.text << '"';
    }
}

TEST_F(SettingsTest, StringThatDoesNotFitThirtyTwoBytesGivesZeroNotAPrefix)
{
    Store("long", REG_SZ, std::string(40, '1') + '\0');
    EXPECT_EQ(GetInt("long"), 0);
    Store("fits", REG_SZ, std::string(29, '0') + "12" + '\0');  // 32 bytes with the NUL
    EXPECT_EQ(GetInt("fits"), 12);
    Store("over", REG_SZ, std::string(30, '0') + "12" + '\0');  // 33 bytes
    EXPECT_EQ(GetInt("over"), 0);
}

TEST_F(SettingsTest, UnterminatedStringIsNeverReadPastItsData)
{
    StoreUnterminated("short", "123");
    EXPECT_EQ(GetInt("short"), 123);
    StoreUnterminated("fits", std::string(29, '0') + "34");  // 31 bytes
    EXPECT_EQ(GetInt("fits"), 34);
    StoreUnterminated("full", std::string(30, '0') + "56");  // 32 bytes, no room for a NUL
    EXPECT_EQ(GetInt("full"), 0);
}

TEST_F(SettingsTest, ValuesOfOtherTypesOrSizesGiveZero)
{
    Store("binary", REG_BINARY, std::string("\x05\x00\x00\x00", 4));
    Store("expand", REG_EXPAND_SZ, std::string("5\0", 2));
    Store("multi", REG_MULTI_SZ, std::string("5\0\0", 3));
    Store("qword", REG_QWORD, std::string("\x05\0\0\0\0\0\0\0", 8));
    Store("short-dword", REG_DWORD, std::string("\x05\x01", 2));
    Store("long-dword", REG_DWORD, std::string("\x05\0\0\0\x09\0\0\0", 8));
    Store("empty-dword", REG_DWORD, std::string());
    Store("empty-string", REG_SZ, std::string());
    for (const char* name : {"binary", "expand", "multi", "qword", "short-dword", "long-dword",
                             "empty-dword", "empty-string"})
        EXPECT_EQ(GetInt(name), 0) << name;
}

TEST_F(SettingsTest, ManyNamesAndValuesSurviveARoundTrip)
{
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> anyInt(INT_MIN, INT_MAX);
    std::uniform_int_distribution<int> nameLength(1, 40);
    std::uniform_int_distribution<int> nameChar(0x21, 0xFE);
    std::vector<std::pair<std::string, int>> stored;
    for (int i = 0; i < 300; i++) {
        std::string name = "s" + std::to_string(i) + "-";
        int length = nameLength(rng);
        for (int c = 0; c < length; c++) {
            char ch = (char)nameChar(rng);
            name += ch == '\\' ? '/' : ch;
        }
        int value = anyInt(rng);
        Set(name, value);
        stored.emplace_back(name, value);
    }
    for (const auto& entry : stored)
        EXPECT_EQ(GetInt(entry.first), entry.second) << entry.first;
}
