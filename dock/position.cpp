#include "dock/private.h"

#include "app/trace.h"
#include "bar/state.h"
#include "dock/shellgate.h"
#include "res/resource.h"

BOOL g_bRegistered;
RECT g_rcBar;
static HWND g_hwndZAnchor;  /* the window above the bar when a full-screen app opened */

void AppBarInitRequest(PAPPBARDATA pabd, HWND hwnd)
{
    ZeroMemory(pabd, sizeof(*pabd));
    pabd->cbSize = sizeof(*pabd);
    pabd->hWnd = hwnd;
}

/* The strip of thickness t along an edge of the whole screen. */
static void AppBarEdgeRect(UINT uEdge, int t, LPRECT lprc)
{
    int cx = GetSystemMetrics(SM_CXSCREEN);
    int cy = GetSystemMetrics(SM_CYSCREEN);

    SetRect(lprc, 0, 0, cx, cy);
    switch (uEdge) {
    case ABE_LEFT:   lprc->right = t;       break;
    case ABE_TOP:    lprc->bottom = t;      break;
    case ABE_RIGHT:  lprc->left = cx - t;   break;
    case ABE_BOTTOM: lprc->top = cy - t;    break;
    }
}

/* Requests that carry nothing but the bar itself. */
static void AppBarNotify(HWND hwnd, DWORD dwMessage)
{
    APPBARDATA abd;

    AppBarInitRequest(&abd, hwnd);
    AppBarMessage(dwMessage, &abd);
}

void AppBarActivate(HWND hwnd)
{
    AppBarNotify(hwnd, ABM_ACTIVATE);
}

void AppBarWindowPosChanged(HWND hwnd)
{
    AppBarNotify(hwnd, ABM_WINDOWPOSCHANGED);
}

BOOL AppBarRegister(HWND hwnd)
{
    APPBARDATA abd;

    AppBarInitRequest(&abd, hwnd);
    abd.uCallbackMessage = APPBAR_CALLBACK;
    BOOL bNew = AppBarMessage(ABM_NEW, &abd) != 0;
    /* A teardown that came through while the shell answered sent no removal,
       the bar not being registered yet: the shell would keep a dead bar's strip. */
    if (bNew && !GetBarState(hwnd)) {
        AppBarMessage(ABM_REMOVE, &abd);
        return FALSE;
    }
    /* The shell refuses a second ABM_NEW for a window it already holds: a
       repeated register command must not make the bar forget that it is
       registered, or it would stop renegotiating and never ask to be removed. */
    g_bRegistered = bNew || g_bRegistered;
    return bNew;
}

BOOL AppBarUnregister(HWND hwnd)
{
    BarState *pState = GetBarState(hwnd);
    APPBARDATA abd;

    /* Nothing says that removing a bar frees its edge's auto-hide slot; a slot
       left held would keep that edge from hiding any other bar or the taskbar. */
    AppBarInitRequest(&abd, hwnd);
    if (pState && pState->bAutoHide) {
        abd.uEdge = pState->uEdge;
        if ((HWND)AppBarMessage(ABM_GETAUTOHIDEBAR, &abd) == hwnd) {
            abd.lParam = FALSE;
            AppBarMessage(ABM_SETAUTOHIDEBAR, &abd);
        }
        AppBarInitRequest(&abd, hwnd);
    }
    BOOL bRemoved = AppBarMessage(ABM_REMOVE, &abd) != 0;
    g_bRegistered = !bRemoved;
    return bRemoved;
}

static void AppBarQueryPos(HWND hwnd, LPRECT lprc)
{
    BarState *pState = GetBarState(hwnd);
    APPBARDATA abd;
    int t;

    if (!pState)
        return;
    AppBarInitRequest(&abd, hwnd);
    abd.uEdge = pState->uEdge;
    abd.rc = *lprc;

    /* The thickness is the caller's; the length always spans the screen. */
    if (abd.uEdge == ABE_LEFT || abd.uEdge == ABE_RIGHT) {
        t = abd.rc.right - abd.rc.left;
        abd.rc.top = 0;
        abd.rc.bottom = GetSystemMetrics(SM_CYSCREEN);
    } else {
        t = abd.rc.bottom - abd.rc.top;
        abd.rc.left = 0;
        abd.rc.right = GetSystemMetrics(SM_CXSCREEN);
    }

    AppBarMessage(ABM_QUERYPOS, &abd);

    /* The shell moves only the side that clears other bars; keep the thickness. */
    switch (abd.uEdge) {
    case ABE_LEFT:   abd.rc.right = abd.rc.left + t;    break;
    case ABE_TOP:    abd.rc.bottom = abd.rc.top + t;    break;
    case ABE_RIGHT:  abd.rc.left = abd.rc.right - t;    break;
    case ABE_BOTTOM: abd.rc.top = abd.rc.bottom - t;    break;
    }
    *lprc = abd.rc;
}

void AppBarQuerySetPos(UINT uEdge, LPRECT lprc, PAPPBARDATA pabd, BOOL bMove)
{
    BarState *pState = GetBarState(pabd->hWnd);
    if (!pState)
        return;

    /* A top bar always ends at row 75. Below other bars that already reach
       that row, it keeps the thickness it was proposed with instead of
       collapsing to nothing. A bottom bar keeps its strip at the screen's foot. */
    if (uEdge != ABE_BOTTOM) {
        if (lprc->top < APPBAR_TOP_BOTTOM_ROW)
            lprc->bottom = APPBAR_TOP_BOTTOM_ROW;
        else if (lprc->bottom <= lprc->top)
            lprc->bottom = lprc->top + APPBAR_TOP_BOTTOM_ROW;
    }

    TraceOut("AppBarQuerySetPos: uEdge=%d, lprc->left=%d, lprc->top=%d, lprc->right=%d, lprc->bottom=%d\r\n",
             (int)uEdge, (int)lprc->left, (int)lprc->top, (int)lprc->right, (int)lprc->bottom);

    pabd->rc = *lprc;
    pabd->uEdge = uEdge;
    pState->uEdge = uEdge;

    AppBarQueryPos(pabd->hWnd, &pabd->rc);
    AppBarMessage(ABM_SETPOS, pabd);

    if (bMove)
        MoveWindow(pabd->hWnd, pabd->rc.left, pabd->rc.top,
                   pabd->rc.right - pabd->rc.left, pabd->rc.bottom - pabd->rc.top, TRUE);

    /* The move re-enters the window procedure, which may have ended the bar
       or renegotiated: the window stands at the latest answer, and that is
       the rectangle a slide must return to. */
    pState = GetBarState(pabd->hWnd);
    if (pState && !pState->bAutoHide) {
        if (bMove)
            GetWindowRect(pabd->hWnd, &g_rcBar);
        else
            g_rcBar = pabd->rc;
    }
}

BOOL AppBarSetSide(HWND hwnd, UINT uEdge)
{
    BarState *pState = GetBarState(hwnd);
    APPBARDATA abd;
    RECT rc;

    g_nPlacements++;

    if (!pState)
        return TRUE;
    AppBarInitRequest(&abd, hwnd);

    /* An auto-hide bar gives up its edge's slot first and claims the new
       edge's afterwards; the desktop is not redrawn in between. */
    BOOL bAutoHide = pState->bAutoHide;
    if (bAutoHide) {
        SendMessageA(GetDesktopWindow(), WM_SETREDRAW, FALSE, 0);
        AppBarSetAutoHide(hwnd, FALSE);
    }

    /* Switching off waits for the shell, and a quit may have come through meanwhile. */
    pState = GetBarState(hwnd);
    if (pState) {
        AppBarEdgeRect(uEdge, (uEdge == ABE_LEFT || uEdge == ABE_RIGHT) ? pState->cxWidth : pState->cyHeight, &rc);
        AppBarQuerySetPos(uEdge, &rc, &abd, TRUE);
    }

    /* Still on: the shell no longer names this bar its edge's auto-hide bar
       (it restarted, or dropped the bar), so switching off was refused and the
       negotiation left g_rcBar at the old edge. The sliver below and every
       later slide out are built from it, so it must be the new edge's strip. */
    pState = GetBarState(hwnd);
    if (pState && pState->bAutoHide)
        g_rcBar = abd.rc;

    if (bAutoHide) {
        AppBarSetAutoHide(hwnd, TRUE);
        SendMessageA(GetDesktopWindow(), WM_SETREDRAW, TRUE, 0);
        /* As WM_SETREDRAW's documentation prescribes: without desktop
           composition the wallpaper and the frames at the old edge would
           otherwise keep the bar's pixels. Not RDW_UPDATENOW: that waits for
           every program to repaint, a hung one for ever. */
        RedrawWindow(GetDesktopWindow(), NULL, NULL, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
    }
    return TRUE;
}

void AppBarReposition(HWND hwnd)
{
    BarState *pState = GetBarState(hwnd);
    APPBARDATA abd;
    RECT rc;

    if (!g_bRegistered || !pState)
        return;
    AppBarInitRequest(&abd, hwnd);
    GetWindowRect(hwnd, &rc);
    AppBarQuerySetPos(pState->uEdge, &rc, &abd, TRUE);
}

static void AppBarPosChanged(PAPPBARDATA pabd)
{
    BarState *pState = GetBarState(pabd->hWnd);
    RECT rcWindow, rc;

    TraceOut("AppBarPosChanged\r\n");
    if (!pState)
        return;

    BOOL bSide = pState->uEdge == ABE_LEFT || pState->uEdge == ABE_RIGHT;
    if (pState->bAutoHide)
        AppBarEdgeRect(pState->uEdge, bSide ? g_cxSaved : g_cySaved, &g_rcBar);

    GetWindowRect(pabd->hWnd, &rcWindow);
    AppBarEdgeRect(pState->uEdge,
                   bSide ? rcWindow.right - rcWindow.left : rcWindow.bottom - rcWindow.top, &rc);
    AppBarQuerySetPos(pState->uEdge, &rc, pabd, TRUE);
}

void AppBarCallback(HWND hwnd, UINT, WPARAM wParam, LPARAM lParam)
{
    APPBARDATA abd;
    BarState *pState = GetBarState(hwnd);

    AppBarInitRequest(&abd, hwnd);

    switch (wParam) {
    case ABN_STATECHANGE:
        TraceOut("AppBarCallback: ABN_STATECHANGE\r\n");
        break;

    case ABN_POSCHANGED:
        TraceOut("AppBarCallback: ABN_POSCHANGED\r\n");
        AppBarPosChanged(&abd);
        break;

    case ABN_FULLSCREENAPP:
        TraceOut("AppBarCallback: ABN_FULLSCREENAPP\r\n");
        if (lParam) {
            /* Step behind the full-screen window, remembering where we stood. */
            g_hwndZAnchor = GetWindow(hwnd, GW_HWNDPREV);
            SetWindowPos(hwnd, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
        } else {
            /* A null anchor puts the bar on top, as HWND_TOP would. */
            HWND hwndAfter = (pState && pState->bAlwaysOnTop) ? HWND_TOPMOST : g_hwndZAnchor;
            /* An anchor closed meanwhile would leave the bar behind everything for good. */
            if (hwndAfter != HWND_TOPMOST && hwndAfter && !IsWindow(hwndAfter))
                hwndAfter = HWND_TOP;
            SetWindowPos(hwnd, hwndAfter, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
            g_hwndZAnchor = NULL;
        }
        break;
    }
}

/* A restarted shell has forgotten every bar. Without a new registration other
   windows would cover the strip, so a registered bar registers again and
   docks anew, auto-hide included. The old registration is removed first: the
   same broadcast also comes when the shell did not restart, and a second
   ABM_NEW for a window still registered is refused. */
void AppBarShellRestarted(HWND hwnd)
{
    BarState *pState = GetBarState(hwnd);

    if (!g_bRegistered || !pState)
        return;
    TraceOut("AppBarShellRestarted\r\n");
    AppBarUnregister(hwnd);
    /* Whether the shell forgot the bar or just let it go, it holds it no more. */
    g_bRegistered = FALSE;
    if (!AppBarRegister(hwnd))
        return;

    /* The two requests above wait for the shell, and a quit may have come through meanwhile. */
    pState = GetBarState(hwnd);
    if (!pState)
        return;
    if (pState->bAutoHide) {
        pState->bAutoHide = FALSE;
        pState->bHidden = FALSE;
        pState->cxWidth = g_cxSaved;
        pState->cyHeight = g_cySaved;
        AppBarSetSide(hwnd, pState->uEdge);
        AppBarSetAutoHide(hwnd, TRUE);
    } else {
        AppBarSetSide(hwnd, pState->uEdge);
    }
}
