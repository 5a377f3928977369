/* Messages from anyone, in any order: every command identifier with random
   high words and control handles, mixed with random shell notifications.
   After each one the bar's own state, the window and the model of the shell
   must still agree. */
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/modelshell.h"
#include "support/msgbox.h"

namespace {

RECT Rect(LONG l, LONG t, LONG r, LONG b) { return RECT{ l, t, r, b }; }

/* Where a bar of the default thickness stands at full size, and its sliver. */
RECT FullRect(UINT uEdge)
{
    const int W = ScreenW(), H = ScreenH();
    switch (uEdge) {
    case ABE_LEFT:   return Rect(0, 0, 80, H);
    case ABE_RIGHT:  return Rect(W - 80, 0, W, H);
    case ABE_BOTTOM: return Rect(0, H - 75, W, H);
    default:         return Rect(0, 0, W, 75);
    }
}

RECT SliverRect(UINT uEdge)
{
    RECT rc = FullRect(uEdge);
    switch (uEdge) {
    case ABE_LEFT:   rc.right = rc.left + 2;  break;
    case ABE_RIGHT:  rc.left = rc.right - 2;  break;
    case ABE_BOTTOM: rc.top = rc.bottom - 2;  break;
    default:         rc.bottom = rc.top + 2;  break;
    }
    return rc;
}

int EdgeOfCommand(unsigned id)
{
    switch (id) {
    case IDM_DOCK_TOP:    return ABE_TOP;
    case IDM_DOCK_BOTTOM: return ABE_BOTTOM;
    case IDM_DOCK_LEFT:   return ABE_LEFT;
    case IDM_DOCK_RIGHT:  return ABE_RIGHT;
    }
    return -1;
}

/* Empty when the bar, its window and the shell's view of it agree. */
std::string Inconsistency(HWND hwnd, UINT uEdge)
{
    BarState *st = GetBarState(hwnd);
    if (!IsWindow(hwnd) || !st)
        return "the bar is gone";
    if (g_bRegistered != (BOOL)ModelShell::IsRegistered(hwnd))
        return "g_bRegistered is " + std::to_string(g_bRegistered) + ", the shell disagrees";
    if (st->uEdge != uEdge)
        return "edge " + std::to_string(st->uEdge) + ", last docked to " + std::to_string(uEdge);
    for (UINT e = ABE_LEFT; e <= ABE_BOTTOM; e++)
        if (ModelShell::AutoHideBar(e) == hwnd && (!st->bAutoHide || e != uEdge))
            return "the shell keeps the auto-hide slot of edge " + std::to_string(e);
    RECT rc = WindowRect(hwnd), rcFull = FullRect(uEdge);
    if (!(g_rcBar == rcFull))
        return "g_rcBar " + ToString(g_rcBar) + ", expected " + ToString(rcFull);
    if (!st->bAutoHide) {
        if (!(rc == rcFull))
            return "window " + ToString(rc) + ", expected " + ToString(rcFull);
        /* A bar registered again is placed at its next negotiation, not before. */
        RECT rcReserved = ModelShell::ReservedRect(hwnd);
        if (g_bRegistered && !(rcReserved == rcFull) && !(rcReserved == Rect(0, 0, 0, 0)))
            return "the shell reserves " + ToString(rcReserved);
    } else if (!(rc == rcFull) && !(rc == SliverRect(uEdge))) {
        return "auto-hide window " + ToString(rc);
    }
    return "";
}

}

TEST(HardeningForeign, EveryCommandIdInRandomOrderKeepsTheBarConsistent)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    Pump(20);
    MessageBoxWatcher boxes;

    for (unsigned seed : { 7u }) {
        SCOPED_TRACE(seed);
        std::mt19937 rnd(seed);
        std::vector<unsigned> ids;
        for (unsigned id = 0; id <= 0xFFFF; id++)
            if (id != IDM_CLOSE && id != IDM_EXIT)
                ids.push_back(id);
        std::shuffle(ids.begin(), ids.end(), rnd);

        UINT uEdge = GetBarState(hwnd)->uEdge;
        std::string trail;
        for (unsigned id : ids) {
            WORD wHigh = (WORD)(rnd() % 3 ? rnd() % 2 : rnd());
            LPARAM lParam = rnd() % 2 ? 0 : (LPARAM)rnd();
            SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, wHigh), lParam);
            if (EdgeOfCommand(id) >= 0)
                uEdge = (UINT)EdgeOfCommand(id);

            /* Now and then the shell speaks up too, with codes known and unknown. */
            if (rnd() % 16 == 0) {
                WPARAM wCode = rnd() % 4 ? rnd() % 4 : rnd();
                SendMessageA(hwnd, APPBAR_CALLBACK, wCode, (LPARAM)(rnd() % 2 ? rnd() % 2 : rnd()));
            }
            if (id >= IDM_REGISTER && id <= IDM_DOCK_RIGHT) {
                trail += " " + std::to_string(id);
                std::string why = Inconsistency(hwnd, uEdge);
                ASSERT_EQ(why, "") << "after commands" << trail;
            }
        }
        ASSERT_EQ(Inconsistency(hwnd, uEdge), "");
    }

    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0x1234), (LPARAM)0x5678);
    EXPECT_FALSE(IsWindow(hwnd));
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}
