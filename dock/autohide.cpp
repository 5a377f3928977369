#include "dock/private.h"

#include "app/trace.h"
#include "bar/state.h"
#include "dock/shellgate.h"

int g_cxSaved;
int g_cySaved;
int g_nPlacements;

static BOOL AppBarSlide(HWND hwnd, const RECT *lprcTarget);
static void AppBarStartHideTimer(HWND hwnd);

/* The 2-pixel strip that stays on the edge while the bar is slid away. */
static void SliverRect(UINT uEdge, const RECT *lprcBar, LPRECT lprc)
{
    *lprc = *lprcBar;
    switch (uEdge) {
    case ABE_LEFT:   lprc->right = lprc->left + SLIVER_THICKNESS;   break;
    case ABE_TOP:    lprc->bottom = lprc->top + SLIVER_THICKNESS;   break;
    case ABE_RIGHT:  lprc->left = lprc->right - SLIVER_THICKNESS;   break;
    case ABE_BOTTOM: lprc->top = lprc->bottom - SLIVER_THICKNESS;   break;
    }
}

/* The shell answers a refusal with FALSE alone and sets no error code, so
   the box is given one of its own rather than whatever a call before left.
   A re-dock may have switched off the desktop's redraw, and the box must be
   seen. */
static void ReportRefusal(int nLine, DWORD dwError)
{
    SendMessageA(GetDesktopWindow(), WM_SETREDRAW, TRUE, 0);
    SetLastError(dwError);
    ReportError(nLine, "AppBar");
}

static BOOL AutoHideOn(HWND hwnd, BarState *pState)
{
    APPBARDATA abd;
    RECT rc;

    AppBarInitRequest(&abd, hwnd);
    abd.uEdge = pState->uEdge;

    /* The shell keeps one auto-hide bar per edge, and this one may already be it. */
    if (AppBarMessage(ABM_GETAUTOHIDEBAR, &abd)) {
        TraceOut("ERROR: Another appbar is already hiding on this edge.  Cannot set to autohide.\r\n");
        return FALSE;
    }

    abd.lParam = TRUE;
    if (!AppBarMessage(ABM_SETAUTOHIDEBAR, &abd)) {
        TraceOut("ERROR: Error trying to set autohidebar.\r\n");
        ReportRefusal(ERRLINE_SET_AUTOHIDE, ERROR_BUSY);
        return FALSE;
    }

    /* While the bar waits for the shell's answer, other programs' messages
       come through, and a quit among them frees the record. */
    pState = GetBarState(hwnd);
    if (!pState)
        return FALSE;
    pState->bAutoHide = TRUE;
    g_cxSaved = pState->cxWidth;
    g_cySaved = pState->cyHeight;

    /* With auto-hide already on, this leaves g_rcBar at the full rectangle. */
    SliverRect(pState->uEdge, &g_rcBar, &rc);
    AppBarQuerySetPos(pState->uEdge, &rc, &abd, TRUE);
    return TRUE;
}

static BOOL AutoHideOff(HWND hwnd, BarState *pState)
{
    APPBARDATA abd;

    AppBarInitRequest(&abd, hwnd);
    abd.uEdge = pState->uEdge;

    if ((HWND)AppBarMessage(ABM_GETAUTOHIDEBAR, &abd) != hwnd) {
        TraceOut("ERROR: We're not hidden currently\r\n");
        return FALSE;
    }

    abd.lParam = FALSE;
    if (!AppBarMessage(ABM_SETAUTOHIDEBAR, &abd)) {
        TraceOut("ERROR: Error trying to set autohidebar.\r\n");
        ReportRefusal(ERRLINE_CLEAR_AUTOHIDE, ERROR_ACCESS_DENIED);
        return FALSE;
    }

    pState = GetBarState(hwnd);     /* as when switching on */
    if (!pState)
        return FALSE;
    pState->bAutoHide = FALSE;
    pState->cxWidth = g_cxSaved;
    pState->cyHeight = g_cySaved;
    AppBarSetSide(hwnd, pState->uEdge);
    return TRUE;
}

BOOL AppBarSetAutoHide(HWND hwnd, BOOL bHide)
{
    g_nPlacements++;
    BarState *pState = GetBarState(hwnd);
    if (!pState)
        return FALSE;
    return bHide ? AutoHideOn(hwnd, pState) : AutoHideOff(hwnd, pState);
}

void AppBarHide(HWND hwnd)
{
    BarState *pState = GetBarState(hwnd);
    RECT rc;

    if (!pState || !pState->bAutoHide)
        return;
    SliverRect(pState->uEdge, &g_rcBar, &rc);
    pState->bHidden = TRUE;
    AppBarSlide(hwnd, &rc);
}

void AppBarUnhide(HWND hwnd)
{
    int nBefore = g_nPlacements;
    AppBarSlide(hwnd, &g_rcBar);

    /* The slide counts one placement. More, and it gave way to whatever
       placed the bar meanwhile, which has set the state itself. */
    BarState *pState = GetBarState(hwnd);
    if (!pState || g_nPlacements != nBefore + 1)
        return;
    pState->bHidden = FALSE;
    AppBarStartHideTimer(hwnd);
}

static BOOL AppBarSlide(HWND hwnd, const RECT *lprcTarget)
{
    RECT rcTarget = *lprcTarget;    /* the caller's may be g_rcBar, which a nested paint must not see change */
    RECT rcStart;
    DWORD dwDuration;
    int nSlide = ++g_nPlacements;

    GetWindowRect(hwnd, &rcStart);
    BOOL bGrow = (rcTarget.bottom - rcTarget.top) > (rcStart.bottom - rcStart.top) ||
                 (rcTarget.right - rcTarget.left) > (rcStart.right - rcStart.left);

    /* Only the inner side moves, so the sum of both sides' shifts is that side's shift. */
    int dx = (rcTarget.left - rcStart.left) + (rcTarget.right - rcStart.right);
    int dy = (rcTarget.top - rcStart.top) + (rcTarget.bottom - rcStart.bottom);

    if (bGrow) {
        /* Full size at once, mostly beyond the screen edge, then slide in. */
        rcStart = rcTarget;
        OffsetRect(&rcStart, -dx, -dy);
        SetWindowPos(hwnd, NULL, rcStart.left, rcStart.top,
                     rcTarget.right - rcTarget.left, rcTarget.bottom - rcTarget.top,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        dwDuration = SLIDE_SHOW_MS;
    } else {
        dwDuration = SLIDE_HIDE_MS;
    }

    HANDLE hThread = GetCurrentThread();
    int nPriority = GetThreadPriority(hThread);
    SetThreadPriority(hThread, THREAD_PRIORITY_HIGHEST);

    /* Positions follow the clock, not a step count, so the slide lasts its
       duration however slow each move is. The unsigned difference survives
       the tick counter's wrap-around. Each step waits for the shell's answer
       to the position notice, and messages that other programs send come
       through meanwhile: a docking, an auto-hide switch or a teardown carried
       out there wins. */
    DWORD dwStart = GetTickCount();
    BOOL bGaveWay = FALSE;
    for (;;) {
        bGaveWay = g_nPlacements != nSlide || !GetBarState(hwnd);
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (bGaveWay || dwElapsed >= dwDuration)
            break;
        int x = rcStart.left + (int)((dx * (int)dwElapsed) / (int)dwDuration);
        int y = rcStart.top + (int)((dy * (int)dwElapsed) / (int)dwDuration);
        SetWindowPos(hwnd, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        /* What a shrinking bar uncovers belongs to other programs, which
           repaint it themselves: updating the desktop now would wait for
           every one of them, and a hung one would hold the bar for ever. */
        if (bGrow)
            UpdateWindow(hwnd);
    }

    SetThreadPriority(hThread, nPriority);

    if (bGaveWay)
        return FALSE;
    return SetWindowPos(hwnd, NULL, rcTarget.left, rcTarget.top,
                        rcTarget.right - rcTarget.left, rcTarget.bottom - rcTarget.top,
                        SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

static void AppBarStartHideTimer(HWND hwnd)
{
    BarState *pState = GetBarState(hwnd);
    if (pState && pState->bAutoHide)
        SetTimer(hwnd, TIMER_HIDECHECK, HIDECHECK_MS, NULL);
}

void AppBarStopHideTimer(HWND hwnd)
{
    KillTimer(hwnd, TIMER_HIDECHECK);
}

void AppBarStartShowTimer(HWND hwnd)
{
    BarState *pState = GetBarState(hwnd);
    if (pState && pState->bAutoHide && pState->bHidden)
        SetTimer(hwnd, TIMER_SHOWDELAY, SHOWDELAY_MS, NULL);
}

void Main_OnTimer(HWND hwnd, UINT id)
{
    BarState *pState = GetBarState(hwnd);
    POINT pt;
    RECT rc;

    switch (id) {
    case TIMER_HIDECHECK:
        if (!pState || !pState->bAutoHide || pState->bHidden)
            break;
        GetCursorPos(&pt);
        GetWindowRect(hwnd, &rc);
        {
            HWND hwndFore = GetForegroundWindow();
            /* Stay while in use: under the pointer, in front, or owning what is in front. */
            if (PtInRect(&rc, pt) || hwndFore == hwnd || !hwndFore ||
                GetWindow(hwndFore, GW_OWNER) == hwnd)
                break;
        }
        KillTimer(hwnd, TIMER_HIDECHECK);
        AppBarHide(hwnd);
        break;

    case TIMER_SHOWDELAY:
        KillTimer(hwnd, TIMER_SHOWDELAY);   /* one expiry per arming */
        GetWindowRect(hwnd, &rc);
        if (!pState || !pState->bAutoHide || !pState->bHidden)
            break;
        GetCursorPos(&pt);
        if (PtInRect(&rc, pt))
            AppBarUnhide(hwnd);
        break;
    }
}
