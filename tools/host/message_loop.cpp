// Waiting on the host's thread without leaving its messages unanswered.
#include "message_loop.h"

double NowMs()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void DispatchAll()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool WaitPumping(HANDLE object, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        DispatchAll();
        if (WaitForSingleObject(object, 0) == WAIT_OBJECT_0)
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(1, &object, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

void PumpFor(double ms)
{
    double end = NowMs() + ms;
    do
        DispatchAll();
    while (NowMs() < end);
}
