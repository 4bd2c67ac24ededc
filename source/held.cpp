// A file another program holds for a moment. Right after a file is written,
// a virus scanner, the search indexer or a backup or sync tool often opens
// it, now and then sharing nothing, for some milliseconds: an operation on
// the edit's files that meets a sharing or lock violation is made again
// after growing pauses, about a second in all, on the host's thread. Any
// other error is an answer at once.
#include "source.h"

#include <strsafe.h>

// 1,031 ms in all, nine tries: most holds last a few milliseconds and cost
// the first pauses only.
static const DWORD kHeldPauses[] = {1, 10, 20, 40, 80, 160, 320, 400};

BOOL IsHeldError(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

BOOL HeldAgain(int* tries)
{
    DWORD error = GetLastError();
    if (!IsHeldError(error) || *tries < 0 || *tries >= (int)ARRAYSIZE(kHeldPauses))
        return FALSE;
    Sleep(kHeldPauses[(*tries)++]);
    SetLastError(error);  // the operation's own error, whatever Sleep left
    return TRUE;
}

HANDLE OpenEditFile(const char* path, DWORD access, DWORD disposition, DWORD attributes)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    int tries = 0;
    do {
        file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition, attributes, NULL);
    } while (file == INVALID_HANDLE_VALUE && HeldAgain(&tries));
    return file;
}

BOOL ReadEditFile(HANDLE file, void* into, DWORD size, DWORD* moved)
{
    BOOL read = FALSE;
    int tries = 0;
    do {
        *moved = 0;
        read = ReadFile(file, into, size, moved, NULL);
    } while (!read && HeldAgain(&tries));
    return read;
}

BOOL DeleteEditFile(const char* path)
{
    BOOL gone = FALSE;
    int tries = 0;
    do {
        gone = DeleteFileA(path);
    } while (!gone && HeldAgain(&tries));
    return gone;
}

BOOL MoveEditFile(const char* from, const char* to)
{
    BOOL moved = FALSE;
    int tries = 0;
    do {
        moved = MoveFileA(from, to);
    } while (!moved && HeldAgain(&tries));
    return moved;
}

void ReportHeld(const char* path, const char* what, const char* outcome)
{
    char text[400 + MAX_PATH];
    StringCchPrintfA(text, ARRAYSIZE(text),
                     "The source edit's file could not be %s:\n\n%s\n\nAnother program holds it open "
                     "(a virus scanner, a backup or sync tool, an editor), and still did after a second. "
                     "%s",
                     what, path, outcome);  // fits: a path and fixed texts
    MessageBoxA(NULL, text, NULL, MB_OK | MB_ICONERROR);
}
