#include <gtest/gtest.h>

#include <stddef.h>
#include <vector>

#include "ads/ads.h"
#include "support/barwin.h"
#include "adhelp.h"

namespace {

const COLORREF kWhite = RGB(255, 255, 255);

/* Watches the bar's BitBlt, SelectPalette and HORZRES queries and passes them on. */
struct GdiWatch {
    struct Blt {
        HDC hdcDest;
        int x, y, cx, cy;
        HDC hdcSrc;
        int xSrc, ySrc;
        DWORD dwRop;
    };
    struct PalSel {
        HDC hdc;
        HPALETTE hPal;
        BOOL bForceBackground;
    };
    static inline std::vector<Blt> s_blts;
    static inline std::vector<PalSel> s_pals;
    static inline std::vector<HDC> s_horzres;
    static inline int s_cxScreen;      /* 0: the real one */
    static inline BOOL(WINAPI *s_pfnBitBlt)(HDC, int, int, int, int, HDC, int, int, DWORD);
    static inline HPALETTE(WINAPI *s_pfnSelectPalette)(HDC, HPALETTE, BOOL);
    static inline int(WINAPI *s_pfnGetDeviceCaps)(HDC, int);

    static BOOL WINAPI BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int xs, int ys, DWORD rop)
    {
        s_blts.push_back({ hdc, x, y, cx, cy, hdcSrc, xs, ys, rop });
        return s_pfnBitBlt(hdc, x, y, cx, cy, hdcSrc, xs, ys, rop);
    }
    static HPALETTE WINAPI SelectPalette(HDC hdc, HPALETTE hPal, BOOL bForce)
    {
        s_pals.push_back({ hdc, hPal, bForce });
        return s_pfnSelectPalette(hdc, hPal, bForce);
    }
    static int WINAPI GetDeviceCaps(HDC hdc, int nIndex)
    {
        if (nIndex == HORZRES) {
            s_horzres.push_back(hdc);
            if (s_cxScreen)
                return s_cxScreen;
        }
        return s_pfnGetDeviceCaps(hdc, nIndex);
    }

    GdiWatch()
        : m_blt("gdi32.dll", "BitBlt", (void *)BitBlt),
          m_pal("gdi32.dll", "SelectPalette", (void *)SelectPalette),
          m_caps("gdi32.dll", "GetDeviceCaps", (void *)GetDeviceCaps)
    {
        s_pfnBitBlt = m_blt.Original<decltype(s_pfnBitBlt)>();
        s_pfnSelectPalette = m_pal.Original<decltype(s_pfnSelectPalette)>();
        s_pfnGetDeviceCaps = m_caps.Original<decltype(s_pfnGetDeviceCaps)>();
        Clear();
        s_cxScreen = 0;
    }
    void Clear()
    {
        s_blts.clear();
        s_pals.clear();
        s_horzres.clear();
    }
    ImportPatch m_blt, m_pal, m_caps;
};

/* A white 1024x80 surface standing in for the window DC, readable afterwards. */
class Canvas {
public:
    Canvas()
    {
        BITMAPINFO bmi = {};
        bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
        bmi.bmiHeader.biWidth = 1024;
        bmi.bmiHeader.biHeight = -80;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        void *pvBits;
        HDC hdcScreen = GetDC(NULL);
        m_hdc = CreateCompatibleDC(hdcScreen);
        ReleaseDC(NULL, hdcScreen);
        m_hbm = CreateDIBSection(m_hdc, &bmi, DIB_RGB_COLORS, &pvBits, NULL, 0);
        m_hbmOld = (HBITMAP)SelectObject(m_hdc, m_hbm);
        Clear();
    }
    ~Canvas()
    {
        SelectObject(m_hdc, m_hbmOld);
        DeleteObject(m_hbm);
        DeleteDC(m_hdc);
    }
    void Clear()
    {
        RECT rc = { 0, 0, 1024, 80 };
        FillRect(m_hdc, &rc, (HBRUSH)GetStockObject(WHITE_BRUSH));
    }
    HDC Dc() const { return m_hdc; }
    COLORREF At(int x, int y) const { return GetPixel(m_hdc, x, y); }
private:
    HDC m_hdc;
    HBITMAP m_hbm, m_hbmOld;
};

/* The window whose client rectangle the direct path fills. */
struct PlainWindow {
    HWND hwnd = CreatePlainWindow("ad render test", 0, 100, 300, 50);
    ~PlainWindow() { DestroyWindow(hwnd); }
};

HPALETTE MakePalette()
{
    alignas(LOGPALETTE) BYTE buf[sizeof(LOGPALETTE) + 15 * sizeof(PALETTEENTRY)] = {};
    LOGPALETTE *plp = (LOGPALETTE *)buf;
    plp->palVersion = 0x300;
    plp->palNumEntries = 16;
    PALETTEENTRY *pe = (PALETTEENTRY *)(buf + offsetof(LOGPALETTE, palPalEntry));
    for (int i = 0; i < 16; i++)
        pe[i] = { (BYTE)(i * 16), (BYTE)(255 - i * 16), 40, 0 };
    return CreatePalette(plp);
}

}

TEST(AdRender, DrawsNothingWithoutAPictureOrAReadablePalette)
{
    PlainWindow win;
    Canvas canvas;
    GdiWatch gdi;
    int nObjects = GdiObjectCount();

    AdRender(win.hwnd, canvas.Dc());
    EXPECT_TRUE(gdi.s_blts.empty());
    EXPECT_TRUE(gdi.s_pals.empty());

    HPALETTE hPal = MakePalette();
    FakePicture pic(12383, 1588);
    pic.hrPal = E_FAIL;
    pic.hPal = hPal;
    {
        HeldPicture held(&pic, 12383, 1588, 468, 60);
        AdRender(win.hwnd, canvas.Dc());
    }
    EXPECT_EQ(pic.nPalCalls, 1);
    EXPECT_EQ(pic.nAttributeCalls, 0);
    EXPECT_TRUE(pic.renders.empty());
    EXPECT_TRUE(gdi.s_blts.empty());
    EXPECT_TRUE(gdi.s_pals.empty());
    EXPECT_EQ(canvas.At(512, 10), kWhite);
    EXPECT_EQ(GetObjectType(hPal), (DWORD)OBJ_PAL);
    DeleteObject(hPal);
    EXPECT_EQ(GdiObjectCount(), nObjects);
    EXPECT_EQ(pic.refs, 1u);
}

TEST(AdRender, DrawsThroughAMemoryBitmapWheneverTheAttributesCanBeRead)
{
    PlainWindow win;
    Canvas canvas;
    GdiWatch gdi;
    struct Case {
        HRESULT hr;
        DWORD dwAttributes;
    } cases[] = { { S_OK, 0 }, { S_OK, PICTURE_TRANSPARENT }, { S_OK, PICTURE_SCALABLE | PICTURE_TRANSPARENT },
                  { E_FAIL, PICTURE_TRANSPARENT } };
    /* First use of the GDI paths may create objects that live on. */
    {
        FakePicture warm(12383, 1588);
        HeldPicture held(&warm, 12383, 1588, 468, 60);
        AdRender(win.hwnd, canvas.Dc());
    }
    int nObjects = GdiObjectCount();

    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "hr " << std::hex << c.hr << " attributes " << c.dwAttributes);
        canvas.Clear();
        gdi.Clear();
        FakePicture pic(12383, 1588);
        pic.hrAttributes = c.hr;
        pic.dwAttributes = c.dwAttributes;
        {
            HeldPicture held(&pic, 12383, 1588, 468, 60);
            AdRender(win.hwnd, canvas.Dc());
        }
        ASSERT_EQ(pic.renders.size(), 1u);
        const FakePicture::RenderCall &r = pic.renders[0];
        EXPECT_NE(r.hdc, canvas.Dc());
        EXPECT_EQ(r.nDcType, OBJ_MEMDC);
        EXPECT_EQ(r.sizeBitmap.cx, 468);
        EXPECT_EQ(r.sizeBitmap.cy, 60);
        EXPECT_EQ((std::vector<LONG>{ r.x, r.y, r.cx, r.cy }), (std::vector<LONG>{ 0, 0, 468, 60 }));
        /* HIMETRIC runs upward: from the bottom edge, a negative height. */
        EXPECT_EQ((std::vector<LONG>{ r.xSrc, r.ySrc, r.cxSrc, r.cySrc }), (std::vector<LONG>{ 0, 1588, 12383, -1588 }));
        ASSERT_TRUE(r.bHasBounds);
        EXPECT_EQ(r.rcBounds, (RECT{ 0, 0, 468, 60 }));

        ASSERT_EQ(gdi.s_blts.size(), 1u);
        const GdiWatch::Blt &b = gdi.s_blts[0];
        EXPECT_EQ(b.hdcDest, canvas.Dc());
        EXPECT_EQ(b.hdcSrc, r.hdc);
        EXPECT_EQ((std::vector<int>{ b.x, b.y, b.cx, b.cy, b.xSrc, b.ySrc }),
                  (std::vector<int>{ 278, 0, 468, 60, 0, 0 }));
        EXPECT_EQ(b.dwRop, (DWORD)SRCCOPY);
        EXPECT_EQ(gdi.s_horzres, (std::vector<HDC>{ r.hdc })) << "the screen width comes from the memory DC";

        /* Copied at its own size, top-aligned, nothing around it touched. */
        EXPECT_EQ(canvas.At(278, 0), pic.crFill);
        EXPECT_EQ(canvas.At(745, 59), pic.crFill);
        EXPECT_EQ(canvas.At(277, 0), kWhite);
        EXPECT_EQ(canvas.At(746, 30), kWhite);
        EXPECT_EQ(canvas.At(500, 60), kWhite);

        EXPECT_EQ(GetObjectType(r.hdc), 0u) << "memory DC deleted";
        EXPECT_EQ(GetObjectType(r.hBitmap), 0u) << "bitmap deleted";
        EXPECT_EQ(GdiObjectCount(), nObjects);
    }
}

TEST(AdRender, StretchesOverTheClientAreaOnlyWhenTheAttributesFailWithoutTransparency)
{
    PlainWindow win;
    RECT rcClient;
    GetClientRect(win.hwnd, &rcClient);
    HDC hdc = GetDC(win.hwnd);
    GdiWatch gdi;
    FakePicture pic(12383, 1588);
    pic.hrAttributes = E_FAIL;
    pic.dwAttributes = PICTURE_SCALABLE;
    {
        HeldPicture held(&pic, 12383, 1588, 468, 60);
        AdRender(win.hwnd, hdc);
    }
    ASSERT_EQ(pic.renders.size(), 1u);
    const FakePicture::RenderCall &r = pic.renders[0];
    EXPECT_EQ(r.hdc, hdc);
    EXPECT_EQ((std::vector<LONG>{ r.x, r.y, r.cx, r.cy }),
              (std::vector<LONG>{ 0, 0, rcClient.right, rcClient.bottom }));
    EXPECT_EQ((std::vector<LONG>{ r.xSrc, r.ySrc, r.cxSrc, r.cySrc }), (std::vector<LONG>{ 0, 1588, 12383, -1588 }));
    ASSERT_TRUE(r.bHasBounds);
    EXPECT_EQ(r.rcBounds, rcClient);
    EXPECT_TRUE(gdi.s_blts.empty());
    ReleaseDC(win.hwnd, hdc);
}

TEST(AdRender, CentresOnTheScreenWidthHalvingEachSideOnItsOwn)
{
    PlainWindow win;
    Canvas canvas;
    GdiWatch gdi;
    struct Case {
        int cxScreen, cxPicture, x;
    } cases[] = { { 1024, 469, 278 }, { 1024, 468, 278 }, { 1024, 0, 512 }, { 800, 1000, -100 }, { 1023, 469, 277 } };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "screen " << c.cxScreen << ", picture " << c.cxPicture);
        gdi.Clear();
        canvas.Clear();
        gdi.s_cxScreen = c.cxScreen;
        FakePicture pic(c.cxPicture * 2540 / 96, 1588);
        {
            HeldPicture held(&pic, pic.hmWidth, 1588, c.cxPicture, 60);
            AdRender(win.hwnd, canvas.Dc());
        }
        ASSERT_EQ(gdi.s_blts.size(), 1u);
        EXPECT_EQ(gdi.s_blts[0].x, c.x);
        EXPECT_EQ(gdi.s_blts[0].y, 0);
        EXPECT_EQ(gdi.s_blts[0].cx, c.cxPicture);
        EXPECT_EQ(gdi.s_blts[0].cy, 60);
    }
    /* The last 900 columns of the 1000-pixel picture land on the surface; the rest is clipped. */
    gdi.s_cxScreen = 800;
    canvas.Clear();
    FakePicture wide(26458, 1588);
    {
        HeldPicture held(&wide, 26458, 1588, 1000, 60);
        AdRender(win.hwnd, canvas.Dc());
    }
    EXPECT_EQ(canvas.At(0, 0), wide.crFill);
    EXPECT_EQ(canvas.At(899, 59), wide.crFill);
    EXPECT_EQ(canvas.At(900, 0), kWhite);
    EXPECT_EQ(canvas.At(0, 60), kWhite);
}

TEST(AdRender, SelectsThePicturePaletteAndPutsThePreviousOneBack)
{
    PlainWindow win;
    HDC hdc = GetDC(win.hwnd);
    HPALETTE hPalBefore = (HPALETTE)GetCurrentObject(hdc, OBJ_PAL);
    HPALETTE hPal = MakePalette();
    ASSERT_NE(hPal, nullptr);
    GdiWatch gdi;

    /* Memory-bitmap path: both DCs get the palette; only the window DC's is put back. */
    FakePicture pic(12383, 1588);
    pic.hPal = hPal;
    {
        HeldPicture held(&pic, 12383, 1588, 468, 60);
        AdRender(win.hwnd, hdc);
    }
    ASSERT_EQ(pic.renders.size(), 1u);
    HDC hdcMem = pic.renders[0].hdc;
    EXPECT_EQ(pic.renders[0].hPalInDc, hPal);
    ASSERT_EQ(gdi.s_pals.size(), 3u);
    EXPECT_EQ(gdi.s_pals[0].hdc, hdc);
    EXPECT_EQ(gdi.s_pals[0].hPal, hPal);
    EXPECT_EQ(gdi.s_pals[1].hdc, hdcMem);
    EXPECT_EQ(gdi.s_pals[1].hPal, hPal);
    EXPECT_EQ(gdi.s_pals[2].hdc, hdc);
    EXPECT_EQ(gdi.s_pals[2].hPal, hPalBefore);
    for (const GdiWatch::PalSel &s : gdi.s_pals)
        EXPECT_FALSE(s.bForceBackground);
    EXPECT_EQ(GetCurrentObject(hdc, OBJ_PAL), hPalBefore);
    EXPECT_EQ(GetObjectType(hPal), (DWORD)OBJ_PAL) << "the palette is the picture's: never deleted";

    /* Direct path: the window DC only. */
    gdi.Clear();
    FakePicture direct(12383, 1588);
    direct.hPal = hPal;
    direct.hrAttributes = E_FAIL;
    {
        HeldPicture held(&direct, 12383, 1588, 468, 60);
        AdRender(win.hwnd, hdc);
    }
    ASSERT_EQ(direct.renders.size(), 1u);
    EXPECT_EQ(direct.renders[0].hPalInDc, hPal);
    ASSERT_EQ(gdi.s_pals.size(), 2u);
    EXPECT_EQ(gdi.s_pals[0].hPal, hPal);
    EXPECT_EQ(gdi.s_pals[1].hPal, hPalBefore);
    EXPECT_EQ(GetCurrentObject(hdc, OBJ_PAL), hPalBefore);

    /* No palette: nothing selected anywhere. */
    gdi.Clear();
    FakePicture plain(12383, 1588);
    {
        HeldPicture held(&plain, 12383, 1588, 468, 60);
        AdRender(win.hwnd, hdc);
    }
    EXPECT_EQ(plain.renders.size(), 1u);
    EXPECT_TRUE(gdi.s_pals.empty());
    EXPECT_EQ(GetCurrentObject(hdc, OBJ_PAL), hPalBefore);

    ReleaseDC(win.hwnd, hdc);
    EXPECT_TRUE(DeleteObject(hPal));
}
