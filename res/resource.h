#ifndef RES_RESOURCE_H
#define RES_RESOURCE_H

/* What other programs find the bar by, and the message the shell notifies
   it with: they rely on these, so they never change. */
#define BAR_CLASS_NAME          "VantorelAdBar"
#define BAR_WINDOW_TITLE        "Vantorel Ad Bar"
#define APPBAR_CALLBACK         (WM_USER + 1010)    /* 2034 */

/* Icons */
#define IDI_BAR                 103

/* Menus */
#define IDR_CONTEXTMENU         106

/* Commands: other programs send these numbers, so they never change. */
#define IDM_CLOSE               74
#define IDM_EXIT                40001
#define IDM_REGISTER            40003
#define IDM_UNREGISTER          40004
#define IDM_AUTOHIDE_ON         40005
#define IDM_AUTOHIDE_OFF        40006
#define IDM_DOCK_TOP            40007
#define IDM_DOCK_BOTTOM         40008
#define IDM_DOCK_LEFT           40009
#define IDM_DOCK_RIGHT          40010
#define IDM_DEFAULT_ITEM        40012

/* Version information */
#define IDV_VERSION             1

#endif
