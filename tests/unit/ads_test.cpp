/* What a paint costs: nothing kept after it (the one leak check), memory
   for what shows and no more, no spin when memory runs out. */
#include <gtest/gtest.h>
#include <olectl.h>

#include <functional>

#include "probes/counters.h"
#include "res/resource.h"
#include "support.h"

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

static ImportPatch *s_pBitmap;
static RECT s_rcBitmap;
static LPVOID WINAPI NoMemory(HANDLE, DWORD, SIZE_T) { return NULL; }

static HBITMAP WINAPI RecordedBitmap(HDC hdc, int cx, int cy)
{
    s_rcBitmap = { 0, 0, cx, cy };
    return ((decltype(&CreateCompatibleBitmap))s_pBitmap->pvOld)(hdc, cx, cy);
}

static HRESULT WINAPI HugeAd(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID riid, LPVOID *ppv)
{
    PICTDESC pd = { sizeof(pd), PICTYPE_BITMAP, { { CreateBitmap(3000, 300, 1, 1, NULL), NULL } } };
    return OleCreatePictureIndirect(&pd, riid, TRUE, ppv);
}

/* A bitmap the size of a huge ad at every paint exhausts a 32-bit process; a
   window left invalid when memory runs out gets WM_PAINT again at once, for ever. */
TEST(Paint, MemoryBitmapNoLargerThanTheClientAreaAndNoSpinWithoutMemory)
{
    ImportPatch load("oleaut32.dll", "OleLoadPicturePath", (void *)HugeAd);
    ImportPatch bitmap("gdi32.dll", "CreateCompatibleBitmap", (void *)RecordedBitmap);
    s_pBitmap = &bitmap;
    HWND hwnd = StartBar();
    RECT rc;
    GetClientRect(hwnd, &rc);
    EXPECT_EQ(s_rcBitmap, rc) << "the memory bitmap is not the visible part of a 3000x300 ad";
    InvalidateRect(hwnd, NULL, TRUE);
    ImportPatch heap("kernel32.dll", "HeapAlloc", (void *)NoMemory);
    SendMessageA(hwnd, WM_PAINT, 0, 0);
    EXPECT_FALSE(GetUpdateRect(hwnd, NULL, FALSE)) << "left invalid without memory";
}
