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
// "EditorEncoding" the same way: how the editor wants the source text.
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

// The directory of the latest source-text edit, and the file's name there.
extern char g_workDir[MAX_PATH];
extern const char kTempName[];

// The mark on the temporary file of this module's live source edit, seen by
// every process. TakeEditMark moves this module's mark to the file in
// workDir (a full path), or answers FALSE, changing nothing, when another
// process holds that file's mark.
BOOL TakeEditMark(const char* workDir);
void ReleaseEditMark(void);

// Text conversion between the host's ANSI code page and the temporary file.
// ReadEditorEncoding: *utf8 when "EditorEncoding" is UTF-8; FALSE, after a
// box naming the value and the two it takes, when it is anything but UTF-8,
// ANSI or nothing, or can't be read.
BOOL ReadEditorEncoding(BOOL* utf8);
// Valid UTF-8 holding at least one multi-byte sequence.
BOOL IsUtf8WithMultibyte(const char* text, DWORD length);
// The host's text as the file for an editor that reads UTF-8: the UTF-8
// mark and the text, in a block (FreeBlock), or NULL when memory is short.
BYTE* FileBytesInUtf8(const char* text, DWORD length, DWORD* size);
// What the latest "startEdit" knew of the text: the host's own was valid
// UTF-8 with a multi-byte sequence; the module wrote the file in UTF-8.
struct TextOrigin {
    BOOL hostTextUtf8;
    BOOL wroteUtf8;
};
// The host's text for the size bytes an editor saved. bytes is a block
// (AllocBlock) with at least 4 bytes of room after them, and is taken over:
// the answer is bytes itself, NUL-terminated, when they are the host's text
// as stored, or a new block, bytes freed; NULL, bytes freed, when memory or
// a conversion failed.
char* HostTextFromFile(char* bytes, DWORD size, const TextOrigin* origin);

// An edit no host read back. KeepLeftover, before "startEdit" writes the
// text (bytes) to tempPath in workDir: a file there that differs, is not
// empty, and is not still a text the host has (NoteOwnText: one "startEdit"
// wrote or "getEdit" delivered, at its last-write time then) is renamed to a
// free name beside it and a box names it; FALSE, after a box saying why, when
// it could not be.
BOOL KeepLeftover(const char* workDir, const char* tempPath, const BYTE* bytes, DWORD size);
void NoteOwnText(const char* path, FILETIME written);
