// Starts the editor on one file.
#include "editor.h"

#include <strsafe.h>

// Both the program and the file are quoted: an unquoted program path with a
// blank in it ("C:\Program Files\...") lets CreateProcessA run C:\Program.exe.
// Any program and file whose paths fit MAX_PATH fit here together.
HANDLE LaunchEditor(const char* program, const char* path, const char* dir)
{
    char commandLine[2 * MAX_PATH + 8];
    if (FAILED(StringCchPrintfA(commandLine, ARRAYSIZE(commandLine), "\"%s\" \"%s\"", program,
                                path)))
        return NULL;

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, dir, &startup, &process))
        return NULL;
    CloseHandle(process.hThread);
    return process.hProcess;
}

BOOL OpenInEditor(const char* program, const char* path, const char* dir)
{
    HANDLE process = LaunchEditor(program, path, dir);
    if (process == NULL) {
        ReportEditorMissing("It could not be started from:", program);
        return FALSE;
    }
    StartWatcher(process);
    return TRUE;
}
