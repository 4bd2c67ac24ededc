// "draw": which icon lands where in the host's device context, read back
// pixel by pixel against the module's own bitmaps.
#include "support.h"

#include <limits.h>

#include <algorithm>
#include <vector>

static const DWORD kBackground = 0x00123456;

// A top-down 32-bit DIB section selected into a memory DC, filled with one colour.
struct Canvas {
    HDC dc = NULL;
    HBITMAP dib = NULL;
    HGDIOBJ previous = NULL;
    DWORD* pixels = NULL;
    int width, height;
    Canvas(int w, int h) : width(w), height(h)
    {
        BITMAPINFO info;
        ZeroMemory(&info, sizeof(info));
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = -h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(NULL);
        dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, (void**)&pixels, NULL, 0);
        previous = SelectObject(dc, dib);
        for (int i = 0; i < w * h; i++)
            pixels[i] = kBackground;
    }
    ~Canvas()
    {
        SelectObject(dc, previous);
        DeleteObject(dib);
        DeleteDC(dc);
    }
    DWORD At(int x, int y) const
    {
        GdiFlush();
        return pixels[y * width + x] & 0x00FFFFFF;
    }
};

class IconTest : public PluginTest {
protected:
    void Draw(const Canvas& canvas, int left, int top, int right, int bottom)
    {
        DrawTarget target = {canvas.dc, left, top, right, bottom};
        Delivery d = Call("draw", {IntArg((int)(INT_PTR)&target)});
        EXPECT_EQ(d.returnCalls, 0) << "draw delivers nothing";
    }
    // The module's bitmap as it would be painted: rendered into a canvas of
    // the same format, straight from the resource.
    std::vector<DWORD> Picture(int id, int side)
    {
        Canvas reference(side, side);
        HBITMAP bitmap = LoadBitmapA(host.module, MAKEINTRESOURCEA(id));
        EXPECT_NE(bitmap, nullptr);
        HDC memory = CreateCompatibleDC(reference.dc);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(reference.dc, 0, 0, side, side, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
        DeleteObject(bitmap);
        std::vector<DWORD> picture;
        for (int y = 0; y < side; y++)
            for (int x = 0; x < side; x++)
                picture.push_back(reference.At(x, y));
        return picture;
    }
    // The icon of the given side sits at (left, top) and nothing else changed.
    void ExpectIconAt(const Canvas& canvas, int id, int side, int left, int top)
    {
        std::vector<DWORD> picture = Picture(id, side);
        int wrong = 0, outside = 0;
        for (int y = 0; y < canvas.height; y++) {
            for (int x = 0; x < canvas.width; x++) {
                bool inside = x >= left && x < left + side && y >= top && y < top + side;
                DWORD want = inside ? picture[(y - top) * side + (x - left)] : kBackground;
                if (canvas.At(x, y) != want)
                    (inside ? wrong : outside)++;
            }
        }
        EXPECT_EQ(wrong, 0) << "pixels of the icon that differ from bitmap " << id;
        EXPECT_EQ(outside, 0) << "pixels painted outside the icon's square";
    }
};

TEST_F(IconTest, TheTwoPicturesDiffer)
{
    std::vector<DWORD> small = Picture(101, 16);
    std::vector<DWORD> large = Picture(102, 32);
    EXPECT_NE(std::vector<DWORD>(large.begin(), large.begin() + 256), small);
    EXPECT_NE(std::count(small.begin(), small.end(), small[0]), (long)small.size())
        << "the small picture is not one flat colour";
}

TEST_F(IconTest, ThirtyTwoSquareGetsTheLargeIcon)
{
    Canvas canvas(40, 40);
    Draw(canvas, 0, 0, 32, 32);
    ExpectIconAt(canvas, 102, 32, 0, 0);
}

TEST_F(IconTest, LargerRectangleGetsTheLargeIconInItsTopLeftCorner)
{
    Canvas canvas(80, 60);
    Draw(canvas, 5, 7, 75, 55);
    ExpectIconAt(canvas, 102, 32, 5, 7);
}

TEST_F(IconTest, NarrowOrShortOrInvertedRectanglesGetTheSmallIcon)
{
    const struct {
        int left, top, right, bottom;
    } cases[] = {
        {0, 0, 31, 100}, {0, 0, 100, 31}, {0, 0, 20, 20}, {40, 0, 8, 64}, {3, 4, 3, 4},
    };
    for (const auto& c : cases) {
        Canvas canvas(110, 110);
        Draw(canvas, c.left, c.top, c.right, c.bottom);
        SCOPED_TRACE(testing::Message() << c.left << "," << c.top << "," << c.right << "," << c.bottom);
        ExpectIconAt(canvas, 101, 16, c.left, c.top);
    }
}

TEST_F(IconTest, ExtremeCoordinatesPaintNothingAndCrashNothing)
{
    Canvas canvas(32, 32);
    Draw(canvas, INT_MIN, INT_MIN, INT_MAX, INT_MAX);  // the width overflows: small icon, off-canvas
    Draw(canvas, INT_MAX - 5, 0, INT_MAX, 40);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++)
            ASSERT_EQ(canvas.At(x, y), kBackground);
}

TEST_F(IconTest, NullTargetIsIgnored)
{
    Delivery d = Call("draw", {IntArg(0)});
    EXPECT_EQ(d.returnCalls, 0);
}

TEST_F(IconTest, RepeatedDrawingKeepsNoGdiObjects)
{
    Canvas canvas(40, 40);
    Draw(canvas, 0, 0, 40, 40);  // the first draw may make lasting stock objects
    int before = CountGdiObjects();
    if (before < 0)
        GTEST_SKIP() << "GDI objects can't be counted in this process";
    for (int i = 0; i < 200; i++)
        Draw(canvas, 0, 0, i % 2 ? 40 : 10, 40);
    EXPECT_EQ(CountGdiObjects(), before);
}
