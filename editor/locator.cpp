// Finds the editor's program: the one the user named in the module's
// settings, or Scrivlet.exe where its uninstall entry says it is installed.
// Paths here are UTF-16 from end to end: a folder named in a language the
// ANSI code page can't spell (a user's profile, a portable copy) must not
// turn into question marks on the way.
#include "editor.h"

#include <strsafe.h>

#include "../settings/settings.h"

static const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet";
static const WCHAR kUninstallValue[] = L"UninstallString";
static const WCHAR kSetupSuffix[] = L"\\SCRINST.EXE /R";
static const int kSetupSuffixLength = ARRAYSIZE(kSetupSuffix) - 1;
static const WCHAR kEditorProgram[] = L"Scrivlet.exe";
static const WCHAR kEditorPathValue[] = L"EditorPath";
static const WCHAR kEditorArgumentsValue[] = L"EditorArguments";
static const WCHAR kEditorEncodingValue[] = L"EditorEncoding";
static const WCHAR kNotFound[] = L"Scrivlet not found.";

// RegQueryValueExW does not promise a NUL: a string stored without one is
// terminated here, and one that needs more than the buffer with its NUL is
// treated as no string at all. REG_SZ and REG_EXPAND_SZ are strings; size
// and the answer count bytes.
static DWORD ReadRegText(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD size, DWORD* type)
{
    *type = REG_NONE;
    DWORD count = size / sizeof(WCHAR);
    if (count == 0)
        return 0;
    buffer[0] = L'\0';
    if (key == NULL)
        return 0;

    DWORD got = count * sizeof(WCHAR);
    DWORD chars;
    if (RegQueryValueExW(key, name, NULL, type, (BYTE*)buffer, &got) != ERROR_SUCCESS ||
        (*type != REG_SZ && *type != REG_EXPAND_SZ))
        goto empty;
    chars = got / sizeof(WCHAR);  // an odd last byte is no character
    if (chars == 0 || buffer[chars - 1] != L'\0') {
        if (chars >= count)
            goto empty;
        buffer[chars] = L'\0';
        got = (chars + 1) * sizeof(WCHAR);
    }
    return got;

empty:
    buffer[0] = L'\0';
    return 0;
}

DWORD ReadRegString(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD size)
{
    DWORD type;
    DWORD got = ReadRegText(key, name, buffer, size, &type);
    if (type != REG_SZ && size >= sizeof(WCHAR)) {
        buffer[0] = L'\0';
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

BOOL FindEditorDir(WCHAR* dir)
{
    dir[0] = L'\0';
    HKEY key = NULL;
    if (!OpenUninstallEntry(&key))
        return FALSE;
    ReadRegString(key, kUninstallValue, dir, MAX_PATH * sizeof(WCHAR));
    RegCloseKey(key);

    int length = lstrlenW(dir);
    if (length >= kSetupSuffixLength &&
        lstrcmpiW(dir + length - kSetupSuffixLength, kSetupSuffix) == 0) {
        dir[length - kSetupSuffixLength] = L'\0';
        return TRUE;
    }

    WCHAR* lastSlash = NULL;
    for (WCHAR* p = dir; *p != L'\0'; p++) {
        if (*p == L'\\')
            lastSlash = p;
    }
    if (lastSlash != NULL && lastSlash != dir)
        *lastSlash = L'\0';
    return TRUE;
}

// A string the user keeps in the module's settings, read with read access
// alone: kAbsent when there is no string value, or an empty one (a host's
// "set" of the name writes a number, which counts as none); kRead with the
// text, REG_EXPAND_SZ expanded, in a block the caller frees; kUnreadable
// when the value is there but can't be read: it is never passed over.
enum { kAbsent, kRead, kUnreadable };

static int ReadSettingText(const WCHAR* name, WCHAR** text)
{
    *text = NULL;
    // A key that is there but can't be opened hides the value: unreadable,
    // not absent.
    LONG opened = ERROR_SUCCESS;
    HKEY key = OpenSettingsKeyToRead(&opened);
    if (key == NULL)
        return opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND ? kAbsent : kUnreadable;

    int answer = kUnreadable;
    WCHAR* raw = NULL;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)) {
        answer = kAbsent;
        goto out;
    }
    if (rc != ERROR_SUCCESS || size > MAXDWORD - 2 * sizeof(WCHAR))
        goto out;
    // One character more than the value, for a NUL it may lack. A value
    // that grew between the two reads no longer fits, and is unreadable.
    size = (size / sizeof(WCHAR) + 1) * sizeof(WCHAR);
    raw = (WCHAR*)AllocBlock(size);
    if (raw == NULL)
        goto out;
    if (ReadRegText(key, name, raw, size, &type) == 0) {
        if (size == sizeof(WCHAR))
            answer = kAbsent;
        goto out;
    }
    if (raw[0] == L'\0') {
        answer = kAbsent;
        goto out;
    }
    if (type == REG_EXPAND_SZ) {
        DWORD needed = ExpandEnvironmentStringsW(raw, NULL, 0);
        WCHAR* expanded = needed != 0 ? (WCHAR*)AllocBlock((SIZE_T)needed * sizeof(WCHAR)) : NULL;
        DWORD got = expanded != NULL ? ExpandEnvironmentStringsW(raw, expanded, needed) : 0;
        FreeBlock(raw);
        raw = expanded;
        if (got == 0 || got > needed)
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
static int ReadNamedEditor(WCHAR* program)
{
    program[0] = L'\0';
    WCHAR* text = NULL;
    int answer = ReadSettingText(kEditorPathValue, &text);
    if (answer != kRead)
        return answer;
    answer = kUnreadable;
    if (SUCCEEDED(StringCchCopyW(program, MAX_PATH, text))) {
        DWORD attributes = GetFileAttributesW(program);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            answer = kRead;
    } else {
        program[0] = L'\0';
    }
    FreeBlock(text);
    return answer;
}

BOOL ReadEditorArguments(WCHAR** arguments)
{
    return ReadSettingText(kEditorArgumentsValue, arguments) != kUnreadable;
}

BOOL ReadEditorEncodingText(WCHAR** encoding)
{
    return ReadSettingText(kEditorEncodingValue, encoding) != kUnreadable;
}

BOOL FindEditorProgram(WCHAR* program)
{
    switch (ReadNamedEditor(program)) {
    case kRead:
        return TRUE;
    case kUnreadable:
        if (program[0] == L'\0')
            ReportEditorMissing(L"EditorPath could not be read, or names a path too long for Windows.");
        else
            ReportEditorMissing(L"The program named by EditorPath is not there:", program);
        return FALSE;
    }

    WCHAR dir[MAX_PATH];
    if (!FindEditorDir(dir)) {
        ReportEditorMissing(NULL);
        return FALSE;
    }
    if (FAILED(StringCchPrintfW(program, MAX_PATH, L"%s\\%s", dir, kEditorProgram))) {
        program[0] = L'\0';
        ReportEditorMissing(L"Its folder has a path too long for Windows:", dir);
        return FALSE;
    }
    return TRUE;
}

// A wide box, so that a path shows with its own characters.
void ReportEditorMissing(const WCHAR* why, const WCHAR* path)
{
    WCHAR text[64 + 2 * MAX_PATH];
    if (why == NULL ||
        FAILED(StringCchPrintfW(text, ARRAYSIZE(text), L"%s\n\n%s%s%s", kNotFound, why,
                                path != NULL ? L"\n" : L"", path != NULL ? path : L"")))
        StringCchCopyW(text, ARRAYSIZE(text), kNotFound);
    MessageBoxW(NULL, text, NULL, MB_OK | MB_ICONERROR);
}
