// The settings store: integer values in the module's per-user registry key.
#include "settings.h"

#include <stdlib.h>
#include <strsafe.h>

static const char kSettingsParent[] = "Software\\Penhollow\\Scrivlet\\";
static const char kSettingsLeaf[] = "Quillhaven";

static HKEY OpenKey(BOOL create, REGSAM access, LONG* answer = NULL)
{
    char path[256];
    if (answer != NULL)
        *answer = ERROR_INVALID_PARAMETER;
    if (FAILED(StringCchCopyA(path, ARRAYSIZE(path), kSettingsParent)) ||
        FAILED(StringCchCatA(path, ARRAYSIZE(path), kSettingsLeaf)))
        return NULL;

    HKEY key = NULL;
    LONG rc;
    if (create)
        rc = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, NULL, REG_OPTION_NON_VOLATILE, access,
                             NULL, &key, NULL);
    else
        rc = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, &key);
    if (answer != NULL)
        *answer = rc;
    return rc == ERROR_SUCCESS ? key : NULL;
}

HKEY OpenSettingsKey(BOOL create)
{
    return OpenKey(create, KEY_ALL_ACCESS);
}

// A key the user may read but not write (a policy, an administrator's
// lock) still names the editor.
HKEY OpenSettingsKeyToRead(LONG* answer)
{
    return OpenKey(FALSE, KEY_READ, answer);
}

// One query fetches type and data together: every value that fits the
// buffer is judged from it, and one that doesn't fit is the fallback for
// every type. A REG_SZ may be stored without its NUL, so the delivered count
// decides where its text ends; one that needs the whole buffer without a NUL
// does not fit.
int ReadSettingInt(HKEY key, const char* name, int fallback)
{
    union {
        DWORD number;
        char text[32];
    } data;
    DWORD type = 0;
    DWORD size = sizeof(data.text);
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)data.text, &size) != ERROR_SUCCESS)
        return fallback;

    if (type == REG_DWORD)
        return size == sizeof(DWORD) ? (int)data.number : fallback;
    if (type == REG_SZ) {
        if (size == 0 || data.text[size - 1] != '\0') {
            if (size >= sizeof(data.text))
                return fallback;
            data.text[size] = '\0';
        }
        return atoi(data.text);
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
