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

static Entries Negotiations()
{
    return EventLog::Filtered({ "ABM_QUERYPOS", "ABM_SETPOS" });
}

TEST(DockNew, EndsAtTopStripOfRow75)
{
    TraceCapture trace;
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    const RECT rcTop = { 0, 0, W, 75 };

    EXPECT_EQ(WindowRect(hwnd), rcTop);
    EXPECT_EQ(g_rcBar, rcTop);
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), rcTop);
    EXPECT_TRUE(g_bRegistered);
    BarState *pState = GetBarState(hwnd);
    ASSERT_NE(pState, nullptr);
    EXPECT_EQ(pState->uEdge, (UINT)ABE_TOP);
    EXPECT_EQ(pState->cyHeight, 75);

    /* The first line is the docking itself; the nested renegotiations repeat it. */
    std::vector<std::string> lines = trace.Starting("AppBarQuerySetPos:");
    ASSERT_FALSE(lines.empty());
    for (const std::string &line : lines)
        EXPECT_EQ(line, QuerySetPosLine(ABE_TOP, 0, 0, W, 75));

    /* The default thickness of 60 is never proposed nor stored. */
    const std::vector<ModelShell::Request> &reqs = ModelShell::Requests();
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(reqs.front().dwMessage, (DWORD)ABM_NEW);
    for (const ModelShell::Request &r : reqs)
        if (r.dwMessage == ABM_QUERYPOS || r.dwMessage == ABM_SETPOS)
            EXPECT_EQ(r.rcIn, rcTop) << ModelShell::RequestName(r.dwMessage);
    for (const std::string &line : trace.Starting("Main_OnSize:"))
        EXPECT_EQ(line, "Main_OnSize: cxWidth = 80, cyHeight = 75\r\n");
}

/* Each negotiation asks, then reserves; the moves it makes renegotiate inside
   it until the window already stands where the service puts it. */
TEST(DockNegotiation, DragOfLowerBorderSnapsBackThroughNestedRenegotiations)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    Pump(50);

    TraceCapture trace;
    MessageRecorder recorder;
    EventLog::Clear();
    MoveWindow(hwnd, 0, 0, W, 120, TRUE);

    const std::string qsp = TraceEntry(QuerySetPosLine(ABE_TOP, 0, 0, W, 75));
    Entries expected = {
        "WM_SIZE",                                              /* the drag */
        qsp,
        RequestEntry("ABM_QUERYPOS", ABE_TOP, 0, 0, W, 75),
        RequestEntry("ABM_SETPOS", ABE_TOP, 0, 0, W, 75),
        "WM_SIZE",                                              /* the snap back */
        qsp,
        RequestEntry("ABM_QUERYPOS", ABE_TOP, 0, 0, W, 75),
        RequestEntry("ABM_SETPOS", ABE_TOP, 0, 0, W, 75),
        "trace:Main_OnSize: cxWidth = 80, cyHeight = 75",
        "trace:Main_OnSize: cxWidth = 80, cyHeight = 75",
    };
    EXPECT_EQ(EventLog::Filtered({ "WM_SIZE", "WM_MOVE", "ABM_QUERYPOS", "ABM_SETPOS", "trace:" }), expected);
    EXPECT_LE(recorder.MaxDepth(), 8);

    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 75 }));
    EXPECT_EQ(g_rcBar, (RECT{ 0, 0, W, 75 }));
    EXPECT_EQ(GetBarState(hwnd)->cyHeight, 75);
}

/* Below a bar 40 rows tall the service moves the proposal's top, the thickness
   overshoots once, and the nested renegotiation brings the bottom back to 75.
   The bar's recorded rectangle is where it ends, not the overshoot. */
TEST(DockNegotiation, BelowAnotherBarEndsAtRows40To75)
{
    ForeignTopBar other(40);
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    const RECT rcBelow = { 0, 40, W, 75 };
    EXPECT_EQ(WindowRect(hwnd), rcBelow);
    EXPECT_EQ(g_rcBar, rcBelow);
    EXPECT_EQ(GetBarState(hwnd)->cyHeight, 35);
    Pump(50);

    TraceCapture trace;
    MessageRecorder recorder;
    EventLog::Clear();
    SendMessageA(hwnd, WM_COMMAND, IDM_DOCK_TOP, 0);
    Entries expected = {
        RequestEntry("ABM_QUERYPOS", ABE_TOP, 0, 0, W, 75),
        RequestEntry("ABM_SETPOS", ABE_TOP, 0, 40, W, 115),
        "WM_SIZE",
        RequestEntry("ABM_QUERYPOS", ABE_TOP, 0, 40, W, 75),
        RequestEntry("ABM_SETPOS", ABE_TOP, 0, 40, W, 75),
        "WM_SIZE",
        RequestEntry("ABM_QUERYPOS", ABE_TOP, 0, 40, W, 75),
        RequestEntry("ABM_SETPOS", ABE_TOP, 0, 40, W, 75),
    };
    EXPECT_EQ(EventLog::Filtered({ "WM_SIZE", "WM_MOVE", "ABM_QUERYPOS", "ABM_SETPOS" }), expected);
    EXPECT_LE(recorder.MaxDepth(), 8);
    EXPECT_EQ(WindowRect(hwnd), rcBelow);
    EXPECT_EQ(g_rcBar, rcBelow);
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), rcBelow);

    /* Every move or resize proposes rows 40 to 75 again. */
    EventLog::Clear();
    trace.Clear();
    MoveWindow(hwnd, 0, 40, W, 200, TRUE);
    Entries negotiations = Negotiations();
    ASSERT_FALSE(negotiations.empty());
    EXPECT_EQ(negotiations.front(), RequestEntry("ABM_QUERYPOS", ABE_TOP, 0, 40, W, 75));
    EXPECT_TRUE(trace.Has(QuerySetPosLine(ABE_TOP, 0, 40, W, 75)));
    EXPECT_EQ(WindowRect(hwnd), rcBelow);

    /* The other bar leaves: the service's notice brings ours back to the top. */
    EventLog::Clear();
    trace.Clear();
    other.Remove();
    EXPECT_TRUE(PumpUntil([&] { return WindowRect(hwnd) == RECT{ 0, 0, W, 75 }; }, 2000));
    EXPECT_TRUE(trace.Has("AppBarCallback: ABN_POSCHANGED\r\n"));
    EXPECT_TRUE(trace.Has(QuerySetPosLine(ABE_TOP, 0, 0, W, 75)));
    EXPECT_EQ(g_rcBar, (RECT{ 0, 0, W, 75 }));
    EXPECT_EQ(GetBarState(hwnd)->cyHeight, 75);
}

/* Bars above already reach row 75: the bottom cannot go to 75, so the bar
   keeps the thickness it was proposed with, or 75 when it was proposed none. */
TEST(DockNegotiation, BelowBarsReachingRow75KeepsItsThickness)
{
    ForeignTopBar other(80);
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    const RECT rcBelow = { 0, 80, W, 155 };

    EXPECT_EQ(WindowRect(hwnd), rcBelow);
    EXPECT_EQ(g_rcBar, rcBelow);
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), rcBelow);
    EXPECT_EQ(GetBarState(hwnd)->cyHeight, 75);

    TraceCapture trace;
    MoveWindow(hwnd, 0, 80, W, 100, TRUE);     /* rows 80 to 180 */
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 80, W, 180 }));
    EXPECT_TRUE(trace.Has(QuerySetPosLine(ABE_TOP, 0, 80, W, 180)));

    /* A proposal with no height at all, and one upside down. */
    for (RECT rc : { RECT{ 0, 90, W, 90 }, RECT{ 0, 120, W, 100 } }) {
        trace.Clear();
        APPBARDATA abd = {};
        abd.cbSize = sizeof(abd);
        abd.hWnd = hwnd;
        LONG top = rc.top;
        AppBarQuerySetPos(ABE_TOP, &rc, &abd, FALSE);
        EXPECT_EQ(rc, (RECT{ 0, top, W, top + 75 }));
        EXPECT_TRUE(trace.Has(QuerySetPosLine(ABE_TOP, 0, top, W, top + 75)));
        EXPECT_EQ(abd.rc.bottom - abd.rc.top, 75);
    }
}

TEST(DockEdges, EachEdgeBySetSide)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW(), H = ScreenH();
    BarState *pState = GetBarState(hwnd);
    ASSERT_NE(pState, nullptr);

    struct Case {
        UINT uEdge;
        RECT rcProposed;    /* as the trace line shows it */
        RECT rcQuery;       /* as the query step sends it */
        RECT rcDocked;
    };
    const Case cases[] = {
        { ABE_LEFT,   { 0, 0, 80, 75 },     { 0, 0, 80, H },      { 0, 0, 80, H } },
        { ABE_BOTTOM, { 0, H - 75, W, H },  { 0, H - 75, W, H },  { 0, H - 75, W, H } },
        { ABE_RIGHT,  { W - 80, 0, W, 75 }, { W - 80, 0, W, H },  { W - 80, 0, W, H } },
        { ABE_TOP,    { 0, 0, W, 75 },      { 0, 0, W, 75 },      { 0, 0, W, 75 } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.uEdge);
        TraceCapture trace;
        EventLog::Clear();
        EXPECT_TRUE(AppBarSetSide(hwnd, c.uEdge));

        std::vector<std::string> lines = trace.Starting("AppBarQuerySetPos:");
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), QuerySetPosLine(c.uEdge, c.rcProposed.left, c.rcProposed.top,
                                                 c.rcProposed.right, c.rcProposed.bottom));
        Entries negotiations = Negotiations();
        ASSERT_GE(negotiations.size(), 2u);
        EXPECT_EQ(negotiations[0], RequestEntry("ABM_QUERYPOS", c.uEdge, c.rcQuery.left, c.rcQuery.top,
                                                c.rcQuery.right, c.rcQuery.bottom));
        EXPECT_EQ(negotiations[1], RequestEntry("ABM_SETPOS", c.uEdge, c.rcDocked.left, c.rcDocked.top,
                                                c.rcDocked.right, c.rcDocked.bottom));
        EXPECT_EQ(WindowRect(hwnd), c.rcDocked);
        EXPECT_EQ(g_rcBar, c.rcDocked);
        EXPECT_EQ(ModelShell::ReservedRect(hwnd), c.rcDocked);
        EXPECT_EQ(pState->uEdge, c.uEdge);
    }
    EXPECT_EQ(pState->cxWidth, 80);
    EXPECT_EQ(pState->cyHeight, 75);
}

TEST(DockEdges, WidthGivenByInnerBorderSurvives)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int H = ScreenH();
    SendMessageA(hwnd, WM_COMMAND, IDM_DOCK_LEFT, 0);
    ASSERT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 80, H }));

    TraceCapture trace;
    EventLog::Clear();
    MoveWindow(hwnd, 0, 0, 150, H, TRUE);
    EXPECT_EQ(trace.Starting("AppBarQuerySetPos:"),
              std::vector<std::string>{ QuerySetPosLine(ABE_LEFT, 0, 0, 150, 75) });
    EXPECT_EQ(Negotiations(), (Entries{ RequestEntry("ABM_QUERYPOS", ABE_LEFT, 0, 0, 150, H),
                                        RequestEntry("ABM_SETPOS", ABE_LEFT, 0, 0, 150, H) }));
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 150, H }));
    EXPECT_EQ(g_rcBar, (RECT{ 0, 0, 150, H }));
    EXPECT_EQ(GetBarState(hwnd)->cxWidth, 150);

    /* A dock to the same edge later uses it too. */
    SendMessageA(hwnd, WM_COMMAND, IDM_DOCK_TOP, 0);
    SendMessageA(hwnd, WM_COMMAND, IDM_DOCK_LEFT, 0);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 150, H }));
}

TEST(DockRegistration, RefusedRegistrationStillDocksButNeverNegotiatesAgain)
{
    ModelShell::FailRequest(ABM_NEW);
    TraceCapture trace;
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();

    EXPECT_FALSE(g_bRegistered);
    EXPECT_FALSE(ModelShell::IsRegistered(hwnd));
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 75 }));
    EXPECT_EQ(g_rcBar, (RECT{ 0, 0, W, 75 }));
    /* Only the docking at creation negotiated. */
    EXPECT_EQ(ModelShell::RequestsOf(ABM_QUERYPOS).size(), 1u);
    EXPECT_EQ(ModelShell::RequestsOf(ABM_SETPOS).size(), 1u);

    ModelShell::ClearRequests();
    MoveWindow(hwnd, 0, 0, W, 120, TRUE);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_QUERYPOS).empty());
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_SETPOS).empty());
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 120 }));

    DestroyWindow(hwnd);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_REMOVE).empty());
    EXPECT_TRUE(trace.Starting("ERROR").empty());
}

TEST(DockRegistration, UnregisteredBarRenegotiatesNothingUntilRegisteredAgain)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();

    SendMessageA(hwnd, WM_COMMAND, IDM_UNREGISTER, 0);
    EXPECT_FALSE(g_bRegistered);
    EXPECT_FALSE(ModelShell::IsRegistered(hwnd));

    ModelShell::ClearRequests();
    MoveWindow(hwnd, 0, 0, W, 120, TRUE);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_QUERYPOS).empty());
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_SETPOS).empty());
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 120 }));

    /* Registering again negotiates nothing by itself; the next resize does. */
    SendMessageA(hwnd, WM_COMMAND, IDM_REGISTER, 0);
    EXPECT_TRUE(g_bRegistered);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_SETPOS).empty());
    MoveWindow(hwnd, 0, 0, W, 100, TRUE);
    EXPECT_FALSE(ModelShell::RequestsOf(ABM_SETPOS).empty());
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 75 }));

    ModelShell::ClearRequests();
    DestroyWindow(hwnd);
    EXPECT_EQ(ModelShell::RequestsOf(ABM_REMOVE).size(), 1u);
}
