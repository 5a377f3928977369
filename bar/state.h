#ifndef BAR_STATE_H
#define BAR_STATE_H

#include <windows.h>

/* Lives on the process heap from WM_CREATE to the teardown; the window's
   extra word points at it. */
struct BarState {
    BOOL bAutoHide;
    BOOL bAlwaysOnTop;  /* back to topmost, not to the old z-order, after a full-screen app */
    BOOL bHidden;       /* slid away to the sliver */
    UINT uEdge;         /* ABE_LEFT .. ABE_BOTTOM */
    int  cxWidth;       /* outer width when docked left or right */
    int  cyHeight;      /* outer height when docked top or bottom */
};
static_assert(sizeof(BarState) == 24, "BarState: six 32-bit fields in both builds");

#define BAR_DEFAULT_WIDTH   80
#define BAR_DEFAULT_HEIGHT  60

/* NULL before WM_CREATE has stored the record and after the teardown freed
   it: the window may outlive its record until the loop sees the quit. */
BarState *GetBarState(HWND hwnd);
void SetBarState(HWND hwnd, BarState *pState);

#endif
