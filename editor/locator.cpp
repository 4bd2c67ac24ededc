// Finds the editor's program: the one the user named in the module's
// settings, or Scrivlet.exe where its uninstall entry says it is installed.
#include "editor.h"

#include <strsafe.h>

#include "../settings/settings.h"

static const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet";
static const char kUninstallValue[] = "UninstallString";
static const char kSetupSuffix[] = "\\SCRINST.EXE /R";
static const int kSetupSuffixLength = ARRAYSIZE(kSetupSuffix) - 1;
static const char kEditorProgram[] = "Scrivlet.exe";
static const char kEditorPathValue[] = "EditorPath";
static const char kNotFound[] = "Scrivlet not found.";

// RegQueryValueExA does not promise a NUL: a string stored without one is
// terminated here, and one that needs more than the buffer with its NUL is
// treated as no string at all. REG_SZ and REG_EXPAND_SZ are strings.
static DWORD ReadRegText(HKEY key, const char* name, char* buffer, DWORD size, DWORD* type)
{
    *type = REG_NONE;
    if (size == 0)
        return 0;
    buffer[0] = '\0';
    if (key == NULL)
        return 0;

    DWORD got = size;
    if (RegQueryValueExA(key, name, NULL, type, (BYTE*)buffer, &got) != ERROR_SUCCESS ||
        (*type != REG_SZ && *type != REG_EXPAND_SZ))
        goto empty;
    if (got == 0 || buffer[got - 1] != '\0') {
        if (got >= size)
            goto empty;
        buffer[got] = '\0';
    }
    return got;

empty:
    buffer[0] = '\0';
    return 0;
}

DWORD ReadRegString(HKEY key, const char* name, char* buffer, DWORD size)
{
    DWORD type;
    DWORD got = ReadRegText(key, name, buffer, size, &type);
    if (type != REG_SZ && size > 0) {
        buffer[0] = '\0';
        return 0;
    }
    return got;
}

static BOOL OpenUninstallEntry(HKEY* key)
{
    // On 64-bit Windows this 32-bit module sees the 32-bit view of SOFTWARE,
    // and a 64-bit editor's setup writes its entry into the 64-bit view only.
    // That view is asked second, so an entry in the 32-bit view still wins.
    // A setup run "just for me" writes the entry under the current user; a
    // machine-wide one, wherever it is, still comes first.
    static const struct {
        HKEY root;
        REGSAM view;
    } places[] = {
        {HKEY_LOCAL_MACHINE, 0},
        {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
        {HKEY_CURRENT_USER, 0},
    };
    for (size_t i = 0; i < ARRAYSIZE(places); i++) {
        if (RegOpenKeyExA(places[i].root, kUninstallKey, 0, KEY_READ | places[i].view, key) ==
            ERROR_SUCCESS)
            return TRUE;
    }
    return FALSE;
}

BOOL FindEditorDir(char* dir)
{
    dir[0] = '\0';
    HKEY key = NULL;
    if (!OpenUninstallEntry(&key))
        return FALSE;
    ReadRegString(key, kUninstallValue, dir, MAX_PATH);
    RegCloseKey(key);

    int length = lstrlenA(dir);
    if (length >= kSetupSuffixLength &&
        lstrcmpiA(dir + length - kSetupSuffixLength, kSetupSuffix) == 0) {
        dir[length - kSetupSuffixLength] = '\0';
        return TRUE;
    }

    // Single bytes, not characters: a double-byte character's trail byte
    // equal to a backslash counts as one, as it always has for stored entries.
    char* lastSlash = NULL;
    for (char* p = dir; *p != '\0'; p++) {
        if (*p == '\\')
            lastSlash = p;
    }
    if (lastSlash != NULL && lastSlash != dir)
        *lastSlash = '\0';
    return TRUE;
}

// What the user named in the settings: kNoneNamed when there is no string
// value (or an empty one: a host's "set" of the name writes a number, which
// counts as none), kNamed with the program's full path, kUnusable when it
// names no file (program holds what was tried), does not fit or can't be
// read (program is empty): it is never cut, and never passed over for an
// uninstall entry.
enum { kNoneNamed, kNamed, kUnusable };

static int ReadNamedEditor(char* program)
{
    program[0] = '\0';
    HKEY key = OpenSettingsKeyToRead();
    if (key == NULL)
        return kNoneNamed;

    int answer = kNoneNamed;
    char raw[MAX_PATH];
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, kEditorPathValue, NULL, &type, NULL, &size);
    if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ))
        goto out;
    // A value that is there but can't be read is not passed over either.
    if (rc != ERROR_SUCCESS) {
        answer = kUnusable;
        goto out;
    }
    if (ReadRegText(key, kEditorPathValue, raw, ARRAYSIZE(raw), &type) == 0) {
        if (size > 1)  // a string, but longer than a path can be, or unreadable
            answer = kUnusable;
        goto out;
    }
    if (raw[0] == '\0')
        goto out;

    answer = kUnusable;
    if (type == REG_EXPAND_SZ) {
        DWORD expanded = ExpandEnvironmentStringsA(raw, program, MAX_PATH);
        if (expanded == 0 || expanded > MAX_PATH) {
            program[0] = '\0';
            goto out;
        }
    } else {
        StringCchCopyA(program, MAX_PATH, raw);  // fits: same size
    }
    {
        DWORD attributes = GetFileAttributesA(program);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            answer = kNamed;
    }

out:
    RegCloseKey(key);
    return answer;
}

BOOL FindEditorProgram(char* program)
{
    switch (ReadNamedEditor(program)) {
    case kNamed:
        return TRUE;
    case kUnusable:
        if (program[0] == '\0')
            ReportEditorMissing("EditorPath could not be read, or names a path too long for Windows.");
        else
            ReportEditorMissing("The program named by EditorPath is not there:", program);
        return FALSE;
    }

    char dir[MAX_PATH];
    if (!FindEditorDir(dir)) {
        ReportEditorMissing(NULL);
        return FALSE;
    }
    if (FAILED(StringCchPrintfA(program, MAX_PATH, "%s\\%s", dir, kEditorProgram))) {
        program[0] = '\0';
        ReportEditorMissing("Its folder has a path too long for Windows:", dir);
        return FALSE;
    }
    return TRUE;
}

void ReportEditorMissing(const char* why, const char* path)
{
    char text[64 + 2 * MAX_PATH];
    if (why == NULL ||
        FAILED(StringCchPrintfA(text, ARRAYSIZE(text), "%s\n\n%s%s%s", kNotFound, why,
                                path != NULL ? "\n" : "", path != NULL ? path : "")))
        StringCchCopyA(text, ARRAYSIZE(text), kNotFound);
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONERROR);
}
