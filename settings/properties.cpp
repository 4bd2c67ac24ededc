// The "get" and "set" handlers: fixed identity strings first, then the
// settings store for every other name.
#include "settings.h"

#include "../frame/frame.h"

const char kDialogTitle[] = "Quillhaven: Under the Scrivlet edit";
static const char kVersionString[] = "Pagora! Scrivlet Version 1.02";
static const char kAboutUrl[] = "http://www.penhollow.example/";

int __cdecl OnGet(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    static const struct {
        const char* name;
        const char* value;
    } fixed[] = {
        {"dialogtitle", kDialogTitle},
        {"versionstring", kVersionString},
        {"abouturl", kAboutUrl},
    };

    const char* name = g_host->GetArgString(g_host, args[0]);
    for (size_t i = 0; i < ARRAYSIZE(fixed); i++) {
        if (lstrcmpiA(name, fixed[i].name) == 0)
            return g_host->ReturnString(g_host, fixed[i].value, result);
    }

    HKEY key = OpenSettingsKey(FALSE);
    if (key == NULL)
        return g_host->ReturnInt(g_host, 0, result);
    int value = ReadSettingInt(key, name, 0);
    RegCloseKey(key);
    return g_host->ReturnInt(g_host, value, result);
}

int __cdecl OnSet(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    (void)result;
    const char* name = g_host->GetArgString(g_host, args[0]);
    int value = g_host->GetArgInt(g_host, args[1]);

    HKEY key = OpenSettingsKey(TRUE);
    if (key == NULL)
        return 0;
    WriteSettingInt(key, name, value);
    RegCloseKey(key);
    return 0;
}
