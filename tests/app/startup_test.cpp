#include <gtest/gtest.h>

#include <algorithm>
#include <string.h>
#include <vector>

#include "ads/ads.h"
#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "support/barwin.h"
#include "support/imports.h"
#include "support/modelshell.h"
#include "support/msgbox.h"
#include "support/msglog.h"
#include "apphelp.h"

namespace {

WNDCLASSEXA g_wcex;
WNDCLASSA g_wc;
int g_nRegisterA;
ATOM(WINAPI *g_pfnRegisterClassA)(const WNDCLASSA *);
bool g_bRegisterAFails;

ATOM WINAPI FailingRegisterClassExA(const WNDCLASSEXA *pwc)
{
    g_wcex = *pwc;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

ATOM WINAPI WatchedRegisterClassA(const WNDCLASSA *pwc)
{
    g_wc = *pwc;
    g_nRegisterA++;
    if (g_bRegisterAFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return g_pfnRegisterClassA(pwc);
}

SIZE IconSize(HICON hIcon)
{
    ICONINFO ii = {};
    BITMAP bm = {};
    SIZE sz = { 0, 0 };
    if (GetIconInfo(hIcon, &ii)) {
        GetObjectA(ii.hbmColor ? ii.hbmColor : ii.hbmMask, sizeof(bm), &bm);
        sz = { bm.bmWidth, ii.hbmColor ? bm.bmHeight : bm.bmHeight / 2 };
        DeleteObject(ii.hbmColor);
        DeleteObject(ii.hbmMask);
    }
    return sz;
}

}

TEST(Startup, CreatesDockedBarShownWithItsFirstPaintDone)
{
    MessageRecorder rec;
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, ScreenW(), 75 }));
    EXPECT_EQ(g_hAppInstance, GetModuleHandleA(nullptr));
    BarState *pState = GetBarState(hwnd);
    ASSERT_NE(pState, nullptr);
    EXPECT_EQ(pState->uEdge, (UINT)ABE_TOP);
    EXPECT_EQ(pState->cxWidth, 80);
    EXPECT_EQ(pState->cyHeight, 75);
    EXPECT_FALSE(pState->bAutoHide || pState->bAlwaysOnTop || pState->bHidden);
    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));

    /* Docked while hidden: the window is shown only after the creation
       handler's negotiation, and the first paint has run when start-up returns. */
    EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    EXPECT_EQ(g_nAdNumber, 2);
    std::vector<std::string> order = EventLog::Filtered({ "WM_CREATE", "ABM_NEW", "ABM_SETPOS", "WM_SHOWWINDOW" });
    auto at = [&](const std::string &e) {
        return std::find_if(order.begin(), order.end(), [&](const std::string &o) { return o.compare(0, e.size(), e) == 0; }) -
               order.begin();
    };
    ASSERT_LT(at("WM_SHOWWINDOW"), (long)order.size());
    EXPECT_EQ(at("WM_CREATE"), 0);
    EXPECT_LT(at("WM_CREATE"), at("ABM_NEW"));
    EXPECT_LT(at("ABM_NEW"), at("ABM_SETPOS"));
    EXPECT_LT(at("ABM_SETPOS"), at("WM_SHOWWINDOW"));
    EXPECT_TRUE(IsWindowEnabled(hwnd));
}

/* The class table, and the fallback that registers the same fields without
   the structure size and the small icon. */
TEST(Startup, FallsBackToRegisterClassWithTheSameFields)
{
    ImportPatch ex("user32.dll", "RegisterClassExA", (void *)FailingRegisterClassExA);
    ImportPatch a("user32.dll", "RegisterClassA", (void *)WatchedRegisterClassA);
    ASSERT_TRUE(ex.Patched() && a.Patched());
    g_pfnRegisterClassA = a.Original<ATOM(WINAPI *)(const WNDCLASSA *)>();
    MessageBoxWatcher boxes;

    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(g_nRegisterA, 1);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, ScreenW(), 75 }));

    EXPECT_EQ(g_wcex.cbSize, sizeof(WNDCLASSEXA));
    EXPECT_EQ(g_wcex.style, 0u);
    EXPECT_EQ(g_wcex.lpfnWndProc, MainWndProc);
    EXPECT_EQ(g_wcex.cbClsExtra, 0);
    EXPECT_EQ(g_wcex.cbWndExtra, (int)sizeof(BarState *));
    EXPECT_EQ(g_wcex.hInstance, GetModuleHandleA(nullptr));
    EXPECT_EQ(g_wcex.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(g_wcex.hbrBackground, (HBRUSH)(INT_PTR)8);
    EXPECT_EQ(g_wcex.lpszMenuName, nullptr);
    EXPECT_STREQ(g_wcex.lpszClassName, "VantorelAdBar");
    ASSERT_NE(g_wcex.hIcon, nullptr);
    ASSERT_NE(g_wcex.hIconSm, nullptr);
    EXPECT_EQ(IconSize(g_wcex.hIcon).cx, 32);
    EXPECT_EQ(IconSize(g_wcex.hIconSm).cx, 16);

    EXPECT_EQ(g_wc.style, g_wcex.style);
    EXPECT_EQ(g_wc.lpfnWndProc, g_wcex.lpfnWndProc);
    EXPECT_EQ(g_wc.cbClsExtra, g_wcex.cbClsExtra);
    EXPECT_EQ(g_wc.cbWndExtra, g_wcex.cbWndExtra);
    EXPECT_EQ(g_wc.hInstance, g_wcex.hInstance);
    EXPECT_EQ(g_wc.hIcon, g_wcex.hIcon);
    EXPECT_EQ(g_wc.hCursor, g_wcex.hCursor);
    EXPECT_EQ(g_wc.hbrBackground, g_wcex.hbrBackground);
    EXPECT_EQ(g_wc.lpszMenuName, nullptr);
    EXPECT_STREQ(g_wc.lpszClassName, "VantorelAdBar");
}

TEST(Startup, BothClassRegistrationsFailingShowLine164AndFail)
{
    ImportPatch ex("user32.dll", "RegisterClassExA", (void *)FailingRegisterClassExA);
    ImportPatch a("user32.dll", "RegisterClassA", (void *)WatchedRegisterClassA);
    g_bRegisterAFails = true;
    MessageBoxWatcher boxes;

    EXPECT_FALSE(RegisterBarClass(GetModuleHandleA(nullptr)));
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    const BoxSeen &box = boxes.Boxes()[0];
    EXPECT_EQ(box.caption, "Generic, Line=164, File=Main");
    EXPECT_EQ(box.text, SystemText(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(box.text.empty());
    EXPECT_EQ(box.uType, (UINT)(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(box.hwndOwner, nullptr);
    EXPECT_TRUE(box.closed);
    WNDCLASSA wc;
    EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), BAR_CLASS_NAME, &wc));
}

namespace {

HWND WINAPI FailingCreateWindowExA(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

int g_nThreads;
HANDLE(WINAPI *g_pfnCreateThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
struct ThreadCall {
    LPSECURITY_ATTRIBUTES psa;
    SIZE_T cbStack;
    LPTHREAD_START_ROUTINE pfn;
    LPVOID pv;
    DWORD dwFlags;
    HANDLE hThread;
} g_thread;

HANDLE WINAPI WatchedCreateThread(LPSECURITY_ATTRIBUTES psa, SIZE_T cb, LPTHREAD_START_ROUTINE pfn, LPVOID pv,
                                  DWORD dwFlags, LPDWORD pdwId)
{
    HANDLE h = g_pfnCreateThread(psa, cb, pfn, pv, dwFlags, pdwId);
    if (pfn == RefreshThreadProc) {
        g_nThreads++;
        g_thread = { psa, cb, pfn, pv, dwFlags, h };
    }
    return h;
}

}

TEST(Startup, WindowCreationFailureShowsLine243AndStartsNothing)
{
    ImportPatch cw("user32.dll", "CreateWindowExA", (void *)FailingCreateWindowExA);
    ImportPatch ct("kernel32.dll", "CreateThread", (void *)WatchedCreateThread);
    g_pfnCreateThread = ct.Original<decltype(g_pfnCreateThread)>();
    MessageBoxWatcher boxes;

    HINSTANCE hInstance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(RegisterBarClass(hInstance));
    EXPECT_FALSE(CreateBarWindow(hInstance, SW_SHOWDEFAULT));
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    const BoxSeen &box = boxes.Boxes()[0];
    EXPECT_EQ(box.caption, "Generic, Line=243, File=Main");
    EXPECT_EQ(box.text, SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(box.uType, (UINT)(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(box.hwndOwner, nullptr);
    EXPECT_TRUE(box.closed);
    EXPECT_EQ(g_nThreads, 0);
    EXPECT_EQ(FindWindowA(BAR_CLASS_NAME, nullptr), nullptr);
}

namespace {

LPVOID(WINAPI *g_pfnHeapAlloc)(HANDLE, DWORD, SIZE_T);
int g_nRecordAllocs;
DWORD g_dwFormatted = 0xFFFFFFFF;
DWORD(WINAPI *g_pfnFormatMessageA)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *);

LPVOID WINAPI RecordlessHeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T cb)
{
    if (cb == sizeof(BarState) && (dwFlags & HEAP_ZERO_MEMORY)) {
        g_nRecordAllocs++;
        return nullptr;
    }
    return g_pfnHeapAlloc(hHeap, dwFlags, cb);
}

DWORD WINAPI SeenFormatMessageA(DWORD dwFlags, LPCVOID pvSource, DWORD dwId, DWORD dwLang, LPSTR psz, DWORD n,
                                va_list *args)
{
    g_dwFormatted = dwId;
    return g_pfnFormatMessageA(dwFlags, pvSource, dwId, dwLang, psz, n, args);
}

}

/* The creation handler refuses when its record cannot be had: window creation
   fails before the bar registers with the shell, and nothing is freed. */
TEST(Startup, RecordAllocationFailureFailsCreationWithLine243)
{
    ImportPatch ha("kernel32.dll", "HeapAlloc", (void *)RecordlessHeapAlloc);
    ImportPatch fm("kernel32.dll", "FormatMessageA", (void *)SeenFormatMessageA);
    ASSERT_TRUE(ha.Patched() && fm.Patched());
    g_pfnHeapAlloc = ha.Original<decltype(g_pfnHeapAlloc)>();
    g_pfnFormatMessageA = fm.Original<decltype(g_pfnFormatMessageA)>();
    HeapFreeWatch frees(nullptr, 0);
    MessageBoxWatcher boxes;

    HINSTANCE hInstance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(RegisterBarClass(hInstance));
    EXPECT_FALSE(CreateBarWindow(hInstance, SW_SHOWDEFAULT));
    EXPECT_EQ(g_nRecordAllocs, 1);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Generic, Line=243, File=Main");
    EXPECT_EQ(boxes.Boxes()[0].text, SystemText(g_dwFormatted));
    EXPECT_EQ(FindWindowA(BAR_CLASS_NAME, nullptr), nullptr);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_NEW).empty());
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_REMOVE).empty());
    EXPECT_EQ(frees.OtherFrees(), 0);
}

namespace {

std::vector<HANDLE> g_closed;
BOOL(WINAPI *g_pfnCloseHandle)(HANDLE);
std::vector<DWORD> g_sleeps;
void(WINAPI *g_pfnSleep)(DWORD);

BOOL WINAPI SeenCloseHandle(HANDLE h)
{
    g_closed.push_back(h);
    return g_pfnCloseHandle(h);
}

/* Only the refresh interval is shortened, so the test sees several cycles. */
void WINAPI QuickSleep(DWORD dwMs)
{
    if (dwMs == AD_REFRESH_INTERVAL) {
        g_sleeps.push_back(dwMs);
        dwMs = 30;
    }
    g_pfnSleep(dwMs);
}

}

TEST(Startup, RefreshThreadSendsPaintAfterEachInterval)
{
    ImportPatch ct("kernel32.dll", "CreateThread", (void *)WatchedCreateThread);
    ImportPatch ch("kernel32.dll", "CloseHandle", (void *)SeenCloseHandle);
    ImportPatch sl("kernel32.dll", "Sleep", (void *)QuickSleep);
    ASSERT_TRUE(ct.Patched() && ch.Patched() && sl.Patched());
    g_pfnCreateThread = ct.Original<decltype(g_pfnCreateThread)>();
    g_pfnCloseHandle = ch.Original<decltype(g_pfnCloseHandle)>();
    g_pfnSleep = sl.Original<decltype(g_pfnSleep)>();

    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_EQ(g_nThreads, 1);
    EXPECT_EQ(g_thread.psa, nullptr);
    EXPECT_EQ(g_thread.cbStack, 0u);
    EXPECT_EQ(g_thread.pv, (LPVOID)hwnd);
    EXPECT_EQ(g_thread.dwFlags, 0u);
    ASSERT_NE(g_thread.hThread, nullptr);
    EXPECT_NE(std::find(g_closed.begin(), g_closed.end(), g_thread.hThread), g_closed.end());

    /* Sent, not posted: each request runs the paint handler on this thread. */
    MessageRecorder rec;
    int nFirst = g_nAdNumber;
    ASSERT_TRUE(PumpUntil([] { return EventLog::Filtered({ "WM_PAINT" }).size() >= 3; }, 5000));
    EXPECT_GE(g_sleeps.size(), 3u);
    EXPECT_NE(g_nAdNumber, nFirst);
}
