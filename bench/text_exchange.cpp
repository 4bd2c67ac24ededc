// The text exchange: startEdit and getEdit at four sizes, each beside a
// plain write or read and beside the same calls made inline. The rounds
// fall into blocks, and each block is measured by a process of its own
// (this program started again with --text-block), so that the spread
// between blocks covers what moves from one process to the next (where the
// heap's pages lie, what the emulator has translated, how warm the file
// cache is), not only the drift within one process.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strsafe.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "bench/heap_meter.h"

static const int kTextBlocks = 10;

// A plain 64 MB write takes one of two quite different times under emulation:
// three startEdit rounds to a block keep one write from deciding a block.
// At 16 MB, four startEdit and eight getEdit rounds to a block: with two
// and four, two runs back to back natively disagreed on both beside a plain
// write or read. At 1 KB, a hundred getEdit rounds to a block: with fifty,
// two runs disagreed beside a plain read (0.95, 0.92 to 0.96, and 0.97).
// The UTF-8 sizes read back a text an editor saved in UTF-8 (no mark, an
// accented letter and a euro sign on every line, all in the host's code
// page): startEdit is not measured there.
static const struct TextSize {
    size_t size;
    int startRepeats, getRepeats;  // over all the blocks
    bool utf8;
} kSizes[] = {{1 << 10, 100, 1000, false}, {1 << 20, 40, 100, false}, {16 << 20, 40, 80, false},
              {64 << 20, 30, 5, false},   {1 << 10, 0, 1000, true},    {16 << 20, 0, 40, true}};
static const int kSizeCount = (int)ARRAYSIZE(kSizes);

static int PerBlock(int repeats)
{
    return std::max(1, repeats / kTextBlocks);
}

static std::string Label(size_t size)
{
    return size >= (1 << 20) ? Format("%zu MB", size >> 20) : Format("%zu KB", size >> 10);
}

// Times three ways of doing the same work in turn, round after round, so
// that a drift of the machine touches all three alike; each side goes first
// in a third of the rounds, so that what one leaves behind (a warm cache, a
// file the wineserver still holds) falls on each alike. An untimed round
// comes first: no block pays for its process's cold start. Each callable
// answers the milliseconds of its own timed part.
struct Samples {
    std::vector<double> module, plain, inlined;
};

template <typename A, typename B, typename C>
static Samples Interleaved(int rounds, A module, B plain, C inlined)
{
    Samples s;
    for (int i = -1; i < rounds; i++) {
        double ms[3];
        for (int turn = 0; turn < 3; turn++) {
            int side = (i + 1 + turn) % 3;
            ms[side] = side == 0 ? module() : side == 1 ? plain() : inlined();
        }
        if (i < 0)
            continue;
        s.module.push_back(ms[0]);
        s.plain.push_back(ms[1]);
        s.inlined.push_back(ms[2]);
    }
    return s;
}

template <typename F>
static double Timed(F f)
{
    double t0 = NowMs();
    f();
    return NowMs() - t0;
}

// One string value of the module's settings read as the module reads its
// editor settings: the key opened to read, the value's size
// asked (none of them is set here), the key closed.
static void ReadSettingString(const WCHAR* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD type = REG_NONE, size = 0;
    RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    RegCloseKey(key);
}

// Whether a text holds a byte outside ASCII, read eight bytes at a time:
// no slower than the module's look at a run of ASCII.
static bool OutsideAscii(const char* p, size_t n)
{
    unsigned long long any = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        unsigned long long word;
        memcpy(&word, p + i, 8);
        any |= word;
    }
    for (; i < n; i++)
        any |= (unsigned char)p[i];
    return (any & 0x8080808080808080ULL) != 0;
}

// The floor's watcher, one per launch, as the module keeps its own: the
// editor's process, the job and its port, the file and its time then. The
// record lasts until the next launch, which releases it.
struct InlineWatch {
    HANDLE thread, process, job, port;
    HMODULE module;
    DWORD started;
    FILETIME saved;
    char path[MAX_PATH];
};
static InlineWatch* g_inlineWatch = NULL;
static HANDLE g_inlineMark = NULL;
static char g_inlineMarkName[64] = "";
static char g_inlineOwnPath[MAX_PATH] = "";
static FILETIME g_inlineOwnTime = {0, 0};

// As the watcher: the job's notices until no process is left, the count
// asked on each exit; then whether the editor, gone within 5 s, wrote the
// file; then its handles closed. Without a dialog to click, no click.
static DWORD WINAPI InlineWatcher(LPVOID parameter)
{
    InlineWatch* w = (InlineWatch*)parameter;
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = NULL;
        if (!GetQueuedCompletionStatus(w->port, &message, &key, &detail, INFINITE) || key == 0)
            break;
        if (key != (ULONG_PTR)w->job)
            continue;
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            break;
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
        if ((message == JOB_OBJECT_MSG_EXIT_PROCESS || message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) &&
            QueryInformationJobObject(w->job, JobObjectBasicAccountingInformation, &accounting, sizeof(accounting),
                                      NULL) &&
            accounting.ActiveProcesses == 0)
            break;
    }
    if (GetTickCount() - w->started < 5000) {
        FILETIME now = WriteTime(w->path);
        (void)CompareFileTime(&now, &w->saved);
    }
    CloseHandle(w->process);
    CloseHandle(w->job);
    FreeLibraryAndExitThread(w->module, 0);
    return 0;
}

// The previous launch's watcher asked to end, waited for, and released.
static void ReleaseInlineWatch()
{
    InlineWatch* w = g_inlineWatch;
    g_inlineWatch = NULL;
    if (w == NULL)
        return;
    if (PostQueuedCompletionStatus(w->port, 0, 0, NULL))
        MsgWaitForMultipleObjectsEx(1, &w->thread, INFINITE, QS_SENDMESSAGE, 0);
    CloseHandle(w->port);
    CloseHandle(w->thread);
    HeapFree(GetProcessHeap(), 0, w);
}

// What "startEdit" does, inline, call for call: the text measured, the
// directory made full and checked, the encoding setting read, the folder's
// mark named from its long path (and made once), the file's directory entry
// looked up for an edit left there, the text scanned for UTF-8, the file
// opened by its full path, cut and written, its time read; the editor's
// settings and its uninstall entry read, the paths widened, the command line
// counted and made, the quick-exit setting read; the editor started
// suspended in its folder, put in a job with a port, resumed; the last
// launch's watcher released and a new one started.
static void StartEditInline(const std::string& dir, const std::string& text)
{
    HANDLE heap = GetProcessHeap();
    char full[MAX_PATH], path[MAX_PATH], longPath[MAX_PATH], name[64];
    WCHAR installed[MAX_PATH], program[MAX_PATH], widePath[MAX_PATH], wideDir[MAX_PATH];
    int length = lstrlenA(text.c_str());
    GetFullPathNameA(dir.c_str(), MAX_PATH, full, NULL);
    CharPrevA(full, full + lstrlenA(full));
    StringCchPrintfA(path, MAX_PATH, "%s\\bench-inline.html", full);
    GetFileAttributesA(full);
    ReadSettingString(L"EditorEncoding");

    GetLongPathNameA(full, longPath, MAX_PATH);
    StringCchCatA(longPath, MAX_PATH, "\\");
    StringCchCatA(longPath, MAX_PATH, "bench-inline.html");
    DWORD folded = (DWORD)lstrlenA(longPath);
    CharUpperBuffA(longPath, folded);
    unsigned long long hash = 14695981039346656037ULL;
    for (DWORD i = 0; i < folded; i++)
        hash = (hash ^ (unsigned char)longPath[i]) * 1099511628211ULL;
    StringCchPrintfA(name, ARRAYSIZE(name), "QhBench.InlineEdit.%08lX%08lX", (unsigned long)(hash >> 32),
                     (unsigned long)hash);
    if (g_inlineMark == NULL || lstrcmpA(name, g_inlineMarkName) != 0) {
        if (g_inlineMark != NULL)
            CloseHandle(g_inlineMark);
        g_inlineMark = CreateEventA(NULL, TRUE, FALSE, name);
        StringCchCopyA(g_inlineMarkName, ARRAYSIZE(g_inlineMarkName), name);
    }

    FILETIME left = WriteTime(path);
    if (lstrcmpiA(g_inlineOwnPath, path) == 0)
        (void)CompareFileTime(&left, &g_inlineOwnTime);
    // The host's text looked at for a byte outside ASCII.
    if (OutsideAscii(text.data(), (size_t)length))
        GetTickCount();

    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_ARCHIVE, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        SetFilePointer(file, 0, NULL, FILE_BEGIN);
        SetEndOfFile(file);
        WriteFile(file, text.data(), (DWORD)length, &written, NULL);
        CloseHandle(file);
    }
    FILETIME saved = WriteTime(path);
    StringCchCopyA(g_inlineOwnPath, ARRAYSIZE(g_inlineOwnPath), path);
    g_inlineOwnTime = saved;

    ReadSettingString(L"EditorPath");
    installed[0] = L'\0';
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof(installed) - sizeof(WCHAR), type;
        RegQueryValueExW(key, L"UninstallString", NULL, &type, (BYTE*)installed, &size);
        installed[size / sizeof(WCHAR)] = L'\0';
        RegCloseKey(key);
    }
    int installedLength = lstrlenW(installed);
    if (installedLength >= 15)
        lstrcmpiW(installed + installedLength - 15, L"\\SCRINST.EXE /R");
    WCHAR* slash = wcsrchr(installed, L'\\');
    if (slash != NULL)
        *slash = L'\0';
    StringCchPrintfW(program, MAX_PATH, L"%s\\%s", installed, L"Scrivlet.exe");

    MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH);
    MultiByteToWideChar(CP_ACP, 0, full, -1, wideDir, MAX_PATH);
    ReadSettingString(L"EditorArguments");
    SIZE_T chars = (SIZE_T)lstrlenW(program) + (SIZE_T)lstrlenW(widePath) + 6;
    WCHAR* line = (WCHAR*)HeapAlloc(heap, 0, chars * sizeof(WCHAR));
    if (line == NULL)
        return;
    StringCchPrintfW(line, chars, L"\"%s\" \"%s\"", program, widePath);
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        char seconds[32];
        DWORD size = sizeof(seconds), type;
        RegQueryValueExA(key, "QuickExitSeconds", NULL, &type, (BYTE*)seconds, &size);
        RegCloseKey(key);
    }

    STARTUPINFOW si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));
    BOOL started = CreateProcessW(NULL, line, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, wideDir, &si, &pi);
    HeapFree(heap, 0, line);
    if (!started)
        return;
    DWORD tick = GetTickCount();
    HANDLE job = CreateJobObjectA(NULL, NULL);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT notices = {job, port};
    JOBOBJECT_BASIC_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof(limits));
    limits.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &notices, sizeof(notices));
    SetInformationJobObject(job, JobObjectBasicLimitInformation, &limits, sizeof(limits));
    AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    ReleaseInlineWatch();
    InlineWatch* w = (InlineWatch*)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(InlineWatch));
    if (w == NULL) {
        // No watcher: the editor is waited for here, and let go.
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(port);
        CloseHandle(job);
        return;
    }
    w->process = pi.hProcess;
    w->job = job;
    w->port = port;
    w->started = tick;
    w->saved = saved;
    StringCchCopyA(w->path, ARRAYSIZE(w->path), path);
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)&InlineWatcher, &w->module);
    w->thread = CreateThread(NULL, 8192, InlineWatcher, w, 0, NULL);
    if (w->thread == NULL) {
        WaitForSingleObject(w->process, INFINITE);
        CloseHandle(w->process);
        CloseHandle(w->job);
        CloseHandle(w->port);
        FreeLibrary(w->module);
        HeapFree(heap, 0, w);
        return;
    }
    g_inlineWatch = w;
}

// What "getEdit" does, inline: the file opened by its full path, its time
// and size read, a buffer allocated, read and freed, the file's time kept
// as the host's. The bytes are looked at for one outside ASCII; a text with
// one is asked whether it is UTF-8 as the first of its two conversions,
// each asked its size first: to UTF-16, then to the code page with no
// look-alikes.
static void GetEditInline(const std::string& path)
{
    HANDLE heap = GetProcessHeap();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER size;
    FILETIME written;
    if (file == INVALID_HANDLE_VALUE)
        return;
    GetFileTime(file, NULL, NULL, &written);
    if (GetFileSizeEx(file, &size)) {
        char* text = (char*)HeapAlloc(heap, 0, (SIZE_T)size.QuadPart + 32);
        DWORD got = 0;
        if (text != NULL) {
            ReadFile(file, text, (DWORD)size.QuadPart, &got, NULL);
            int units = OutsideAscii(text, got)
                            ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, (int)got, NULL, 0)
                            : 0;
            text[got] = '\0';
            if (units > 0) {
                WCHAR* wide = (WCHAR*)HeapAlloc(heap, 0, (SIZE_T)units * sizeof(WCHAR) + 8);
                if (wide != NULL) {
                    MultiByteToWideChar(CP_UTF8, 0, text, (int)got, wide, units);
                    BOOL lacked = FALSE;
                    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, NULL, 0, NULL, &lacked);
                    char* host = (char*)HeapAlloc(heap, 0, (SIZE_T)bytes + 1);
                    if (host != NULL) {
                        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, host, bytes, NULL, &lacked);
                        host[bytes] = '\0';
                        HeapFree(heap, 0, host);
                    }
                    HeapFree(heap, 0, wide);
                }
            }
            HeapFree(heap, 0, text);
        }
    }
    if (lstrcmpiA(g_inlineOwnPath, path.c_str()) != 0)
        StringCchCopyA(g_inlineOwnPath, ARRAYSIZE(g_inlineOwnPath), path.c_str());
    g_inlineOwnTime = written;
    CloseHandle(file);
}

// A page an editor saved in UTF-8 without a mark, of size bytes.
static std::string Utf8Page(size_t size)
{
    static const char kLine[] = "<p>Caf\xC3\xA9 au lait, 3 \xE2\x82\xAC, na\xC3\xAFve r\xC3\xA9sum\xC3\xA9.</p>\r\n";
    std::string text;
    text.reserve(size + sizeof(kLine));
    while (text.size() < size)
        text += kLine;
    text.resize(size);
    // A cut sequence at the end would make it no UTF-8 at all.
    while (!text.empty() && ((unsigned char)text.back() & 0x80) != 0)
        text.back() = '.';
    return text;
}

static bool WriteWhole(const std::string& path, const std::string& bytes)
{
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    bool ok = f != INVALID_HANDLE_VALUE && WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, NULL) &&
              written == bytes.size();
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    return ok;
}

// A block's figures travel to the measuring run as lines of
// "SIZE-INDEX WHAT SIDE VALUE".
static void WriteSamples(FILE* out, int size, const char* what, const Samples& s)
{
    const struct {
        const char* side;
        const std::vector<double>* values;
    } sides[] = {{"module", &s.module}, {"plain", &s.plain}, {"inlined", &s.inlined}};
    for (const auto& side : sides) {
        for (double v : *side.values)
            fprintf(out, "%d %s %s %.6f\n", size, what, side.side, v);
    }
}

static void MeasureSize(FILE* out, int index)
{
    const TextSize& r = kSizes[index];
    std::string dir = g_temp.substr(0, g_temp.size() - 1);
    std::string plainFile = g_temp + "bench-plain.html";
    std::vector<HostArg> args(2);
    args[0].text = dir;
    std::string& text = args[1].text;
    text.assign(r.size, 'q');
    for (size_t i = 0; i < r.size; i += 61)
        text[i] = '\n';
    Samples m;
    if (r.utf8) {
        // One edit, untimed, whose editor then saved the page in UTF-8; the
        // plain read and the floor read the same bytes.
        CallDirect("startEdit", &args);
        WaitEditorsGone();
        text = Utf8Page(r.size);
        if (!WriteWhole(g_temp + "QuillhavenTemp.html", text) || !WriteWhole(plainFile, text) ||
            !WriteWhole(g_temp + "bench-inline.html", text))
            return;
    } else {
    // Each launched editor is waited for outside the timed part.
    m = Interleaved(
        PerBlock(r.startRepeats),
        [&] {
            double ms = Timed([&] { CallDirect("startEdit", &args); });
            WaitEditorsGone();
            return ms;
        },
        [&] {
            return Timed([&] {
                HANDLE f = CreateFileA(plainFile.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
                DWORD written = 0;
                if (f != INVALID_HANDLE_VALUE) {
                    WriteFile(f, text.data(), (DWORD)text.size(), &written, NULL);
                    CloseHandle(f);
                }
            });
        },
        [&] {
            double ms = Timed([&] { StartEditInline(dir, text); });
            if (g_inlineWatch != NULL)
                WaitForSingleObject(g_inlineWatch->thread, INFINITE);
            return ms;
        });
    ReleaseInlineWatch();
    WriteSamples(out, index, "startEdit", m);
    }

    std::vector<HostArg> none(1);
    ResetMeteredPeak();
    long long base = MeteredBytes();
    bool delivered = CallDirect("getEdit", &none).kind == kDeliveredString;
    fprintf(out, "%d peak - %lld\n", index, MeteredPeak() - base);
    fprintf(out, "%d delivered - %d\n", index, delivered ? 1 : 0);
    // The plain read goes into the host's own copy of the text, done with
    // by now: a second buffer of 64 MB does not fit beside it under emulation.
    char* buffer = &text[0];
    g_host.copyStrings = false;
    m = Interleaved(
        PerBlock(r.getRepeats), [&] { return Timed([&] { CallDirect("getEdit", &none); }); },
        [&] {
            return Timed([&] {
                HANDLE f =
                    CreateFileA(plainFile.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
                DWORD got = 0;
                if (f != INVALID_HANDLE_VALUE) {
                    ReadFile(f, buffer, (DWORD)r.size, &got, NULL);
                    CloseHandle(f);
                }
            });
        },
        [&] { return Timed([&] { GetEditInline(g_temp + "bench-inline.html"); }); });
    g_host.copyStrings = true;
    WriteSamples(out, index, "getEdit", m);
    fprintf(out, "%d done - 0\n", index);
}

int MeasureTextBlock(const std::string& outPath)
{
    FILE* out = fopen(outPath.c_str(), "w");
    if (out == NULL) {
        fprintf(stderr, "qh_bench: cannot write %s\n", outPath.c_str());
        return 1;
    }
    // The largest first, while the address space is whole: the host's copies
    // of a large text may not fit what is left to a 32-bit process (under
    // qemu-user, less than 2 GB) once smaller texts have come and gone.
    for (int i = kSizeCount - 1; i >= 0; i--) {
        try {
            MeasureSize(out, i);
        } catch (const std::bad_alloc&) {
            g_host.copyStrings = true;
            fprintf(out, "%d unallocated - 0\n", i);
        }
        Call("endEdit");
        DeleteFileA((g_temp + "bench-plain.html").c_str());
        DeleteFileA((g_temp + "bench-inline.html").c_str());
    }
    return fclose(out) == 0 ? 0 : 1;
}

// What the blocks measured of one size.
struct SizeFigures {
    Samples start, get;
    long long peak = 0;
    bool delivered = true;
    int blocks = 0, unallocated = 0;
};

static std::vector<double>* SideOf(Samples* s, const char* side)
{
    return strcmp(side, "module") == 0 ? &s->module
           : strcmp(side, "plain") == 0 ? &s->plain
           : strcmp(side, "inlined") == 0 ? &s->inlined
                                           : NULL;
}

static void Append(Samples* to, const Samples& from)
{
    to->module.insert(to->module.end(), from.module.begin(), from.module.end());
    to->plain.insert(to->plain.end(), from.plain.begin(), from.plain.end());
    to->inlined.insert(to->inlined.end(), from.inlined.begin(), from.inlined.end());
}

// Adds a block's figures for each size it finished; a size it did not
// finish gets none of them, so that the blocks stay aligned.
static void ReadBlock(const std::string& path, SizeFigures* figures)
{
    SizeFigures block[kSizeCount];
    bool done[kSizeCount] = {};
    FILE* in = fopen(path.c_str(), "r");
    char line[256], what[32], side[32];
    int index;
    double value;
    while (in != NULL && fgets(line, sizeof(line), in) != NULL) {
        if (sscanf(line, "%d %31s %31s %lf", &index, what, side, &value) != 4 || index < 0 || index >= kSizeCount)
            continue;
        SizeFigures& f = block[index];
        if (strcmp(what, "startEdit") == 0 || strcmp(what, "getEdit") == 0) {
            std::vector<double>* v = SideOf(what[0] == 's' ? &f.start : &f.get, side);
            if (v != NULL)
                v->push_back(value);
        } else if (strcmp(what, "peak") == 0) {
            f.peak = (long long)value;
        } else if (strcmp(what, "delivered") == 0) {
            f.delivered = value != 0;
        } else if (strcmp(what, "unallocated") == 0) {
            figures[index].unallocated++;
        } else if (strcmp(what, "done") == 0) {
            done[index] = true;
        }
    }
    if (in != NULL)
        fclose(in);
    for (int i = 0; i < kSizeCount; i++) {
        if (!done[i])
            continue;
        SizeFigures& to = figures[i];
        Append(&to.start, block[i].start);
        Append(&to.get, block[i].get);
        to.peak = std::max(to.peak, block[i].peak);
        to.delivered = to.delivered && block[i].delivered;
        to.blocks++;
    }
}

// The rounds' blocks lie one after the other; each side shows the median of
// its block medians with the lowest and the highest, and the ratio the same
// of the per-block floor / module.
static void TimeRows(const std::string& beside, const std::string& inlineMeasure, const Samples& s, size_t perBlock)
{
    Blocks plain = PerBlock(s.plain, s.module, perBlock, Median);
    Blocks inlined = PerBlock(s.inlined, s.module, perBlock, Median);
    Row(beside, Show(SpreadOf(plain.b), "%.3f", " ms"), Show(SpreadOf(plain.a), "%.3f", " ms"),
        Show(SpreadOf(Ratios(plain)), "%.2f") + Beyond(SpreadOf(Ratios(plain)), true, 1));
    Row(inlineMeasure, Show(SpreadOf(inlined.b), "%.3f", " ms"), Show(SpreadOf(inlined.a), "%.3f", " ms"),
        Show(SpreadOf(Ratios(inlined)), "%.2f") + Beyond(SpreadOf(Ratios(inlined)), true, 1));
}

void MeasureTextExchange(const std::string& plugin)
{
    SizeFigures figures[kSizeCount];
    int failed = 0;
    for (int k = 0; k < kTextBlocks; k++) {
        std::string outPath = g_temp + Format("text-block-%d.txt", k);
        DeleteFileA(outPath.c_str());
        if (!RunSelf(plugin, "--text-block \"" + outPath + "\""))
            failed++;
        ReadBlock(outPath, figures);
        DeleteFileA(outPath.c_str());
    }
    for (int i = 0; i < kSizeCount; i++) {
        const TextSize& r = kSizes[i];
        const SizeFigures& f = figures[i];
        std::string label = Label(r.size) + (r.utf8 ? " UTF-8" : "");
        if (f.blocks < kTextBlocks) {
            Row(Format("text exchange %s", label.c_str()), "not measured", "",
                f.unallocated > 0 ? Format("the host's copies of the text could not be allocated in %d of %d "
                                           "processes",
                                           f.unallocated, kTextBlocks)
                                  : Format("%d of %d measuring processes failed", failed, kTextBlocks));
            continue;
        }
        if (!r.utf8)
            TimeRows(Format("startEdit %s, %d calls: beside a plain write", label.c_str(),
                            kTextBlocks * PerBlock(r.startRepeats)),
                     Format("startEdit %s: beside the same calls inline", label.c_str()), f.start,
                     PerBlock(r.startRepeats));
        TimeRows(Format("getEdit %s, %d calls: beside a plain read%s", label.c_str(), kTextBlocks * PerBlock(r.getRepeats),
                        f.delivered ? "" : " (nothing delivered!)"),
                 Format("getEdit %s: beside the same calls inline", label.c_str()), f.get, PerBlock(r.getRepeats));
        // A UTF-8 text is the file's bytes, then its UTF-16 beside them or
        // beside the converted text (here, at most the file's size).
        if (r.utf8)
            Row(Format("getEdit %s: the module's peak extra heap", label.c_str()), Format("%lld B", f.peak),
                Format("goal %zu B", 3 * r.size + 64 + 65536), Format("3 x size %+lld B", f.peak - 3 * (long long)r.size));
        else
            Row(Format("getEdit %s: the module's peak extra heap", label.c_str()), Format("%lld B", f.peak),
                Format("goal %zu B", r.size + 32 + 65536), Format("size + %lld B", f.peak - (long long)r.size));
    }
}
