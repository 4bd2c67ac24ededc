// A fault injector for one module: its imports of the Windows functions that
// can fail go through wrappers that pass each call on, or, when its turn
// comes, answer that function's documented failure with a realistic last
// error, without making the call. Calls are counted across all the module's
// threads, in the order they are made.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

enum FaultMode {
    kFaultNone,    // count only
    kFaultNth,     // the n-th fallible call fails, once
    kFaultFromNth, // every fallible call from the n-th on fails: memory that stays short
    kShortNth,     // the n-th call that can answer short does: ReadFile and WriteFile move
                   // half the bytes with success; a registry string read is two such
                   // calls: one fills the whole buffer with a string that has no NUL,
                   // the other delivers the string without its NUL and leaves the rest
                   // of the buffer non-zero
};

// Which of its failures a call with two answers gives (HasSecondAnswer):
// CreateFileA access denied or a sharing violation, ReadFile a lock
// violation or a vanished network name, WriteFile a full disk or a lock
// violation, MoveFileA and DeleteFileA a sharing violation or access denied.
enum FaultAnswer { kAnswerFirst, kAnswerSecond };

// Redirects the module's fallible imports, after any earlier redirection (a
// guard heap stays in place: the wrapper calls what the slot held).
bool InjectFaults(HMODULE module);
// Starts a run: counts set to zero, the plan in force from the next call.
void PlanFaults(FaultMode mode, int n, FaultAnswer answer = kAnswerFirst);
int FallibleCalls();  // made since the run started
int ShortableCalls();
int FaultsMade();     // failures or short answers given in this run
// The run's short answer was a registry string whole but for its NUL: a
// sound reader answers exactly as without a fault.
bool ShortAnswerWasWhole();
std::map<std::string, int> CallsByName();
std::map<std::string, int> FaultsByName();  // of those, the ones made to fail
std::string FaultedCall();  // the name of the first call made to fail, or ""
DWORD FaultedError();       // the last error that call answered, or 0
bool HasSecondAnswer(const std::string& name);

// The module's pauses (Sleep) since the run started, in ms. While skipped,
// a pause is counted but not waited out: a hold the injector makes ends
// when the call is made again, however soon.
void SkipPauses(bool skip);
DWORD PausedMs();

// Holds every call of the named function (NULL: none) for ms before it is
// made: the window in which what the call was to prevent can happen.
void HoldCalls(const char* name, DWORD ms);

// Runs action(context) once, just before the next call of the named
// function is made: what another program does at that moment.
void BeforeCall(const char* name, void (*action)(void*), void* context);

// While set, every registry key the module opens or creates denies any
// access but reading, as a key under a policy does.
void MakeKeysReadOnly(bool readOnly);

// Functions the module imports that are neither wrapped here nor known to
// need no wrapper (they can't fail, or they belong to the compiler's runtime).
std::vector<std::string> UnclassifiedImports(HMODULE module);
