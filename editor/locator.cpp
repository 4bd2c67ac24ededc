// Finds the editor's installation directory through its uninstall entry.
#include "editor.h"

static const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet";
static const char kUninstallValue[] = "UninstallString";
static const char kSetupSuffix[] = "\\SCRINST.EXE /R";
static const int kSetupSuffixLength = ARRAYSIZE(kSetupSuffix) - 1;

// RegQueryValueExA does not promise a NUL: a string stored without one is
// terminated here, and one that needs more than the buffer with its NUL is
// treated as no string at all.
DWORD ReadRegString(HKEY key, const char* name, char* buffer, DWORD size)
{
    if (size == 0)
        return 0;
    buffer[0] = '\0';
    if (key == NULL)
        return 0;

    DWORD type = 0;
    DWORD got = size;
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)buffer, &got) != ERROR_SUCCESS ||
        type != REG_SZ)
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

BOOL FindEditorDir(char* dir)
{
    dir[0] = '\0';
    HKEY key = NULL;
    // On 64-bit Windows this 32-bit module sees the 32-bit view of SOFTWARE,
    // and a 64-bit editor's setup writes its entry into the 64-bit view only.
    // That view is asked second, so an entry in the 32-bit view still wins.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS)
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

void ReportEditorMissing(void)
{
    MessageBoxA(NULL, "Scrivlet not found.", NULL, MB_OK | MB_ICONERROR);
}
