/* barewin: the bare window program the start-up and idle benchmarks set
   beside the bar. It does what the bar's start-up does without the shell and
   the ads: registers a class, creates a window of the bar's styles and size,
   shows it with SW_SHOWDEFAULT, paints it at once (one solid colour, the
   colour of ad 1 at the spot the benchmark watches) and runs a message loop
   until it is closed. */
#include <windows.h>

#define BARE_CLASS_NAME "VantorelBareWindow"
#define BARE_COLOUR     RGB(208, 37, 37)

static LRESULT CALLBACK BareProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hwnd, &ps);
        HBRUSH hbr = CreateSolidBrush(BARE_COLOUR);
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(hdc, &rc, hbr);
        DeleteObject(hbr);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_COPYDATA:
        DestroyWindow(hwnd);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = BareProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_MENUTEXT + 1);
    wc.lpszClassName = BARE_CLASS_NAME;
    if (!RegisterClassA(&wc))
        return 1;
    HWND hwnd = CreateWindowExA(WS_EX_CLIENTEDGE | WS_EX_TOOLWINDOW, BARE_CLASS_NAME, "Bare window",
                                WS_POPUP | WS_CLIPCHILDREN | WS_THICKFRAME, 0, 0, GetSystemMetrics(SM_CXSCREEN), 75,
                                NULL, NULL, hInstance, NULL);
    if (!hwnd)
        return 1;
    ShowWindow(hwnd, SW_SHOWDEFAULT);
    UpdateWindow(hwnd);

    MSG msg;
    msg.wParam = 0;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
