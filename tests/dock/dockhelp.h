#ifndef TESTS_DOCK_DOCKHELP_H
#define TESTS_DOCK_DOCKHELP_H

#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <string>

#include "dock/shellgate.h"
#include "support/barwin.h"

/* The negotiation's trace line as the bar writes it. */
inline std::string QuerySetPosLine(UINT uEdge, long left, long top, long right, long bottom)
{
    char sz[200];
    snprintf(sz, sizeof(sz),
             "AppBarQuerySetPos: uEdge=%u, lprc->left=%ld, lprc->top=%ld, lprc->right=%ld, lprc->bottom=%ld\r\n",
             uEdge, left, top, right, bottom);
    return sz;
}

/* A trace line as the event log shows it. */
inline std::string TraceEntry(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return "trace:" + line;
}

/* A request as the event log shows it. */
inline std::string RequestEntry(const char *pszName, UINT uEdge, long left, long top, long right, long bottom)
{
    RECT rc = { left, top, right, bottom };
    return std::string(pszName) + " " + std::to_string(uEdge) + " " + ToString(rc);
}

/* Another program's desktop toolbar: a plain window registered with the
   service before the bar, holding the top rows of the screen. */
struct ForeignTopBar {
    HWND hwnd;

    explicit ForeignTopBar(int cy)
    {
        hwnd = CreatePlainWindow("foreign bar", 0, 0, ScreenW(), cy);
        APPBARDATA abd = {};
        abd.cbSize = sizeof(abd);
        abd.hWnd = hwnd;
        abd.uCallbackMessage = WM_APP;
        AppBarMessage(ABM_NEW, &abd);
        abd.uEdge = ABE_TOP;
        SetRect(&abd.rc, 0, 0, ScreenW(), cy);
        AppBarMessage(ABM_SETPOS, &abd);
    }

    void Remove()
    {
        APPBARDATA abd = {};
        abd.cbSize = sizeof(abd);
        abd.hWnd = hwnd;
        AppBarMessage(ABM_REMOVE, &abd);
    }
};

#endif
