/* The shell misbehaving, against the model of its desktop-toolbar service:
   refusals, a service that fails every request, another bar in the auto-hide
   slot, and a shell that restarts and forgets every bar. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "dock/shellgate.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/imports.h"
#include "support/modelshell.h"
#include "support/msgbox.h"
#include "support/trace.h"

namespace {

const char kAlreadyHiding[] = "ERROR: Another appbar is already hiding on this edge.  Cannot set to autohide.\r\n";
const char kNotHidden[] = "ERROR: We're not hidden currently\r\n";
const char kSetFailed[] = "ERROR: Error trying to set autohidebar.\r\n";
const DWORD kAllRequests[] = { ABM_NEW, ABM_REMOVE, ABM_QUERYPOS, ABM_SETPOS, ABM_ACTIVATE,
                               ABM_GETAUTOHIDEBAR, ABM_SETAUTOHIDEBAR, ABM_WINDOWPOSCHANGED };

LRESULT Send(HWND hwnd, UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return SendMessageA(hwnd, uMsg, wParam, lParam);
}

RECT Rect(LONG l, LONG t, LONG r, LONG b) { return RECT{ l, t, r, b }; }

size_t Count(DWORD dwRequest) { return ModelShell::RequestsOf(dwRequest).size(); }

/* Another program's desktop toolbar, registered with the service by hand. */
struct OtherBar {
    HWND hwnd;

    OtherBar() : hwnd(CreatePlainWindow("other bar", ScreenW() / 2, ScreenH() / 2, 100, 40)) { Register(); }

    APPBARDATA Request() const
    {
        APPBARDATA abd = {};
        abd.cbSize = sizeof(abd);
        abd.hWnd = hwnd;
        abd.uCallbackMessage = WM_APP;
        return abd;
    }
    bool Register()
    {
        APPBARDATA abd = Request();
        return AppBarMessage(ABM_NEW, &abd) != 0;
    }
    /* Holds the strip of that thickness along the top of the screen. */
    void HoldTop(int cy)
    {
        APPBARDATA abd = Request();
        abd.uEdge = ABE_TOP;
        abd.rc = Rect(0, 0, ScreenW(), cy);
        AppBarMessage(ABM_SETPOS, &abd);
    }
    bool TakeAutoHideSlot(UINT uEdge)
    {
        APPBARDATA abd = Request();
        abd.uEdge = uEdge;
        abd.lParam = TRUE;
        return AppBarMessage(ABM_SETAUTOHIDEBAR, &abd) != 0;
    }
    void Remove()
    {
        APPBARDATA abd = Request();
        AppBarMessage(ABM_REMOVE, &abd);
    }
};

/* The broadcast a (re)started shell sends to every top-level window. */
void ShellStarted(HWND hwnd)
{
    Send(hwnd, RegisterWindowMessageA("TaskbarCreated"));
}

/* Another window takes the foreground, so the bar is deactivated (and an
   auto-hide bar slides away). */
HWND ActivateOther()
{
    HWND hwndOther = CreatePlainWindow("other", ScreenW() / 2 - 100, ScreenH() / 2, 200, 100);
    SetForegroundWindow(hwndOther);
    Pump(20);
    return hwndOther;
}

std::vector<DWORD> RequestKinds()
{
    std::vector<DWORD> kinds;
    for (const ModelShell::Request &r : ModelShell::Requests())
        kinds.push_back(r.dwMessage);
    return kinds;
}

}

/* The shell keeps the bar: it stays registered in its own eyes, goes on
   renegotiating, and its teardown asks once more and still ends. */
TEST(HardeningShellFaults, RefusedRemovalKeepsTheBarRegisteredAndTheTeardownEnds)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    ModelShell::FailRequest(ABM_REMOVE);

    Send(hwnd, WM_COMMAND, IDM_UNREGISTER);
    EXPECT_TRUE(g_bRegistered);
    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));
    EXPECT_FALSE(AppBarUnregister(hwnd));
    EXPECT_TRUE(g_bRegistered);

    ModelShell::ClearRequests();
    MoveWindow(hwnd, 0, 0, W, 120, TRUE);
    EXPECT_FALSE(ModelShell::RequestsOf(ABM_SETPOS).empty()) << "a registered bar renegotiates its moves";
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));

    ModelShell::ClearRequests();
    Send(hwnd, WM_CLOSE);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(Count(ABM_REMOVE), 1u);
    WPARAM wQuit = 99;
    ASSERT_TRUE(QuitPosted(&wQuit));
    EXPECT_EQ(wQuit, 0u);
}

/* A service that answers nothing: the bar is never registered, still docks
   where it is told (nobody adjusts its proposals), refuses auto-hide the
   documented ways, and ends cleanly. */
TEST(HardeningShellFaults, EveryRequestFailingLeavesAWorkingUnregisteredBar)
{
    for (DWORD dw : kAllRequests)
        ModelShell::FailRequest(dw);
    MessageBoxWatcher boxes;
    TraceCapture trace;
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    BarState *st = GetBarState(hwnd);
    const int W = ScreenW(), H = ScreenH();

    EXPECT_FALSE(g_bRegistered);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    const struct {
        UINT id;
        UINT uEdge;
        RECT rc;
    } docks[] = {
        { IDM_DOCK_LEFT, ABE_LEFT, Rect(0, 0, 80, H) },
        { IDM_DOCK_BOTTOM, ABE_BOTTOM, Rect(0, H - 75, W, H) },
        { IDM_DOCK_RIGHT, ABE_RIGHT, Rect(W - 80, 0, W, H) },
        { IDM_DOCK_TOP, ABE_TOP, Rect(0, 0, W, 75) },
    };
    for (const auto &d : docks) {
        Send(hwnd, WM_COMMAND, d.id);
        EXPECT_EQ(st->uEdge, d.uEdge);
        EXPECT_EQ(WindowRect(hwnd), d.rc) << d.id;
        EXPECT_EQ(g_rcBar, d.rc) << d.id;
    }

    trace.Clear();
    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON);
    EXPECT_EQ(trace.Starting("ERROR"), std::vector<std::string>{ kSetFailed });
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Generic, Line=508, File=AppBar");
    EXPECT_FALSE(st->bAutoHide);

    trace.Clear();
    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_OFF);
    EXPECT_EQ(trace.Starting("ERROR"), std::vector<std::string>{ kNotHidden });
    EXPECT_EQ(boxes.Boxes().size(), 1u);

    Send(hwnd, WM_COMMAND, IDM_REGISTER);
    EXPECT_FALSE(g_bRegistered);
    for (WPARAM code : { ABN_STATECHANGE, ABN_POSCHANGED, ABN_FULLSCREENAPP, ABN_WINDOWARRANGE })
        Send(hwnd, APPBAR_CALLBACK, code, 1);
    Send(hwnd, APPBAR_CALLBACK, ABN_FULLSCREENAPP, 0);
    HWND hwndOther = ActivateOther();
    SetForegroundWindow(hwnd);
    Pump(20);
    DestroyWindow(hwndOther);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(boxes.Boxes().size(), 1u);

    ModelShell::ClearRequests();
    Send(hwnd, WM_CLOSE);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(Count(ABM_REMOVE), 0u);
    WPARAM wQuit = 99;
    ASSERT_TRUE(QuitPosted(&wQuit));
    EXPECT_EQ(wQuit, 0u);
}

/* Another bar holds the top edge's auto-hide slot: switching on there is
   refused quietly, and an auto-hide bar docked back to the top gives up its
   old slot, docks at full size and stays shown rather than half hidden. */
TEST(HardeningShellFaults, AutoHideSlotHeldByAnotherBar)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    BarState *st = GetBarState(hwnd);
    const int W = ScreenW(), H = ScreenH();
    OtherBar other;
    ASSERT_TRUE(other.TakeAutoHideSlot(ABE_TOP));
    Pump(20);
    MessageBoxWatcher boxes;
    TraceCapture trace;

    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{ kAlreadyHiding });
    EXPECT_FALSE(st->bAutoHide);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), other.hwnd);

    Send(hwnd, WM_COMMAND, IDM_DOCK_LEFT);
    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON);
    ASSERT_TRUE(st->bAutoHide);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_LEFT), hwnd);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, 2, H));

    trace.Clear();
    Send(hwnd, WM_COMMAND, IDM_DOCK_TOP);
    EXPECT_EQ(trace.Starting("ERROR"), std::vector<std::string>{ kAlreadyHiding });
    EXPECT_FALSE(st->bAutoHide);
    EXPECT_EQ(st->uEdge, (UINT)ABE_TOP);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(g_rcBar, Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_LEFT), (HWND)NULL);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), other.hwnd);
    EXPECT_TRUE(boxes.Boxes().empty());

    /* Once the other bar has gone, the slot is the bar's for the asking. */
    other.Remove();
    Pump(20);
    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON);
    EXPECT_TRUE(st->bAutoHide);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), hwnd);
}

/* The shell lost the slot of an auto-hide bar (it restarted, and the bar was
   registered again by command), so switching off before a re-dock is refused. The bar must still end on
   the edge it was sent to, and slide back out there, not at the old edge. */
TEST(HardeningShellFaults, RedockWhileTheShellHasForgottenTheSlotLandsOnTheNewEdge)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    BarState *st = GetBarState(hwnd);
    const int W = ScreenW(), H = ScreenH();
    MessageBoxWatcher boxes;
    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON);
    ASSERT_TRUE(st->bAutoHide);

    /* Only the sides that the query step stretches would recover by themselves. */
    const struct {
        UINT id;
        UINT uEdge;
        RECT rcFull, rcSliver;
    } docks[] = {
        { IDM_DOCK_BOTTOM, ABE_BOTTOM, Rect(0, H - 75, W, H), Rect(0, H - 2, W, H) },
        { IDM_DOCK_TOP, ABE_TOP, Rect(0, 0, W, 75), Rect(0, 0, W, 2) },
        { IDM_DOCK_RIGHT, ABE_RIGHT, Rect(W - 80, 0, W, H), Rect(W - 2, 0, W, H) },
    };
    for (const auto &d : docks) {
        SCOPED_TRACE(d.id);
        ModelShell::Restart();
        Send(hwnd, WM_COMMAND, IDM_REGISTER);
        ASSERT_TRUE(g_bRegistered);
        Send(hwnd, WM_COMMAND, d.id);
        EXPECT_TRUE(st->bAutoHide);
        EXPECT_EQ(st->uEdge, d.uEdge);
        EXPECT_EQ(g_rcBar, d.rcFull) << "where a hidden bar slides back to";
        RECT rc = WindowRect(hwnd);
        EXPECT_TRUE(rc == d.rcFull || rc == d.rcSliver) << ToString(rc);

        HWND hwndOther = ActivateOther();
        EXPECT_EQ(WindowRect(hwnd), d.rcSliver);
        SetForegroundWindow(hwnd);
        Pump(20);
        EXPECT_EQ(WindowRect(hwnd), d.rcFull);
        DestroyWindow(hwndOther);
        Pump(20);
    }
    EXPECT_TRUE(boxes.Boxes().empty());
}

/* ---- The shell restarts ---- */

/* The restarted shell knows nothing of the bar; its broadcast makes the bar
   register again and take its strip back, below a bar that came back first,
   or at the top of the screen once no other bar holds it. */
TEST(HardeningShellRestart, RegisteredBarRegistersAgainAndRedocksAtItsEdge)
{
    OtherBar other;
    other.HoldTop(40);
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    Pump(20);
    ASSERT_EQ(WindowRect(hwnd), Rect(0, 40, W, 75));

    ModelShell::Restart();
    ASSERT_FALSE(ModelShell::IsRegistered(hwnd));
    ASSERT_TRUE(other.Register());
    other.HoldTop(40);
    TraceCapture trace;
    ModelShell::ClearRequests();
    ShellStarted(hwnd);
    Pump(20);

    EXPECT_TRUE(trace.Has("AppBarShellRestarted\r\n"));
    EXPECT_TRUE(g_bRegistered);
    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 40, W, 75));
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), Rect(0, 40, W, 75));
    EXPECT_EQ(g_rcBar, Rect(0, 40, W, 75));
    std::vector<DWORD> kinds = RequestKinds();
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds[0], (DWORD)ABM_REMOVE);
    EXPECT_EQ(kinds[1], (DWORD)ABM_NEW);
    EXPECT_EQ(ModelShell::Requests()[1].result, 1u);

    ModelShell::Restart();
    ShellStarted(hwnd);
    Pump(20);
    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(g_rcBar, Rect(0, 0, W, 75));
    EXPECT_TRUE(trace.Starting("ERROR").empty());
}

/* A hidden auto-hide bar at the left edge gets its slot back and stays a
   sliver; it slides out to its full width as before. */
TEST(HardeningShellRestart, AutoHideBarTakesItsSlotBack)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    BarState *st = GetBarState(hwnd);
    const int H = ScreenH();
    Send(hwnd, WM_COMMAND, IDM_DOCK_LEFT);
    Send(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON);
    ASSERT_TRUE(st->bAutoHide);
    HWND hwndOther = ActivateOther();
    ASSERT_TRUE(st->bHidden);
    ASSERT_EQ(WindowRect(hwnd), Rect(0, 0, 2, H));

    ModelShell::Restart();
    MessageBoxWatcher boxes;
    TraceCapture trace;
    ShellStarted(hwnd);
    Pump(20);

    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_LEFT), hwnd);
    EXPECT_TRUE(st->bAutoHide);
    EXPECT_EQ(st->uEdge, (UINT)ABE_LEFT);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, 2, H));
    EXPECT_EQ(g_rcBar, Rect(0, 0, 80, H));
    EXPECT_EQ(g_cxSaved, 80);
    EXPECT_TRUE(trace.Starting("ERROR").empty());
    EXPECT_TRUE(boxes.Boxes().empty());

    SetForegroundWindow(hwnd);
    Pump(20);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, 80, H));
    EXPECT_FALSE(st->bHidden);
    DestroyWindow(hwndOther);
}

/* The same broadcast comes when the shell merely starts (or another program
   sends it): a registered bar stays registered exactly once and in place; an
   unregistered one stays out; a refused registration is taken as refused. */
TEST(HardeningShellRestart, OnlyARegisteredBarAnswersAndARefusalIsKept)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    const int W = ScreenW();
    TraceCapture trace;

    ModelShell::ClearRequests();
    ShellStarted(hwnd);
    Pump(20);
    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));
    EXPECT_EQ(Count(ABM_REMOVE), 1u);
    EXPECT_EQ(Count(ABM_NEW), 1u);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), Rect(0, 0, W, 75));

    Send(hwnd, WM_COMMAND, IDM_UNREGISTER);
    ModelShell::Restart();
    ModelShell::ClearRequests();
    trace.Clear();
    ShellStarted(hwnd);
    Pump(20);
    EXPECT_TRUE(ModelShell::Requests().empty());
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_FALSE(g_bRegistered);

    Send(hwnd, WM_COMMAND, IDM_REGISTER);
    ASSERT_TRUE(g_bRegistered);
    ModelShell::Restart();
    ModelShell::FailRequest(ABM_NEW);
    ModelShell::ClearRequests();
    ShellStarted(hwnd);
    Pump(20);
    EXPECT_FALSE(g_bRegistered);
    EXPECT_EQ(Count(ABM_SETPOS), 0u);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));
    ModelShell::ClearRequests();
    Send(hwnd, WM_CLOSE);
    EXPECT_EQ(Count(ABM_REMOVE), 0u);
}

/* While the bar waits for the shell's answer, a quit from another program can
   come through and free the bar's record. Whatever was under way must leave
   the freed record alone, and the process must still end. The record is kept
   (filled with a pattern) instead of freed, so a late write shows. */
namespace {

void *s_pvRecord;
bool s_bRecordFreed;
BOOL(WINAPI *s_pfnHeapFree)(HANDLE, DWORD, LPVOID);

BOOL WINAPI KeepRecord(HANDLE hHeap, DWORD dwFlags, LPVOID pv)
{
    if (pv && pv == s_pvRecord) {
        memset(pv, 0xDD, sizeof(BarState));
        s_bRecordFreed = true;
        return TRUE;
    }
    return s_pfnHeapFree(hHeap, dwFlags, pv);
}

void QuitFromAnotherProgram(HWND hwnd)
{
    COPYDATASTRUCT cds = {};
    Send(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
}

bool RecordUntouched()
{
    const unsigned char *pb = (const unsigned char *)s_pvRecord;
    for (size_t i = 0; i < sizeof(BarState); i++)
        if (pb[i] != 0xDD)
            return false;
    return true;
}

}

class QuitWhileWaitingOnTheShell : public ::testing::TestWithParam<const char *> {};

TEST_P(QuitWhileWaitingOnTheShell, LeavesTheFreedRecordAlone)
{
    const std::string what = GetParam();
    ImportPatch heapFree("kernel32.dll", "HeapFree", (void *)KeepRecord);
    ASSERT_TRUE(heapFree.Patched());
    s_pfnHeapFree = heapFree.Original<decltype(s_pfnHeapFree)>();
    MessageBoxWatcher boxes;
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    s_pvRecord = GetBarState(hwnd);
    if (what != "auto-hide on")
        ASSERT_TRUE(AppBarSetAutoHide(hwnd, TRUE));

    if (what == "shell restart") {
        ModelShell::DuringNext(ABM_NEW, QuitFromAnotherProgram);
        ShellStarted(hwnd);
    } else {
        ModelShell::DuringNext(ABM_SETAUTOHIDEBAR, QuitFromAnotherProgram);
        if (what == "redock")
            AppBarSetSide(hwnd, ABE_LEFT);
        else
            AppBarSetAutoHide(hwnd, what == "auto-hide on");
    }

    ASSERT_TRUE(s_bRecordFreed) << "the quit never came through";
    EXPECT_TRUE(RecordUntouched()) << "written after the free";
    EXPECT_EQ(GetBarState(hwnd), nullptr);
    WPARAM wParam = 99;
    EXPECT_TRUE(QuitPosted(&wParam));
    EXPECT_EQ(wParam, 0u);
    EXPECT_TRUE(boxes.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(HardeningShellFaults, QuitWhileWaitingOnTheShell,
                         ::testing::Values("auto-hide on", "auto-hide off", "redock", "shell restart"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name;
                             for (const char *p = info.param; *p; p++)
                                 if (isalpha((unsigned char)*p))
                                     name += *p;
                             return name;
                         });
