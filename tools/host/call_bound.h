// A bound on each call into the plug-in, for test programs: a handler or
// JSAExit that has not returned in time (a stop the watcher never hears, a
// wait with no end) ends the program with a line that names the call and the
// test, instead of hanging the run until an outer limit kills it unnamed.
#pragma once

#include <windows.h>

// Starts the watchdog thread, once; from then on LoadPlugin's JSAExit and
// every CallHandler are bounded by ms. Where the call is named comes from
// describe, when given (the running test).
void BoundPluginCalls(DWORD ms, const char* (*describe)(void) = NULL);
bool PluginCallsBounded(void);
void EnterPluginCall(const char* what);
void LeavePluginCall(void);
