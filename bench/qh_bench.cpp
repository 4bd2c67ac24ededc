// Measures the module against floors taken in the same run: the same work
// done directly by a host, without the module.
//   qh_bench PLUGIN.dll EDITOR_DIR [CYCLES [STOPS]]
// EDITOR_DIR holds the stand-in editor as Scrivlet.exe and is registered as
// the editor's installation; the benchmark works in the user's temp directory.
#include "bench.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include <tlhelp32.h>

#include "bench/heap_meter.h"

PluginHost g_host;
std::string g_temp;
std::string g_editorDir;
const char kTitle[] = "Quillhaven: Under the Scrivlet edit";

unsigned long long Stamp(const FILETIME& t)
{
    return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

Delivery Call(const char* name, const std::vector<HostArg>& args)
{
    Delivery d;
    CallHandler(&g_host, name, args, &d);
    return d;
}

Delivery CallDirect(const char* name, std::vector<HostArg>* args)
{
    std::vector<JSAArg> refs;
    for (HostArg& arg : *args)
        refs.push_back(&arg);
    Delivery d;
    d.handlerResult = FindHandler(&g_host, name)(NULL, refs.data(), &d);
    return d;
}

static HANDLE StartEditorDirectly(const std::string& file)
{
    std::string command = "\"" + g_editorDir + "\\Scrivlet.exe\" \"" + file + "\"";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return NULL;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

void WaitEditorsGone()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID != GetCurrentProcessId() || lstrcmpiA(entry.szExeFile, "Scrivlet.exe") != 0)
            continue;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process != NULL) {
            WaitPumping(process);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
}

static std::string LogValue(const std::string& log, const char* key)
{
    FILE* f = fopen(log.c_str(), "rb");
    std::string value;
    char line[512];
    size_t length = strlen(key);
    while (f != NULL && fgets(line, sizeof(line), f) != NULL) {
        if (strncmp(line, key, length) == 0 && line[length] == '=')
            value = std::string(line + length + 1, strcspn(line + length + 1, "\r\n"));
    }
    if (f != NULL)
        fclose(f);
    return value;
}

unsigned long long EditorExitStamp(const std::string& log)
{
    return strtoull(LogValue(log, "exit-time").c_str(), NULL, 10);
}

DWORD EditorPid(const std::string& log)
{
    return strtoul(LogValue(log, "pid").c_str(), NULL, 10);
}

Summary Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    if (v.empty())
        return {0, 0};
    return {v[v.size() / 2], v[std::min(v.size() - 1, (size_t)(v.size() * 0.99))]};
}

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void Row(const std::string& measure, const std::string& module, const std::string& floor,
         const std::string& ratio)
{
    printf("| %s | %s | %s | %s |\n", measure.c_str(), module.c_str(), floor.c_str(), ratio.c_str());
}

// Times three ways of doing the same work in turn, round after round, so
// that a drift of the machine touches all three alike; each callable answers
// the milliseconds of its own timed part. Answers the three medians.
struct Medians {
    double module, plain, inlined;
};

template <typename A, typename B, typename C>
static Medians Interleaved(int rounds, A module, B plain, C inlined)
{
    std::vector<double> a, b, c;
    for (int i = 0; i < rounds; i++) {
        a.push_back(module());
        b.push_back(plain());
        c.push_back(inlined());
    }
    return {Summarise(a).median, Summarise(b).median, Summarise(c).median};
}

template <typename F>
static double Timed(F f)
{
    double t0 = NowMs();
    f();
    return NowMs() - t0;
}

static DWORD WINAPI WaitForEditor(LPVOID process)
{
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    return 0;
}

// What "startEdit" must do by its contract, done inline: the text measured,
// the directory made absolute and current, the file opened, cut and written,
// its time read, the editor found in the registry and launched, a thread to
// wait for it.
static HANDLE StartEditInline(const std::string& dir, const std::string& text)
{
    char full[MAX_PATH], saved[MAX_PATH], editor[MAX_PATH];
    // The handler is handed a NUL-terminated text and must find its length.
    int length = lstrlenA(text.c_str());
    GetFullPathNameA(dir.c_str(), MAX_PATH, full, NULL);
    GetCurrentDirectoryA(MAX_PATH, saved);
    SetCurrentDirectoryA(full);
    HANDLE file = CreateFileA("bench-inline.html", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, NULL);
    DWORD written = 0;
    SetFilePointer(file, 0, NULL, FILE_BEGIN);
    SetEndOfFile(file);
    WriteFile(file, text.data(), (DWORD)length, &written, NULL);
    CloseHandle(file);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA("bench-inline.html", &entry);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof(editor), type;
        RegQueryValueExA(key, "UninstallString", NULL, &type, (BYTE*)editor, &size);
        RegCloseKey(key);
    }
    HANDLE process = StartEditorDirectly(std::string(full) + "\\bench-inline.html");
    HANDLE waiter = process != NULL ? CreateThread(NULL, 8192, WaitForEditor, process, 0, NULL) : NULL;
    SetCurrentDirectoryA(saved);
    return waiter;
}

// What "getEdit" must do, inline: the directory made current and restored,
// the file opened and sized, a buffer allocated, read and freed.
static void GetEditInline(const std::string& dir)
{
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    SetCurrentDirectoryA(dir.c_str());
    HANDLE file = CreateFileA("bench-inline.html", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER size;
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size)) {
        char* text = (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size.QuadPart + 32);
        DWORD got = 0;
        if (text != NULL) {
            ReadFile(file, text, (DWORD)size.QuadPart, &got, NULL);
            text[got] = '\0';
            HeapFree(GetProcessHeap(), 0, text);
        }
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    SetCurrentDirectoryA(saved);
}

void MeasureTextExchange()
{
    const struct {
        size_t size;
        int startRepeats, getRepeats;
    } runs[] = {{1 << 10, 200, 500}, {1 << 20, 40, 100}, {16 << 20, 8, 10}, {64 << 20, 5, 5}};
    std::string dir = g_temp.substr(0, g_temp.size() - 1);
    std::string plainFile = g_temp + "bench-plain.html";
    for (const auto& r : runs) {
        std::string label = r.size >= (1 << 20) ? Format("%zu MB", r.size >> 20) : Format("%zu KB", r.size >> 10);
        // The host's copies of a large text may not fit the address space left
        // to a 32-bit process (under qemu-user, less than 2 GB).
        try {
            std::vector<HostArg> args(2);
            args[0].text = dir;
            std::string& text = args[1].text;
            text.assign(r.size, 'q');
            for (size_t i = 0; i < r.size; i += 61)
                text[i] = '\n';
            // Each launched editor is waited for outside the timed part.
            Medians m = Interleaved(
                r.startRepeats,
                [&] {
                    double ms = Timed([&] { CallDirect("startEdit", &args); });
                    WaitEditorsGone();
                    return ms;
                },
                [&] {
                    return Timed([&] {
                        HANDLE f = CreateFileA(plainFile.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
                        DWORD written = 0;
                        WriteFile(f, text.data(), (DWORD)text.size(), &written, NULL);
                        CloseHandle(f);
                    });
                },
                [&] {
                    HANDLE waiter = NULL;
                    double ms = Timed([&] { waiter = StartEditInline(dir, text); });
                    if (waiter != NULL) {
                        WaitForSingleObject(waiter, INFINITE);
                        CloseHandle(waiter);
                    }
                    return ms;
                });
            Row(Format("startEdit %s, median of %d: beside a plain write", label.c_str(), r.startRepeats),
                Format("%.3f ms", m.module), Format("%.3f ms", m.plain), Format("%.2f", m.plain / m.module));
            Row(Format("startEdit %s: beside the same calls inline", label.c_str()), Format("%.3f ms", m.module),
                Format("%.3f ms", m.inlined), Format("%.2f", m.inlined / m.module));

            std::vector<HostArg> none(1);
            ResetMeteredPeak();
            long long base = MeteredBytes();
            Delivery d = CallDirect("getEdit", &none);
            long long peak = MeteredPeak() - base;
            g_host.copyStrings = false;
            char* buffer = (char*)HeapAlloc(GetProcessHeap(), 0, r.size + 32);
            m = Interleaved(
                r.getRepeats, [&] { return Timed([&] { CallDirect("getEdit", &none); }); },
                [&] {
                    return Timed([&] {
                        HANDLE f = CreateFileA(plainFile.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                               0, NULL);
                        DWORD got = 0;
                        ReadFile(f, buffer, (DWORD)r.size, &got, NULL);
                        CloseHandle(f);
                    });
                },
                [&] { return Timed([&] { GetEditInline(dir); }); });
            g_host.copyStrings = true;
            HeapFree(GetProcessHeap(), 0, buffer);
            Row(Format("getEdit %s, median of %d: beside a plain read%s", label.c_str(), r.getRepeats,
                       d.kind == kDeliveredString ? "" : " (nothing delivered!)"),
                Format("%.3f ms", m.module), Format("%.3f ms", m.plain), Format("%.2f", m.plain / m.module));
            Row(Format("getEdit %s: beside the same calls inline", label.c_str()), Format("%.3f ms", m.module),
                Format("%.3f ms", m.inlined), Format("%.2f", m.inlined / m.module));
            Row(Format("getEdit %s: the module's peak extra heap", label.c_str()), Format("%lld B", peak),
                Format("goal %zu B", r.size + 32 + 65536), Format("size + %lld B", peak - (long long)r.size));
            Call("endEdit");
            DeleteFileA(plainFile.c_str());
            DeleteFileA((g_temp + "bench-inline.html").c_str());
        } catch (const std::bad_alloc&) {
            g_host.copyStrings = true;
            Row(Format("text exchange %s", label.c_str()), "not measured", "",
                "the host's copies of the text could not be allocated");
            Call("endEdit");
            DeleteFileA(plainFile.c_str());
            DeleteFileA((g_temp + "bench-inline.html").c_str());
        }
    }
}

// Calls per second of two ways of doing the same work, in alternating slices
// of 50 ms so that a drift of the machine touches both alike.
struct Rates {
    double module, floor;
};

template <typename A, typename B>
static Rates RatesOf(A module, B floor, int slices = 10)
{
    double time[2] = {0, 0};
    long long calls[2] = {0, 0};
    for (int slice = 0; slice < 2 * slices; slice++) {
        int which = slice % 2;
        double start = NowMs();
        while (NowMs() - start < 50) {
            for (int i = 0; i < 20; i++)
                which == 0 ? module() : floor();
            calls[which] += 20;
        }
        time[which] += NowMs() - start;
    }
    return {calls[0] * 1000.0 / time[0], calls[1] * 1000.0 / time[1]};
}

// The rates call the handlers on argument arrays made once, so that the
// host's own bookkeeping isn't counted against the module.
void MeasureRates()
{
    std::string page = g_temp + "bench-page.html";
    std::vector<HostArg> none(1), getArgs(1), setArgs(2);
    getArgs[0].text = "benchvalue";
    setArgs[0].text = "benchvalue";
    setArgs[1].number = 9;
    Rates updated = RatesOf([&] { CallDirect("updated", &none); },
                            [&] {
                                WIN32_FIND_DATAA e;
                                HANDLE h = FindFirstFileA(page.c_str(), &e);
                                if (h != INVALID_HANDLE_VALUE)
                                    FindClose(h);
                            });
    Call("set", {StringArg("benchvalue"), IntArg(7)});
    static const char kKey[] = "Software\\Penhollow\\Scrivlet\\Quillhaven";
    Rates get = RatesOf([&] { CallDirect("get", &getArgs); },
                        [] {
                            HKEY k;
                            if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, &k) == 0) {
                                DWORD v, size = 4, type;
                                RegQueryValueExA(k, "benchvalue", NULL, &type, (BYTE*)&v, &size);
                                RegCloseKey(k);
                            }
                        });
    Rates set = RatesOf([&] { CallDirect("set", &setArgs); },
                        [] {
                            HKEY k;
                            if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &k,
                                                NULL) == 0) {
                                DWORD v = 9;
                                RegSetValueExA(k, "benchvalue", 0, REG_DWORD, (const BYTE*)&v, 4);
                                RegCloseKey(k);
                            }
                        });
    const struct {
        const char* measure;
        Rates rates;
    } rows[] = {{"updated", updated}, {"get of a setting", get}, {"set of a setting", set}};
    for (const auto& row : rows)
        Row(row.measure, Format("%.0f /s", row.rates.module), Format("%.0f /s", row.rates.floor),
            Format("%.2f", row.rates.module / row.rates.floor));
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 3) {
        fprintf(stderr, "usage: qh_bench PLUGIN.dll EDITOR_DIR [CYCLES [STOPS]]\n");
        return 2;
    }
    int cycles = argc > 3 ? atoi(argv[3]) : 1000;
    int stops = argc > 4 ? atoi(argv[4]) : 2000;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    g_temp = std::string(temp) + "qh-bench\\";
    CreateDirectoryA(g_temp.c_str(), NULL);
    g_editorDir = argv[2];
    std::string error;
    if (!LoadPlugin(&g_host, argv[1], &error)) {
        fprintf(stderr, "qh_bench: %s\n", error.c_str());
        return 1;
    }
    g_host.entry(&g_host.table);
    if (!MeterModuleHeap(g_host.module))
        fprintf(stderr, "qh_bench: the module imports no heap functions by name; its heap reads 0\n");
    HANDLE page = CreateFileA((g_temp + "bench-page.html").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CloseHandle(page);

    printf("| measure | module | floor | ratio |\n|---|---|---|---|\n");
    double began = NowMs();
    MeasureTextExchange();
    MeasureRates();
    SoakResult soak = Soak(cycles, stops);
    Summary pm = Summarise(soak.latencies), pf = Summarise(soak.floorLatencies);
    Row(Format("dismissal latency, median of %zu launches", soak.latencies.size()),
        Format("%.2f ms", pm.median), Format("%.2f ms", pf.median), Format("%+.2f ms", pm.median - pf.median));
    Row("dismissal latency, 99th percentile", Format("%.2f ms", pm.p99), Format("%.2f ms", pf.p99),
        Format("%+.2f ms", pm.p99 - pf.p99));
    printf("\nwhole run: %.0f s\n", (NowMs() - began) / 1000);

    g_host.exit();
    UnloadPlugin(&g_host);
    return soak.failures == 0 ? 0 : 1;
}
