// Properties and settings: the module's identity strings and the integer
// settings it keeps for the host under the current user's registry key.
#pragma once

#include <windows.h>

// The title of the host's edit dialog; the watcher looks for exactly this.
extern const char kDialogTitle[];

HKEY OpenSettingsKey(BOOL create);
// The existing key only, with read access; answer, when given, is the
// registry's answer to the open.
HKEY OpenSettingsKeyToRead(LONG* answer = NULL);
int ReadSettingInt(HKEY key, const char* name, int fallback);
int WriteSettingInt(HKEY key, const char* name, int value);
