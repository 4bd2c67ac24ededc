// Test fixtures and helpers shared by the test programs.
#include "support.h"

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>


const char kSettingsKey[] = "Software\\Penhollow\\Scrivlet\\Quillhaven";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet";
const char kDialogTitle[] = "Quillhaven: Under the Scrivlet edit";

std::string BinDir()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of('\\'));
}

std::string ModulePath() { return BinDir() + "\\Quillhaven.dll"; }

std::string NewTempDir(const char* tag)
{
    static int counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string dir = std::string(temp) + "qh-" + tag + "-" + std::to_string(GetCurrentProcessId()) +
                      "-" + std::to_string(++counter);
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

// Wide calls: a name the ANSI code page can't spell reads back as "?" from
// the ANSI ones, and could not be removed.
static void RemoveTreeW(const std::wstring& dir)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = dir + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTreeW(path);
            else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

void RemoveTree(const std::string& dir)
{
    int size = MultiByteToWideChar(CP_ACP, 0, dir.c_str(), -1, NULL, 0);
    std::wstring wide(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1)
        MultiByteToWideChar(CP_ACP, 0, dir.c_str(), -1, &wide[0], size);
    RemoveTreeW(wide);
}

std::string ReadFileBytes(const std::string& path, bool* exists)
{
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (exists != NULL)
        *exists = file != NULL;
    if (file == NULL)
        return bytes;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0)
        bytes.append(chunk, got);
    fclose(file);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::vector<std::string> FilesMatching(const std::string& dir, const char* pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((dir + "\\" + pattern).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(entry.cFileName);
    while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

std::string CurrentDir()
{
    char dir[MAX_PATH * 2];
    DWORD length = GetCurrentDirectoryA(sizeof(dir), dir);
    return std::string(dir, length);
}

std::string Utf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

std::wstring Wide(const std::string& utf8)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), (int)utf8.size(), NULL, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), (int)utf8.size(), &out[0], size);
    return out;
}

void DeleteKeyTree(HKEY root, const char* path, REGSAM view)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
        char name[256];
        DWORD size = sizeof(name);
        while (RegEnumKeyExA(key, 0, name, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
            DeleteKeyTree(key, name, view);
            size = sizeof(name);
        }
        RegCloseKey(key);
    }
    RegDeleteKeyExA(root, path, view, 0);
}

void SetRawValue(HKEY root, const char* path, const char* name, DWORD type, const void* data,
                 DWORD size, REGSAM view)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(root, path, 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &key, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, (const BYTE*)data, size), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetWideValue(HKEY root, const char* path, const wchar_t* name, DWORD type, const std::wstring& text)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(root, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, (const BYTE*)text.c_str(),
                             (DWORD)((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

bool KeyExists(HKEY root, const char* path, REGSAM view)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool QueryRawValue(HKEY root, const char* path, const char* name, DWORD* type, std::string* data)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, name, NULL, type, NULL, &size) == ERROR_SUCCESS;
    if (ok) {
        data->assign(size, '\0');
        ok = RegQueryValueExA(key, name, NULL, type, (BYTE*)&(*data)[0], &size) == ERROR_SUCCESS;
        data->resize(size);
    }
    RegCloseKey(key);
    return ok;
}

void SetUninstallString(const std::string& value, REGSAM view, HKEY root)
{
    SetRawValue(root, kUninstallKey, "UninstallString", REG_SZ, value.c_str(),
                (DWORD)value.size() + 1, view);
}

void RemoveUninstallEntry()
{
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY);
    DeleteKeyTree(HKEY_CURRENT_USER, kUninstallKey);
}

void SetEditorPath(const std::string& path, DWORD type)
{
    SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "EditorPath", type, path.c_str(),
                (DWORD)path.size() + 1);
}

void ClearEditorPath() { ClearSetting("EditorPath"); }

void SetEditorArguments(const std::string& arguments, DWORD type)
{
    SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "EditorArguments", type, arguments.c_str(),
                (DWORD)arguments.size() + 1);
}

void SetQuickExitSeconds(int seconds)
{
    SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "QuickExitSeconds", REG_DWORD, &seconds, 4);
}

void ClearSetting(const char* name)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

bool RunsOnWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

void InstallEditor(const std::string& dir)
{
    CreateDirectoryA(dir.c_str(), NULL);
    std::string program = dir + "\\Scrivlet.exe";
    ASSERT_TRUE(CopyFileA((BinDir() + "\\standin-editor.exe").c_str(), program.c_str(), FALSE))
        << program;
    SetUninstallString(dir + "\\SCRINST.EXE /R");
}

void ClearEditorScript()
{
    static const char* names[] = {"QH_EDITOR_LOG",    "QH_EDITOR_READY",     "QH_EDITOR_GO",
                                  "QH_EDITOR_DELAY_MS", "QH_EDITOR_ACTION",  "QH_EDITOR_TEXT",
                                  "QH_EDITOR_TEXT_FILE", "QH_EDITOR_EXIT", "QH_EDITOR_FIND", "QH_EDITOR_DELEGATE", "QH_EDITOR_LAUNCH"};
    for (const char* name : names)
        SetEnvironmentVariableA(name, NULL);
}

void SetEditorScript(const char* name, const std::string& value)
{
    SetEnvironmentVariableA(name, value.c_str());
}

std::vector<std::string> ReadLog(const std::string& path)
{
    std::vector<std::string> lines;
    std::string bytes = ReadFileBytes(path);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string LogValue(const std::vector<std::string>& log, const char* key)
{
    std::string prefix = std::string(key) + "=";
    for (const std::string& line : log) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    }
    return "";
}

NamedEvent::NamedEvent(const char* tag)
{
    static int counter = 0;
    name = std::string("qh-") + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
    handle = CreateEventA(NULL, TRUE, FALSE, name.c_str());
}

NamedEvent::~NamedEvent()
{
    if (handle != NULL)
        CloseHandle(handle);
}

void RegisterTestClass(const char* name, WNDPROC proc)
{
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

int FailuresInThisTest()
{
    const testing::TestResult* result = testing::UnitTest::GetInstance()->current_test_info()->result();
    int failures = 0;
    for (int i = 0; i < result->total_part_count(); i++) {
        if (result->GetTestPartResult(i).failed())
            failures++;
    }
    return failures;
}

bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition())
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return condition();
        MsgWaitForMultipleObjects(0, NULL, FALSE, (std::min)(timeoutMs - elapsed, (DWORD)50),
                                  QS_ALLINPUT);
    }
}

void PluginTest::SetUp()
{
    std::string error;
    ASSERT_TRUE(LoadPlugin(&host, ModulePath().c_str(), &error)) << error;
    host.entry(&host.table);
}

void PluginTest::TearDown()
{
    if (host.module != NULL) {
        host.exit();
        EXPECT_EQ(host.reservedCalls, 0) << "the module used host entries it must not use";
        UnloadPlugin(&host);
    }
}

Delivery PluginTest::Call(const char* name, const std::vector<HostArg>& args)
{
    Delivery delivery;
    EXPECT_TRUE(CallHandler(&host, name, args, &delivery)) << "no handler " << name;
    return delivery;
}
