// Starts the editor on one file: its command line, the job that holds the
// editor and every process it starts, and the resume that lets it run.
#include "editor.h"

#include "../settings/settings.h"

// The longest command line CreateProcess takes, its NUL included.
static const SIZE_T kMaxCommandLine = 32767;
static const char kQuickExitValue[] = "QuickExitSeconds";
static const int kQuickExitDefault = 5;

// A command line being composed; with no text yet, it only counts.
struct Line {
    WCHAR* text;
    SIZE_T length;
};

static void Put(Line* line, const WCHAR* part, SIZE_T count)
{
    if (line->text != NULL)
        CopyMemory(line->text + line->length, part, count * sizeof(WCHAR));
    line->length += count;
}

// The program quoted, since an unquoted path with a blank in it ("C:\Program
// Files\...") lets CreateProcess run C:\Program.exe; then the user's
// arguments with each %1 the file's path, or the quoted path alone. Where
// the arguments hold no %1, the quoted path follows them.
static void Compose(Line* line, const WCHAR* program, const WCHAR* arguments, const WCHAR* path)
{
    SIZE_T pathLength = (SIZE_T)lstrlenW(path);
    BOOL placed = FALSE;
    Put(line, L"\"", 1);
    Put(line, program, (SIZE_T)lstrlenW(program));
    Put(line, L"\"", 1);
    if (arguments != NULL) {
        Put(line, L" ", 1);
        for (const WCHAR* p = arguments; *p != L'\0'; p++) {
            if (p[0] == L'%' && p[1] == L'1') {
                Put(line, path, pathLength);
                placed = TRUE;
                p++;
            } else {
                Put(line, p, 1);
            }
        }
    }
    if (!placed) {
        Put(line, L" \"", 2);
        Put(line, path, pathLength);
        Put(line, L"\"", 1);
    }
}

// The editor's part of the edit lasts while any process of the job runs.
// The job kills nothing (no limit says so when its last handle closes), and
// a child that asks to break away may, rather than fail to start.
static void PutInJob(HANDLE process, EditorRun* run)
{
    HANDLE job = CreateJobObjectA(NULL, NULL);
    HANDLE port = NULL;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT notices;
    JOBOBJECT_BASIC_LIMIT_INFORMATION limits;
    if (job == NULL)
        goto fail;
    port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 1);
    if (port == NULL)
        goto fail;
    notices.CompletionKey = job;
    notices.CompletionPort = port;
    if (!SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &notices,
                                 sizeof(notices)))
        goto fail;
    ZeroMemory(&limits, sizeof(limits));
    limits.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectBasicLimitInformation, &limits, sizeof(limits));
    // A host in a job that forbids another (before Windows 8, any job) keeps
    // the editor out of this one: then its first process is watched alone.
    if (!AssignProcessToJobObject(job, process))
        goto fail;
    run->job = job;
    run->port = port;
    return;

fail:
    if (port != NULL)
        CloseHandle(port);
    if (job != NULL)
        CloseHandle(job);
}

BOOL LaunchEditor(WCHAR* commandLine, const WCHAR* dir, EditorRun* run)
{
    ZeroMemory(run, sizeof(*run));
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    // Suspended until it is in the job, so that no child starts outside it.
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, dir, &startup,
                        &process))
        return FALSE;
    run->started = GetTickCount();
    PutInJob(process.hProcess, run);
    if (ResumeThread(process.hThread) == (DWORD)-1) {
        // An editor that can't run is not left suspended for good: it has
        // run none of its code yet.
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (run->port != NULL)
            CloseHandle(run->port);
        if (run->job != NULL)
            CloseHandle(run->job);
        ZeroMemory(run, sizeof(*run));
        return FALSE;
    }
    CloseHandle(process.hThread);
    run->process = process.hProcess;
    return TRUE;
}

// How soon after the launch an editor that ended without writing the file
// is taken for one that handed the file on; 0 or less turns that off.
static DWORD QuickExitSeconds(void)
{
    HKEY key = OpenSettingsKeyToRead();
    if (key == NULL)
        return kQuickExitDefault;
    int seconds = ReadSettingInt(key, kQuickExitValue, kQuickExitDefault);
    RegCloseKey(key);
    return seconds > 0 ? (DWORD)seconds : 0;
}

// A string of the host's, in its ANSI code page, converted whole: a path
// of MAX_PATH bytes has at most MAX_PATH characters.
static BOOL Widen(const char* text, WCHAR* wide)
{
    return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH) != 0;
}

BOOL OpenInEditor(const WCHAR* program, const char* path, const char* dir)
{
    BOOL ok = FALSE;
    WCHAR* arguments = NULL;
    Line line = {NULL, 0};
    DWORD quickExitSeconds = 0;
    WCHAR widePath[MAX_PATH];
    WCHAR wideDir[MAX_PATH];
    EditorRun run;
    if (!Widen(path, widePath) || (dir != NULL && !Widen(dir, wideDir))) {
        ReportEditorMissing(L"It could not be started from:", program);
        goto out;
    }
    if (!ReadEditorArguments(&arguments)) {
        ReportEditorMissing(L"EditorArguments could not be read.");
        goto out;
    }
    // Counted first, then made: a command line Windows would not take is
    // refused whole, never cut.
    Compose(&line, program, arguments, widePath);
    if (line.length >= kMaxCommandLine) {
        ReportEditorMissing(L"With EditorArguments its command line is longer than the 32,767 "
                            L"characters Windows takes:", program);
        goto out;
    }
    line.text = (WCHAR*)AllocBlock((line.length + 1) * sizeof(WCHAR));
    if (line.text == NULL) {
        ReportEditorMissing(L"It could not be started from:", program);
        goto out;
    }
    line.length = 0;
    Compose(&line, program, arguments, widePath);
    line.text[line.length] = L'\0';
    quickExitSeconds = QuickExitSeconds();
    if (!LaunchEditor(line.text, dir != NULL ? wideDir : NULL, &run)) {
        ReportEditorMissing(L"It could not be started from:", program);
        goto out;
    }
    run.quickExitSeconds = quickExitSeconds;
    StartWatcher(&run);
    ok = TRUE;

out:
    FreeBlock(line.text);
    FreeBlock(arguments);
    return ok;
}
