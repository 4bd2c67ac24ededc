// "draw": paints the small or the large icon at the top-left corner of the
// host's rectangle, chosen by the rectangle's size.
#include "icon.h"

#include "../frame/frame.h"

int __cdecl OnDraw(void* unused, JSAArg* args, JSAResult result)
{
    (void)unused;
    (void)result;
    const DrawTarget* target = (const DrawTarget*)(INT_PTR)g_host->GetArgInt(g_host, args[0]);
    if (target == NULL)
        return 0;

    HDC dc = (HDC)target->dc;
    // Signed on purpose: an inverted rectangle gets the small icon. The
    // difference wraps like the host's own 32-bit arithmetic instead of
    // overflowing a signed int.
    int width = (int)((unsigned)target->right - (unsigned)target->left);
    int height = (int)((unsigned)target->bottom - (unsigned)target->top);
    BOOL small = width < 32 || height < 32;
    int side = small ? 16 : 32;

    HBITMAP bitmap = LoadBitmapA(g_instance, MAKEINTRESOURCEA(small ? IDB_ICON_SMALL : IDB_ICON_LARGE));
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ previous = NULL;
    if (bitmap != NULL && memory != NULL) {
        previous = SelectObject(memory, bitmap);
        BitBlt(dc, target->left, target->top, side, side, memory, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
    }
    if (memory != NULL)
        DeleteDC(memory);
    if (bitmap != NULL)
        DeleteObject(bitmap);
    return 0;
}
