/* The ads' memory bound, and the one leak check. */
#include <gtest/gtest.h>

#include <olectl.h>

#include <algorithm>
#include <functional>

#include "probes/counters.h"
#include "res/resource.h"
#include "support.h"

static ImportPatch *s_pBitmaps;
static SIZE s_largest;

static HBITMAP WINAPI MeasuredBitmap(HDC hdc, int cx, int cy)
{
    s_largest.cx = std::max(s_largest.cx, (LONG)cx);
    s_largest.cy = std::max(s_largest.cy, (LONG)cy);
    return ((decltype(&CreateCompatibleBitmap))s_pBitmaps->pvOld)(hdc, cx, cy);
}

/* A picture of 10000 by 10000 pixels, one bit a pixel: 12 MB. */
static HRESULT WINAPI HugeLoader(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID riid, LPVOID *ppv)
{
    struct { BITMAPINFOHEADER bmih; RGBQUAD colours[2]; } bmi = {
        { sizeof(BITMAPINFOHEADER), 10000, 10000, 1, 1, BI_RGB, 0, 0, 0, 2, 0 }, { { 80, 160, 0, 0 }, { 80, 160, 0, 0 } } };
    void *pvBits;
    PICTDESC pd = { sizeof(pd), PICTYPE_BITMAP, {} };
    pd.bmp.hbitmap = CreateDIBSection(NULL, (BITMAPINFO *)&bmi, DIB_RGB_COLORS, &pvBits, NULL, 0);
    return OleCreatePictureIndirect(&pd, riid, TRUE, ppv);
}

TEST(Ads, AHugeAdCostsNoMoreBitmapThanTheBarShows)
{
    ImportPatch load("oleaut32.dll", "OleLoadPicturePath", (void *)HugeLoader);
    ImportPatch bitmaps("gdi32.dll", "CreateCompatibleBitmap", (void *)MeasuredBitmap);
    s_pBitmaps = &bitmaps;
    HWND hwnd = StartBar();
    RECT rc;
    GetClientRect(hwnd, &rc);
    EXPECT_GT(s_largest.cx, 0) << "nothing drawn";
    EXPECT_LE(s_largest.cx, rc.right);
    EXPECT_LE(s_largest.cy, rc.bottom);
}

static ImportPatch *s_pTicks;
static DWORD WINAPI FastTicks() { return ((DWORD(WINAPI *)())s_pTicks->pvOld)() * 20; }
static VOID CALLBACK CloseMenu(HWND, UINT, UINT_PTR id, DWORD) { KillTimer(NULL, id); EndMenu(); }

/* After a warm-up, a leak of one object a cycle shows as at least one per
   cycle; the platform's one-off allocations stay well below that. */
TEST(Leaks, NoGrowthPerPaintDockCycleMenuOrSlide)
{
    const int WARM = 5, CYCLES = 20;
    HWND hwnd = StartBar();
    ImportPatch ticks("kernel32.dll", "GetTickCount", (void *)FastTicks);    /* slides 20 times faster */
    s_pTicks = &ticks;
    std::pair<const char *, std::function<void()>> cycles[] = {
        { "paint", [&] { SendMessageA(hwnd, WM_PAINT, 0, 0); } },
        { "dock cycle", [&] { for (UINT id = IDM_DOCK_TOP; id <= IDM_DOCK_RIGHT; id++) Command(hwnd, id); } },
        { "menu", [&] { SetTimer(NULL, 0, 20, CloseMenu); SendMessageA(hwnd, WM_RBUTTONDOWN, 0, MAKELPARAM(20, 20)); } },
        { "slide", [&] { Activate(hwnd, WA_INACTIVE); Activate(hwnd, WA_ACTIVE); } },
    };
    for (auto &cycle : cycles) {
        if (!strcmp(cycle.first, "slide"))
            Command(hwnd, IDM_AUTOHIDE_ON);
        for (int i = 0; i < WARM; i++)
            cycle.second();
        ResourceCounts before = CountResources();
        for (int i = 0; i < CYCLES; i++)
            cycle.second();
        ResourceCounts after = CountResources();
        EXPECT_LT(after.nGdi - before.nGdi, CYCLES / 2) << cycle.first << ": GDI objects";
        EXPECT_LT(after.nMenus - before.nMenus, CYCLES / 2) << cycle.first << ": menus";
        EXPECT_LT(after.nHandles - before.nHandles, CYCLES / 2) << cycle.first << ": handles";
    }
}
