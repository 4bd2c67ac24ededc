// The edit dialog, built from an in-memory template so the host needs no
// resources of its own.
#include "edit_dialog.h"

#include <vector>

static const UINT kShownMessage = WM_APP + 1;
static const UINT_PTR kTimeoutTimer = 1;

static void PutWord(std::vector<WORD>* t, WORD w) { t->push_back(w); }

static void PutDword(std::vector<WORD>* t, DWORD d)
{
    t->push_back(LOWORD(d));
    t->push_back(HIWORD(d));
}

static void PutText(std::vector<WORD>* t, const char* text)
{
    int count = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    std::vector<WCHAR> wide(count > 0 ? count : 1, 0);
    if (count > 0)
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), count);
    for (WCHAR c : wide)
        t->push_back(c);
}

static void AlignDword(std::vector<WORD>* t)
{
    if (t->size() % 2 != 0)
        t->push_back(0);
}

static void PutItem(std::vector<WORD>* t, DWORD style, short x, short y, short cx, short cy,
                    WORD id, WORD classAtom, const char* text)
{
    AlignDword(t);
    PutDword(t, style | WS_CHILD | WS_VISIBLE);
    PutDword(t, 0);
    PutWord(t, x);
    PutWord(t, y);
    PutWord(t, cx);
    PutWord(t, cy);
    PutWord(t, id);
    PutWord(t, 0xFFFF);
    PutWord(t, classAtom);
    PutText(t, text);
    PutWord(t, 0);
}

static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    EditDialogRun* run = (EditDialogRun*)GetWindowLongPtrA(dialog, DWLP_USER);
    switch (message) {
    case WM_INITDIALOG:
        run = (EditDialogRun*)lParam;
        SetWindowLongPtrA(dialog, DWLP_USER, (LONG_PTR)run);
        run->okButton = GetDlgItem(dialog, IDOK);
        if (run->timeoutMs != INFINITE)
            SetTimer(dialog, kTimeoutTimer, run->timeoutMs, NULL);
        PostMessageA(dialog, kShownMessage, 0, 0);
        return TRUE;
    case kShownMessage:
        if (run->onShown != NULL)
            run->onShown(run->context);
        return TRUE;
    case WM_TIMER:
        if (wParam == kTimeoutTimer) {
            KillTimer(dialog, kTimeoutTimer);
            EndDialog(dialog, kDialogTimedOut);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            GetSystemTimePreciseAsFileTime(&run->commandTime);
            run->commandWParam = wParam;
            run->commandLParam = lParam;
            EndDialog(dialog, LOWORD(wParam));
        }
        return TRUE;
    }
    return FALSE;
}

int RunEditDialog(EditDialogRun* run)
{
    std::vector<WORD> t;
    PutDword(&t, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER);
    PutDword(&t, 0);
    PutWord(&t, (WORD)(3 + run->extraCaptions));  // items
    PutWord(&t, 0);
    PutWord(&t, 0);
    PutWord(&t, 220);
    PutWord(&t, 70);
    PutWord(&t, 0);  // no menu
    PutWord(&t, 0);  // the standard dialog class
    PutText(&t, run->title);
    PutItem(&t, SS_LEFT, 10, 10, 200, 24, 0xFFFF, 0x0082,
            "Edit the text in the editor. This dialog closes when the editor is closed.");
    for (int i = 0; i < run->extraCaptions; i++)
        PutItem(&t, SS_LEFT, 10, 35, 40, 8, 0xFFFF, 0x0082, "Caption");
    PutItem(&t, BS_DEFPUSHBUTTON | WS_TABSTOP, 60, 45, 45, 14, IDOK, 0x0080, "OK");
    PutItem(&t, BS_PUSHBUTTON | WS_TABSTOP, 115, 45, 45, 14, IDCANCEL, 0x0080, "Cancel");

    INT_PTR outcome = DialogBoxIndirectParamA(GetModuleHandleA(NULL), (LPCDLGTEMPLATEA)t.data(),
                                              NULL, DialogProc, (LPARAM)run);
    run->outcome = (int)outcome;
    return run->outcome;
}
