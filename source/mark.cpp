// The mark on a temporary file in a live source edit, for the hosts in other
// processes to see: two hosts editing the source of documents in one folder
// would share one temporary file, and the later one would overwrite the
// text the other's editor shows.
#include "source.h"

#include <strsafe.h>

// A named event held open for the edit's life: the system drops the name
// when the holding process ends, however it ends, so no mark outlives its
// host. A file on disk would be left behind by a crash.
static HANDLE g_mark = NULL;
static char g_markName[64] = "";

// The name derives from the file's full path in its long form, case-folded,
// so every spelling of one folder ("C:\Work", "c:\WORK\.", "C:\WORK~1") is
// one mark. A kernel object's name holds no backslash and is shorter than a
// path may be, so the path is hashed (64-bit FNV-1a).
static BOOL MarkName(const char* workDir, char* name, size_t size)
{
    char path[MAX_PATH];
    DWORD length = GetLongPathNameA(workDir, path, ARRAYSIZE(path));
    if (length == 0 || length >= ARRAYSIZE(path)) {
        if (FAILED(StringCchCopyA(path, ARRAYSIZE(path), workDir)))
            return FALSE;
    }
    if (FAILED(StringCchCatA(path, ARRAYSIZE(path), "\\")) ||
        FAILED(StringCchCatA(path, ARRAYSIZE(path), kTempName)))
        return FALSE;
    length = (DWORD)lstrlenA(path);
    CharUpperBuffA(path, length);

    unsigned long long hash = 14695981039346656037ULL;
    for (DWORD i = 0; i < length; i++) {
        hash ^= (unsigned char)path[i];
        hash *= 1099511628211ULL;
    }
    return SUCCEEDED(StringCchPrintfA(name, size, "Quillhaven.SourceEdit.%08lX%08lX",
                                      (unsigned long)(hash >> 32), (unsigned long)hash));
}

BOOL TakeEditMark(const char* workDir)
{
    char name[ARRAYSIZE(g_markName)];
    if (!MarkName(workDir, name, ARRAYSIZE(name)))
        return TRUE;  // no path that long reaches here: the caller checked it
    if (g_mark != NULL && lstrcmpA(name, g_markName) == 0)
        return TRUE;  // this module's own edit, replaced by the new one

    HANDLE mark = CreateEventA(NULL, TRUE, FALSE, name);
    DWORD error = GetLastError();
    if (mark != NULL && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mark);
        return FALSE;
    }
    // An object of another kind under the name is another program's.
    if (mark == NULL && error == ERROR_INVALID_HANDLE)
        return FALSE;
    ReleaseEditMark();
    if (mark != NULL) {
        g_mark = mark;
        StringCchCopyA(g_markName, ARRAYSIZE(g_markName), name);  // fits: same size
    }
    return TRUE;
}

void ReleaseEditMark(void)
{
    if (g_mark != NULL)
        CloseHandle(g_mark);
    g_mark = NULL;
    g_markName[0] = '\0';
}
