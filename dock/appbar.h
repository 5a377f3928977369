#ifndef DOCK_APPBAR_H
#define DOCK_APPBAR_H

#include <windows.h>
#include <shellapi.h>   /* the edge codes ABE_LEFT .. ABE_BOTTOM */

/* The bar as the shell's desktop-toolbar service knows it: registration,
   the edge and its strip, auto-hide. Every call takes the bar's window. */

#define SLIVER_THICKNESS    2   /* pixels a slid-away bar keeps on its edge */

extern BOOL g_bRegistered;      /* the shell holds the bar's registration */

BOOL AppBarRegister(HWND hwnd);
BOOL AppBarUnregister(HWND hwnd);
BOOL AppBarSetSide(HWND hwnd, UINT uEdge);
void AppBarReposition(HWND hwnd);       /* after the window moved or changed size */
void AppBarActivate(HWND hwnd);         /* tells the shell of an activation change */
void AppBarWindowPosChanged(HWND hwnd); /* tells the shell of a placement */
void AppBarCallback(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
void AppBarShellRestarted(HWND hwnd);

BOOL AppBarSetAutoHide(HWND hwnd, BOOL bHide);
void AppBarHide(HWND hwnd);
void AppBarUnhide(HWND hwnd);
void AppBarStopHideTimer(HWND hwnd);
void AppBarStartShowTimer(HWND hwnd);   /* at every hit test */
void Main_OnTimer(HWND hwnd, UINT id);

#endif
