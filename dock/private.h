#ifndef DOCK_PRIVATE_H
#define DOCK_PRIVATE_H

/* What the positioning and the auto-hide share, and nothing outside dock/ sees. */
#include "dock/appbar.h"

#define APPBAR_TOP_BOTTOM_ROW   75  /* a top bar ends at this screen row */

#define TIMER_HIDECHECK     1
#define TIMER_SHOWDELAY     2
#define HIDECHECK_MS        500
#define SHOWDELAY_MS        50
#define SLIDE_HIDE_MS       400
#define SLIDE_SHOW_MS       200

#if !defined(_WIN64)
static_assert(sizeof(APPBARDATA) == 36, "APPBARDATA layout");
#endif

extern RECT g_rcBar;        /* last fully shown docked rectangle, screen coordinates */
extern int g_cxSaved;       /* full width and height while auto-hide is on */
extern int g_cySaved;
/* Dockings, auto-hide switches and slides begun, counted: a slide gives way
   to any begun inside it, which has placed the bar itself. */
extern int g_nPlacements;

void AppBarInitRequest(PAPPBARDATA pabd, HWND hwnd);
void AppBarQuerySetPos(UINT uEdge, LPRECT lprc, PAPPBARDATA pabd, BOOL bMove);

#endif
