// A host thread's waits: they keep answering its messages, as a host's
// dialog loop would, so that a thread sending to its windows never stalls.
#pragma once

#include <windows.h>

double NowMs();  // a monotonic clock, in milliseconds
// Runs this thread's messages until the object is signalled or the time is up.
bool WaitPumping(HANDLE object, DWORD timeoutMs = 60000);
// Keeps running this thread's messages for ms, busily.
void PumpFor(double ms);
