#include "support/msglog.h"

#include <stdio.h>
#include <string.h>

#include "app/app.h"
#include "dock/appbar.h"

static std::vector<std::string> s_entries;
static HHOOK s_hookCall, s_hookRet;
static int s_depth, s_maxDepth;

void EventLog::Add(const std::string &entry) { s_entries.push_back(entry); }
const std::vector<std::string> &EventLog::Entries() { return s_entries; }
void EventLog::Clear() { s_entries.clear(); }

std::vector<std::string> EventLog::Filtered(const std::vector<std::string> &prefixes)
{
    std::vector<std::string> out;
    for (const std::string &e : s_entries)
        for (const std::string &p : prefixes)
            if (e.compare(0, p.size(), p) == 0) {
                out.push_back(e);
                break;
            }
    return out;
}

const char *MessageName(UINT uMsg)
{
    static char szOther[32];
    switch (uMsg) {
    case WM_CREATE: return "WM_CREATE";
    case WM_DESTROY: return "WM_DESTROY";
    case WM_MOVE: return "WM_MOVE";
    case WM_SIZE: return "WM_SIZE";
    case WM_ACTIVATE: return "WM_ACTIVATE";
    case WM_PAINT: return "WM_PAINT";
    case WM_CLOSE: return "WM_CLOSE";
    case WM_ERASEBKGND: return "WM_ERASEBKGND";
    case WM_SHOWWINDOW: return "WM_SHOWWINDOW";
    case WM_WINDOWPOSCHANGING: return "WM_WINDOWPOSCHANGING";
    case WM_WINDOWPOSCHANGED: return "WM_WINDOWPOSCHANGED";
    case WM_COPYDATA: return "WM_COPYDATA";
    case WM_NCHITTEST: return "WM_NCHITTEST";
    case WM_NCCALCSIZE: return "WM_NCCALCSIZE";
    case WM_COMMAND: return "WM_COMMAND";
    case WM_TIMER: return "WM_TIMER";
    case WM_MOUSEMOVE: return "WM_MOUSEMOVE";
    case WM_LBUTTONDOWN: return "WM_LBUTTONDOWN";
    case WM_LBUTTONUP: return "WM_LBUTTONUP";
    case WM_RBUTTONDOWN: return "WM_RBUTTONDOWN";
    case APPBAR_CALLBACK: return "APPBAR_CALLBACK";
    }
    snprintf(szOther, sizeof(szOther), "WM_0x%04X", uMsg);
    return szOther;
}

static bool IsBarWindow(HWND hwnd)
{
    char szClass[64];
    return GetClassNameA(hwnd, szClass, sizeof(szClass)) && strcmp(szClass, BAR_CLASS_NAME) == 0;
}

static LRESULT CALLBACK CallHook(int nCode, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT *p = (const CWPSTRUCT *)lParam;
    if (nCode == HC_ACTION && IsBarWindow(p->hwnd)) {
        s_depth++;
        if (s_depth > s_maxDepth)
            s_maxDepth = s_depth;
        EventLog::Add(MessageName(p->message));
    }
    return CallNextHookEx(s_hookCall, nCode, wParam, lParam);
}

static LRESULT CALLBACK RetHook(int nCode, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *p = (const CWPRETSTRUCT *)lParam;
    if (nCode == HC_ACTION && (IsBarWindow(p->hwnd) || p->message == WM_NCDESTROY) && s_depth > 0)
        s_depth--;
    return CallNextHookEx(s_hookRet, nCode, wParam, lParam);
}

MessageRecorder::MessageRecorder()
{
    s_depth = s_maxDepth = 0;
    s_hookCall = SetWindowsHookExA(WH_CALLWNDPROC, CallHook, NULL, GetCurrentThreadId());
    s_hookRet = SetWindowsHookExA(WH_CALLWNDPROCRET, RetHook, NULL, GetCurrentThreadId());
}

MessageRecorder::~MessageRecorder()
{
    UnhookWindowsHookEx(s_hookCall);
    UnhookWindowsHookEx(s_hookRet);
}

int MessageRecorder::MaxDepth() const { return s_maxDepth; }
