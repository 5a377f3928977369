/* Auto-hide as the user feels it: when the bar starts to move and how long
   the move takes, on a clock the test turns. The tick count, the window
   timers, the pointer and the foreground window are doubles; each read of
   the tick count stands for STEP ms of work, so a slide takes its steps. */
#include <gtest/gtest.h>

#include <olectl.h>

#include <vector>

#include "res/resource.h"
#include "support.h"

static const int W = GetSystemMetrics(SM_CXSCREEN), H = GetSystemMetrics(SM_CYSCREEN);
static const RECT SHOWN = { 0, 0, W, 75 }, SLIVER = { 0, 0, W, 2 };
static const DWORD STEP = 5;

struct Timer { HWND hwnd; UINT_PTR id; DWORD dwPeriod, dwDue; };
struct Placement { DWORD dwTime; RECT rc; };

static DWORD s_dwNow = 100000;
static std::vector<Timer> s_timers;
static std::vector<Placement> s_placements;
static POINT s_ptPointer;
static HWND s_hwndFront;
static ImportPatch *s_pPlace;

static DWORD WINAPI Ticks() { return s_dwNow += STEP; }
static BOOL WINAPI Pointer(LPPOINT ppt) { *ppt = s_ptPointer; return TRUE; }
static HWND WINAPI Front() { return s_hwndFront; }
static HRESULT WINAPI NoAd(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *ppv) { *ppv = NULL; return E_FAIL; }

static BOOL WINAPI KillFakeTimer(HWND hwnd, UINT_PTR id)
{
    for (auto it = s_timers.begin(); it != s_timers.end(); ++it)
        if (it->hwnd == hwnd && it->id == id) {
            s_timers.erase(it);
            return TRUE;
        }
    return FALSE;
}

static UINT_PTR WINAPI SetFakeTimer(HWND hwnd, UINT_PTR id, UINT ms, TIMERPROC)
{
    KillFakeTimer(hwnd, id);
    s_timers.push_back({ hwnd, id, ms, s_dwNow + ms });
    return id;
}

static BOOL WINAPI RecordedPlacement(HWND hwnd, HWND hwndAfter, int x, int y, int cx, int cy, UINT uFlags)
{
    BOOL bDone = ((decltype(&SetWindowPos))s_pPlace->pvOld)(hwnd, hwndAfter, x, y, cx, cy, uFlags);
    s_placements.push_back({ s_dwNow, WindowRect(hwnd) });
    return bDone;
}

/* Turns the clock on, firing each timer that falls due on the way, in order. */
static void Advance(DWORD ms)
{
    DWORD dwEnd = s_dwNow + ms;
    for (;;) {
        Timer *pNext = NULL;
        for (Timer &t : s_timers)
            if (t.dwDue <= dwEnd && (!pNext || t.dwDue < pNext->dwDue))
                pNext = &t;
        if (!pNext)
            break;
        Timer t = *pNext;
        s_dwNow = std::max(s_dwNow, t.dwDue);
        pNext->dwDue = s_dwNow + t.dwPeriod;
        SendMessageA(t.hwnd, WM_TIMER, t.id, 0);
    }
    s_dwNow = std::max(s_dwNow, dwEnd);
}

/* The pointer comes to rest there; over the bar, the window manager asks the bar what lies under it. */
static void PointerTo(HWND hwnd, int x, int y)
{
    s_ptPointer = { x, y };
    RECT rc = WindowRect(hwnd);
    if (PtInRect(&rc, s_ptPointer))
        SendMessageA(hwnd, WM_NCHITTEST, 0, MAKELPARAM(x, y));
}

/* When, after t, the bar first stood elsewhere than rc, or first stood at rc; 0 if never. */
static DWORD Moved(DWORD t, const RECT &rc, bool bTo)
{
    for (const Placement &p : s_placements)
        if (p.dwTime >= t && (p.rc == rc) == bTo)
            return p.dwTime;
    return 0;
}

static RECT RectAt(DWORD t)
{
    RECT rc = { 0, 0, 0, 0 };
    for (const Placement &p : s_placements)
        if (p.dwTime <= t)
            rc = p.rc;
    return rc;
}

class AutoHideTiming : public testing::Test {
protected:
    ImportPatch m_ticks { "kernel32.dll", "GetTickCount", (void *)Ticks };
    ImportPatch m_set { "user32.dll", "SetTimer", (void *)SetFakeTimer };
    ImportPatch m_kill { "user32.dll", "KillTimer", (void *)KillFakeTimer };
    ImportPatch m_pointer { "user32.dll", "GetCursorPos", (void *)Pointer };
    ImportPatch m_front { "user32.dll", "GetForegroundWindow", (void *)Front };
    ImportPatch m_place { "user32.dll", "SetWindowPos", (void *)RecordedPlacement };
    ImportPatch m_load { "oleaut32.dll", "OleLoadPicturePath", (void *)NoAd };
    HWND m_hwnd = NULL;

    /* An auto-hide bar at the top, slid away, another program's window in front. */
    void SetUp() override
    {
        s_pPlace = &m_place;
        m_hwnd = StartBar();
        s_hwndFront = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 9, 9, NULL, NULL, NULL, NULL);
        Command(m_hwnd, IDM_AUTOHIDE_ON);
        PointerTo(m_hwnd, W / 2, H / 2);
        Activate(m_hwnd, WA_INACTIVE);
        ASSERT_EQ(WindowRect(m_hwnd), SLIVER);
    }
};

TEST_F(AutoHideTiming, ShowsOnlyWhenThePointerRestsOnTheSliverThenSlidesOutIn200Ms)
{
    DWORD tPass = s_dwNow;
    PointerTo(m_hwnd, W / 2, 0);
    Advance(30);
    PointerTo(m_hwnd, W / 2, H / 2);
    Advance(1000);
    EXPECT_EQ(Moved(tPass, SLIVER, false), 0u) << "shown though the pointer only passed over the sliver";

    DWORD tRest = s_dwNow;
    PointerTo(m_hwnd, W / 2, 0);
    Advance(1000);
    DWORD tStart = Moved(tRest, SLIVER, false), tEnd = Moved(tRest, SHOWN, true);
    ASSERT_TRUE(tStart && tEnd) << "not shown under the pointer";
    EXPECT_NEAR(tStart - tRest, 50, 2 * STEP) << "the show does not begin 50 ms after the pointer comes to rest";
    EXPECT_NEAR(tEnd - tStart, 200, 4 * STEP) << "the slide out does not last 200 ms";
}

TEST_F(AutoHideTiming, HidesAtTheFirstCheckAfterThePointerLeavesThenSlidesAwayIn400Ms)
{
    PointerTo(m_hwnd, W / 2, 0);
    Advance(1000);
    PointerTo(m_hwnd, W / 2, 40);
    Advance(3000);
    ASSERT_EQ(WindowRect(m_hwnd), SHOWN) << "not shown, or hidden under the pointer";

    DWORD tLeave = s_dwNow;
    PointerTo(m_hwnd, W / 2, H / 2);
    Advance(2000);
    DWORD tStart = Moved(tLeave, SHOWN, false), tEnd = Moved(tLeave, SLIVER, true);
    ASSERT_TRUE(tStart && tEnd) << "not hidden 2 s after the pointer left";
    EXPECT_LE(tStart - tLeave, 500 + 2 * STEP) << "not hidden at the first check after the pointer left";
    EXPECT_NEAR(tEnd - tStart, 400, 4 * STEP) << "the slide away does not last 400 ms";
    EXPECT_NEAR(RectAt(tStart + 200).bottom, 75 - 73 / 2, 3) << "not half way after half the time";
}
