#include "bar/commands.h"

#include "app/trace.h"
#include "bar/state.h"
#include "dock/appbar.h"
#include "res/resource.h"

#define MENU_TEXT_SIZE  64

#if !defined(_WIN64)
static_assert(sizeof(MENUITEMINFOA) == 48, "MENUITEMINFOA layout");
#endif

/* Any sender, any notification code: only the identifier counts. */
void Main_OnCommand(HWND hwnd, int id, HWND, UINT)
{
    switch (id) {
    case IDM_CLOSE:
    case IDM_EXIT:
        /* Sent, so the teardown has run when the command returns. */
        SendMessageA(hwnd, WM_CLOSE, 0, 0);
        break;
    case IDM_REGISTER:
        AppBarRegister(hwnd);
        break;
    case IDM_UNREGISTER:
        AppBarUnregister(hwnd);
        break;
    case IDM_AUTOHIDE_ON:
        AppBarSetAutoHide(hwnd, TRUE);
        break;
    case IDM_AUTOHIDE_OFF:
        AppBarSetAutoHide(hwnd, FALSE);
        break;
    case IDM_DOCK_TOP:
        AppBarSetSide(hwnd, ABE_TOP);
        break;
    case IDM_DOCK_BOTTOM:
        AppBarSetSide(hwnd, ABE_BOTTOM);
        break;
    case IDM_DOCK_LEFT:
        AppBarSetSide(hwnd, ABE_LEFT);
        break;
    case IDM_DOCK_RIGHT:
        AppBarSetSide(hwnd, ABE_RIGHT);
        break;
    }
}

static UINT EdgeMenuItem(UINT uEdge)
{
    switch (uEdge) {
    case ABE_TOP:    return IDM_DOCK_TOP;
    case ABE_BOTTOM: return IDM_DOCK_BOTTOM;
    case ABE_LEFT:   return IDM_DOCK_LEFT;
    default:         return IDM_DOCK_RIGHT;
    }
}

void Main_OnRButtonDown(HWND hwnd, BOOL, int x, int y, UINT)
{
    /* Loaded afresh at every press and destroyed after it, so no menu outlives the press. */
    HMENU hMenu = LoadMenuA(g_hAppInstance, MAKEINTRESOURCEA(IDR_CONTEXTMENU));
    HMENU hPopup = GetSubMenu(hMenu, 0);
    POINT pt = { x, y };
    ClientToScreen(hwnd, &pt);

    MENUITEMINFOA mii;
    char szText[MENU_TEXT_SIZE];
    ZeroMemory(&mii, sizeof(mii));
    mii.cbSize = sizeof(mii);
    mii.fMask  = MIIM_STATE;
    mii.fState = MFS_DEFAULT;
    SetMenuItemInfoA(hPopup, IDM_DEFAULT_ITEM, FALSE, &mii);

    UINT uItem = EdgeMenuItem(GetBarState(hwnd)->uEdge);
    szText[0] = '\0';
    mii.fMask      = MIIM_STATE | MIIM_TYPE;
    mii.dwTypeData = szText;
    mii.cch        = sizeof(szText);
    if (GetMenuItemInfoA(hPopup, uItem, FALSE, &mii)) {
        mii.fType |= MFT_RADIOCHECK;
        mii.fState = MFS_CHECKED;
        SetMenuItemInfoA(hPopup, uItem, FALSE, &mii);
    }

    TrackPopupMenu(hPopup, TPM_RIGHTBUTTON, pt.x, pt.y, 0, hwnd, NULL);
    if (hMenu)
        DestroyMenu(hMenu);
}
