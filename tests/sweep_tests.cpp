// Hostile input at every handler, in any order, against a small model of the
// module's rules: after each call the current directory is the same, the
// registry and the temporary file are as the model says, and at the end no
// handle is left open. The generator starts from a fixed value, so every run
// throws the same cases.
#include "editor_fixture.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

static const char kTempName[] = "QuillhavenTemp.html";

// Bytes that have no other case, so the registry's case-blind names stay
// predictable: ASCII and a few symbols of the upper half.
static std::string RandomName(std::mt19937& rng)
{
    static const std::string symbols = "\xA1\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9\xAB\xAC\xAE\xAF\xB0\xB1\xB6\xB7\xBB\xBF";
    int length = rng() % 8 == 0 ? 200 + rng() % 56 : rng() % 24;
    std::string name;
    for (int i = 0; i < length; i++) {
        int pick = rng() % 10;
        name += pick == 0 ? symbols[rng() % symbols.size()] : (char)('!' + rng() % 94);
    }
    return name;
}

static std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

static bool IsFixedProperty(const std::string& name)
{
    std::string lower = Lower(name);
    return lower == "dialogtitle" || lower == "versionstring" || lower == "abouturl";
}

// What "get" answers for raw registry data, by the store's rules.
static int ExpectedFromRaw(DWORD type, const std::string& bytes)
{
    if (type == REG_DWORD)
        return bytes.size() == 4 ? *(const int*)bytes.data() : 0;
    if (type != REG_SZ)
        return 0;
    // It must fit 32 bytes with a NUL of its own or one after its data.
    if (bytes.size() > 32 || (bytes.size() == 32 && bytes.back() != '\0'))
        return 0;
    return atoi(bytes.c_str());
}

class SweepTest : public EditorTest {};

TEST_F(SweepTest, SettingsHoldUnderThousandsOfHostileNamesValuesAndStoredData)
{
    DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
    std::mt19937 rng(5150);
    std::map<std::string, int> model;  // lower-cased name -> what "get" must answer
    std::string cwd = CurrentDir();
    int cases = 0;
    for (; cases < 3000; cases++) {
        std::string name = RandomName(rng);
        int op = rng() % 3;
        if (op == 0) {
            int value = (int)rng();
            Call("set", {StringArg(name), IntArg(value)});
            model[Lower(name)] = value;
        } else if (op == 1) {
            DWORD types[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD, REG_NONE};
            DWORD type = types[rng() % 7];
            std::string bytes;
            int size = rng() % 4 == 0 ? rng() % 80 : rng() % 8;
            for (int i = 0; i < size; i++)
                bytes += (char)(rng() % 3 == 0 ? '0' + rng() % 10 : rng() % 256);
            if (type == REG_SZ && rng() % 2)
                bytes = std::string(rng() % 3, ' ') + std::to_string((int)rng()) + (rng() % 2 ? std::string(1, '\0') : "x");
            // The byte after the data must not be NUL, or the registry adds one.
            std::string stored = bytes + "Q";
            SetRawValue(HKEY_CURRENT_USER, kSettingsKey, name.c_str(), type, stored.data(), (DWORD)bytes.size());
            model[Lower(name)] = ExpectedFromRaw(type, bytes);
        } else {
            Delivery d = Call("get", {StringArg(name)});
            if (IsFixedProperty(name)) {
                ASSERT_EQ(d.kind, kDeliveredString) << name;
            } else {
                ASSERT_EQ(d.kind, kDeliveredInt) << name;
                auto it = model.find(Lower(name));
                ASSERT_EQ(d.number, it == model.end() ? 0 : it->second) << "case " << cases << " name " << name;
            }
        }
        ASSERT_EQ(CurrentDir(), cwd);
    }
    DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
    EXPECT_EQ(CountHandles(), baselineHandles);
    printf("settings sweep: %d cases, %d failures\n", cases, FailuresInThisTest());
}

TEST_F(SweepTest, EditingHandlersHoldInAnyOrderWithHostileDirectoriesPathsAndRectangles)
{
    std::mt19937 rng(1041);
    std::string cwd = CurrentDir();
    std::string nonAscii = workDir + "\\d\xE9j\xE0 vu";
    CreateDirectoryA(nonAscii.c_str(), NULL);
    CreateDirectoryA((workDir + "\\sub").c_str(), NULL);
    std::string nearLimit = workDir + "\\" + std::string(240 - workDir.size(), 'n');
    CreateDirectoryA(nearLimit.c_str(), NULL);
    ASSERT_TRUE(SetCurrentDirectoryA(workDir.c_str()));
    cwd = CurrentDir();
    // Wine keeps a few handles for the life of the process once the first
    // device context, process and file searches are made; so the count is
    // taken after the first cases, and it must not grow from there.
    int warmHandles = -1;

    // Directory given, and the work directory it must become (empty: refused).
    const std::vector<std::pair<std::string, std::string>> dirs = {
        {workDir, workDir},          {"sub", workDir + "\\sub"},  {nonAscii, nonAscii},
        {workDir + "\\missing", ""}, {"", ""},                     {std::string(400, 'x'), ""},
        {nearLimit, ""},             {workDir + "\\sub\\..", workDir},
    };
    const std::vector<std::string> texts = {"", "<p>x</p>\r\n", std::string("\x80\xFF\xE9\r\n", 5),
                                            std::string(100000, 'a')};
    std::string model;          // the work directory, empty until a startEdit takes
    std::map<std::string, std::string> files;  // temporary files the model knows of
    int cases = 0;
    int entries = 0;
    for (; cases < 200; cases++) {
        int op = rng() % 8;
        SCOPED_TRACE(testing::Message() << "case " << cases << " op " << op);
        if (op == 0) {
            const auto& dir = dirs[rng() % dirs.size()];
            const std::string& text = texts[rng() % texts.size()];
            NextLog();
            Delivery d = Call("startEdit", {StringArg(dir.first), StringArg(text)});
            ASSERT_EQ(d.number, dir.second.empty() ? 0 : 1) << dir.first;
            if (!dir.second.empty()) {
                model = dir.second;
                files[model] = text;
                ASSERT_TRUE(WaitEditorExit(logPath));
            }
        } else if (op == 1) {
            Delivery d = Call("getEdit");
            std::string where = model.empty() ? cwd : model;
            auto it = files.find(where);
            if (it == files.end()) {
                ASSERT_EQ(d.kind, kDeliveredNothing);
            } else {
                ASSERT_EQ(d.kind, kDeliveredString);
                ASSERT_TRUE(d.text == it->second.substr(0, it->second.find('\0')));
            }
        } else if (op == 2) {
            Call("endEdit");
            files.erase(model.empty() ? cwd : model);
        } else if (op == 3) {
            ASSERT_EQ(Call("updated").kind, kDeliveredBool);
        } else if (op == 4) {
            const std::string paths[] = {workDir + "\\page.html", workDir + "\\" + std::string(300, 'p'), "",
                                         nonAscii + "\\x.html"};
            const std::string& path = paths[rng() % 4];
            NextLog();
            Delivery d = Call("run", {StringArg(path)});
            ASSERT_EQ(d.number, path.size() < 260 ? 1 : 0);
            if (d.number) {
                ASSERT_TRUE(WaitEditorExit(logPath));
            }
        } else if (op == 5) {
            {
                HDC dc = CreateCompatibleDC(NULL);
                int edges[] = {INT_MIN, -100000, -1, 0, 15, 16, 31, 32, 33, 100000, INT_MAX};
                DrawTarget target = {dc, edges[rng() % 11], edges[rng() % 11], edges[rng() % 11], edges[rng() % 11]};
                Call("draw", {IntArg((int)(INT_PTR)&target)});
                DeleteDC(dc);
            }
        } else if (op == 6) {
            host.exit();
            host.exit();
        } else {
            ASSERT_EQ(host.entry(&host.table), 107 + 8 * ++entries) << "a second entry mid-edit";
        }
        if (cases == 15) {
            host.exit();
            warmHandles = CountHandles();
        }
        ASSERT_EQ(CurrentDir(), cwd);
        for (const auto& f : files) {
            bool exists = false;
            std::string bytes = ReadFileBytes(f.first + "\\" + kTempName, &exists);
            ASSERT_TRUE(exists && bytes == f.second) << f.first;
        }
    }
    host.exit();
    for (const auto& dir : dirs)
        if (!dir.second.empty())
            DeleteFileA((dir.second + "\\" + kTempName).c_str());
    DeleteFileA((cwd + "\\" + kTempName).c_str());
    EXPECT_EQ(CountHandles(), warmHandles);
    SetCurrentDirectoryA(BinDir().c_str());
    printf("editing sweep: %d cases, %d failures\n", cases, FailuresInThisTest());
}
