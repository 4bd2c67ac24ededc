// Measures the module against floors taken in the same run: the same work
// done directly by a host, without the module.
//   qh_bench PLUGIN.dll EDITOR_DIR [LAUNCHES]
// EDITOR_DIR holds the stand-in editor as Scrivlet.exe and is registered as
// the editor's installation; the benchmark works in the user's temp directory.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/host/edit_dialog.h"
#include "tools/host/host_table.h"

static double Now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / frequency.QuadPart;
}

static unsigned long long Stamp(const FILETIME& t)
{
    return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

static std::string g_temp;
static std::string g_editor;
static PluginHost g_host;

static Delivery Call(const char* name, const std::vector<HostArg>& args = {})
{
    Delivery d;
    CallHandler(&g_host, name, args, &d);
    return d;
}

// A handler call on arguments the caller owns: large texts are not copied.
static Delivery CallDirect(const char* name, std::vector<HostArg>* args)
{
    std::vector<JSAArg> refs;
    for (HostArg& arg : *args)
        refs.push_back(&arg);
    Delivery d;
    d.handlerResult = FindHandler(&g_host, name)(NULL, refs.data(), &d);
    return d;
}

static unsigned long long EditorExitStamp(const std::string& log)
{
    FILE* f = fopen(log.c_str(), "rb");
    unsigned long long stamp = 0;
    char line[512];
    while (f != NULL && fgets(line, sizeof(line), f) != NULL)
        if (strncmp(line, "exit-time=", 10) == 0)
            stamp = strtoull(line + 10, NULL, 10);
    if (f != NULL)
        fclose(f);
    return stamp;
}

struct Percentiles {
    double median, p99;
};

static Percentiles Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    if (v.empty())
        return {0, 0};
    return {v[v.size() / 2], v[std::min(v.size() - 1, (size_t)(v.size() * 0.99))]};
}

struct FloorWait {
    HANDLE process;
    HWND dialog;
};

static DWORD WINAPI WaitAndPost(LPVOID p)
{
    FloorWait* w = (FloorWait*)p;
    WaitForSingleObject(w->process, INFINITE);
    HWND ok = GetDlgItem(w->dialog, IDOK);
    PostMessageA(w->dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
    return 0;
}

struct Launch {
    const char* go;
    bool viaModule;
    std::string file;
    HANDLE process = NULL;
    HANDLE waiter = NULL;
    FloorWait wait{};
};

static HANDLE StartEditorDirectly(const std::string& file)
{
    std::string command = "\"" + g_editor + "\\Scrivlet.exe\" \"" + file + "\"";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return NULL;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

static void OnShown(void* context)
{
    Launch* l = (Launch*)context;
    if (!l->viaModule) {
        l->wait.dialog = FindWindowA(NULL, "Quillhaven: Under the Scrivlet edit");
        l->waiter = CreateThread(NULL, 0, WaitAndPost, &l->wait, 0, NULL);
    }
    HANDLE go = OpenEventA(EVENT_MODIFY_STATE, FALSE, l->go);
    SetEvent(go);
    CloseHandle(go);
}

// One edit: the editor waits until the dialog is up, then exits; the figure
// is the time from its exit to the OK command at the dialog.
static double OneDismissal(bool viaModule, int n)
{
    std::string log = g_temp + "bench-editor.log";
    DeleteFileA(log.c_str());
    std::string go = "qh-bench-go-" + std::to_string(n);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, go.c_str());
    SetEnvironmentVariableA("QH_EDITOR_LOG", log.c_str());
    SetEnvironmentVariableA("QH_EDITOR_GO", go.c_str());
    Launch l;
    l.go = go.c_str();
    l.viaModule = viaModule;
    l.file = g_temp + "bench-page.html";
    if (viaModule) {
        if (!Call("run", {StringArg(l.file)}).number)
            return -1;
    } else {
        l.process = StartEditorDirectly(l.file);
        l.wait.process = l.process;
    }
    EditDialogRun run;
    run.title = "Quillhaven: Under the Scrivlet edit";
    run.onShown = OnShown;
    run.context = &l;
    run.timeoutMs = 60000;
    RunEditDialog(&run);
    if (l.waiter != NULL) {
        WaitForSingleObject(l.waiter, INFINITE);
        CloseHandle(l.waiter);
    }
    if (l.process != NULL)
        CloseHandle(l.process);
    CloseHandle(event);
    unsigned long long exit = EditorExitStamp(log);
    if (run.outcome != IDOK || exit == 0)
        return -1;
    return ((double)Stamp(run.commandTime) - (double)exit) / 10000.0;
}

static void WriteFloor(const std::string& path, const std::string& text)
{
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(f, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(f);
}

static size_t PeakUsage()
{
    PROCESS_MEMORY_COUNTERS pmc;
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc.PeakPagefileUsage;
}

static size_t Usage()
{
    PROCESS_MEMORY_COUNTERS pmc;
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc.PagefileUsage;
}

template <typename F>
static double Rate(F f, double seconds = 1.0)
{
    int calls = 0;
    double start = Now();
    while (Now() - start < seconds) {
        for (int i = 0; i < 50; i++)
            f();
        calls += 50;
    }
    return calls / (Now() - start);
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 3) {
        fprintf(stderr, "usage: qh_bench PLUGIN.dll EDITOR_DIR [LAUNCHES]\n");
        return 2;
    }
    int launches = argc > 3 ? atoi(argv[3]) : 200;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    g_temp = temp;
    g_editor = argv[2];
    std::string error;
    if (!LoadPlugin(&g_host, argv[1], &error)) {
        fprintf(stderr, "qh_bench: %s\n", error.c_str());
        return 1;
    }
    g_host.entry(&g_host.table);
    WriteFloor(g_temp + "bench-page.html", "<p>bench</p>");

    printf("| measure | module | floor | ratio |\n|---|---|---|---|\n");

    std::vector<double> module, floor;
    for (int i = 0; i < launches; i++) {
        double m = OneDismissal(true, 2 * i);
        double f = OneDismissal(false, 2 * i + 1);
        if (m >= 0)
            module.push_back(m);
        if (f >= 0)
            floor.push_back(f);
        if ((i + 1) % 20 == 0)
            fprintf(stderr, "%d launches, %zu + %zu measured\n", i + 1, module.size(), floor.size());
    }
    Percentiles pm = Summarise(module), pf = Summarise(floor);
    printf("| dismissal latency, median (%zu launches) | %.2f ms | %.2f ms | |\n", module.size(), pm.median, pf.median);
    printf("| dismissal latency, 99th percentile | %.2f ms | %.2f ms | %+.2f ms |\n", pm.p99, pf.p99, pm.p99 - pf.p99);

    SetEnvironmentVariableA("QH_EDITOR_GO", NULL);
    SetEnvironmentVariableA("QH_EDITOR_LOG", NULL);
    const size_t sizes[] = {1024, 1 << 20, 16 << 20, 64 << 20};
    for (size_t size : sizes) {
        std::vector<HostArg> args(2);
        args[0].text = g_temp;
        std::string& text = args[1].text;
        try {
            text.assign(size, 'q');
            text.reserve(size);
        } catch (...) {
            printf("| %zu MB | the host could not allocate the text here | | |\n", size >> 20);
            break;
        }
        for (size_t i = 0; i < size; i += 61)
            text[i] = '\n';
        std::string label = size >= (1 << 20) ? std::to_string(size >> 20) + " MB" : std::to_string(size >> 10) + " KB";
        double t0 = Now();
        CallDirect("startEdit", &args);
        double startEdit = Now() - t0;
        std::string floorFile = g_temp + "bench-floor.html";
        t0 = Now();
        WriteFloor(floorFile, text);
        HANDLE p = StartEditorDirectly(floorFile);
        double startFloor = Now() - t0;
        if (p != NULL) {
            WaitForSingleObject(p, INFINITE);
            CloseHandle(p);
        }
        printf("| startEdit, %s | %.1f ms | %.1f ms | %.2f |\n", label.c_str(), startEdit * 1000, startFloor * 1000,
               startFloor / startEdit);

        g_host.copyStrings = false;
        size_t before = Usage(), peakBefore = PeakUsage();
        t0 = Now();
        std::vector<HostArg> none(1);
        Delivery d = CallDirect("getEdit", &none);
        double getEdit = Now() - t0;
        size_t peakAfter = PeakUsage();
        g_host.copyStrings = true;
        size_t extra = peakAfter > peakBefore ? peakAfter - before : 0;

        t0 = Now();
        HANDLE f = CreateFileA(floorFile.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        char* buffer = (char*)HeapAlloc(GetProcessHeap(), 0, size);
        DWORD got = 0;
        ReadFile(f, buffer, (DWORD)size, &got, NULL);
        HeapFree(GetProcessHeap(), 0, buffer);
        CloseHandle(f);
        double readFloor = Now() - t0;
        double mb = size / 1048576.0;
        printf("| getEdit, %s%s | %.1f MB/s | %.1f MB/s | %.2f |\n", label.c_str(),
               d.kind == kDeliveredString ? "" : " (nothing delivered)", mb / getEdit,
               mb / readFloor, readFloor / getEdit);
        if (peakAfter > peakBefore)
            printf("| getEdit extra peak memory, %s | %zu KB | goal %zu KB | |\n", label.c_str(), extra >> 10,
                   (size + 32 + 65536) >> 10);
        else
            printf("| getEdit extra peak memory, %s | not measurable: the peak counter did not move | | |\n",
                   label.c_str());
        Call("endEdit");
        DeleteFileA(floorFile.c_str());
        text.clear();
        text.shrink_to_fit();
    }

    // The rates call the handlers on argument arrays made once, so that the
    // host's own bookkeeping isn't counted against the module.
    std::string page = g_temp + "bench-page.html";
    std::vector<HostArg> none(1), getArgs(1), setArgs(2);
    getArgs[0].text = "benchvalue";
    setArgs[0].text = "benchvalue";
    setArgs[1].number = 9;
    double updated = Rate([&] { CallDirect("updated", &none); });
    double findFloor = Rate([&] {
        WIN32_FIND_DATAA e;
        HANDLE h = FindFirstFileA(page.c_str(), &e);
        if (h != INVALID_HANDLE_VALUE)
            FindClose(h);
    });
    printf("| updated | %.0f /s | %.0f /s | %.2f |\n", updated, findFloor, updated / findFloor);

    Call("set", {StringArg("benchvalue"), IntArg(7)});
    double get = Rate([&] { CallDirect("get", &getArgs); });
    double getFloor = Rate([] {
        HKEY k;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Penhollow\\Scrivlet\\Quillhaven", 0, KEY_ALL_ACCESS, &k) == 0) {
            DWORD v, size = 4, type;
            RegQueryValueExA(k, "benchvalue", NULL, &type, (BYTE*)&v, &size);
            RegCloseKey(k);
        }
    });
    double set = Rate([&] { CallDirect("set", &setArgs); });
    double setFloor = Rate([] {
        HKEY k;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Penhollow\\Scrivlet\\Quillhaven", 0, KEY_ALL_ACCESS, &k) == 0) {
            DWORD v = 9;
            RegSetValueExA(k, "benchvalue", 0, REG_DWORD, (const BYTE*)&v, 4);
            RegCloseKey(k);
        }
    });
    printf("| get of a setting | %.0f /s | %.0f /s | %.2f |\n", get, getFloor, get / getFloor);
    printf("| set of a setting | %.0f /s | %.0f /s | %.2f |\n", set, setFloor, set / setFloor);

    g_host.exit();
    UnloadPlugin(&g_host);
    return 0;
}
