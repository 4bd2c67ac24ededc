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

unsigned long long Stamp(const FILETIME& t);

Delivery Call(const char* name, const std::vector<HostArg>& args = {});
// A handler call on arguments the caller owns: large texts are not copied.
Delivery CallDirect(const char* name, std::vector<HostArg>* args);

// Waits until no stand-in editor started by this process runs any more.
void WaitEditorsGone();
unsigned long long EditorExitStamp(const std::string& log);
DWORD EditorPid(const std::string& log);

struct Summary {
    double median, p99;
};
Summary Summarise(std::vector<double> samples);

void Row(const std::string& measure, const std::string& module, const std::string& floor,
         const std::string& ratio);
std::string Format(const char* format, ...);

// The parts, in the order they run.
struct SoakResult {
    std::vector<double> latencies, floorLatencies;  // ms from the editor's exit
    int cycles = 0, failures = 0;
};
void MeasureTextExchange();
void MeasureRates();
SoakResult Soak(int cycles, int stops);
