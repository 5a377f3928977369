/* Auto-hide against the model shell: the switch, hiding and showing, the
   slide, the two timers and the re-dock of an auto-hide bar. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "support/barwin.h"
#include "support/imports.h"
#include "support/modelshell.h"
#include "support/msgbox.h"
#include "support/msglog.h"
#include "support/trace.h"

namespace {

const char kAlreadyHiding[] = "ERROR: Another appbar is already hiding on this edge.  Cannot set to autohide.\r\n";
const char kNotHidden[] = "ERROR: We're not hidden currently\r\n";
const char kSetFailed[] = "ERROR: Error trying to set autohidebar.\r\n";

/* What the bar's window sees, recorded by a subclass in front of its procedure. */
struct Placement {
    double ms;
    RECT rc;
    UINT flags;
    int priority;
};
std::vector<Placement> s_placements;
std::vector<WPARAM> s_timers;
int s_hitTests;
int s_mouseMoves;
WNDPROC s_barProc;

LRESULT CALLBACK WatchProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_WINDOWPOSCHANGED:
        s_placements.push_back({ NowMs(), WindowRect(hwnd), ((const WINDOWPOS *)lParam)->flags,
                                 GetThreadPriority(GetCurrentThread()) });
        break;
    case WM_TIMER:
        s_timers.push_back(wParam);
        break;
    case WM_NCHITTEST:
        s_hitTests++;
        break;
    case WM_MOUSEMOVE:
        s_mouseMoves++;
        break;
    }
    return CallWindowProcA(s_barProc, hwnd, uMsg, wParam, lParam);
}

void ClearWatch()
{
    s_placements.clear();
    s_timers.clear();
    s_hitTests = 0;
    s_mouseMoves = 0;
}

int TimersSeen(WPARAM id)
{
    int n = 0;
    for (WPARAM w : s_timers)
        n += w == id;
    return n;
}

/* KillTimer answers whether the timer was armed; the check disarms it. */
bool TimerArmed(HWND hwnd, UINT_PTR id)
{
    return KillTimer(hwnd, id) != FALSE;
}

/* Real pointer input, as the window system delivers it: hit test first. */
void MovePointer(int x, int y)
{
    INPUT in = {};
    in.type = INPUT_MOUSE;
    /* The smallest normalised value that maps back onto the pixel. */
    in.mi.dx = (x * 65536 + ScreenW() - 1) / ScreenW();
    in.mi.dy = (y * 65536 + ScreenH() - 1) / ScreenH();
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &in, sizeof(in));
}

void Button(DWORD dwFlags)
{
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = dwFlags;
    SendInput(1, &in, sizeof(in));
}

RECT Rect(LONG l, LONG t, LONG r, LONG b) { return RECT{ l, t, r, b }; }

class AutoHide : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetCursorPos(ScreenW() / 2, ScreenH() - 10);
        hwnd = StartBar();
        ASSERT_NE(hwnd, nullptr);
        st = GetBarState(hwnd);
        ASSERT_NE(st, nullptr);
        /* Start-up may still be sending size traces on a slow host: wait until it is quiet. */
        for (int i = 0; i < 20; i++) {
            size_t n = trace.Lines().size();
            Pump(100);
            if (trace.Lines().size() == n)
                break;
        }
        s_barProc = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)WatchProc);
        W = ScreenW();
        H = ScreenH();
        ASSERT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
        trace.Clear();
    }

    /* A window of another class takes the foreground, so the bar is deactivated. */
    HWND ActivateOther(HWND hwndOwner = NULL)
    {
        HWND hwndOther = CreatePlainWindow("other", W / 2 - 100, H / 2, 200, 100, hwndOwner);
        SetForegroundWindow(hwndOther);
        Pump(20);
        return hwndOther;
    }

    void SwitchOn()
    {
        ASSERT_TRUE(AppBarSetAutoHide(hwnd, TRUE));
        ASSERT_TRUE(st->bAutoHide);
    }

    /* Auto-hide on at the top and slid away by a deactivation. */
    void HiddenAtTop()
    {
        SwitchOn();
        hwndOther = ActivateOther();
        ASSERT_TRUE(st->bHidden);
        ASSERT_EQ(WindowRect(hwnd), Rect(0, 0, W, 2));
    }

    TraceCapture trace;
    HWND hwnd = NULL;
    HWND hwndOther = NULL;
    BarState *st = nullptr;
    int W = 0, H = 0;
};

/* ---- The switch ---- */

TEST_F(AutoHide, SwitchOnTwiceIsRefusedTheSecondTime)
{
    MessageBoxWatcher boxes;
    SwitchOn();
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), hwnd);
    EXPECT_EQ(g_cxSaved, 80);
    EXPECT_EQ(g_cySaved, 75);
    RECT rc = WindowRect(hwnd);
    ModelShell::ClearRequests();
    trace.Clear();

    EXPECT_FALSE(AppBarSetAutoHide(hwnd, TRUE));
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{ kAlreadyHiding });
    ASSERT_EQ(ModelShell::Requests().size(), 1u);
    EXPECT_EQ(ModelShell::Requests()[0].dwMessage, (DWORD)ABM_GETAUTOHIDEBAR);
    EXPECT_TRUE(st->bAutoHide);
    EXPECT_EQ(WindowRect(hwnd), rc);
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(AutoHide, SwitchOffWithoutAutoHideIsRefusedQuietly)
{
    MessageBoxWatcher boxes;
    RECT rcBar = g_rcBar;
    ModelShell::ClearRequests();

    EXPECT_FALSE(AppBarSetAutoHide(hwnd, FALSE));
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{ kNotHidden });
    ASSERT_EQ(ModelShell::Requests().size(), 1u);
    EXPECT_EQ(ModelShell::Requests()[0].dwMessage, (DWORD)ABM_GETAUTOHIDEBAR);
    EXPECT_FALSE(st->bAutoHide);
    EXPECT_EQ(st->cyHeight, 75);
    EXPECT_EQ(g_rcBar, rcBar);
    EXPECT_EQ(WindowRect(hwnd), rcBar);
    EXPECT_TRUE(boxes.Boxes().empty());
}

/* The box shows the system's text for the error the refusal left behind. */
static std::string SystemText(DWORD dwError)
{
    char sz[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError,
                   MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), sz, sizeof(sz), NULL);
    return sz;
}

static std::string Trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

TEST_F(AutoHide, ShellRefusingTheSlotShowsTheErrorBox)
{
    MessageBoxWatcher boxes;
    RECT rc = WindowRect(hwnd);

    ModelShell::FailRequest(ABM_SETAUTOHIDEBAR);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(AppBarSetAutoHide(hwnd, TRUE));
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{ kSetFailed });
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Generic, Line=508, File=AppBar");
    EXPECT_TRUE(boxes.Boxes()[0].closed);
    EXPECT_EQ(boxes.Boxes()[0].hwndOwner, (HWND)NULL);
    EXPECT_EQ(boxes.Boxes()[0].uType, (UINT)(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(Trimmed(boxes.Boxes()[0].text), Trimmed(SystemText(ERROR_ACCESS_DENIED)));
    EXPECT_FALSE(st->bAutoHide);
    EXPECT_EQ(g_cySaved, 0);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), (HWND)NULL);
    EXPECT_EQ(WindowRect(hwnd), rc);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_SETPOS).empty() ||
                ModelShell::RequestsOf(ABM_SETPOS).back().rcOut == rc);

    /* Switching off: the bar holds the slot, the shell will not let it go. */
    ModelShell::FailRequest(ABM_SETAUTOHIDEBAR, false);
    SwitchOn();
    rc = WindowRect(hwnd);
    RECT rcBar = g_rcBar;
    trace.Clear();
    ModelShell::FailRequest(ABM_SETAUTOHIDEBAR);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(AppBarSetAutoHide(hwnd, FALSE));
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{ kSetFailed });
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[1].caption, "Generic, Line=586, File=AppBar");
    EXPECT_TRUE(boxes.Boxes()[1].closed);
    EXPECT_EQ(Trimmed(boxes.Boxes()[1].text), Trimmed(SystemText(ERROR_INVALID_WINDOW_HANDLE)));
    EXPECT_TRUE(st->bAutoHide);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), hwnd);
    EXPECT_EQ(WindowRect(hwnd), rc);
    EXPECT_EQ(g_rcBar, rcBar);
}

/* At the bottom the proposal keeps its strip at the screen's foot, so the sliver comes at once there too. */
TEST_F(AutoHide, SwitchOnAtTheSidesAndBottomShrinksAtOnceWithoutHiding)
{
    const UINT edges[] = { ABE_LEFT, ABE_RIGHT, ABE_BOTTOM };
    for (UINT uEdge : edges) {
        SCOPED_TRACE(uEdge);
        AppBarSetSide(hwnd, uEdge);
        RECT rcFull = uEdge == ABE_LEFT ? Rect(0, 0, 80, H) : uEdge == ABE_RIGHT ? Rect(W - 80, 0, W, H)
                                                                                 : Rect(0, H - 75, W, H);
        ASSERT_EQ(WindowRect(hwnd), rcFull);

        ClearWatch();
        double t0 = NowMs();
        SwitchOn();
        double ms = NowMs() - t0;
        RECT rcSliver = uEdge == ABE_LEFT ? Rect(0, 0, 2, H) : uEdge == ABE_RIGHT ? Rect(W - 2, 0, W, H)
                                                                                   : Rect(0, H - 2, W, H);
        EXPECT_EQ(WindowRect(hwnd), rcSliver);
        EXPECT_LT(ms, 300.0) << "no slide at the switch";
        EXPECT_FALSE(st->bHidden);
        EXPECT_EQ(g_rcBar, rcFull);
        EXPECT_EQ(g_cxSaved, 80);
        EXPECT_EQ(g_cySaved, 75);
        EXPECT_EQ(ModelShell::ReservedRect(hwnd), rcSliver);

        /* Not hidden, so hovering arms nothing. */
        MovePointer(rcSliver.left + 1, rcSliver.top + 1);
        Pump(150);
        EXPECT_FALSE(TimerArmed(hwnd, TIMER_SHOWDELAY));
        EXPECT_EQ(TimersSeen(TIMER_SHOWDELAY), 0);
        EXPECT_EQ(WindowRect(hwnd), rcSliver);
        MovePointer(W / 2, H - 10);
        Pump(20);

        ASSERT_TRUE(AppBarSetAutoHide(hwnd, FALSE));
        EXPECT_EQ(WindowRect(hwnd), rcFull);
        EXPECT_EQ(st->cyHeight, 75);
        EXPECT_EQ(st->cxWidth, 80);
    }
}

TEST_F(AutoHide, SwitchOnAtTheTopKeepsTheHeightUntilDeactivated)
{
    SwitchOn();
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::RequestsOf(ABM_SETPOS).back().rcOut, Rect(0, 0, W, 75));
    EXPECT_EQ(trace.Starting("AppBarQuerySetPos").back(),
              "AppBarQuerySetPos: uEdge=1, lprc->left=0, lprc->top=0, lprc->right=" + std::to_string(W) +
                  ", lprc->bottom=75\r\n");
    EXPECT_FALSE(st->bHidden);
    Pump(700);
    EXPECT_EQ(TimersSeen(TIMER_HIDECHECK), 0) << "nothing hides a bar just switched on";

    ActivateOther();
    EXPECT_TRUE(st->bHidden);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 2));
    EXPECT_EQ(g_rcBar, Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), Rect(0, 0, W, 75)) << "hiding is not negotiated";
}

TEST_F(AutoHide, SwitchOffWhileHiddenDocksFullButStaysMarkedHidden)
{
    HiddenAtTop();
    ASSERT_TRUE(AppBarSetAutoHide(hwnd, FALSE));
    EXPECT_FALSE(st->bAutoHide);
    EXPECT_TRUE(st->bHidden);
    EXPECT_EQ(st->cyHeight, 75);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(g_rcBar, Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), (HWND)NULL);

    SetForegroundWindow(hwnd);
    Pump(20);
    EXPECT_FALSE(st->bHidden);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
}

/* ---- Hiding, showing, the slide ---- */

TEST_F(AutoHide, HideAndUnhideWithAutoHideOff)
{
    ClearWatch();
    double t0 = NowMs();
    AppBarHide(hwnd);
    EXPECT_LT(NowMs() - t0, 100.0);
    EXPECT_TRUE(s_placements.empty());
    EXPECT_FALSE(st->bHidden);

    ClearWatch();
    t0 = NowMs();
    AppBarUnhide(hwnd);
    double ms = NowMs() - t0;
    EXPECT_GE(ms, 399.0);
    EXPECT_LT(ms, 3000.0);
    for (const Placement &p : s_placements)
        EXPECT_EQ(p.rc, g_rcBar);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_FALSE(st->bHidden);
    EXPECT_FALSE(TimerArmed(hwnd, TIMER_HIDECHECK));
}

/* UpdateWindow's argument during a slide: the bar while it grows, the desktop otherwise. */
std::vector<HWND> s_updated;
BOOL WINAPI RecordUpdateWindow(HWND hwnd)
{
    s_updated.push_back(hwnd);
    return TRUE;
}

TEST_F(AutoHide, SlidesAtTheTop)
{
    SwitchOn();
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    ImportPatch update("user32.dll", "UpdateWindow", (void *)RecordUpdateWindow);
    ASSERT_TRUE(update.Patched());

    /* Hiding: same size all along, the window moves up, then becomes the sliver. */
    ClearWatch();
    s_updated.clear();
    double t0 = NowMs();
    AppBarHide(hwnd);
    double msHide = NowMs() - t0;
    EXPECT_TRUE(st->bHidden);
    EXPECT_GE(msHide, 399.0);
    EXPECT_LT(msHide, 3000.0);
    ASSERT_GE(s_placements.size(), 3u);
    const Placement &last = s_placements.back();
    EXPECT_EQ(last.rc, Rect(0, 0, W, 2));
    EXPECT_TRUE(last.flags & SWP_FRAMECHANGED);
    EXPECT_EQ(last.priority, THREAD_PRIORITY_BELOW_NORMAL);
    LONG prevTop = 0;
    for (size_t i = 0; i + 1 < s_placements.size(); i++) {
        const Placement &p = s_placements[i];
        EXPECT_EQ(p.rc.bottom - p.rc.top, 75) << i;
        EXPECT_EQ(p.rc.left, 0) << i;
        EXPECT_EQ(p.rc.right, W) << i;
        EXPECT_LE(p.rc.top, prevTop) << i;
        EXPECT_GE(p.rc.top, -73) << i;
        EXPECT_EQ(p.priority, THREAD_PRIORITY_HIGHEST) << i;
        EXPECT_FALSE(p.flags & SWP_FRAMECHANGED) << i;
        prevTop = p.rc.top;
    }
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_BELOW_NORMAL);
    ASSERT_FALSE(s_updated.empty());
    for (HWND h : s_updated)
        EXPECT_EQ(h, GetDesktopWindow());

    /* Showing: one jump to full size above the screen, then down, then exact. */
    ClearWatch();
    s_updated.clear();
    t0 = NowMs();
    AppBarUnhide(hwnd);
    double msShow = NowMs() - t0;
    EXPECT_FALSE(st->bHidden);
    EXPECT_GE(msShow, 199.0);
    EXPECT_LT(msShow, 3000.0);
    ASSERT_GE(s_placements.size(), 3u);
    EXPECT_EQ(s_placements.front().rc, Rect(0, -73, W, 2));
    EXPECT_TRUE(s_placements.front().flags & SWP_FRAMECHANGED);
    EXPECT_EQ(s_placements.front().priority, THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(s_placements.back().rc, Rect(0, 0, W, 75));
    EXPECT_EQ(s_placements.back().priority, THREAD_PRIORITY_BELOW_NORMAL);
    prevTop = -73;
    for (size_t i = 1; i + 1 < s_placements.size(); i++) {
        const Placement &p = s_placements[i];
        EXPECT_EQ(p.rc.bottom - p.rc.top, 75) << i;
        EXPECT_GE(p.rc.top, prevTop) << i;
        EXPECT_LE(p.rc.top, 0) << i;
        EXPECT_EQ(p.priority, THREAD_PRIORITY_HIGHEST) << i;
        prevTop = p.rc.top;
    }
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_BELOW_NORMAL);
    ASSERT_FALSE(s_updated.empty());
    for (HWND h : s_updated)
        EXPECT_EQ(h, hwnd);
    EXPECT_TRUE(TimerArmed(hwnd, TIMER_HIDECHECK)) << "showing arms the hide check";
}

TEST_F(AutoHide, SlidesAtTheLeftMoveTheInnerSide)
{
    AppBarSetSide(hwnd, ABE_LEFT);
    SwitchOn();
    ActivateOther();
    ASSERT_TRUE(st->bHidden);
    ASSERT_EQ(WindowRect(hwnd), Rect(0, 0, 2, H));

    ClearWatch();
    AppBarUnhide(hwnd);
    /* The jump and the final placement at least; how many frames lie between depends on the host. */
    ASSERT_GE(s_placements.size(), 2u);
    EXPECT_EQ(s_placements.front().rc, Rect(-78, 0, 2, H));
    LONG prevLeft = -78;
    for (size_t i = 1; i + 1 < s_placements.size(); i++) {
        const Placement &p = s_placements[i];
        EXPECT_EQ(p.rc.right - p.rc.left, 80) << i;
        EXPECT_EQ(p.rc.top, 0) << i;
        EXPECT_EQ(p.rc.bottom, H) << i;
        EXPECT_GE(p.rc.left, prevLeft) << i;
        EXPECT_LE(p.rc.left, 0) << i;
        prevLeft = p.rc.left;
    }
    EXPECT_EQ(s_placements.back().rc, Rect(0, 0, 80, H));
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, 80, H));
}

/* A tick counter a few hundred milliseconds before its wrap-around. */
DWORD s_tickOffset;
void *s_realGetTickCount;
DWORD WINAPI NearWrapTickCount()
{
    return ((DWORD (WINAPI *)())s_realGetTickCount)() + s_tickOffset;
}

TEST_F(AutoHide, SlideAcrossTheTickWrapLastsItsDuration)
{
    SwitchOn();
    s_realGetTickCount = (void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount");
    s_tickOffset = 0xFFFFFFFFu - 150u - GetTickCount();
    ImportPatch tick("kernel32.dll", "GetTickCount", (void *)NearWrapTickCount);
    ASSERT_TRUE(tick.Patched());

    ClearWatch();
    double t0 = NowMs();
    AppBarHide(hwnd);
    double msHide = NowMs() - t0;
    EXPECT_GE(msHide, 399.0);
    EXPECT_LT(msHide, 3000.0);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 2));
    LONG prevTop = 0;
    for (size_t i = 0; i + 1 < s_placements.size(); i++) {
        EXPECT_LE(s_placements[i].rc.top, prevTop) << i;
        EXPECT_GE(s_placements[i].rc.top, -73) << i;
        prevTop = s_placements[i].rc.top;
    }

    s_tickOffset = 0xFFFFFFFFu - 50u - ((DWORD (WINAPI *)())s_realGetTickCount)();
    t0 = NowMs();
    AppBarUnhide(hwnd);
    double msShow = NowMs() - t0;
    EXPECT_GE(msShow, 199.0);
    EXPECT_LT(msShow, 3000.0);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
}

/* ---- TIMER_HIDECHECK ---- */

class HideCheck : public AutoHide {
protected:
    /* Shows the bar the way the pointer does (which arms the check) and waits for the check. */
    void ShowAndCheck()
    {
        AppBarUnhide(hwnd);
        ASSERT_FALSE(st->bHidden);
        s_timers.clear();
        ASSERT_TRUE(PumpUntil([] { return TimersSeen(TIMER_HIDECHECK) > 0; }, 3000));
    }
    void ExpectStays(const char *what)
    {
        SCOPED_TRACE(what);
        EXPECT_FALSE(st->bHidden);
        EXPECT_EQ(WindowRect(hwnd), g_rcBar);
        EXPECT_TRUE(TimerArmed(hwnd, TIMER_HIDECHECK));
    }
    void ExpectHides(const char *what, const RECT &rcSliver)
    {
        SCOPED_TRACE(what);
        EXPECT_TRUE(st->bHidden);
        EXPECT_EQ(WindowRect(hwnd), rcSliver);
        EXPECT_FALSE(TimerArmed(hwnd, TIMER_HIDECHECK));
    }
};

HWND WINAPI NoForegroundWindow() { return NULL; }

TEST_F(HideCheck, BarInUseStays)
{
    HiddenAtTop();

    SetCursorPos(W / 2, 74);
    ShowAndCheck();
    ExpectStays("pointer on the bar");

    SetCursorPos(W / 2, H - 10);
    SetForegroundWindow(hwnd);
    Pump(20);
    ASSERT_EQ(GetForegroundWindow(), hwnd);
    ASSERT_FALSE(TimerArmed(hwnd, TIMER_HIDECHECK)) << "activation disarms the check";
    AppBarStartHideTimer(hwnd);
    s_timers.clear();
    ASSERT_TRUE(PumpUntil([] { return TimersSeen(TIMER_HIDECHECK) > 0; }, 3000));
    ExpectStays("bar in front");

    {
        SetForegroundWindow(hwndOther);
        Pump(20);
        ImportPatch noFore("user32.dll", "GetForegroundWindow", (void *)NoForegroundWindow);
        ASSERT_TRUE(noFore.Patched());
        ShowAndCheck();
        ExpectStays("no foreground window");
    }

    HWND hwndOwned = ActivateOther(hwnd);
    ASSERT_EQ(GetForegroundWindow(), hwndOwned);
    ShowAndCheck();
    ExpectStays("foreground window owned by the bar");
}

TEST_F(HideCheck, ForegroundOwnedTwoLevelsDownHides)
{
    HiddenAtTop();
    HWND hwndOwned = CreatePlainWindow("owned", 100, 300, 200, 100, hwnd);
    HWND hwndGrand = ActivateOther(hwndOwned);
    ASSERT_EQ(GetForegroundWindow(), hwndGrand);
    ShowAndCheck();
    ExpectHides("owned by a window the bar owns", Rect(0, 0, W, 2));
}

TEST_F(HideCheck, PointerOnTheRightOrBottomBoundaryIsOutside)
{
    HiddenAtTop();
    SetCursorPos(W / 2, 75);
    ShowAndCheck();
    ExpectHides("pointer on the bottom boundary", Rect(0, 0, W, 2));

    /* A left bar's right boundary. */
    ASSERT_TRUE(AppBarSetAutoHide(hwnd, FALSE));
    AppBarSetSide(hwnd, ABE_LEFT);
    SwitchOn();
    SetForegroundWindow(hwndOther);
    Pump(20);
    ASSERT_EQ(g_rcBar, Rect(0, 0, 80, H));
    SetCursorPos(79, H / 2);
    ShowAndCheck();
    ExpectStays("pointer on the last column");
    SetCursorPos(80, H / 2);
    ShowAndCheck();
    ExpectHides("pointer on the right boundary", Rect(0, 0, 2, H));
}

/* ---- TIMER_SHOWDELAY and the pointer ---- */

TEST_F(AutoHide, ShowDelayFiresOnceAndNeedsThePointerStill)
{
    HiddenAtTop();
    SetCursorPos(W / 2, H - 10);
    Pump(50);

    /* A hit test on the sliver, and the pointer gone by the time the delay ends. */
    ClearWatch();
    SendMessageA(hwnd, WM_NCHITTEST, 0, MAKELPARAM(W / 2, 0));
    Pump(400);
    EXPECT_EQ(TimersSeen(TIMER_SHOWDELAY), 1);
    EXPECT_FALSE(TimerArmed(hwnd, TIMER_SHOWDELAY));
    EXPECT_TRUE(st->bHidden);
    EXPECT_TRUE(s_placements.empty());

    /* Every hit test starts the 50 ms afresh: no expiry while they keep coming. */
    ClearWatch();
    double t0 = NowMs();
    while (NowMs() - t0 < 300) {
        SendMessageA(hwnd, WM_NCHITTEST, 0, MAKELPARAM(W / 2, 0));
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    EXPECT_EQ(TimersSeen(TIMER_SHOWDELAY), 0);
    Pump(300);
    EXPECT_EQ(TimersSeen(TIMER_SHOWDELAY), 1);
    EXPECT_TRUE(st->bHidden);

    /* Real pointer input resting on the sliver shows the bar. */
    MovePointer(W / 2, 1);
    EXPECT_TRUE(PumpUntil([this] { return !st->bHidden; }, 1000));
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_GE(s_hitTests, 1);
}

/* A captured pointer is never hit-tested, and hit tests are what bring a
   hidden bar back: a click must not leave the capture behind. */
TEST_F(AutoHide, CapturedPointerGetsNoHitTests)
{
    HiddenAtTop();
    SetCapture(hwnd);
    ASSERT_EQ(GetCapture(), hwnd);
    ClearWatch();
    MovePointer(W / 2, 1);
    Pump(400);
    EXPECT_GT(s_mouseMoves, 0);
    EXPECT_EQ(s_hitTests, 0);
    EXPECT_TRUE(st->bHidden) << "the hidden bar cannot come back while it holds the capture";

    ReleaseCapture();
    MovePointer(W / 2 + 10, 0);
    EXPECT_TRUE(PumpUntil([this] { return !st->bHidden; }, 1000));
}

TEST_F(AutoHide, ClickReleasesTheCapture)
{
    SwitchOn();
    MovePointer(W / 2, 40);
    Pump(50);
    Button(MOUSEEVENTF_LEFTDOWN);
    Pump(100);
    EXPECT_EQ(GetCapture(), hwnd);
    Button(MOUSEEVENTF_LEFTUP);
    Pump(100);
    EXPECT_EQ(GetCapture(), (HWND)NULL);

    hwndOther = ActivateOther();
    ASSERT_TRUE(st->bHidden);
    MovePointer(W / 2, 1);
    EXPECT_TRUE(PumpUntil([this] { return !st->bHidden; }, 1000)) << "the hidden bar comes back after a click";
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
}

/* ---- Re-docking an auto-hide bar ---- */

LRESULT WINAPI RecordSendMessageA(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI RecordRedrawWindow(HWND hwnd, const RECT *lprc, HRGN hrgn, UINT flags);
void *s_realSendMessageA;
void *s_realRedrawWindow;

LRESULT WINAPI RecordSendMessageA(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (hwnd == GetDesktopWindow() && uMsg == WM_SETREDRAW)
        EventLog::Add("desktop WM_SETREDRAW " + std::to_string(wParam));
    return ((decltype(&RecordSendMessageA))s_realSendMessageA)(hwnd, uMsg, wParam, lParam);
}

BOOL WINAPI RecordRedrawWindow(HWND hwnd, const RECT *lprc, HRGN hrgn, UINT flags)
{
    char sz[96];
    snprintf(sz, sizeof(sz), "RedrawWindow %s %s %s 0x%04X", hwnd == GetDesktopWindow() ? "desktop" : "other",
             lprc ? "rect" : "-", hrgn ? "rgn" : "-", flags);
    EventLog::Add(sz);
    return ((decltype(&RecordRedrawWindow))s_realRedrawWindow)(hwnd, lprc, hrgn, flags);
}

TEST_F(AutoHide, RedockFromTopToLeft)
{
    HiddenAtTop();
    ImportPatch send("user32.dll", "SendMessageA", (void *)RecordSendMessageA);
    ImportPatch redraw("user32.dll", "RedrawWindow", (void *)RecordRedrawWindow);
    s_realSendMessageA = send.Original<void *>();
    s_realRedrawWindow = redraw.Original<void *>();
    ASSERT_TRUE(send.Patched());
    ASSERT_TRUE(redraw.Patched());
    EventLog::Clear();
    ModelShell::ClearRequests();

    ASSERT_TRUE(AppBarSetSide(hwnd, ABE_LEFT));

    /* Each negotiation as one entry (its trace line and its ABM_SETPOS), and
       runs of equal entries counted: the nested renegotiations repeat the outer one. */
    std::vector<std::pair<std::string, int>> runs;
    std::string pending;
    for (const std::string &e : EventLog::Filtered({ "desktop", "RedrawWindow", "trace:AppBarQuerySetPos",
                                                     "ABM_SETAUTOHIDEBAR", "ABM_SETPOS" })) {
        std::string entry = e;
        if (e.compare(0, 6, "trace:") == 0) {
            pending = e.substr(sizeof("trace:AppBarQuerySetPos: ") - 1);
            continue;
        }
        if (e.compare(0, 10, "ABM_SETPOS") == 0) {
            entry = pending + " -> " + e;
            pending.clear();
        }
        if (!runs.empty() && runs.back().first == entry)
            runs.back().second++;
        else
            runs.push_back({ entry, 1 });
    }
    std::string Ws = std::to_string(W), Hs = std::to_string(H);
    std::vector<std::string> want = {
        "desktop WM_SETREDRAW 0",
        "ABM_SETAUTOHIDEBAR",
        "uEdge=1, lprc->left=0, lprc->top=0, lprc->right=" + Ws + ", lprc->bottom=75 -> ABM_SETPOS 1 {0, 0, " + Ws + ", 75}",
        "uEdge=0, lprc->left=0, lprc->top=0, lprc->right=80, lprc->bottom=75 -> ABM_SETPOS 0 {0, 0, 80, " + Hs + "}",
        "ABM_SETAUTOHIDEBAR",
        "uEdge=0, lprc->left=0, lprc->top=0, lprc->right=2, lprc->bottom=75 -> ABM_SETPOS 0 {0, 0, 2, " + Hs + "}",
        "desktop WM_SETREDRAW 1",
        "RedrawWindow desktop - - 0x0181",
    };
    ASSERT_EQ(runs.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(runs[i].first, want[i]) << i;
    EXPECT_GE(runs[2].second, 2) << "the move to full height renegotiates inside the top negotiation";
    EXPECT_GE(runs[3].second, 2) << "the move to the left edge renegotiates inside the left negotiation";
    EXPECT_EQ(runs[5].second, 1) << "with auto-hide on, the sliver's move renegotiates nothing";
    std::vector<ModelShell::Request> slot = ModelShell::RequestsOf(ABM_SETAUTOHIDEBAR);
    ASSERT_EQ(slot.size(), 2u);
    EXPECT_EQ(slot[0].lParam, 0);
    EXPECT_EQ(slot[0].uEdge, (UINT)ABE_TOP);
    EXPECT_EQ(slot[1].lParam, 1);
    EXPECT_EQ(slot[1].uEdge, (UINT)ABE_LEFT);

    EXPECT_TRUE(st->bAutoHide);
    EXPECT_EQ(st->uEdge, (UINT)ABE_LEFT);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, 2, H));
    EXPECT_EQ(g_rcBar, Rect(0, 0, 80, H));
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_LEFT), hwnd);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), (HWND)NULL);
}

}
