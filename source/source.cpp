// "startEdit", "getEdit" and "endEdit": the host's source text goes through
// a temporary file in a directory the host names.
#include "source.h"

#include <strsafe.h>

#include "../frame/frame.h"

const char kTempName[] = "QuillhavenTemp.html";
static const char kNotStarted[] = "Scrivlet was not started; try again once that program lets the file go.";
static const char kEditInUse[] =
    "A document's source in this folder is already being edited in Scrivlet.\n\n"
    "Finish that edit first, then try again.";

char g_workDir[MAX_PATH] = "";
// FALSE from the moment a "startEdit" names its directory until its text is
// in the file whole: a part left there is never delivered as the edit.
static BOOL g_textWhole = TRUE;
// What the latest "startEdit" knew of the text, for reading it back.
static TextOrigin g_origin = {FALSE, FALSE};
// A "getEdit" could not read the file that was there: "endEdit" keeps it
// rather than deleting the only copy of the user's saved edit.
static BOOL g_unreadSave = FALSE;
// The read's room after the file's bytes, for a NUL and a cut UTF-16 unit:
// with the block's own 8 bytes, the file's size + 32 from the heap.
static const DWORD kReadRoom = 24;

// The temporary file of the latest edit, in full, so that reading it back
// or removing it leaves the process's current directory alone. Before any
// "startEdit" there is no edit directory: the name is taken in the current
// one. A work directory that has vanished since names no file: a file of
// that name elsewhere is another document's.
static void EditedTempFile(char* path)
{
    if (g_workDir[0] == '\0')
        StringCchCopyA(path, MAX_PATH, kTempName);
    else
        StringCchPrintfA(path, MAX_PATH, "%s\\%s", g_workDir, kTempName);  // fits: startEdit checked
}

// FALSE with the last error set: a short write is a full disk, never an
// error an earlier call left behind.
static BOOL WriteWholeFile(HANDLE file, const BYTE* bytes, DWORD length)
{
    DWORD written = 0;
    if (SetFilePointer(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(file) || !WriteFile(file, bytes, length, &written, NULL))
        return FALSE;
    if (written != length) {
        SetLastError(ERROR_HANDLE_DISK_FULL);
        return FALSE;
    }
    return TRUE;
}

// "C:\Docs\" and "C:\Docs" are one folder, and must give one temporary
// file path and one mark: the separators a full path keeps at its end go,
// but a drive's root keeps its own ("C:\"). Characters, not bytes: a
// double-byte character's trail byte may equal a backslash.
static void StripTrailingSeparators(char* path)
{
    for (;;) {
        char* end = path + lstrlenA(path);
        char* last = CharPrevA(path, end);
        if (last == end || (*last != '\\' && *last != '/'))
            return;
        if (last == path || (last == path + 2 && path[1] == ':'))
            return;
        *last = '\0';
    }
}

static BOOL IsDirectory(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int __cdecl OnStartEdit(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    const char* dirArg = g_host->GetArgString(g_host, args[0]);
    const char* text = g_host->GetArgString(g_host, args[1]);
    const DWORD length = (DWORD)lstrlenA(text);

    BOOL ok = FALSE;
    BOOL utf8 = FALSE;
    BYTE* converted = NULL;
    const BYTE* bytes = (const BYTE*)text;  // what the file is to hold
    DWORD size = length;
    HANDLE file = INVALID_HANDLE_VALUE;
    int tries = 0;
    DWORD error = ERROR_SUCCESS;
    WCHAR program[MAX_PATH];

    // A relative directory is resolved once, so that the file written, the
    // path the editor gets and the edited-file record name the same file.
    char workDir[MAX_PATH];
    char tempPath[MAX_PATH];
    DWORD got = GetFullPathNameA(dirArg, ARRAYSIZE(workDir), workDir, NULL);
    if (got != 0 && got < ARRAYSIZE(workDir))
        StripTrailingSeparators(workDir);
    if (got == 0 || got >= ARRAYSIZE(workDir) ||
        FAILED(StringCchPrintfA(tempPath, ARRAYSIZE(tempPath), "%s\\%s", workDir, kTempName)) ||
        !IsDirectory(workDir))
        goto out;
    // An encoding the module doesn't know starts nothing and changes nothing.
    if (!ReadEditorEncoding(&utf8))
        goto out;
    if (utf8) {
        converted = FileBytesInUtf8(text, length, &size);
        if (converted == NULL)
            goto out;
        bytes = converted;
    }
    // Another host's live edit here shares the file: nothing of it, nor of
    // this module's own edit, is touched.
    if (!TakeEditMark(workDir)) {
        MessageBoxA(NULL, kEditInUse, NULL, MB_OK | MB_ICONERROR);
        goto out;
    }
    // An edit saved there that no host read back is kept first, or nothing
    // is written at all.
    if (!KeepLeftover(workDir, tempPath, bytes, size))
        goto out;
    StringCchCopyA(g_workDir, ARRAYSIZE(g_workDir), workDir);  // fits: same size
    g_unreadSave = FALSE;
    g_textWhole = FALSE;
    g_origin.hostTextUtf8 = IsUtf8WithMultibyte(text, length);
    g_origin.wroteUtf8 = utf8;

    file = OpenEditFile(tempPath, GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE);
    if (file == INVALID_HANDLE_VALUE) {
        if (IsHeldError(GetLastError()))
            ReportHeld(tempPath, "written", kNotStarted);
        goto out;
    }
    do {
        g_textWhole = WriteWholeFile(file, bytes, size);
    } while (!g_textWhole && HeldAgain(&tries));
    error = g_textWhole ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    // A disk that filled up, a quota: what part of the text was written is
    // not left for the editor, nor for a host, to take for the whole.
    if (!g_textWhole) {
        DeleteEditFile(tempPath);
        if (IsHeldError(error))
            ReportHeld(tempPath, "written", kNotStarted);
        goto out;
    }

    g_savedWriteTime = GetWriteTime(tempPath);
    NoteOwnText(tempPath, g_savedWriteTime);
    StringCchCopyA(g_editedPath, ARRAYSIZE(g_editedPath), tempPath);  // fits: checked above

    // The work directory is the editor's own current directory; the host's
    // stays as it is.
    ok = FindEditorProgram(program) && OpenInEditor(program, tempPath, workDir);

out:
    FreeBlock(converted);
    return g_host->ReturnBool(g_host, ok ? 1 : 0, result);
}

int __cdecl OnGetEdit(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    (void)args;
    char path[MAX_PATH];
    EditedTempFile(path);
    if (!g_textWhole)
        return 0;

    int delivered = 0;
    BOOL handed = FALSE;
    char* bytes = NULL;  // the file's bytes, then the host's text
    LARGE_INTEGER size;
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    FILETIME written = {0, 0};
    HANDLE file = OpenEditFile(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        goto out;
    }
    // Taken before the read: a save that comes after it is not taken for
    // one the host has.
    if (!GetFileTime(file, NULL, NULL, &written))
        written.dwLowDateTime = written.dwHighDateTime = 0;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > (LONGLONG)(MAXDWORD - kReadRoom))
        goto out;
    bytes = (char*)AllocBlock((SIZE_T)size.QuadPart + kReadRoom);
    if (bytes == NULL)
        goto out;
    // A failed read delivers nothing rather than an empty text the host
    // would take for the edit. A read may move fewer bytes than asked (a
    // network file, a file being written): the rest is read on until the
    // end, and only a file that ended sooner delivers less than its size.
    while (got < (DWORD)size.QuadPart) {
        DWORD moved = 0;
        if (!ReadEditFile(file, bytes + got, (DWORD)size.QuadPart - got, &moved)) {
            error = GetLastError();
            goto out;
        }
        if (moved == 0)
            break;
        got += moved;
    }
    // In whatever form the editor saved it, the host gets its own text.
    bytes = HostTextFromFile(bytes, got, &g_origin);
    if (bytes == NULL)
        goto out;
    delivered = g_host->ReturnString(g_host, bytes, result);
    handed = TRUE;
    NoteOwnText(path, written);

out:
    FreeBlock(bytes);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    // A file that is there but was not read holds a save the host lacks:
    // no file at all, or one whose folder has gone, holds nothing.
    g_unreadSave = !handed && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    if (IsHeldError(error))
        ReportHeld(path, "read back", "The host was given nothing; the edit stays in the file and is kept "
                                      "when the host ends the edit.");
    return delivered;
}

int __cdecl OnEndEdit(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    (void)args;
    (void)result;
    // The mark goes only once the file is gone: another host may take the
    // folder from then on.
    char path[MAX_PATH];
    EditedTempFile(path);
    if (g_unreadSave)
        KeepUnreadEdit(g_workDir[0] != '\0' ? g_workDir : ".", path);
    else if (!DeleteEditFile(path) && IsHeldError(GetLastError()))
        ReportHeld(path, "removed", "It stays in the folder; delete it yourself once that program lets it go.");
    g_unreadSave = FALSE;
    ReleaseEditMark();
    return 0;
}
