// What the tests arrange around the module: a loaded plug-in behind a host
// table, registry entries, an installed stand-in editor, windows and boxes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/host/box_catcher.h"
#include "tools/host/edit_dialog.h"
#include "tools/host/host_table.h"
#include "tools/host/probes.h"

extern const char kSettingsKey[];   // under HKEY_CURRENT_USER
extern const char kUninstallKey[];  // under HKEY_LOCAL_MACHINE
extern const char kDialogTitle[];

std::string BinDir();  // where the module, the tools and the tests are built
std::string ModulePath();
std::string NewTempDir(const char* tag);  // empty and unique to this run
void RemoveTree(const std::string& dir);
std::string ReadFileBytes(const std::string& path, bool* exists = NULL);
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string CurrentDir();
// The names of the files in dir that match a wildcard pattern.
std::vector<std::string> FilesMatching(const std::string& dir, const char* pattern);
// UTF-8 beside UTF-16, for names the ANSI code page can't spell.
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// Registry. A view of 0 is the program's own; KEY_WOW64_64KEY is the 64-bit
// view, which on 64-bit Windows a 32-bit program sees only when it asks.
void DeleteKeyTree(HKEY root, const char* path, REGSAM view = 0);
void SetRawValue(HKEY root, const char* path, const char* name, DWORD type, const void* data,
                 DWORD size, REGSAM view = 0);
// A string value written with the registry's wide call, its NUL included.
void SetWideValue(HKEY root, const char* path, const wchar_t* name, DWORD type, const std::wstring& text);
bool QueryRawValue(HKEY root, const char* path, const char* name, DWORD* type,
                   std::string* data);
bool KeyExists(HKEY root, const char* path, REGSAM view = 0);
// The uninstall entry machine-wide (HKEY_LOCAL_MACHINE, in a view) or, as
// a setup run for the current user alone writes it, under HKEY_CURRENT_USER.
void SetUninstallString(const std::string& value, REGSAM view = 0,
                        HKEY root = HKEY_LOCAL_MACHINE);
void RemoveUninstallEntry();  // from every place
// "EditorPath" in the settings key: the editor's program, named by the user.
void SetEditorPath(const std::string& path, DWORD type = REG_SZ);
void ClearEditorPath();
// "EditorArguments": the command line after the program, %1 the file.
void SetEditorArguments(const std::string& arguments, DWORD type = REG_SZ);
// "QuickExitSeconds": how soon an editor that ends without writing is taken
// for one that handed the file on (0: never).
void SetQuickExitSeconds(int seconds);
void ClearSetting(const char* name);
bool RunsOnWow64();           // a 32-bit program on 64-bit Windows

// The stand-in editor copied as "<dir>\Scrivlet.exe" and registered through
// the uninstall entry with the setup-program suffix.
void InstallEditor(const std::string& dir);
void ClearEditorScript();  // the QH_EDITOR_* variables the editor inherits
void SetEditorScript(const char* name, const std::string& value);
// The stand-in editor's log: the lines it appended, without line ends.
std::vector<std::string> ReadLog(const std::string& path);
std::string LogValue(const std::vector<std::string>& log, const char* key);

// A named, manual-reset event the stand-in editor opens by name.
struct NamedEvent {
    std::string name;
    HANDLE handle = NULL;
    explicit NamedEvent(const char* tag);
    ~NamedEvent();
    void Set() { SetEvent(handle); }
    bool WaitFor(DWORD ms = 60000) { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
};

// Registers a window class of this program's (again is harmless).
void RegisterTestClass(const char* name, WNDPROC proc);

// The texts of a test are written for one ANSI code page: elsewhere it
// skips and says so. The suite runs in 1252 and in 932.
#define SKIP_UNLESS_CODE_PAGE(cp)                                                                    \
    do {                                                                                             \
        if (GetACP() != (cp))                                                                        \
            GTEST_SKIP() << "the host's code page here is " << GetACP() << ", and these texts are "   \
                         << "written for " << (cp);                                                  \
    } while (0)

// Failed checks of the running test so far, for summaries that count them.
int FailuresInThisTest();

// Runs the message loop of this thread until the condition holds or the time
// is up; answers the condition's last value.
bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs = 60000);


// A test with the module loaded behind a fresh host table.
class PluginTest : public ::testing::Test {
protected:
    PluginHost host;
    void SetUp() override;
    void TearDown() override;
    Delivery Call(const char* name, const std::vector<HostArg>& args = {});
};
