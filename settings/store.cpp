// The settings store: integer values in the module's per-user registry key.
#include "settings.h"

#include <stdlib.h>
#include <strsafe.h>

static const char kSettingsParent[] = "Software\\Penhollow\\Scrivlet\\";
static const char kSettingsLeaf[] = "Quillhaven";

HKEY OpenSettingsKey(BOOL create)
{
    char path[256];
    if (FAILED(StringCchCopyA(path, ARRAYSIZE(path), kSettingsParent)) ||
        FAILED(StringCchCatA(path, ARRAYSIZE(path), kSettingsLeaf)))
        return NULL;

    HKEY key = NULL;
    LONG rc;
    if (create)
        rc = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, NULL, &key, NULL);
    else
        rc = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key);
    return rc == ERROR_SUCCESS ? key : NULL;
}

// A REG_SZ may be stored without its NUL, so the delivered count decides where
// the text ends; one that needs the whole buffer without a NUL does not fit.
static BOOL ReadDecimalString(HKEY key, const char* name, int* value)
{
    char text[32];
    DWORD type = 0;
    DWORD size = sizeof(text);
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)text, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return FALSE;
    if (size == 0 || text[size - 1] != '\0') {
        if (size >= sizeof(text))
            return FALSE;
        text[size] = '\0';
    }
    *value = atoi(text);
    return TRUE;
}

int ReadSettingInt(HKEY key, const char* name, int fallback)
{
    DWORD type = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, NULL) != ERROR_SUCCESS)
        return fallback;

    if (type == REG_DWORD) {
        DWORD data = 0;
        DWORD size = sizeof(data);
        if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)&data, &size) != ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof(data))
            return fallback;
        return (int)data;
    }
    if (type == REG_SZ) {
        int value = 0;
        return ReadDecimalString(key, name, &value) ? value : fallback;
    }
    return fallback;
}

int WriteSettingInt(HKEY key, const char* name, int value)
{
    if (key == NULL)
        return 0;
    DWORD data = (DWORD)value;
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&data, sizeof(data)) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}
