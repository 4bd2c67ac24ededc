// The module's boundary: the DLL entry routine and the three exports the host
// finds by name.
#include "frame.h"

#include "../editor/editor.h"
#include "../source/source.h"

JSAHost* g_host = NULL;
HINSTANCE g_instance = NULL;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        g_instance = instance;
    return TRUE;
}

extern "C" int __cdecl JSAMain(void)
{
    static const struct {
        const char* name;
        JSAHandler handler;
    } handlers[] = {
        {"get", OnGet},
        {"set", OnSet},
        {"run", OnRun},
        {"updated", OnUpdated},
        {"draw", OnDraw},
        {"startEdit", OnStartEdit},
        {"getEdit", OnGetEdit},
        {"endEdit", OnEndEdit},
    };
    int last = 0;
    for (size_t i = 0; i < ARRAYSIZE(handlers); i++)
        last = g_host->DefineHandler(g_host, handlers[i].name, handlers[i].handler);
    return last;
}

extern "C" int __cdecl JSAEntry(JSAHost* host)
{
    g_host = host;
    return JSAMain();
}

// Followed by the module's unload, so a waiting watcher must be gone, not
// merely told to go, before this returns. The temporary file stays, but
// other hosts may take its folder from now on.
extern "C" int __cdecl JSAExit(void)
{
    StopWatcher();
    ReleaseEditMark();
    return 0;
}
