// The host's operation table and the bookkeeping of handler calls.
#include "host_table.h"

#include "call_bound.h"

#include <stdio.h>

#include <string>
#include <vector>

HostArg IntArg(int number)
{
    HostArg arg;
    arg.number = number;
    return arg;
}

HostArg StringArg(const std::string& text)
{
    HostArg arg;
    arg.number = 0;
    arg.text = text;
    return arg;
}

static PluginHost* HostOf(JSAHost* table)
{
    return reinterpret_cast<PluginHost*>(table);
}

static int __cdecl ReservedEntry(JSAHost* table)
{
    HostOf(table)->reservedCalls++;
    fprintf(stderr, "host: the plug-in called a host entry it must not use\n");
    return 0;
}

static int __cdecl GetArgInt(JSAHost*, JSAArg arg)
{
    return static_cast<HostArg*>(arg)->number;
}

static const char* __cdecl GetArgString(JSAHost*, JSAArg arg)
{
    return static_cast<HostArg*>(arg)->text.c_str();
}

static int Deliver(JSAHost* table, JSAResult result, DeliveryKind kind, int number,
                   const char* text)
{
    Delivery* delivery = static_cast<Delivery*>(result);
    delivery->kind = kind;
    delivery->number = number;
    if (HostOf(table)->copyStrings)
        delivery->text = text != NULL ? text : "";
    else
        delivery->number = text != NULL ? 1 : 0;
    delivery->returnCalls++;
    return HostOf(table)->returnToken;
}

static int __cdecl ReturnInt(JSAHost* table, int value, JSAResult result)
{
    return Deliver(table, result, kDeliveredInt, value, NULL);
}

static int __cdecl ReturnBool(JSAHost* table, int value, JSAResult result)
{
    return Deliver(table, result, kDeliveredBool, value, NULL);
}

static int __cdecl ReturnString(JSAHost* table, const char* text, JSAResult result)
{
    return Deliver(table, result, kDeliveredString, 0, text);
}

static int __cdecl DefineHandler(JSAHost* table, const char* name, JSAHandler handler)
{
    PluginHost* host = HostOf(table);
    host->handlers.push_back(DefinedHandler{name, handler});
    return host->defineResult++;
}

void InitHostTable(PluginHost* host)
{
    for (JSAReservedFn& entry : host->table.reserved0)
        entry = ReservedEntry;
    host->table.reserved7 = ReservedEntry;
    for (JSAReservedFn& entry : host->table.reserved11)
        entry = ReservedEntry;
    host->table.GetArgInt = GetArgInt;
    host->table.ReturnInt = ReturnInt;
    host->table.ReturnBool = ReturnBool;
    host->table.GetArgString = GetArgString;
    host->table.ReturnString = ReturnString;
    host->table.DefineHandler = DefineHandler;
}

bool (*g_onPluginLoaded)(HMODULE module) = NULL;

// JSAExit under the call bound: the plug-in's own, reached through here.
static JSAExitFn g_boundedExit = NULL;
static int __cdecl BoundedExit(void)
{
    EnterPluginCall("JSAExit");
    int result = g_boundedExit != NULL ? g_boundedExit() : 0;
    LeavePluginCall();
    return result;
}

bool LoadPlugin(PluginHost* host, const char* path, std::string* error)
{
    InitHostTable(host);
    host->module = LoadLibraryA(path);
    if (host->module == NULL) {
        *error = std::string("cannot load ") + path + " (error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    if (g_onPluginLoaded != NULL && !g_onPluginLoaded(host->module)) {
        *error = std::string("the host could not stand between ") + path + " and Windows";
        UnloadPlugin(host);
        return false;
    }
    host->entry = reinterpret_cast<JSAEntryFn>(reinterpret_cast<void*>(GetProcAddress(host->module, "JSAEntry")));
    host->main = reinterpret_cast<JSAMainFn>(reinterpret_cast<void*>(GetProcAddress(host->module, "JSAMain")));
    host->exit = reinterpret_cast<JSAExitFn>(reinterpret_cast<void*>(GetProcAddress(host->module, "JSAExit")));
    const char* missing = host->entry == NULL ? "JSAEntry"
                          : host->main == NULL ? "JSAMain"
                          : host->exit == NULL ? "JSAExit"
                                               : NULL;
    if (missing != NULL) {
        *error = std::string(path) + " does not export " + missing;
        UnloadPlugin(host);
        return false;
    }
    if (PluginCallsBounded()) {
        g_boundedExit = host->exit;
        host->exit = BoundedExit;
    }
    return true;
}

void UnloadPlugin(PluginHost* host)
{
    if (host->module != NULL)
        FreeLibrary(host->module);
    host->module = NULL;
    host->entry = NULL;
    host->main = NULL;
    host->exit = NULL;
    host->handlers.clear();
}

JSAHandler FindHandler(const PluginHost* host, const char* name)
{
    // The last definition of a name wins, as a host's table of names would have it.
    for (auto it = host->handlers.rbegin(); it != host->handlers.rend(); ++it) {
        if (lstrcmpiA(it->name.c_str(), name) == 0)
            return it->handler;
    }
    return NULL;
}

bool CallHandler(PluginHost* host, const char* name, const std::vector<HostArg>& args,
                 Delivery* delivery)
{
    JSAHandler handler = FindHandler(host, name);
    if (handler == NULL)
        return false;
    // The plug-in may read more arguments than given; extra slots read as 0 / "".
    std::vector<HostArg> slots(args);
    slots.resize(args.size() + 4, StringArg(""));
    std::vector<JSAArg> refs;
    for (HostArg& slot : slots)
        refs.push_back(&slot);
    *delivery = Delivery();
    EnterPluginCall(name);
    delivery->handlerResult = handler(NULL, refs.data(), delivery);
    LeavePluginCall();
    return true;
}
