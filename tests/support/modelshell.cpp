#include "support/modelshell.h"

#include <algorithm>
#include <string>

#include "dock/shellgate.h"
#include "support/barwin.h"
#include "support/msglog.h"

namespace {

struct Bar {
    HWND hwnd;
    UINT uCallback;
    UINT uEdge;
    RECT rc;
    bool bPlaced;
};

std::vector<Bar> s_bars;
std::vector<ModelShell::Request> s_requests;
std::vector<DWORD> s_failing;
HWND s_autoHide[4];
DWORD s_dwDuring;
void (*s_pfnDuring)(HWND);

Bar *Find(HWND hwnd)
{
    for (Bar &b : s_bars)
        if (b.hwnd == hwnd)
            return &b;
    return nullptr;
}

void PostPosChanged(HWND hwndExcept)
{
    for (const Bar &b : s_bars)
        if (b.hwnd != hwndExcept)
            PostMessageA(b.hwnd, b.uCallback, ABN_POSCHANGED, 0);
}

/* Clears the proposal against the strips of the bars registered earlier on
   the same edge; only the side that faces them moves. */
void Arbitrate(HWND hwnd, UINT uEdge, RECT *prc)
{
    for (const Bar &b : s_bars) {
        if (b.hwnd == hwnd)
            break;
        if (!b.bPlaced || b.uEdge != uEdge)
            continue;
        switch (uEdge) {
        case ABE_TOP:    prc->top = std::max(prc->top, b.rc.bottom);     break;
        case ABE_BOTTOM: prc->bottom = std::min(prc->bottom, b.rc.top);  break;
        case ABE_LEFT:   prc->left = std::max(prc->left, b.rc.right);    break;
        case ABE_RIGHT:  prc->right = std::min(prc->right, b.rc.left);   break;
        }
    }
}

UINT_PTR Serve(DWORD dwMessage, PAPPBARDATA pabd)
{
    Bar *pBar = Find(pabd->hWnd);
    switch (dwMessage) {
    case ABM_NEW:
        if (pBar)
            return FALSE;
        s_bars.push_back({ pabd->hWnd, pabd->uCallbackMessage, ABE_TOP, { 0, 0, 0, 0 }, false });
        return TRUE;

    case ABM_REMOVE:
        if (!pBar)
            return FALSE;
        for (HWND &h : s_autoHide)
            if (h == pabd->hWnd)
                h = NULL;
        s_bars.erase(s_bars.begin() + (pBar - s_bars.data()));
        PostPosChanged(pabd->hWnd);
        return TRUE;

    case ABM_QUERYPOS:
        if (!pBar || pabd->uEdge > ABE_BOTTOM)
            return FALSE;
        Arbitrate(pabd->hWnd, pabd->uEdge, &pabd->rc);
        return TRUE;

    case ABM_SETPOS: {
        if (!pBar || pabd->uEdge > ABE_BOTTOM)
            return FALSE;
        Arbitrate(pabd->hWnd, pabd->uEdge, &pabd->rc);
        bool bChanged = !pBar->bPlaced || pBar->uEdge != pabd->uEdge || !(pBar->rc == pabd->rc);
        pBar->uEdge = pabd->uEdge;
        pBar->rc = pabd->rc;
        pBar->bPlaced = true;
        if (bChanged)
            PostPosChanged(pabd->hWnd);
        return TRUE;
    }

    case ABM_ACTIVATE:
    case ABM_WINDOWPOSCHANGED:
        return TRUE;

    case ABM_GETAUTOHIDEBAR:
        if (pabd->uEdge > ABE_BOTTOM)
            return 0;
        if (s_autoHide[pabd->uEdge] && !IsWindow(s_autoHide[pabd->uEdge]))
            s_autoHide[pabd->uEdge] = NULL;
        return (UINT_PTR)s_autoHide[pabd->uEdge];

    case ABM_SETAUTOHIDEBAR: {
        if (!pBar || pabd->uEdge > ABE_BOTTOM)
            return FALSE;
        HWND &slot = s_autoHide[pabd->uEdge];
        if (pabd->lParam) {
            if (slot && slot != pabd->hWnd && IsWindow(slot))
                return FALSE;
            slot = pabd->hWnd;
            return TRUE;
        }
        if (slot != pabd->hWnd)
            return FALSE;
        slot = NULL;
        return TRUE;
    }
    }
    return FALSE;
}

}

UINT_PTR AppBarMessage(DWORD dwMessage, PAPPBARDATA pabd)
{
    ModelShell::Request req = { dwMessage, pabd->hWnd, pabd->uEdge, pabd->rc, pabd->rc, pabd->lParam, 0 };
    std::string entry = ModelShell::RequestName(dwMessage);
    if (dwMessage == ABM_QUERYPOS || dwMessage == ABM_SETPOS)
        entry += " " + std::to_string(pabd->uEdge) + " " + ToString(pabd->rc);
    EventLog::Add(entry);

    bool bFail = std::find(s_failing.begin(), s_failing.end(), dwMessage) != s_failing.end();
    req.result = bFail ? 0 : Serve(dwMessage, pabd);
    req.rcOut = pabd->rc;
    s_requests.push_back(req);

    if (s_pfnDuring && s_dwDuring == dwMessage) {
        void (*pfn)(HWND) = s_pfnDuring;
        s_pfnDuring = nullptr;
        pfn(pabd->hWnd);
    }
    return req.result;
}

namespace ModelShell {

const std::vector<Request> &Requests() { return s_requests; }

std::vector<Request> RequestsOf(DWORD dwMessage)
{
    std::vector<Request> out;
    for (const Request &r : s_requests)
        if (r.dwMessage == dwMessage)
            out.push_back(r);
    return out;
}

void ClearRequests() { s_requests.clear(); }

void DuringNext(DWORD dwMessage, void (*pfn)(HWND))
{
    s_dwDuring = dwMessage;
    s_pfnDuring = pfn;
}

void FailRequest(DWORD dwMessage, bool bFail)
{
    s_failing.erase(std::remove(s_failing.begin(), s_failing.end(), dwMessage), s_failing.end());
    if (bFail)
        s_failing.push_back(dwMessage);
}

void Notify(WPARAM wCode, LPARAM lParam)
{
    std::vector<Bar> bars = s_bars;     /* a handler may unregister */
    for (const Bar &b : bars)
        SendMessageA(b.hwnd, b.uCallback, wCode, lParam);
}

void SendFullScreen(BOOL bOpened) { Notify(ABN_FULLSCREENAPP, bOpened); }

void Restart()
{
    s_bars.clear();
    for (HWND &h : s_autoHide)
        h = NULL;
}

bool IsRegistered(HWND hwnd) { return Find(hwnd) != nullptr; }

RECT ReservedRect(HWND hwnd)
{
    Bar *pBar = Find(hwnd);
    RECT rc = { 0, 0, 0, 0 };
    return pBar ? pBar->rc : rc;
}

HWND AutoHideBar(UINT uEdge) { return uEdge <= ABE_BOTTOM ? s_autoHide[uEdge] : NULL; }

const char *RequestName(DWORD dwMessage)
{
    switch (dwMessage) {
    case ABM_NEW: return "ABM_NEW";
    case ABM_REMOVE: return "ABM_REMOVE";
    case ABM_QUERYPOS: return "ABM_QUERYPOS";
    case ABM_SETPOS: return "ABM_SETPOS";
    case ABM_GETSTATE: return "ABM_GETSTATE";
    case ABM_GETTASKBARPOS: return "ABM_GETTASKBARPOS";
    case ABM_ACTIVATE: return "ABM_ACTIVATE";
    case ABM_GETAUTOHIDEBAR: return "ABM_GETAUTOHIDEBAR";
    case ABM_SETAUTOHIDEBAR: return "ABM_SETAUTOHIDEBAR";
    case ABM_WINDOWPOSCHANGED: return "ABM_WINDOWPOSCHANGED";
    }
    return "ABM_?";
}

}
