// The source-text exchange: the host's document source goes to the editor
// through a temporary file in a folder the host names ("startEdit"), comes
// back from it ("getEdit") and is removed with it ("endEdit"). The frame
// calls the three handlers (frame.h) and ReleaseEditMark; everything else
// here serves the exchange alone. From the editor's road it takes the
// finding and the launch, the edited-file record, the heap blocks and the
// "EditorEncoding" read (editor/editor.h).
#pragma once

#include <windows.h>

#include "../editor/editor.h"
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

// A moment's hold by another program (a scanner, an indexer, a sync tool).
// After an operation on the edit's files failed, HeldAgain pauses and
// answers TRUE when the failure was a sharing or lock violation and the
// pauses, about a second in all, are not used up (tries starts at 0 for each
// operation); the operation's error stays the last error. The four calls
// below make their operation so, the opens sharing reading and writing.
// ReportHeld shows the box: the file at path could not be <what>, then what
// follows of it.
BOOL IsHeldError(DWORD error);
BOOL HeldAgain(int* tries);
HANDLE OpenEditFile(const char* path, DWORD access, DWORD disposition, DWORD attributes);
BOOL ReadEditFile(HANDLE file, void* into, DWORD size, DWORD* moved);
BOOL DeleteEditFile(const char* path);
BOOL MoveEditFile(const char* from, const char* to);
void ReportHeld(const char* path, const char* what, const char* outcome);

// An edit no host read back. KeepLeftover, before "startEdit" writes the
// text (bytes) to tempPath in workDir: a file there that differs, is not
// empty, and is not still a text the host has (NoteOwnText: one "startEdit"
// wrote or "getEdit" delivered, at its last-write time then) is renamed to a
// free name beside it and a box names it; FALSE, after a box saying why, when
// it could not be.
BOOL KeepLeftover(const char* workDir, const char* tempPath, const BYTE* bytes, DWORD size);
void NoteOwnText(const char* path, FILETIME written);
// At "endEdit" after a "getEdit" that could not read the file: the file is
// renamed as a leftover is, and a box names it; a box says so when it
// stays where it is. Never deleted.
void KeepUnreadEdit(const char* workDir, const char* tempPath);
