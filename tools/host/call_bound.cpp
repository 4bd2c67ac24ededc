// The watchdog behind BoundPluginCalls: one thread that sleeps until a call
// is under way and wakes at its deadline.
#include "tools/host/call_bound.h"

#include <stdio.h>

static HANDLE g_wake = NULL;
static DWORD g_boundMs = 0;
static volatile LONG g_armed = 0;
static volatile DWORD g_started = 0;
static const char* volatile g_what = "";
static const char* (*g_describe)(void) = NULL;

static DWORD WINAPI Watch(LPVOID)
{
    for (;;) {
        if (g_armed == 0) {
            WaitForSingleObject(g_wake, INFINITE);
            continue;
        }
        DWORD elapsed = GetTickCount() - g_started;
        if (elapsed < g_boundMs) {
            WaitForSingleObject(g_wake, g_boundMs - elapsed);
            continue;
        }
        fprintf(stderr, "FAILED: the plug-in's %s did not return within %lu s%s%s; the program ends here\n",
                (const char*)g_what, (unsigned long)(g_boundMs / 1000), g_describe != NULL ? " in " : "",
                g_describe != NULL ? g_describe() : "");
        fflush(stdout);
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 4);
    }
}

void BoundPluginCalls(DWORD ms, const char* (*describe)(void))
{
    if (g_wake != NULL)
        return;
    g_boundMs = ms;
    g_describe = describe;
    g_wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE thread = g_wake != NULL ? CreateThread(NULL, 0, Watch, NULL, 0, NULL) : NULL;
    if (thread != NULL)
        CloseHandle(thread);
}

bool PluginCallsBounded(void)
{
    return g_wake != NULL;
}

void EnterPluginCall(const char* what)
{
    if (g_wake == NULL)
        return;
    g_what = what;
    g_started = GetTickCount();
    InterlockedExchange(&g_armed, 1);
    SetEvent(g_wake);
}

void LeavePluginCall(void)
{
    InterlockedExchange(&g_armed, 0);
}
