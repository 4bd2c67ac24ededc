// Measures the module against floors taken in the same run: the same work
// done directly by a host, without the module.
//   qh_bench PLUGIN.dll EDITOR_DIR [CYCLES [STOPS]]
//   qh_bench PLUGIN.dll EDITOR_DIR --text-block OUT   (one block of the text
//   exchange, started by the run itself)
//   qh_bench PLUGIN.dll EDITOR_DIR --soak-block CYCLES STOPS WALK_MS OUT
//   (one block of the soak, started by the run itself)
// EDITOR_DIR holds the stand-in editor as Scrivlet.exe and is registered as
// the editor's installation; the benchmark works in the user's temp directory.
#include "bench.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/heap_meter.h"
#include "tools/host/probes.h"

PluginHost g_host;
std::string g_temp;
std::string g_editorDir;
const char kTitle[] = "Quillhaven: Under the Scrivlet edit";
const char kSettingsKey[] = "Software\\Penhollow\\Scrivlet\\Quillhaven";

FILETIME WriteTime(const char* path)
{
    FILETIME time = {0, 0};
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        time = entry.ftLastWriteTime;
        FindClose(search);
    }
    return time;
}

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

void WaitEditorsGone()
{
    for (DWORD pid : ChildProcessIds("Scrivlet.exe")) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (process != NULL) {
            WaitPumping(process);
            CloseHandle(process);
        }
    }
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

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Percentile99(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    // nearest rank: the smallest value that at least 99% of them don't exceed
    size_t rank = (v.size() * 99 + 99) / 100;
    return v[std::max<size_t>(rank, 1) - 1];
}

Spread SpreadOf(std::vector<double> v)
{
    Spread s;
    if (v.empty())
        return s;
    s.median = Median(v);
    s.low = *std::min_element(v.begin(), v.end());
    s.high = *std::max_element(v.begin(), v.end());
    return s;
}

Blocks PerBlock(const std::vector<double>& a, const std::vector<double>& b, size_t blockSize,
                double (*statistic)(std::vector<double>))
{
    Blocks blocks;
    size_t n = std::min(a.size(), b.size());
    size_t whole = n / blockSize;
    if (whole == 0 && n > 0) {
        blocks.a.push_back(statistic(std::vector<double>(a.begin(), a.begin() + n)));
        blocks.b.push_back(statistic(std::vector<double>(b.begin(), b.begin() + n)));
    }
    for (size_t i = 0; i < whole; i++) {
        blocks.a.push_back(statistic(std::vector<double>(a.begin() + i * blockSize, a.begin() + (i + 1) * blockSize)));
        blocks.b.push_back(statistic(std::vector<double>(b.begin() + i * blockSize, b.begin() + (i + 1) * blockSize)));
    }
    return blocks;
}

std::vector<double> Ratios(const Blocks& blocks)
{
    std::vector<double> r;
    for (size_t i = 0; i < blocks.a.size(); i++)
        r.push_back(blocks.b[i] > 0 ? blocks.a[i] / blocks.b[i] : 0);
    return r;
}

std::vector<double> Differences(const Blocks& blocks)
{
    std::vector<double> d;
    for (size_t i = 0; i < blocks.a.size(); i++)
        d.push_back(blocks.a[i] - blocks.b[i]);
    return d;
}

std::string Show(const Spread& s, const char* format, const char* unit)
{
    std::string median = Format(format, s.median), low = Format(format, s.low), high = Format(format, s.high);
    return median + unit + " (" + low + " to " + high + ")";
}

std::string Beyond(const Spread& s, bool above, double even)
{
    bool beyond = above ? s.low > even : s.high < even;
    return beyond ? " (the module beats its floor!)" : "";
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

bool RunSelf(const std::string& plugin, const std::string& arguments)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, self, ARRAYSIZE(self));
    if (length == 0 || length >= ARRAYSIZE(self))
        return false;
    std::string command = std::string("\"") + self + "\" \"" + plugin + "\" \"" + g_editorDir + "\" " + arguments;
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    DWORD code = 1;
    // Generous: a block of 64 MB texts takes about a minute under emulation,
    // a block of the long soak longer.
    if (WaitForSingleObject(pi.hProcess, 60 * 60 * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return code == 0;
}

void Row(const std::string& measure, const std::string& module, const std::string& floor,
         const std::string& ratio)
{
    printf("| %s | %s | %s | %s |\n", measure.c_str(), module.c_str(), floor.c_str(), ratio.c_str());
}

// Calls per second of a handler and of its floor, in pairs of alternating
// slices of at least kSliceMs each, so that a drift of the machine, or the
// wineserver saving the registry, touches both alike; the first of a pair
// alternates too. The ratio is taken pair by pair: module / floor.
static const int kSlicePairs = 10;
static const double kSliceMs = 200;

struct Rates {
    std::vector<double> module, floor, ratios;
};

template <typename A, typename B>
static Rates RatesOf(A module, B floor)
{
    Rates rates;
    for (int pair = 0; pair < kSlicePairs; pair++) {
        double rate[2];
        for (int half = 0; half < 2; half++) {
            int which = (pair + half) % 2;
            long long calls = 0;
            double start = NowMs(), took;
            do {
                for (int i = 0; i < 20; i++)
                    which == 0 ? module() : floor();
                calls += 20;
            } while ((took = NowMs() - start) < kSliceMs);
            rate[which] = calls * 1000.0 / took;
        }
        rates.module.push_back(rate[0]);
        rates.floor.push_back(rate[1]);
        rates.ratios.push_back(rate[0] / rate[1]);
    }
    return rates;
}

// Each floor is shaped as a handler and makes the calls the handler must
// make: its argument taken from the host and its answer given back, the
// fixed property names compared before a setting is looked up, the file's
// time read from its directory entry.
static std::string g_floorPath;
static FILETIME g_floorSaved;

static int __cdecl UpdatedFloor(void*, JSAArg*, JSAResult result)
{
    FILETIME now = WriteTime(g_floorPath.c_str());
    return g_host.table.ReturnBool(&g_host.table, CompareFileTime(&now, &g_floorSaved) != 0, result);
}

static int __cdecl GetFloor(void*, JSAArg* args, JSAResult result)
{
    static const char* fixed[] = {"dialogtitle", "versionstring", "abouturl"};
    const char* name = g_host.table.GetArgString(&g_host.table, args[0]);
    for (const char* f : fixed) {
        if (lstrcmpiA(name, f) == 0)
            return g_host.table.ReturnString(&g_host.table, f, result);
    }
    HKEY key;
    DWORD value = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof(value), type;
        RegQueryValueExA(key, name, NULL, &type, (BYTE*)&value, &size);
        RegCloseKey(key);
    }
    return g_host.table.ReturnInt(&g_host.table, (int)value, result);
}

static int __cdecl SetFloor(void*, JSAArg* args, JSAResult)
{
    const char* name = g_host.table.GetArgString(&g_host.table, args[0]);
    DWORD value = (DWORD)g_host.table.GetArgInt(&g_host.table, args[1]);
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &key, NULL) == ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
        RegCloseKey(key);
    }
    return 0;
}

// The handlers and their floors are called alike: on argument arrays made
// once, through a function pointer found once, so that the host's own
// bookkeeping isn't counted against either.
static Rates RatesOf(const char* name, JSAHandler floor, std::vector<HostArg>* args)
{
    std::vector<JSAArg> refs;
    for (HostArg& arg : *args)
        refs.push_back(&arg);
    JSAHandler handler = FindHandler(&g_host, name);
    g_host.copyStrings = false;
    Delivery d;
    Rates rates = RatesOf([&] { handler(NULL, refs.data(), &d); }, [&] { floor(NULL, refs.data(), &d); });
    g_host.copyStrings = true;
    return rates;
}

void MeasureRates()
{
    // "updated" reads an edited file's time, as after a startEdit.
    std::string dir = g_temp.substr(0, g_temp.size() - 1);
    Call("startEdit", {StringArg(dir), StringArg("<p>rates</p>")});
    WaitEditorsGone();
    g_floorPath = g_temp + "QuillhavenTemp.html";
    g_floorSaved = WriteTime(g_floorPath.c_str());
    std::vector<HostArg> none(1), getArgs(1), setArgs(2);
    getArgs[0].text = "benchvalue";
    setArgs[0].text = "benchvalue";
    setArgs[1].number = 9;
    Rates updated = RatesOf("updated", UpdatedFloor, &none);
    Call("endEdit");
    Call("set", {StringArg("benchvalue"), IntArg(7)});
    Rates get = RatesOf("get", GetFloor, &getArgs);
    Rates set = RatesOf("set", SetFloor, &setArgs);
    const struct {
        const char* measure;
        Rates* rates;
    } rows[] = {{"updated, calls per second", &updated},
                {"get of a setting, calls per second", &get},
                {"set of a setting, calls per second", &set}};
    for (const auto& row : rows)
        Row(Format("%s, %d pairs of %.0f ms slices", row.measure, kSlicePairs, kSliceMs),
            Show(SpreadOf(row.rates->module), "%.0f", " /s"), Show(SpreadOf(row.rates->floor), "%.0f", " /s"),
            Show(SpreadOf(row.rates->ratios), "%.2f") + Beyond(SpreadOf(row.rates->ratios), true, 1));
}

// The dismissal in the soak's blocks, each a process of its own: each side
// shows the median of its block figures with the lowest and the highest
// block, and the difference the same of the per-block differences.
static Blocks OfBlocks(const SoakResult& soak, std::vector<double> SoakBlock::*a, std::vector<double> SoakBlock::*b,
                       double (*statistic)(std::vector<double>))
{
    Blocks blocks;
    for (const SoakBlock& block : soak.blocks) {
        if ((block.*a).empty() || (block.*b).empty())
            continue;
        blocks.a.push_back(statistic(block.*a));
        blocks.b.push_back(statistic(block.*b));
    }
    return blocks;
}

static void DismissalRows(const SoakResult& soak)
{
    const struct {
        const char* name;
        double (*statistic)(std::vector<double>);
    } figures[] = {{"median", Median}, {"99th percentile", Percentile99}};
    const struct {
        const char* floor;
        std::vector<double> SoakBlock::*samples;
    } floors[] = {{"the wait-and-post floor", &SoakBlock::posted}, {"the walking floor", &SoakBlock::walked}};
    size_t each = soak.blocks.empty() ? 0 : soak.blocks[0].module.size();
    for (const auto& figure : figures) {
        for (const auto& floor : floors) {
            Blocks b = OfBlocks(soak, &SoakBlock::module, floor.samples, figure.statistic);
            Spread difference = SpreadOf(Differences(b));
            Row(Format("dismissal %s, %zu block%s of about %zu edits a side: beside %s", figure.name, b.a.size(),
                       b.a.size() == 1 ? "" : "s", each, floor.floor),
                Show(SpreadOf(b.a), "%.2f", " ms"), Show(SpreadOf(b.b), "%.2f", " ms"),
                Show(difference, "%+.2f", " ms") + Beyond(difference, false, 0));
        }
    }
    // What the job costs the walking floor, and the module alike: the wake
    // from the editor's exit on the job's notice or on the process.
    Blocks b = OfBlocks(soak, &SoakBlock::wokeByJob, &SoakBlock::wokeByProcess, Median);
    Row(Format("a floor's wake after the editor's exit, median, %zu blocks: on the job's notice (walking floor) "
               "beside on the process (wait-and-post floor)%s",
               b.a.size(), soak.unjobbed > 0 ? Format(" (%d cycles nested no job)", soak.unjobbed).c_str() : ""),
        Show(SpreadOf(b.a), "%.2f", " ms"), Show(SpreadOf(b.b), "%.2f", " ms"),
        Show(SpreadOf(Differences(b)), "%+.2f", " ms"));
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 3) {
        fprintf(stderr, "usage: qh_bench PLUGIN.dll EDITOR_DIR [CYCLES [STOPS]]\n");
        return 2;
    }
    bool textBlock = argc == 5 && strcmp(argv[3], "--text-block") == 0;
    bool soakBlock = argc == 8 && strcmp(argv[3], "--soak-block") == 0;
    int cycles = argc > 3 ? atoi(argv[3]) : 3000;
    int stops = argc > 4 ? atoi(argv[4]) : 100;
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

    if (textBlock || soakBlock) {
        int code = textBlock ? MeasureTextBlock(argv[4])
                             : MeasureSoakBlock(atoi(argv[4]), atoi(argv[5]), atof(argv[6]), argv[7]);
        g_host.exit();
        UnloadPlugin(&g_host);
        return code;
    }

    printf("| measure | module | floor | module beside floor |\n|---|---|---|---|\n");
    double began = NowMs();
    MeasureTextExchange(argv[1]);
    MeasureRates();
    SoakResult soak = Soak(argv[1], cycles, stops);
    DismissalRows(soak);
    printf("\nwhole run: %.0f s\n", (NowMs() - began) / 1000);

    g_host.exit();
    UnloadPlugin(&g_host);
    return soak.failures == 0 && !soak.blocks.empty() ? 0 : 1;
}
