// Test programs end on a crash instead of waiting in a debugger.
#include <windows.h>

#include <stdio.h>

#include <gtest/gtest.h>

static LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info)
{
    fprintf(stderr, "crash: exception 0x%08lx at %p\n", info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

// GoogleTest copies every failure and skip to OutputDebugStringA, which
// raises an exception and unwinds it; under some emulated Wine set-ups that
// unwind crashes. Continuing at once skips the unwind and loses nothing.
static LONG WINAPI SkipDebugOutput(EXCEPTION_POINTERS* info)
{
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == DBG_PRINTEXCEPTION_C || code == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

int main(int argc, char** argv)
{
    AddVectoredExceptionHandler(1, SkipDebugOutput);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
