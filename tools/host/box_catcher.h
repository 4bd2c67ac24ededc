// Catches the message boxes a thread shows, as a person who reads each and
// clicks OK would.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// While it lives, message boxes this thread shows are recorded (caption,
// text, the icon shown, the buttons, the owner) and dismissed with OK. It
// needs no thread of its own.
struct BoxCatcher {
    struct Box {
        std::string caption;
        std::string text;      // in the ANSI code page
        std::wstring wideText;  // as shown
        HICON icon = NULL;  // NULL: no icon shown
        std::vector<std::string> buttons;
        HWND owner = NULL;
    };
    std::vector<Box> boxes;
    std::vector<HWND> dismissed;
    UINT_PTR timer = 0;
    const char* hostDialogTitle;  // a window of this title is no message box
    explicit BoxCatcher(const char* dialogTitle = "Quillhaven: Under the Scrivlet edit");
    ~BoxCatcher();
    std::vector<Box> Seen();
};

