// External editing: finding the editor, starting it, watching it, and the
// edited-file record that tells the host whether the file was written.
#pragma once

#include <windows.h>

// Locator. FindEditorProgram answers the editor's program in full (MAX_PATH
// bytes): the one named by "EditorPath" in the module's settings when there
// is one, else Scrivlet.exe in the directory of its uninstall entry. When
// there is none to start it shows the not-found box and answers FALSE.
// FindEditorDir: dir holds MAX_PATH bytes; FALSE only when the uninstall
// entry is missing.
BOOL FindEditorProgram(char* program);
BOOL FindEditorDir(char* dir);
DWORD ReadRegString(HKEY key, const char* name, char* buffer, DWORD size);
// "Scrivlet not found.", then why and the path tried, when given.
void ReportEditorMissing(const char* why = NULL, const char* path = NULL);

// Launcher and watcher. LaunchEditor answers the editor's process handle or
// NULL; the editor's current directory is dir, or the host's when dir is
// NULL. StartWatcher takes that handle over. StopWatcher asks the watcher to
// end and returns once its thread is gone; a stopped watcher clicks nothing.
HANDLE LaunchEditor(const char* program, const char* path, const char* dir = NULL);
void StartWatcher(HANDLE process);
void StopWatcher(void);
// Launches and watches, or shows the not-found box and answers FALSE.
BOOL OpenInEditor(const char* program, const char* path, const char* dir = NULL);

// The edited-file record.
extern char g_editedPath[MAX_PATH];
extern FILETIME g_savedWriteTime;
FILETIME GetWriteTime(const char* path);

// The directory of the latest source-text edit, and the file's name there.
extern char g_workDir[MAX_PATH];
extern const char kTempName[];

// The mark on the temporary file of this module's live source edit, seen by
// every process. TakeEditMark moves this module's mark to the file in
// workDir (a full path), or answers FALSE, changing nothing, when another
// process holds that file's mark.
BOOL TakeEditMark(const char* workDir);
void ReleaseEditMark(void);
