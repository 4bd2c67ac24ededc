// What a process holds, counted in ways that also work under Wine, whose
// GetProcessHandleCount and GetGuiResources answer 0.
#pragma once

#include <windows.h>

#include <vector>

int CountHandles();     // open kernel handles, found by probing handle values
int CountThreads();     // threads of this process
int CountGdiObjects();  // live GDI objects; -1 when they can't be counted
// Bytes in the process heap's busy blocks. Under Wine a search's state is a
// block there, not a kernel handle.
long long ProcessHeapBytesInUse();
// The processes this one started that still run, of one program (its file
// name, any case) or of any when program is NULL.
std::vector<DWORD> ChildProcessIds(const char* program = NULL);
