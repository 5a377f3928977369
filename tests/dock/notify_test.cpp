#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bar/bar.h"
#include "dock/appbar.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/modelshell.h"
#include "support/msglog.h"
#include "support/trace.h"
#include "dockhelp.h"

using Entries = std::vector<std::string>;

/* Position in the z-order, 0 for the topmost window of the screen. */
static int ZIndex(HWND hwnd)
{
    int i = 0;
    for (HWND h = GetTopWindow(NULL); h; h = GetWindow(h, GW_HWNDNEXT), i++)
        if (h == hwnd)
            return i;
    return -1;
}

static void PlaceBelow(HWND hwnd, HWND hwndAbove)
{
    SetWindowPos(hwnd, hwndAbove, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

TEST(DockNotify, TracesTheThreeCodesAndIgnoresOthers)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    Pump(50);

    TraceCapture trace;
    ModelShell::ClearRequests();
    ModelShell::Notify(ABN_STATECHANGE, 0);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{ "AppBarCallback: ABN_STATECHANGE\r\n" });
    EXPECT_TRUE(ModelShell::Requests().empty());

    trace.Clear();
    for (WPARAM code : { (WPARAM)ABN_WINDOWARRANGE, (WPARAM)4, (WPARAM)0xFFFF, (WPARAM)-1 })
        ModelShell::Notify(code, 1);
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_TRUE(ModelShell::Requests().empty());
    EXPECT_EQ(SendMessageA(hwnd, APPBAR_CALLBACK, ABN_WINDOWARRANGE, 0), 0);

    trace.Clear();
    ModelShell::SendFullScreen(TRUE);
    ModelShell::SendFullScreen(FALSE);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{ "AppBarCallback: ABN_FULLSCREENAPP\r\n",
                                                        "AppBarCallback: ABN_FULLSCREENAPP\r\n" }));
    /* A change of z-order is no docking. */
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_QUERYPOS).empty());
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_SETPOS).empty());
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 75 }));
}

/* The notice renegotiates with the window's present thickness. */
TEST(DockNotify, PosChangedRenegotiatesWithPresentThickness)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int H = ScreenH();
    SendMessageA(hwnd, WM_COMMAND, IDM_DOCK_LEFT, 0);
    MoveWindow(hwnd, 0, 0, 150, H, TRUE);
    Pump(50);

    TraceCapture trace;
    EventLog::Clear();
    ModelShell::Notify(ABN_POSCHANGED, 0);
    Entries expected = {
        "trace:AppBarCallback: ABN_POSCHANGED",
        "trace:AppBarPosChanged",
        TraceEntry(QuerySetPosLine(ABE_LEFT, 0, 0, 150, 75)),
        RequestEntry("ABM_QUERYPOS", ABE_LEFT, 0, 0, 150, H),
        RequestEntry("ABM_SETPOS", ABE_LEFT, 0, 0, 150, H),
    };
    EXPECT_EQ(EventLog::Filtered({ "trace:", "ABM_QUERYPOS", "ABM_SETPOS", "WM_SIZE", "WM_MOVE" }), expected);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 150, H }));
    EXPECT_EQ(g_rcBar, (RECT{ 0, 0, 150, H }));
}

/* The bar just below window A, with a window B elsewhere on screen. */
class DockFullScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        hwnd = StartBar();
        ASSERT_NE(hwnd, nullptr);
        hwndA = CreatePlainWindow("a", 100, 200, 200, 100);
        hwndB = CreatePlainWindow("b", 400, 200, 200, 100);
        PlaceBelow(hwnd, hwndA);
        Pump(50);
    }
    HWND hwnd = NULL, hwndA = NULL, hwndB = NULL;
};

/* A full-screen window sends the bar behind everything; its closing puts the
   bar back directly below the window that was above it. */
TEST_F(DockFullScreen, OpeningSendsBarToBottomAndClosingRestoresItsPlace)
{
    PlaceBelow(hwndA, hwndB);
    Pump(50);
    ASSERT_EQ(GetWindow(hwnd, GW_HWNDPREV), hwndA);
    ASSERT_EQ(GetWindow(hwndA, GW_HWNDPREV), hwndB);
    RECT rcBefore = WindowRect(hwnd);

    ModelShell::SendFullScreen(TRUE);
    EXPECT_EQ(g_hwndZAnchor, hwndA);
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDNEXT), nullptr);

    /* Meanwhile the window above moves to the very top. */
    PlaceBelow(hwndA, HWND_TOP);
    ModelShell::SendFullScreen(FALSE);
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDPREV), hwndA);
    EXPECT_EQ(g_hwndZAnchor, nullptr);
    EXPECT_EQ(WindowRect(hwnd), rcBefore);
    EXPECT_FALSE(GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
}

TEST_F(DockFullScreen, ClosingWithoutOpeningPutsBarOnTop)
{
    ASSERT_GT(ZIndex(hwnd), ZIndex(hwndA));
    ASSERT_GT(ZIndex(hwndA), ZIndex(hwndB));

    ModelShell::SendFullScreen(FALSE);
    EXPECT_EQ(g_hwndZAnchor, nullptr);
    EXPECT_LT(ZIndex(hwnd), ZIndex(hwndA));
    EXPECT_LT(ZIndex(hwnd), ZIndex(hwndB));
    HWND hwndPrev = GetWindow(hwnd, GW_HWNDPREV);
    EXPECT_TRUE(!hwndPrev || (GetWindowLongA(hwndPrev, GWL_EXSTYLE) & WS_EX_TOPMOST));
}

/* Nothing is counted: the second opening's anchor wins and one closing ends it. */
TEST_F(DockFullScreen, TwoOpeningsAndOneClosing)
{

    ModelShell::SendFullScreen(TRUE);
    ASSERT_EQ(g_hwndZAnchor, hwndA);
    PlaceBelow(hwnd, hwndB);
    ModelShell::SendFullScreen(TRUE);
    EXPECT_EQ(g_hwndZAnchor, hwndB);
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDNEXT), nullptr);

    PlaceBelow(hwndB, HWND_TOP);
    ModelShell::SendFullScreen(FALSE);
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDPREV), hwndB);
    EXPECT_EQ(g_hwndZAnchor, nullptr);
}

/* A window destroyed while the full-screen one was up cannot anchor the bar:
   it goes to the top instead of staying behind everything. */
TEST_F(DockFullScreen, ClosingAfterAnchorDestroyedPutsBarOnTop)
{

    ModelShell::SendFullScreen(TRUE);
    ASSERT_EQ(g_hwndZAnchor, hwndA);
    DestroyWindow(hwndA);
    ModelShell::SendFullScreen(FALSE);
    EXPECT_EQ(g_hwndZAnchor, nullptr);
    EXPECT_LT(ZIndex(hwnd), ZIndex(hwndB));
    EXPECT_NE(GetWindow(hwnd, GW_HWNDNEXT), nullptr);
}

TEST_F(DockFullScreen, AlwaysOnTopBarReturnsTopmost)
{
    GetBarState(hwnd)->bAlwaysOnTop = TRUE;

    ModelShell::SendFullScreen(TRUE);
    ModelShell::SendFullScreen(FALSE);
    EXPECT_TRUE(GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_LT(ZIndex(hwnd), ZIndex(hwndA));
    EXPECT_EQ(g_hwndZAnchor, nullptr);
}
