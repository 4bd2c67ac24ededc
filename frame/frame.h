// Module-wide state of the plug-in frame, read by every subsystem.
#pragma once

#include <windows.h>

#include "jsa.h"

extern JSAHost* g_host;       // the table last handed to JSAEntry
extern HINSTANCE g_instance;  // this module, recorded at process attach

// The handlers the frame defines with the host, owned by their subsystems.
int __cdecl OnGet(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnSet(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnRun(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnUpdated(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnDraw(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnStartEdit(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnGetEdit(void* unused, JSAArg* args, JSAResult result);
int __cdecl OnEndEdit(void* unused, JSAArg* args, JSAResult result);
