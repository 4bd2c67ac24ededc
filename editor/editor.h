// External editing: finding the editor, starting it, watching it, and the
// edited-file record that tells the host whether the file was written.
#pragma once

#include <windows.h>

// Locator: the editor's installation directory from its uninstall entry.
// dir holds MAX_PATH bytes; FALSE only when the uninstall entry is missing.
BOOL FindEditorDir(char* dir);
DWORD ReadRegString(HKEY key, const char* name, char* buffer, DWORD size);
void ReportEditorMissing(void);

// Launcher and watcher. LaunchEditor answers the editor's process handle or
// NULL; StartWatcher takes that handle over. StopWatcher asks the watcher to
// end and returns once its thread is gone; a stopped watcher clicks nothing.
HANDLE LaunchEditor(const char* dir, const char* path);
void StartWatcher(HANDLE process);
void StopWatcher(void);
// Launches and watches, or shows the not-found box and answers FALSE.
BOOL OpenInEditor(const char* dir, const char* path);

// The edited-file record.
extern char g_editedPath[MAX_PATH];
extern FILETIME g_savedWriteTime;
FILETIME GetWriteTime(const char* path);

// The directory of the latest source-text edit.
extern char g_workDir[MAX_PATH];
