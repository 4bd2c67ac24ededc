// An edit no host read back. While a source edit lasts, what the user saves
// in the editor lives only in the temporary file until the host reads it;
// a host that died in between (a crash, a logoff) left the user's only copy
// there. "startEdit" never writes over such a file: it keeps it under a
// name of its own beside it, by a rename (never a copy that could stop
// halfway), and says so.
#include "source.h"

#include <strsafe.h>

// The texts this module's host has: each file "startEdit" wrote or "getEdit"
// delivered, with its last-write time then, the latest few folders' worth.
// A file still at that time holds nothing the host lacks.
struct OwnText {
    char path[MAX_PATH];
    FILETIME written;
};
static OwnText g_own[8];
static int g_ownNext = 0;

// Names tried for one kept file: the date, then the date with -2, -3, ...
static const int kMaxKeptNames = 100;
static const char kKeptCaption[] = "Quillhaven";

static OwnText* FindOwn(const char* path)
{
    for (int i = 0; i < (int)ARRAYSIZE(g_own); i++)
        if (g_own[i].path[0] != '\0' && lstrcmpiA(g_own[i].path, path) == 0)
            return &g_own[i];
    return NULL;
}

void NoteOwnText(const char* path, FILETIME written)
{
    OwnText* own = FindOwn(path);
    if (own == NULL) {
        own = &g_own[g_ownNext];
        g_ownNext = (g_ownNext + 1) % (int)ARRAYSIZE(g_own);
    }
    if (FAILED(StringCchCopyA(own->path, ARRAYSIZE(own->path), path)))
        own->path[0] = '\0';
    own->written = written;
}

static BOOL SameTime(FILETIME a, FILETIME b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime &&
           (a.dwLowDateTime != 0 || a.dwHighDateTime != 0);
}

// The file holds exactly these bytes. Anything that stops the comparison
// (the file can't be opened or read) answers FALSE: the file is then kept.
static BOOL HoldsExactly(const char* path, const BYTE* bytes, DWORD size)
{
    BOOL same = FALSE;
    BYTE chunk[16384];
    DWORD at = 0;
    HANDLE file = OpenEditFile(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE)
        goto out;
    for (;;) {
        DWORD moved = 0;
        if (!ReadEditFile(file, chunk, sizeof(chunk), &moved))
            goto out;
        if (moved == 0)
            break;
        if (moved > size - at || memcmp(chunk, bytes + at, moved) != 0)
            goto out;
        at += moved;
    }
    same = at == size;

out:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return same;
}

static const char* Why(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return "it is open in another program";
    case ERROR_ACCESS_DENIED:
        return "access to it was denied";
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return "every name tried for it is taken";
    case ERROR_FILENAME_EXCED_RANGE:
        return "the folder's path is too long for another name";
    default:
        return "Windows refused the rename";
    }
}

// The kept file's name: "QuillhavenTemp-YYYYMMDD-HHMMSS.html" from its
// last-write time in local time, "-N" added from the second name on. A time
// that can't be read or converted names it "QuillhavenTemp-kept".
static BOOL KeptName(const char* workDir, FILETIME written, int n, char* kept)
{
    char stem[32];
    FILETIME local;
    SYSTEMTIME t;
    if ((written.dwLowDateTime != 0 || written.dwHighDateTime != 0) &&
        FileTimeToLocalFileTime(&written, &local) && FileTimeToSystemTime(&local, &t))
        StringCchPrintfA(stem, ARRAYSIZE(stem), "QuillhavenTemp-%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth,
                         t.wDay, t.wHour, t.wMinute, t.wSecond);  // fits: 30 characters at most
    else
        StringCchCopyA(stem, ARRAYSIZE(stem), "QuillhavenTemp-kept");  // fits
    HRESULT made = n == 1 ? StringCchPrintfA(kept, MAX_PATH, "%s\\%s.html", workDir, stem)
                          : StringCchPrintfA(kept, MAX_PATH, "%s\\%s-%d.html", workDir, stem, n);
    return SUCCEEDED(made);
}

// What the boxes say of a kept file: where it went (%s, the kept path), and
// where it stays when no name could be had (%s, the file; %s, why).
struct KeepTexts {
    const char* kept;
    const char* stays;
};
static const KeepTexts kLeftoverTexts = {
    "An edit saved in Scrivlet that no host read back was left in this folder. It has been kept as:\n\n%s\n\n"
    "The document's source now opens in Scrivlet as the host has it.",
    "An edit saved in Scrivlet that no host read back is in:\n\n%s\n\nIt could not be kept under another "
    "name: %s. Nothing was changed and Scrivlet was not started. Close the program that holds the file, or "
    "move it yourself, then try again.",
};
static const KeepTexts kUnreadTexts = {
    "The host could not read back the edit saved in Scrivlet. It has been kept as:\n\n%s\n\n"
    "Open it to take the edit from there.",
    "The host could not read back the edit saved in Scrivlet, which is in:\n\n%s\n\nIt could not be kept "
    "under another name: %s. It was left where it is; move it yourself before the next edit of this "
    "document's source.",
};

// Renames the file to a free name beside it and says where; FALSE, after a
// box saying why, when no name could be had.
static BOOL KeepByRename(const char* workDir, const char* tempPath, FILETIME written, const KeepTexts* texts)
{
    char kept[MAX_PATH];
    char text[240 + 2 * MAX_PATH];
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    for (int n = 1; n <= kMaxKeptNames; n++) {
        if (!KeptName(workDir, written, n, kept)) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        if (MoveEditFile(tempPath, kept)) {
            StringCchPrintfA(text, ARRAYSIZE(text), texts->kept, kept);  // fits: a path and a fixed text
            MessageBoxA(NULL, text, kKeptCaption, MB_OK | MB_ICONINFORMATION);
            return TRUE;
        }
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return TRUE;  // gone meanwhile: nothing is left to keep
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    StringCchPrintfA(text, ARRAYSIZE(text), texts->stays, tempPath, Why(error));  // fits: a path and fixed texts
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONERROR);
    return FALSE;
}

BOOL KeepLeftover(const char* workDir, const char* tempPath, const BYTE* bytes, DWORD size)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(tempPath, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
            return TRUE;
        // Not seen, so not known to be nothing: kept all the same.
        FILETIME unknown = {0, 0};
        return KeepByRename(workDir, tempPath, unknown, &kLeftoverTexts);
    }
    FindClose(search);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return TRUE;  // no file: its open for writing fails as ever
    if (entry.nFileSizeHigh == 0 && entry.nFileSizeLow == 0)
        return TRUE;
    // The text the host was given back, or the one it wrote and no one has
    // saved over since.
    const OwnText* own = FindOwn(tempPath);
    if (own != NULL && SameTime(entry.ftLastWriteTime, own->written))
        return TRUE;
    if (entry.nFileSizeHigh == 0 && entry.nFileSizeLow == size && HoldsExactly(tempPath, bytes, size))
        return TRUE;
    return KeepByRename(workDir, tempPath, entry.ftLastWriteTime, &kLeftoverTexts);
}

void KeepUnreadEdit(const char* workDir, const char* tempPath)
{
    WIN32_FIND_DATAA entry;
    FILETIME written = {0, 0};
    HANDLE search = FindFirstFileA(tempPath, &entry);
    DWORD error = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        written = entry.ftLastWriteTime;
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return;  // nothing left to keep
    }
    KeepByRename(workDir, tempPath, written, &kUnreadTexts);
}
