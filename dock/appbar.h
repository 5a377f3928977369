#ifndef DOCK_APPBAR_H
#define DOCK_APPBAR_H

#include <windows.h>
#include <shellapi.h>

#define APPBAR_TOP_BOTTOM_ROW   75  /* a top bar ends at this screen row */

#define TIMER_HIDECHECK     1
#define TIMER_SHOWDELAY     2
#define HIDECHECK_MS        500
#define SHOWDELAY_MS        50
#define SLIDE_HIDE_MS       400
#define SLIDE_SHOW_MS       200
#define SLIVER_THICKNESS    2

#if !defined(_WIN64)
static_assert(sizeof(APPBARDATA) == 36, "APPBARDATA layout");
#endif

/* Registration and positioning */
extern BOOL g_bRegistered;
extern RECT g_rcBar;        /* last fully shown docked rectangle, screen coordinates */
extern HWND g_hwndZAnchor;  /* the window above the bar when a full-screen app opened */

void AppBarInitRequest(PAPPBARDATA pabd, HWND hwnd);
BOOL AppBarRegister(HWND hwnd);
BOOL AppBarUnregister(HWND hwnd);
void AppBarQueryPos(HWND hwnd, LPRECT lprc);
void AppBarQuerySetPos(UINT uEdge, LPRECT lprc, PAPPBARDATA pabd, BOOL bMove);
BOOL AppBarSetSide(HWND hwnd, UINT uEdge);
void AppBarReposition(HWND hwnd);
void AppBarCallback(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
void AppBarPosChanged(PAPPBARDATA pabd);
void AppBarShellRestarted(HWND hwnd);
void AppBarEdgeRect(UINT uEdge, int t, LPRECT lprc);

/* Auto-hide */
extern int g_cxSaved;       /* full width and height while auto-hide is on */
extern int g_cySaved;
/* Dockings, auto-hide switches and slides begun, counted: a slide gives way
   to any begun inside it, which has placed the bar itself. */
extern int g_nPlacements;

BOOL AppBarSetAutoHide(HWND hwnd, BOOL bHide);
void AppBarHide(HWND hwnd);
void AppBarUnhide(HWND hwnd);
BOOL AppBarSlide(HWND hwnd, const RECT *lprcTarget);
void AppBarStartHideTimer(HWND hwnd);
void AppBarStartShowTimer(HWND hwnd);
void Main_OnTimer(HWND hwnd, UINT id);

#endif
