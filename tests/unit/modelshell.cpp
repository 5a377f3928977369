#include "support.h"

#include <algorithm>
#include <set>

#include "dock/shellgate.h"

static std::vector<HWND> s_bars;
static HWND s_autoHide[4];
static std::set<DWORD> s_failing;
static bool s_bFailAll;
static DWORD s_dwDuring;
static void (*s_pfnDuring)(HWND);

static UINT_PTR Serve(DWORD dwMessage, PAPPBARDATA pabd)
{
    bool bKnown = Model::Registered(pabd->hWnd), bEdge = pabd->uEdge <= ABE_BOTTOM;
    switch (dwMessage) {
    case ABM_NEW:
        if (bKnown)
            return FALSE;
        s_bars.push_back(pabd->hWnd);
        return TRUE;
    case ABM_REMOVE:    /* the auto-hide slot stays held, as the documentation allows */
        s_bars.erase(std::remove(s_bars.begin(), s_bars.end(), pabd->hWnd), s_bars.end());
        return bKnown;
    case ABM_GETAUTOHIDEBAR:
        return bEdge ? (UINT_PTR)s_autoHide[pabd->uEdge] : 0;
    case ABM_SETAUTOHIDEBAR: {
        if (!bKnown || !bEdge)
            return FALSE;
        HWND &slot = s_autoHide[pabd->uEdge];
        if (pabd->lParam ? slot && slot != pabd->hWnd : slot != pabd->hWnd)
            return FALSE;
        slot = pabd->lParam ? pabd->hWnd : NULL;
        return TRUE;
    }
    }
    return TRUE;
}

UINT_PTR AppBarMessage(DWORD dwMessage, PAPPBARDATA pabd)
{
    UINT_PTR result = s_bFailAll || s_failing.count(dwMessage) ? 0 : Serve(dwMessage, pabd);
    /* The real service answers a sent message, and while the bar waits
       other programs' messages come through. */
    if (s_pfnDuring && s_dwDuring == dwMessage) {
        void (*pfn)(HWND) = s_pfnDuring;
        s_pfnDuring = NULL;
        pfn(pabd->hWnd);
    }
    return result;
}

namespace Model {
void Fail(DWORD dwMessage) { s_failing.insert(dwMessage); }
void FailAll() { s_bFailAll = true; }
void During(DWORD dwMessage, void (*pfn)(HWND)) { s_dwDuring = dwMessage; s_pfnDuring = pfn; }
void Forget() { s_bars.clear(); std::fill(s_autoHide, s_autoHide + 4, (HWND)NULL); }
bool Registered(HWND hwnd) { return std::find(s_bars.begin(), s_bars.end(), hwnd) != s_bars.end(); }
HWND AutoHideBar(UINT uEdge) { return s_autoHide[uEdge]; }
}
