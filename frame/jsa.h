// The binary interface between a host application and a plug-in module:
// the host's operation table, the handler form and the exported entries.
// Shared by the module, the reference host and the tests.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* JSAArg;     // one argument of a handler call; opaque to the module
typedef void* JSAResult;  // where the host expects the handler's result; opaque

struct JSAHost;

typedef int(__cdecl* JSAHandler)(void* unused, JSAArg* args, JSAResult result);

typedef int(__cdecl* JSAReservedFn)(struct JSAHost* host);
typedef int(__cdecl* JSAGetArgIntFn)(struct JSAHost* host, JSAArg arg);
typedef int(__cdecl* JSAReturnIntFn)(struct JSAHost* host, int value, JSAResult result);
typedef int(__cdecl* JSAReturnBoolFn)(struct JSAHost* host, int value, JSAResult result);
typedef const char*(__cdecl* JSAGetArgStringFn)(struct JSAHost* host, JSAArg arg);
typedef int(__cdecl* JSAReturnStringFn)(struct JSAHost* host, const char* text, JSAResult result);
typedef int(__cdecl* JSADefineHandlerFn)(struct JSAHost* host, const char* name, JSAHandler handler);

// Entry N of the table is a function pointer at byte offset 4*N. The module
// uses entries 5, 6, 8, 9, 10 and 13 only; the others belong to the host.
struct JSAHost {
    JSAReservedFn reserved0[5];
    JSAGetArgIntFn GetArgInt;          // 5
    JSAReturnIntFn ReturnInt;          // 6
    JSAReservedFn reserved7;
    JSAReturnBoolFn ReturnBool;        // 8
    JSAGetArgStringFn GetArgString;    // 9
    JSAReturnStringFn ReturnString;    // 10
    JSAReservedFn reserved11[2];
    JSADefineHandlerFn DefineHandler;  // 13
};

typedef int(__cdecl* JSAEntryFn)(struct JSAHost* host);
typedef int(__cdecl* JSAMainFn)(void);
typedef int(__cdecl* JSAExitFn)(void);

// The record whose address "draw" receives as its integer argument.
struct DrawTarget {
    void* dc;  // HDC
    int left;
    int top;
    int right;
    int bottom;
};

#ifdef __cplusplus
}
static_assert(sizeof(void*) == 4, "the host interface is 32-bit");
static_assert(offsetof(JSAHost, GetArgInt) == 4 * 5, "GetArgInt is entry 5");
static_assert(offsetof(JSAHost, ReturnBool) == 4 * 8, "ReturnBool is entry 8");
static_assert(offsetof(JSAHost, ReturnString) == 4 * 10, "ReturnString is entry 10");
static_assert(offsetof(JSAHost, DefineHandler) == 4 * 13, "DefineHandler is entry 13");
static_assert(sizeof(DrawTarget) == 20, "DrawTarget is an HDC and a RECT");
#endif
