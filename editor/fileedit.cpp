// "run" and "updated": edit a file the host names, and tell afterwards
// whether its last-write time moved since the launch.
#include "editor.h"

#include <strsafe.h>

#include "../frame/frame.h"

char g_editedPath[MAX_PATH] = "";
FILETIME g_savedWriteTime = {0, 0};

// From the directory entry, so the file is never opened and the time can be
// read while the editor holds it open. A missing file reads as 0.
FILETIME GetWriteTime(const char* path)
{
    FILETIME time = {0, 0};
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        time = entry.ftLastWriteTime;
        FindClose(search);
    }
    return time;
}

int __cdecl OnRun(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    const char* path = g_host->GetArgString(g_host, args[0]);
    if (FAILED(StringCchLengthA(path, ARRAYSIZE(g_editedPath), NULL)))
        return g_host->ReturnBool(g_host, 0, result);

    WCHAR program[MAX_PATH];
    if (!FindEditorProgram(program))
        return g_host->ReturnBool(g_host, 0, result);
    g_savedWriteTime = GetWriteTime(path);
    StringCchCopyA(g_editedPath, ARRAYSIZE(g_editedPath), path);  // length checked above
    BOOL launched = OpenInEditor(program, path);
    return g_host->ReturnBool(g_host, launched ? 1 : 0, result);
}

int __cdecl OnUpdated(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    (void)args;
    FILETIME now = GetWriteTime(g_editedPath);
    BOOL changed = now.dwLowDateTime != g_savedWriteTime.dwLowDateTime ||
                   now.dwHighDateTime != g_savedWriteTime.dwHighDateTime;
    return g_host->ReturnBool(g_host, changed ? 1 : 0, result);
}
