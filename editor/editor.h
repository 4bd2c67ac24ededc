// External editing: finding the editor, starting it, watching it, and the
// edited-file record that tells the host whether the file was written.
#pragma once

#include <windows.h>

// Locator, in UTF-16 from end to end. FindEditorProgram answers the
// editor's program in full (MAX_PATH characters): the one named by
// "EditorPath" in the module's settings when there is one, else Scrivlet.exe
// in the directory of its uninstall entry. When there is none to start it
// shows the not-found box and answers FALSE. FindEditorDir: dir holds
// MAX_PATH characters; FALSE only when the uninstall entry is missing.
// ReadRegString's size and answer count bytes.
BOOL FindEditorProgram(WCHAR* program);
BOOL FindEditorDir(WCHAR* dir);
DWORD ReadRegString(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD size);
// "Scrivlet not found.", then why and the path tried, when given.
void ReportEditorMissing(const WCHAR* why = NULL, const WCHAR* path = NULL);

// Blocks from the process heap; FreeBlock takes NULL.
void* AllocBlock(SIZE_T size);
void FreeBlock(void* data);

// The editor's arguments, "EditorArguments" in the module's settings: NULL
// when there are none, else a string from the process heap that the caller
// frees with FreeBlock. FALSE when the value is there but can't be read.
BOOL ReadEditorArguments(WCHAR** arguments);
// "EditorEncoding" the same way, the form the editor reads text in.
BOOL ReadEditorEncodingText(WCHAR** encoding);

// One start of the editor: its first process and, when it could be put in a
// job of the module's own, that job and the completion port that hears of
// the job's processes, so that a launcher's children count as the editor.
// started is the tick count at the launch; quickExitSeconds, from the
// settings, how soon an end that wrote nothing is taken for a hand-off.
struct EditorRun {
    HANDLE process;
    HANDLE job;
    HANDLE port;
    DWORD started;
    DWORD quickExitSeconds;
};

// Launcher and watcher. LaunchEditor starts the command line in dir (the
// host's current directory when NULL) and fills run, or answers FALSE with
// nothing started. StartWatcher takes the run's handles over and watches the
// file of the edited-file record. StopWatcher asks the watcher to end and
// returns once its thread is gone; a stopped watcher clicks nothing.
BOOL LaunchEditor(WCHAR* commandLine, const WCHAR* dir, EditorRun* run);
void StartWatcher(const EditorRun* run);
void StopWatcher(void);
// Builds the command line, launches and watches, or shows the not-found box
// and answers FALSE. The file's path and the directory are the host's, in
// its ANSI code page.
BOOL OpenInEditor(const WCHAR* program, const char* path, const char* dir = NULL);

// The edited-file record.
extern char g_editedPath[MAX_PATH];
extern FILETIME g_savedWriteTime;
FILETIME GetWriteTime(const char* path);
