// "startEdit", "getEdit" and "endEdit": the host's source text goes through
// a temporary file in a directory the host names.
#include "editor.h"

#include <strsafe.h>

#include "../frame/frame.h"

const char kTempName[] = "QuillhavenTemp.html";
static const char kEditInUse[] =
    "A document's source in this folder is already being edited in Scrivlet.\n\n"
    "Finish that edit first, then try again.";

char g_workDir[MAX_PATH] = "";
// FALSE from the moment a "startEdit" names its directory until its text is
// in the file whole: a part left there is never delivered as the edit.
static BOOL g_textWhole = TRUE;

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

static BOOL WriteWholeFile(HANDLE file, const char* text)
{
    DWORD length = (DWORD)lstrlenA(text);
    DWORD written = 0;
    if (SetFilePointer(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(file))
        return FALSE;
    return WriteFile(file, text, length, &written, NULL) && written == length;
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

    // A relative directory is resolved once, so that the file written, the
    // path the editor gets and the edited-file record name the same file.
    char workDir[MAX_PATH];
    char tempPath[MAX_PATH];
    DWORD length = GetFullPathNameA(dirArg, ARRAYSIZE(workDir), workDir, NULL);
    if (length != 0 && length < ARRAYSIZE(workDir))
        StripTrailingSeparators(workDir);
    if (length == 0 || length >= ARRAYSIZE(workDir) ||
        FAILED(StringCchPrintfA(tempPath, ARRAYSIZE(tempPath), "%s\\%s", workDir, kTempName)) ||
        !IsDirectory(workDir))
        return g_host->ReturnBool(g_host, 0, result);
    // Another host's live edit here shares the file: nothing of it, nor of
    // this module's own edit, is touched.
    if (!TakeEditMark(workDir)) {
        MessageBoxA(NULL, kEditInUse, NULL, MB_OK | MB_ICONERROR);
        return g_host->ReturnBool(g_host, 0, result);
    }
    StringCchCopyA(g_workDir, ARRAYSIZE(g_workDir), workDir);  // fits: same size
    g_textWhole = FALSE;

    WCHAR program[MAX_PATH];
    HANDLE file = CreateFileA(tempPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return g_host->ReturnBool(g_host, 0, result);
    g_textWhole = WriteWholeFile(file, text);
    CloseHandle(file);
    // A disk that filled up, a quota: what part of the text was written is
    // not left for the editor, nor for a host, to take for the whole.
    if (!g_textWhole) {
        DeleteFileA(tempPath);
        return g_host->ReturnBool(g_host, 0, result);
    }

    g_savedWriteTime = GetWriteTime(tempPath);
    StringCchCopyA(g_editedPath, ARRAYSIZE(g_editedPath), tempPath);  // fits: checked above

    // The work directory is the editor's own current directory; the host's
    // stays as it is.
    BOOL ok = FindEditorProgram(program) && OpenInEditor(program, tempPath, workDir);
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
    HANDLE heap = GetProcessHeap();
    char* text = NULL;
    LARGE_INTEGER size;
    DWORD got = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto out;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > (LONGLONG)(MAXDWORD - 32))
        goto out;
    if (heap != NULL)
        text = (char*)HeapAlloc(heap, 0, (SIZE_T)size.QuadPart + 32);
    if (text == NULL)
        goto out;
    // A failed read delivers nothing rather than an empty text the host
    // would take for the edit. A read may move fewer bytes than asked (a
    // network file, a file being written): the rest is read on until the
    // end, and only a file that ended sooner delivers less than its size.
    while (got < (DWORD)size.QuadPart) {
        DWORD moved = 0;
        if (!ReadFile(file, text + got, (DWORD)size.QuadPart - got, &moved, NULL))
            goto out;
        if (moved == 0)
            break;
        got += moved;
    }
    text[got] = '\0';
    delivered = g_host->ReturnString(g_host, text, result);

out:
    if (text != NULL)
        HeapFree(heap, 0, text);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
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
    DeleteFileA(path);
    ReleaseEditMark();
    return 0;
}
