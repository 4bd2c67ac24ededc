// The host's modal edit dialog: shown while the user edits in the external
// editor, titled with the plug-in's "dialogtitle", holding "OK" and "Cancel".
#pragma once

#include <windows.h>

const int kDialogTimedOut = -2;

struct EditDialogRun {
    const char* title = "";
    void (*onShown)(void* context) = NULL;  // called once, from the dialog's loop
    void* context = NULL;
    DWORD timeoutMs = INFINITE;  // then the dialog ends with kDialogTimedOut
    int extraCaptions = 0;       // static captions placed before OK: a longer walk

    int outcome = 0;          // IDOK, IDCANCEL or kDialogTimedOut
    FILETIME commandTime{};   // when the command that ended it arrived
    WPARAM commandWParam = 0;
    LPARAM commandLParam = 0;
    HWND okButton = NULL;
};

int RunEditDialog(EditDialogRun* run);
