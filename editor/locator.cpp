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
static const char kEditorArgumentsValue[] = "EditorArguments";
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

// A string the user keeps in the module's settings, read with read access
// alone: kAbsent when there is no string value, or an empty one (a host's
// "set" of the name writes a number, which counts as none); kRead with the
// text, REG_EXPAND_SZ expanded, in a block the caller frees; kUnreadable
// when the value is there but can't be read: it is never passed over.
enum { kAbsent, kRead, kUnreadable };

static int ReadSettingText(const char* name, char** text)
{
    *text = NULL;
    HKEY key = OpenSettingsKeyToRead();
    if (key == NULL)
        return kAbsent;

    int answer = kUnreadable;
    char* raw = NULL;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, NULL, &type, NULL, &size);
    if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)) {
        answer = kAbsent;
        goto out;
    }
    if (rc != ERROR_SUCCESS || size == MAXDWORD)
        goto out;
    // One byte more than the value, for a NUL it may lack. A value that grew
    // between the two reads no longer fits, and is unreadable.
    raw = (char*)AllocBlock(size + 1);
    if (raw == NULL)
        goto out;
    if (ReadRegText(key, name, raw, size + 1, &type) == 0) {
        if (size == 0)
            answer = kAbsent;
        goto out;
    }
    if (raw[0] == '\0') {
        answer = kAbsent;
        goto out;
    }
    if (type == REG_EXPAND_SZ) {
        // The ANSI form may count one byte more than it stores.
        DWORD needed = ExpandEnvironmentStringsA(raw, NULL, 0);
        char* expanded = needed != 0 ? (char*)AllocBlock((SIZE_T)needed + 1) : NULL;
        DWORD got = expanded != NULL ? ExpandEnvironmentStringsA(raw, expanded, needed + 1) : 0;
        FreeBlock(raw);
        raw = expanded;
        if (got == 0 || got > needed + 1)
            goto out;
    }
    *text = raw;
    raw = NULL;
    answer = kRead;

out:
    FreeBlock(raw);
    RegCloseKey(key);
    return answer;
}

// What the user named as the program: kAbsent, kRead with the program's full
// path, or kUnreadable when it names no file (program holds what was tried),
// does not fit or can't be read (program is empty): it is never cut.
static int ReadNamedEditor(char* program)
{
    program[0] = '\0';
    char* text = NULL;
    int answer = ReadSettingText(kEditorPathValue, &text);
    if (answer != kRead)
        return answer;
    answer = kUnreadable;
    if (SUCCEEDED(StringCchCopyA(program, MAX_PATH, text))) {
        DWORD attributes = GetFileAttributesA(program);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            answer = kRead;
    } else {
        program[0] = '\0';
    }
    FreeBlock(text);
    return answer;
}

BOOL ReadEditorArguments(char** arguments)
{
    return ReadSettingText(kEditorArgumentsValue, arguments) != kUnreadable;
}

BOOL FindEditorProgram(char* program)
{
    switch (ReadNamedEditor(program)) {
    case kRead:
        return TRUE;
    case kUnreadable:
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
