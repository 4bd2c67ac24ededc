// Test programs end on a crash instead of waiting in a debugger, naming the
// test that crashed; the module they load runs on a guard-page heap, so that
// an overrun or a use after free inside it crashes in the test that made it.
#include <windows.h>

#include <stdio.h>

#include <gtest/gtest.h>

#include "tools/host/call_bound.h"
#include "tools/host/guard_heap.h"
#include "tools/host/host_table.h"
#include "tools/host/imports.h"

static const char* RunningTest(void)
{
    static char name[256];
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    snprintf(name, sizeof(name), "%s.%s", test != NULL ? test->test_suite_name() : "(no test)",
             test != NULL ? test->name() : "");
    return name;
}

static LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info)
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    fprintf(stderr, "crash: exception 0x%08lx at %p in %s.%s\n", info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress, test != NULL ? test->test_suite_name() : "(no test)",
            test != NULL ? test->name() : "");
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

// GoogleTest copies every failure and skip to OutputDebugStringA, which
// raises an exception to reach a debugger; under Wine run through qemu-user
// that exception's dispatch crashes the process. With no debugger to read
// them the copies are worth nothing: this program's calls go nowhere.
static void WINAPI DropDebugOutput(LPCSTR) {}

int main(int argc, char** argv)
{
    static const ImportRedirect quiet[] = {{"OutputDebugStringA", (void*)DropDebugOutput}};
    RedirectImports(GetModuleHandleA(NULL), "KERNEL32.dll", quiet, ARRAYSIZE(quiet));
    g_onPluginLoaded = GuardModuleHeap;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    // A call into the plug-in that never returns (a stop the watcher never
    // hears waits for the editor's end) fails its test in 60 s, named,
    // rather than wait for ctest's limit. No handler or exit takes seconds.
    BoundPluginCalls(60000, RunningTest);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
