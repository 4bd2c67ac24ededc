// Counts the heap bytes one loaded module holds, exactly: its imports of
// HeapAlloc, HeapReAlloc and HeapFree are redirected to counting wrappers.
#pragma once

#include <windows.h>

// False when the module imports none of them by name.
bool MeterModuleHeap(HMODULE module);
long long MeteredBytes();      // held now by the metered module
long long MeteredPeak();       // the most held since the last reset
void ResetMeteredPeak();
