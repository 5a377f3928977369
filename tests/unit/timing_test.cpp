/* Auto-hide as the user feels it: when the bar starts to move and how long
   the move takes, on a clock the test turns. The tick count, the window
   timers and the pointer are doubles; each read of
   the tick count stands for STEP ms of work, so a slide takes its steps. */
#include <gtest/gtest.h>

#include <olectl.h>

#include <algorithm>
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
static ImportPatch *s_pPlace;

static DWORD WINAPI Ticks() { return s_dwNow += STEP; }
static BOOL WINAPI Pointer(LPPOINT ppt) { *ppt = s_ptPointer; return TRUE; }
static HRESULT WINAPI NoAd(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *ppv) { *ppv = NULL; return E_FAIL; }

static BOOL WINAPI KillFakeTimer(HWND hwnd, UINT_PTR id)
{
    size_t n = s_timers.size();
    s_timers.erase(std::remove_if(s_timers.begin(), s_timers.end(),
                                  [&](const Timer &t) { return t.hwnd == hwnd && t.id == id; }), s_timers.end());
    return s_timers.size() != n;
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
    for (DWORD dwEnd = s_dwNow + ms;;) {
        auto next = std::min_element(s_timers.begin(), s_timers.end(),
                                     [](const Timer &a, const Timer &b) { return a.dwDue < b.dwDue; });
        if (next == s_timers.end() || next->dwDue > dwEnd) {
            s_dwNow = std::max(s_dwNow, dwEnd);
            return;
        }
        s_dwNow = std::max(s_dwNow, next->dwDue);
        next->dwDue = s_dwNow + next->dwPeriod;
        SendMessageA(next->hwnd, WM_TIMER, next->id, 0);
    }
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

class AutoHideTiming : public testing::Test {
protected:
    ImportPatch m_ticks { "kernel32.dll", "GetTickCount", (void *)Ticks };
    ImportPatch m_set { "user32.dll", "SetTimer", (void *)SetFakeTimer };
    ImportPatch m_kill { "user32.dll", "KillTimer", (void *)KillFakeTimer };
    ImportPatch m_pointer { "user32.dll", "GetCursorPos", (void *)Pointer };
    ImportPatch m_place { "user32.dll", "SetWindowPos", (void *)RecordedPlacement };
    ImportPatch m_load { "oleaut32.dll", "OleLoadPicturePath", (void *)NoAd };
    HWND m_hwnd = NULL;

    /* An auto-hide bar at the top, slid away, another program's window in front. */
    void SetUp() override
    {
        s_pPlace = &m_place;
        m_hwnd = StartBar();
        Command(m_hwnd, IDM_AUTOHIDE_ON);
        PointerTo(m_hwnd, W / 2, H / 2);
        SetForegroundWindow(CreateWindowA("STATIC", "", WS_POPUP | WS_VISIBLE, 0, 300, 9, 9, NULL, NULL, NULL, NULL));
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
}
