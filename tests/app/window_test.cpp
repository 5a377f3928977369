#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/modelshell.h"
#include "support/msgbox.h"
#include "support/msglog.h"
#include "support/trace.h"
#include "apphelp.h"

namespace {

LRESULT Send(HWND hwnd, UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return SendMessageA(hwnd, uMsg, wParam, lParam);
}

LPARAM Pt(int x, int y) { return MAKELPARAM(x, y); }

size_t Count(DWORD dwRequest) { return ModelShell::RequestsOf(dwRequest).size(); }

}

TEST(Window, RoutesMessagesWithTheirResults)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    TraceCapture trace;

    /* Shell notifications: every code answered with 0, known ones handled. */
    for (WPARAM code : { 0, 1, 2, 3, 4, 0x7FFF })
        EXPECT_EQ(Send(hwnd, APPBAR_CALLBACK, code, 0), 0) << code;
    EXPECT_TRUE(trace.Has("AppBarCallback: ABN_STATECHANGE\r\n"));
    EXPECT_TRUE(trace.Has("AppBarCallback: ABN_POSCHANGED\r\n"));
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, ScreenW(), 75 }));

    /* Handled messages answer 0 whatever they carry. */
    EXPECT_EQ(Send(hwnd, WM_COMMAND, 12345, 0), 0);
    EXPECT_EQ(Send(hwnd, WM_TIMER, 77, 0), 0);
    EXPECT_EQ(Send(hwnd, WM_MOUSEMOVE, 0, Pt(5, 5)), 0);
    EXPECT_EQ(Send(hwnd, WM_LBUTTONUP, 0, Pt(5, 5)), 0);
    EXPECT_EQ(Send(hwnd, WM_MOVE, 0, Pt(0, 0)), 0);

    /* Activation reports to the shell and is not passed on, so it does not
       take the keyboard focus as the default handling would. */
    SetFocus(nullptr);
    ModelShell::ClearRequests();
    EXPECT_EQ(Send(hwnd, WM_ACTIVATE, WA_INACTIVE, 0), 0);
    ASSERT_EQ(Count(ABM_ACTIVATE), 1u);
    EXPECT_EQ(ModelShell::RequestsOf(ABM_ACTIVATE)[0].hwnd, hwnd);
    EXPECT_EQ(ModelShell::RequestsOf(ABM_ACTIVATE)[0].lParam, 0);
    EXPECT_NE(GetFocus(), hwnd);

    /* Anything else gets the default handling and its result. */
    struct { UINT uMsg; WPARAM wParam; LPARAM lParam; } others[] = {
        { WM_GETTEXTLENGTH, 0, 0 },
        { WM_QUERYENDSESSION, 0, 0 },
        { WM_MOUSEACTIVATE, (WPARAM)hwnd, MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN) },
        { WM_LBUTTONDBLCLK, MK_LBUTTON, Pt(5, 5) },
        { WM_GETDLGCODE, 0, 0 },
        { WM_USER + 7, 1, 2 },
    };
    for (const auto &m : others)
        EXPECT_EQ(Send(hwnd, m.uMsg, m.wParam, m.lParam), DefWindowProcA(hwnd, m.uMsg, m.wParam, m.lParam))
            << MessageName(m.uMsg);
    EXPECT_EQ(Send(hwnd, WM_GETTEXTLENGTH), 15);
    char szTitle[32] = "";
    EXPECT_EQ(Send(hwnd, WM_GETTEXT, sizeof(szTitle), (LPARAM)szTitle), 15);
    EXPECT_STREQ(szTitle, "Vantorel Ad Bar");
    EXPECT_NE(GetCapture(), hwnd);  /* the double click was not taken as a press */
}

/* Only the border facing the screen's interior sizes the bar; the rest of
   the frame, the corners and points off the window answer as client area. */
TEST(Window, HitTestKeepsOnlyTheInnerBorder)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const UINT inner[] = { HTRIGHT, HTBOTTOM, HTLEFT, HTTOP };    /* by ABE_ code */

    for (UINT uEdge : { ABE_TOP, ABE_LEFT, ABE_BOTTOM, ABE_RIGHT }) {
        SCOPED_TRACE("edge " + std::to_string(uEdge));
        AppBarSetSide(hwnd, uEdge);
        ASSERT_EQ(GetBarState(hwnd)->uEdge, uEdge);
        RECT rc = WindowRect(hwnd);
        int mx = (rc.left + rc.right) / 2, my = (rc.top + rc.bottom) / 2;
        struct { POINT pt; LRESULT raw; } points[] = {
            { { rc.left, my }, HTLEFT },
            { { mx, rc.top }, HTTOP },
            { { rc.right - 1, my }, HTRIGHT },
            { { mx, rc.bottom - 1 }, HTBOTTOM },
            { { rc.left, rc.top }, HTTOPLEFT },
            { { rc.right - 1, rc.top }, HTTOPRIGHT },
            { { rc.left, rc.bottom - 1 }, HTBOTTOMLEFT },
            { { rc.right - 1, rc.bottom - 1 }, HTBOTTOMRIGHT },
            { { mx, my }, HTCLIENT },
            { { rc.right + 20, rc.bottom + 20 }, HTNOWHERE },
        };
        int nKept = 0;
        for (const auto &p : points) {
            LPARAM lp = Pt(p.pt.x, p.pt.y);
            /* The frame really has these parts, so the filter is what the test sees. */
            ASSERT_EQ(DefWindowProcA(hwnd, WM_NCHITTEST, 0, lp), p.raw) << p.pt.x << "," << p.pt.y;
            LRESULT expected = (UINT)p.raw == inner[uEdge] ? p.raw : HTCLIENT;
            EXPECT_EQ(Send(hwnd, WM_NCHITTEST, 0, lp), expected) << p.pt.x << "," << p.pt.y;
            nKept += expected != HTCLIENT;
        }
        EXPECT_EQ(nKept, 1);
    }
}

/* A resize of a docked bar is renegotiated and its accepted thickness kept;
   with auto-hide on nothing of that happens. */
TEST(Window, MoveAndSizeGuards)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    BarState *pState = GetBarState(hwnd);
    TraceCapture trace;
    MessageRecorder rec;
    const int W = ScreenW(), H = ScreenH();

    pState->bAutoHide = TRUE;
    ModelShell::ClearRequests();
    SetWindowPos(hwnd, nullptr, 0, 0, W, 120, SWP_NOZORDER | SWP_NOACTIVATE);
    Send(hwnd, WM_SIZE, SIZE_RESTORED, Pt(0, 0));
    Send(hwnd, WM_MOVE, 0, Pt(10, 10));
    EXPECT_EQ(Count(ABM_QUERYPOS) + Count(ABM_SETPOS), 0u);
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_EQ(pState->cyHeight, 75);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 120 }));
    EXPECT_GE(Count(ABM_WINDOWPOSCHANGED), 1u);

    /* Off again: a zero client dimension is traced, then the bar is
       renegotiated back to row 75 and that height stored. */
    pState->bAutoHide = FALSE;
    EventLog::Clear();
    Send(hwnd, WM_SIZE, SIZE_RESTORED, Pt(W, 0));
    std::vector<std::string> log = EventLog::Filtered({ "trace:", "ABM_SETPOS" });
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.front(), "trace:Client area has a zero dimension!");
    EXPECT_NE(std::find_if(log.begin() + 1, log.end(), [](const std::string &e) { return e.compare(0, 10, "ABM_SETPOS") == 0; }),
              log.end());
    EXPECT_EQ(log.back(), "trace:Main_OnSize: cxWidth = 80, cyHeight = 75");
    EXPECT_EQ(trace.Starting("Client area").size(), 1u);
    EXPECT_TRUE(trace.Has("Client area has a zero dimension!\r\n"));
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, W, 75 }));
    EXPECT_EQ(pState->cyHeight, 75);

    /* A hidden bar renegotiates but neither traces nor stores a thickness. */
    pState->bHidden = TRUE;
    pState->cyHeight = 33;
    trace.Clear();
    ModelShell::ClearRequests();
    Send(hwnd, WM_SIZE, SIZE_RESTORED, Pt(0, 0));
    EXPECT_GE(Count(ABM_SETPOS), 1u);
    EXPECT_TRUE(trace.Starting("Client area").empty());
    EXPECT_TRUE(trace.Starting("Main_OnSize").empty());
    EXPECT_EQ(pState->cyHeight, 33);
    pState->bHidden = FALSE;
    pState->cyHeight = 75;

    /* Dragging the inner border of a left bar: the new width is kept and
       both thicknesses are reported. */
    AppBarSetSide(hwnd, ABE_LEFT);
    trace.Clear();
    SetWindowPos(hwnd, nullptr, 0, 0, 150, H, SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 150, H }));
    EXPECT_EQ(pState->cxWidth, 150);
    ASSERT_FALSE(trace.Starting("Main_OnSize").empty());
    EXPECT_EQ(trace.Starting("Main_OnSize").back(), "Main_OnSize: cxWidth = 150, cyHeight = 75\r\n");
}

/* The teardown by WM_COPYDATA leaves the window alive without a record:
   nothing that reaches it afterwards may use or free the record again. */
TEST(Window, CopyDataTeardownRunsOnceThenLeavesTheRecordAlone)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    BarState *pState = GetBarState(hwnd);
    ASSERT_NE(pState, nullptr);
    HeapFreeWatch frees(pState, sizeof(BarState));
    MessageBoxWatcher boxes;
    ModelShell::ClearRequests();

    char szData[] = "anything";
    COPYDATASTRUCT cds = { 42, sizeof(szData), szData };
    EXPECT_EQ(Send(hwnd, WM_COPYDATA, (WPARAM)GetDesktopWindow(), (LPARAM)&cds), 0);
    EXPECT_EQ(frees.Frees(), 1);
    EXPECT_EQ(GetBarState(hwnd), nullptr);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(Count(ABM_REMOVE), 1u);
    EXPECT_FALSE(ModelShell::IsRegistered(hwnd));
    EXPECT_FALSE(g_bRegistered);
    WPARAM wQuit = 99;
    ASSERT_TRUE(QuitPosted(&wQuit));
    EXPECT_EQ(wQuit, 0u);

    EXPECT_EQ(Send(hwnd, WM_COPYDATA, 0, (LPARAM)&cds), 0);
    Send(hwnd, WM_DESTROY);
    RECT rc = WindowRect(hwnd);
    for (int y : { (int)rc.top, (int)(rc.top + rc.bottom) / 2, (int)rc.bottom - 1 })
        Send(hwnd, WM_NCHITTEST, 0, Pt(rc.right / 2, y));
    Send(hwnd, WM_TIMER, TIMER_HIDECHECK);
    Send(hwnd, WM_TIMER, TIMER_SHOWDELAY);
    Send(hwnd, WM_PAINT);
    InvalidateRect(hwnd, nullptr, TRUE);
    UpdateWindow(hwnd);
    for (UINT id : { IDM_AUTOHIDE_ON, IDM_AUTOHIDE_OFF, IDM_DOCK_TOP, IDM_DOCK_BOTTOM, IDM_DOCK_LEFT,
                     IDM_DOCK_RIGHT })
        Send(hwnd, WM_COMMAND, id);
    Send(hwnd, WM_SIZE, SIZE_RESTORED, Pt(0, 0));
    Send(hwnd, WM_MOVE, 0, Pt(3, 3));
    Send(hwnd, WM_ACTIVATE, WA_INACTIVE);
    Send(hwnd, APPBAR_CALLBACK, ABN_POSCHANGED);
    Send(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, Pt(3, 3));
    Send(hwnd, WM_MOUSEMOVE, MK_LBUTTON, Pt(300, 300));
    Send(hwnd, WM_LBUTTONUP, 0, Pt(300, 300));
    EXPECT_TRUE(DestroyWindow(hwnd));

    EXPECT_EQ(frees.Frees(), 1);
    EXPECT_TRUE(frees.Intact());
    EXPECT_EQ(Count(ABM_REMOVE), 1u);
    EXPECT_EQ(Count(ABM_NEW), 0u);
    EXPECT_TRUE(boxes.Boxes().empty());
    ASSERT_TRUE(QuitPosted(&wQuit));
    EXPECT_EQ(wQuit, 0u);
}

/* WM_CLOSE is left to the default handling, which destroys the window and
   so runs the teardown. */
TEST(Window, CloseDestroysAndTearsDown)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    HeapFreeWatch frees(GetBarState(hwnd), sizeof(BarState));
    ModelShell::ClearRequests();
    MessageRecorder rec;

    EXPECT_EQ(Send(hwnd, WM_CLOSE), 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(frees.Frees(), 1);
    ASSERT_EQ(Count(ABM_REMOVE), 1u);
    EXPECT_EQ(ModelShell::RequestsOf(ABM_REMOVE)[0].hwnd, hwnd);
    EXPECT_FALSE(g_bRegistered);
    std::vector<std::string> order = EventLog::Filtered({ "WM_DESTROY", "WM_COMMAND", "ABM_REMOVE" });
    EXPECT_EQ(order, (std::vector<std::string>{ "WM_DESTROY", "WM_COMMAND", "ABM_REMOVE" }));
    WPARAM wQuit = 99;
    ASSERT_TRUE(QuitPosted(&wQuit));
    EXPECT_EQ(wQuit, 0u);
}

/* A bar the shell refused, or one unregistered by command, does not ask to
   be removed at its teardown. */
TEST(Window, UnregisteredBarSendsNoRemoveAtTeardown)
{
    ModelShell::FailRequest(ABM_NEW);
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(g_bRegistered);
    HeapFreeWatch frees(GetBarState(hwnd), sizeof(BarState));
    MessageRecorder rec;
    EXPECT_EQ(Send(hwnd, WM_CLOSE), 0);
    EXPECT_EQ(Count(ABM_REMOVE), 0u);
    EXPECT_TRUE(EventLog::Filtered({ "WM_COMMAND" }).empty());
    EXPECT_EQ(frees.Frees(), 1);

    ModelShell::FailRequest(ABM_NEW, false);
    ModelShell::ClearRequests();
    ASSERT_TRUE(CreateBarWindow(GetModuleHandleA(nullptr), SW_SHOWDEFAULT));
    hwnd = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(g_bRegistered);
    Send(hwnd, WM_COMMAND, IDM_UNREGISTER);
    ASSERT_EQ(Count(ABM_REMOVE), 1u);
    COPYDATASTRUCT cds = {};
    Send(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
    EXPECT_EQ(Count(ABM_REMOVE), 1u);
}

/* A left press takes the capture; neither pointer moves nor a double click
   drag or dock the bar. */
TEST(Window, LeftPressCapturesAndMovesChangeNothing)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    TraceCapture trace;
    RECT rcBefore = WindowRect(hwnd);
    ModelShell::ClearRequests();

    EXPECT_EQ(Send(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, Pt(20, 20)), 0);
    EXPECT_EQ(GetCapture(), hwnd);
    /* Client points near the left, right and bottom edges of the screen, and a negative one. */
    for (LPARAM lp : { Pt(2, 400), Pt(ScreenW() - 3, 300), Pt(500, ScreenH() - 2), Pt(-40, -40) })
        EXPECT_EQ(Send(hwnd, WM_MOUSEMOVE, MK_LBUTTON, lp), 0);
    EXPECT_EQ(GetCapture(), hwnd);
    EXPECT_EQ(WindowRect(hwnd), rcBefore);
    EXPECT_EQ(GetBarState(hwnd)->uEdge, (UINT)ABE_TOP);
    EXPECT_TRUE(ModelShell::Requests().empty());
    EXPECT_TRUE(trace.Lines().empty());
    ReleaseCapture();
}
