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

int main(int argc, char** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
