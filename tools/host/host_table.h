// A host's side of the plug-in interface: loads a plug-in DLL, offers it the
// operation table, records the handlers it defines and calls them by name.
// Used by the reference host and by the tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "frame/jsa.h"

struct HostArg {
    int number;
    std::string text;
};

HostArg IntArg(int number);
HostArg StringArg(const std::string& text);

enum DeliveryKind { kDeliveredNothing, kDeliveredInt, kDeliveredBool, kDeliveredString };

// What one handler call delivered through the Return operations.
struct Delivery {
    DeliveryKind kind = kDeliveredNothing;
    int number = 0;
    std::string text;
    int returnCalls = 0;
    int handlerResult = 0;  // what the handler itself returned
};

struct DefinedHandler {
    std::string name;
    JSAHandler handler;
};

// The table must be the first member: every operation receives the table's
// address and finds the rest of the host through it.
struct PluginHost {
    JSAHost table;
    HMODULE module = NULL;
    JSAEntryFn entry = NULL;
    JSAMainFn main = NULL;
    JSAExitFn exit = NULL;
    std::vector<DefinedHandler> handlers;
    int reservedCalls = 0;   // calls of entries the host doesn't offer
    int defineResult = 100;  // DefineHandler answers 100, 101, ...
    int returnToken = 0x5150;  // what each Return operation hands back
    bool copyStrings = true;   // false: only that a string was delivered is kept
};

void InitHostTable(PluginHost* host);
// Loads the DLL and finds its three exports; on failure says why in *error.
bool LoadPlugin(PluginHost* host, const char* path, std::string* error);
// When set, called with each plug-in LoadPlugin has just loaded, before any
// of its code runs but its entry routine: a test host stands between the
// plug-in and Windows there.
extern bool (*g_onPluginLoaded)(HMODULE module);
void UnloadPlugin(PluginHost* host);
JSAHandler FindHandler(const PluginHost* host, const char* name);
// Calls a defined handler; false when no handler of that name is defined.
bool CallHandler(PluginHost* host, const char* name, const std::vector<HostArg>& args,
                 Delivery* delivery);
