// Starts the editor on one file.
#include "editor.h"

#include <strsafe.h>

static const char kEditorProgram[] = "Scrivlet.exe";

// Both the program and the file are quoted: an unquoted program path with a
// blank in it ("C:\Program Files\...") lets CreateProcessA run C:\Program.exe.
HANDLE LaunchEditor(const char* dir, const char* path)
{
    char commandLine[520];
    if (FAILED(StringCchPrintfA(commandLine, ARRAYSIZE(commandLine), "\"%s\\%s\" \"%s\"", dir,
                                kEditorProgram, path)))
        return NULL;

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return NULL;
    CloseHandle(process.hThread);
    return process.hProcess;
}

BOOL OpenInEditor(const char* dir, const char* path)
{
    HANDLE process = LaunchEditor(dir, path);
    if (process == NULL) {
        ReportEditorMissing();
        return FALSE;
    }
    StartWatcher(process);
    return TRUE;
}
