// What the benchmark's parts share: the loaded module, the editor, clocks,
// summaries and the table they print into.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tools/host/host_table.h"
#include "tools/host/message_loop.h"

extern PluginHost g_host;
extern std::string g_temp;       // the benchmark's work directory, with a trailing backslash
extern std::string g_editorDir;  // holds the stand-in editor as Scrivlet.exe
extern const char kTitle[];
extern const char kSettingsKey[];  // the module's settings, under HKEY_CURRENT_USER

// A file's last-write time from its directory entry, as the module reads
// it; 0 when there is no such file.
FILETIME WriteTime(const char* path);

unsigned long long Stamp(const FILETIME& t);

Delivery Call(const char* name, const std::vector<HostArg>& args = {});
// A handler call on arguments the caller owns: large texts are not copied.
Delivery CallDirect(const char* name, std::vector<HostArg>* args);

// Waits until no stand-in editor started by this process runs any more.
void WaitEditorsGone();
unsigned long long EditorExitStamp(const std::string& log);
DWORD EditorPid(const std::string& log);

// The middle value of a set of figures, with the lowest and the highest:
// a figure is read only as far as its spread allows.
struct Spread {
    double median = 0, low = 0, high = 0;
};
Spread SpreadOf(std::vector<double> values);
double Median(std::vector<double> values);
double Percentile99(std::vector<double> values);
// Splits paired samples into consecutive blocks of blockSize (the last,
// shorter block only when there is no whole one) and applies statistic to
// each block of each side.
struct Blocks {
    std::vector<double> a, b;  // one figure per block, per side
};
Blocks PerBlock(const std::vector<double>& a, const std::vector<double>& b, size_t blockSize,
                double (*statistic)(std::vector<double>));
// The per-block a / b, or a - b.
std::vector<double> Ratios(const Blocks& blocks);
std::vector<double> Differences(const Blocks& blocks);
// "12.345 ms (12.001-12.900)": the median, then the lowest and the highest.
std::string Show(const Spread& s, const char* format, const char* unit = "");

// " (the module beats its floor!)" when the whole spread lies beyond even:
// above it where a higher figure is the module's better (a ratio of floor
// time to module time, of module rate to floor rate), else below it.
std::string Beyond(const Spread& s, bool above, double even);
void Row(const std::string& measure, const std::string& module, const std::string& floor,
         const std::string& ratio);
std::string Format(const char* format, ...);

// Starts this program again on the same module and editor with arguments
// after those two ("--text-block OUT", say); true when it ended with 0.
bool RunSelf(const std::string& plugin, const std::string& arguments);

// The parts, in the order they run.
// One block of the soak's measuring cycles, each side's figures in ms from
// the editor's exit: to the module's click, to the wait-and-post floor's
// message and to the walking floor's click, each in cycles of its own; and
// to each floor's wake, the walking floor's on its job's notice, the
// wait-and-post floor's on the process.
struct SoakBlock {
    std::vector<double> module, posted, walked, wokeByJob, wokeByProcess;
};
struct SoakResult {
    std::vector<SoakBlock> blocks;
    int unjobbed = 0;  // walking cycles whose floor could not nest a job of its own
    int failures = 0;  // failed cycles, and processes that did not finish
};
// Measures the text exchange in blocks, each by this program started again
// as "qh_bench PLUGIN.dll EDITOR_DIR --text-block OUT"; MeasureTextBlock is
// that run, writing its figures to OUT.
void MeasureTextExchange(const std::string& plugin);
int MeasureTextBlock(const std::string& outPath);
void MeasureRates();
// Runs the soak in blocks, each by this program started again as
// "qh_bench PLUGIN.dll EDITOR_DIR --soak-block CYCLES STOPS WALK_MS OUT";
// MeasureSoakBlock is that run, writing its figures to OUT.
SoakResult Soak(const std::string& plugin, int cycles, int stops);
int MeasureSoakBlock(int cycles, int stops, double walkMs, const std::string& outPath);
