#include "bar/bar.h"

#include <windowsx.h>
#include <commctrl.h>

#include "ads/ads.h"
#include "app/trace.h"
#include "bar/commands.h"
#include "bar/state.h"
#include "dock/appbar.h"
#include "res/resource.h"

/* Broadcast by the shell when it (re)starts: its registrations are gone. */
static UINT g_uTaskbarCreated;

static BOOL Main_OnCreate(HWND hwnd, LPCREATESTRUCTA lpCreateStruct)
{
    InitCommonControls();
    g_uTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");

    BarState *pState = (BarState *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(BarState));
    if (!pState) {
        /* HeapAlloc sets no error code: start-up reports this one. */
        if (lpCreateStruct->lpCreateParams)
            *(DWORD *)lpCreateStruct->lpCreateParams = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }

    /* Stored before docking: the moves below re-enter this window procedure. */
    SetBarState(hwnd, pState);
    pState->bAutoHide    = FALSE;
    pState->bAlwaysOnTop = FALSE;
    pState->uEdge        = ABE_TOP;
    pState->cxWidth      = BAR_DEFAULT_WIDTH;
    pState->cyHeight     = BAR_DEFAULT_HEIGHT;

    AppBarRegister(hwnd);
    AppBarSetSide(hwnd, ABE_TOP);
    return TRUE;
}

static void Main_OnDestroy(HWND hwnd)
{
    if (g_bRegistered)
        SendMessageA(hwnd, WM_COMMAND, IDM_UNREGISTER, 0);

    /* The pointer is cleared with the free: after a WM_COPYDATA teardown the
       window lives on until the loop sees the quit, and later messages must
       find no record rather than a freed one. The unregister command above
       waits for the shell, and a second teardown may have come through. */
    BarState *pState = GetBarState(hwnd);
    if (!pState)
        return;
    SetBarState(hwnd, NULL);
    HeapFree(GetProcessHeap(), 0, pState);
    /* A quit that arrives while the popup menu is open must not wait for the user to close it. */
    EndMenu();
    PostQuitMessage(0);
}

/* Sign-out, shutdown, or the Restart Manager closing the bar because an
   installer needs its files: the bar lets the session end. */
static BOOL Main_OnQueryEndSession(HWND)
{
    return TRUE;
}

/* The process may be ended as soon as this returns, so the bar leaves the
   shell here, as its Exit item has it do, or its strip would stay reserved.
   Then it ends at once: inside a download the quit would wait for the
   download, and the Restart Manager gives up on a program that lingers (the
   install then asks for a restart). Terminated, not exited: the loader's
   threads may hold locks that DLLs' detach code would wait on. */
static void Main_OnEndSession(HWND hwnd, BOOL fEnding)
{
    if (!fEnding)
        return;
    DestroyWindow(hwnd);
    TerminateProcess(GetCurrentProcess(), 0);
}

static BOOL Main_OnCopyData(HWND hwnd, HWND, PCOPYDATASTRUCT)
{
    Main_OnDestroy(hwnd);
    return TRUE;
}

static void Main_OnActivate(HWND hwnd, UINT state, HWND, BOOL)
{
    AppBarActivate(hwnd);

    switch (state) {
    case WA_INACTIVE:
        AppBarHide(hwnd);
        break;
    case WA_ACTIVE:
    case WA_CLICKACTIVE:
        AppBarUnhide(hwnd);
        AppBarStopHideTimer(hwnd);
        break;
    }
}

static void Main_OnWindowPosChanged(HWND hwnd, const LPWINDOWPOS lpwpos)
{
    AppBarWindowPosChanged(hwnd);

    /* The default handling is what sends WM_SIZE and WM_MOVE. */
    DefWindowProcA(hwnd, WM_WINDOWPOSCHANGED, 0, (LPARAM)lpwpos);
}

static void Main_OnMove(HWND hwnd, int, int)
{
    if (GetBarState(hwnd)->bAutoHide)
        return;
    AppBarReposition(hwnd);
}

static void Main_OnSize(HWND hwnd, UINT, int cx, int cy)
{
    BarState *pState = GetBarState(hwnd);
    if (pState->bAutoHide)
        return;

    if (!pState->bHidden && (cx == 0 || cy == 0))
        TraceOut("Client area has a zero dimension!\r\n");

    AppBarReposition(hwnd);

    /* Re-read: the renegotiation above may have moved the window, and may even
       have torn the bar down through a nested message. */
    pState = GetBarState(hwnd);
    if (!pState || pState->bHidden)
        return;

    RECT rc;
    GetWindowRect(hwnd, &rc);
    if (pState->uEdge == ABE_TOP || pState->uEdge == ABE_BOTTOM)
        pState->cyHeight = rc.bottom - rc.top;
    else
        pState->cxWidth = rc.right - rc.left;
    TraceOut("Main_OnSize: cxWidth = %d, cyHeight = %d\r\n", pState->cxWidth, pState->cyHeight);
}

/* The frame would otherwise keep the window at least its own thickness
   (about 10 pixels), and the hidden bar must shrink to its 2-pixel sliver. */
static void Main_OnGetMinMaxInfo(HWND, LPMINMAXINFO lpMinMaxInfo)
{
    lpMinMaxInfo->ptMinTrackSize.x = SLIVER_THICKNESS;
    lpMinMaxInfo->ptMinTrackSize.y = SLIVER_THICKNESS;
}

static UINT Main_OnNCHitTest(HWND hwnd, int x, int y)
{
    AppBarStartShowTimer(hwnd);

    UINT uHit = (UINT)DefWindowProcA(hwnd, WM_NCHITTEST, 0, MAKELPARAM(x, y));
    /* Only the border facing the screen's interior may size the bar. */
    UINT uInner;
    switch (GetBarState(hwnd)->uEdge) {
    case ABE_LEFT:   uInner = HTRIGHT;  break;
    case ABE_TOP:    uInner = HTBOTTOM; break;
    case ABE_RIGHT:  uInner = HTLEFT;   break;
    default:         uInner = HTTOP;    break;
    }
    return uHit == uInner ? uHit : HTCLIENT;
}

static void Main_OnLButtonDown(HWND hwnd, BOOL, int, int, UINT)
{
    SetCapture(hwnd);
}

/* The bar offers no drag to another edge: docking is by command. */
static void Main_OnMouseMove(HWND, int, int, UINT)
{
}

static void Main_OnLButtonUp(HWND hwnd, int, int, UINT)
{
    /* A captured pointer gets no hit tests, and hit tests are what bring a
       hidden bar back: the capture must end with the click. */
    if (GetCapture() == hwnd)
        ReleaseCapture();
}

static LRESULT BarWndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == g_uTaskbarCreated && uMsg != 0) {
        AppBarShellRestarted(hwnd);
        return 0;
    }

    switch (uMsg) {
        HANDLE_MSG(hwnd, WM_CREATE,            Main_OnCreate);
        HANDLE_MSG(hwnd, WM_DESTROY,           Main_OnDestroy);
        HANDLE_MSG(hwnd, WM_MOVE,              Main_OnMove);
        HANDLE_MSG(hwnd, WM_SIZE,              Main_OnSize);
        HANDLE_MSG(hwnd, WM_ACTIVATE,          Main_OnActivate);
        HANDLE_MSG(hwnd, WM_PAINT,             Main_OnPaint);
        HANDLE_MSG(hwnd, WM_WINDOWPOSCHANGED,  Main_OnWindowPosChanged);
        HANDLE_MSG(hwnd, WM_COPYDATA,          Main_OnCopyData);
        HANDLE_MSG(hwnd, WM_QUERYENDSESSION,   Main_OnQueryEndSession);
        HANDLE_MSG(hwnd, WM_ENDSESSION,        Main_OnEndSession);
        HANDLE_MSG(hwnd, WM_GETMINMAXINFO,     Main_OnGetMinMaxInfo);
        HANDLE_MSG(hwnd, WM_NCHITTEST,         Main_OnNCHitTest);
        HANDLE_MSG(hwnd, WM_COMMAND,           Main_OnCommand);
        HANDLE_MSG(hwnd, WM_TIMER,             Main_OnTimer);
        HANDLE_MSG(hwnd, WM_MOUSEMOVE,         Main_OnMouseMove);
        HANDLE_MSG(hwnd, WM_LBUTTONDOWN,       Main_OnLButtonDown);
        HANDLE_MSG(hwnd, WM_LBUTTONUP,         Main_OnLButtonUp);
        HANDLE_MSG(hwnd, WM_RBUTTONDOWN,       Main_OnRButtonDown);

    case APPBAR_CALLBACK:
        AppBarCallback(hwnd, uMsg, wParam, lParam);
        return 0;
    }
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    /* Without its record the window is either not created yet or torn down
       and waiting for the loop to see the quit: the bar does nothing then.
       On Windows a refused WM_CREATE is followed by WM_DESTROY, and a quit
       posted there would close the start-up's error box at once. */
    BarState *pState = GetBarState(hwnd);
    if (!pState && uMsg != WM_CREATE)
        return DefWindowProcA(hwnd, uMsg, wParam, lParam);

    LRESULT lResult = BarWndProc(hwnd, uMsg, wParam, lParam);

    /* A modal loop that ran inside this message (the size or move loop, a
       menu, a download, a message box) lets other programs' messages through,
       and the teardown may have run in there; such a loop may also take the
       quit for itself, and the process would live on without a window. The
       quit is a flag, so posting it again is harmless. */
    if (pState && !GetBarState(hwnd))
        PostQuitMessage(0);
    return lResult;
}
