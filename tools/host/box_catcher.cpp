// Catches the message boxes a thread shows: records what each said and
// answers it with OK, from within the box's own modal loop.
#include "tools/host/box_catcher.h"

static BOOL CALLBACK CollectControl(HWND child, LPARAM param)
{
    BoxCatcher::Box* box = (BoxCatcher::Box*)param;
    char className[64] = "";
    char text[1024] = "";
    GetClassNameA(child, className, sizeof(className));
    GetWindowTextA(child, text, sizeof(text));
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (lstrcmpiA(className, "Static") == 0) {
        // The box hides its icon control when it shows no icon.
        if (style & SS_ICON) {
            if (style & WS_VISIBLE)
                box->icon = (HICON)SendMessageA(child, STM_GETICON, 0, 0);
        } else if (text[0] != '\0') {
            box->text = text;
            WCHAR wide[1024] = L"";
            GetWindowTextW(child, wide, ARRAYSIZE(wide));
            box->wideText = wide;
        }
    } else if (lstrcmpiA(className, "Button") == 0 && (style & WS_VISIBLE)) {
        box->buttons.push_back(text);
    }
    return TRUE;
}

static BoxCatcher* g_catcher = NULL;

static BOOL CALLBACK FindBox(HWND window, LPARAM param)
{
    BoxCatcher* catcher = (BoxCatcher*)param;
    char className[64] = "";
    GetClassNameA(window, className, sizeof(className));
    if (lstrcmpA(className, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof(caption));
    if (catcher->hostDialogTitle != NULL && lstrcmpA(caption, catcher->hostDialogTitle) == 0)
        return TRUE;  // the host's edit dialog is not a message box
    for (HWND seen : catcher->dismissed) {
        if (seen == window)
            return TRUE;  // closing already
    }
    BoxCatcher::Box box;
    box.caption = caption;
    box.owner = GetWindow(window, GW_OWNER);
    EnumChildWindows(window, CollectControl, (LPARAM)&box);
    catcher->boxes.push_back(box);
    catcher->dismissed.push_back(window);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

// A message box is modal on this thread, and its loop dispatches this
// thread's timers: so the box is caught from within its own loop, once it
// is on screen.
static VOID CALLBACK CatchBoxes(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_catcher != NULL)
        EnumThreadWindows(GetCurrentThreadId(), FindBox, (LPARAM)g_catcher);
}

BoxCatcher::BoxCatcher(const char* dialogTitle) : hostDialogTitle(dialogTitle)
{
    g_catcher = this;
    timer = SetTimer(NULL, 0, 20, CatchBoxes);
}

BoxCatcher::~BoxCatcher()
{
    KillTimer(NULL, timer);
    g_catcher = NULL;
}

std::vector<BoxCatcher::Box> BoxCatcher::Seen()
{
    return boxes;
}

