/* The one leak check. */
#include <gtest/gtest.h>

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
