// Redirects a loaded module's imports through its import address table, so
// that a host can stand between a module and Windows without changing either.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ImportRedirect {
    const char* name;  // the function's name as the module imports it
    void* target;
    void** previous = nullptr;  // when given, receives what the slot held
};

// Points each named import of the module from dll (e.g. "KERNEL32.dll") at
// its target; answers how many import slots were changed.
int RedirectImports(HMODULE module, const char* dll, const ImportRedirect* redirects, int count);

// Every function the module imports by name, as "DLL!Name"; by ordinal, "DLL!#N".
std::vector<std::string> ListImports(HMODULE module);
