#include "support/barwin.h"

#include <ostream>
#include <stdio.h>

#include "app/app.h"

HWND StartBar()
{
    HINSTANCE hInstance = GetModuleHandleA(NULL);
    if (!RegisterBarClass(hInstance) || !CreateBarWindow(hInstance, SW_SHOWDEFAULT))
        return NULL;
    return FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
}

bool QuitPosted(WPARAM *pwParam)
{
    MSG msg;
    if (!PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    *pwParam = msg.wParam;
    return true;
}

double NowMs()
{
    static LARGE_INTEGER s_freq;
    if (!s_freq.QuadPart)
        QueryPerformanceFrequency(&s_freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)s_freq.QuadPart;
}

void Pump(DWORD dwMs)
{
    PumpUntil([] { return false; }, dwMs);
}

bool PumpUntil(const std::function<bool()> &done, DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, dwTimeoutMs - dwElapsed < 10 ? dwTimeoutMs - dwElapsed : 10,
                                  QS_ALLINPUT);
    }
}

RECT WindowRect(HWND hwnd)
{
    RECT rc = { 0, 0, 0, 0 };
    GetWindowRect(hwnd, &rc);
    return rc;
}

int ScreenW() { return GetSystemMetrics(SM_CXSCREEN); }
int ScreenH() { return GetSystemMetrics(SM_CYSCREEN); }

static LRESULT CALLBACK PlainProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

HWND CreatePlainWindow(const char *pszTitle, int x, int y, int cx, int cy, HWND hwndOwner)
{
    static ATOM s_atom;
    if (!s_atom) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = PlainProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
        wc.lpszClassName = "BarTestPlain";
        s_atom = RegisterClassA(&wc);
    }
    HWND hwnd = CreateWindowExA(0, "BarTestPlain", pszTitle, WS_POPUP | WS_VISIBLE | WS_BORDER,
                                x, y, cx, cy, hwndOwner, NULL, GetModuleHandleA(NULL), NULL);
    return hwnd;
}

bool operator==(const RECT &a, const RECT &b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string ToString(const RECT &rc)
{
    char sz[80];
    snprintf(sz, sizeof(sz), "{%ld, %ld, %ld, %ld}", (long)rc.left, (long)rc.top, (long)rc.right, (long)rc.bottom);
    return sz;
}

void PrintTo(const RECT &rc, std::ostream *os) { *os << ToString(rc); }
