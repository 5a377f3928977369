/* The bare window program set beside the bar: a window of the bar's styles
   and size, its background ad 1's colour, with no shell and no ads.
   WM_COPYDATA ends it, as it ends the bar. */
#include <windows.h>

static LRESULT CALLBACK BareProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_COPYDATA)
        DestroyWindow(hwnd);
    else if (uMsg == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = BareProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = CreateSolidBrush(RGB(208, 37, 37));
    wc.lpszClassName = "VantorelBareWindow";
    HWND hwnd = RegisterClassA(&wc)
        ? CreateWindowExA(WS_EX_CLIENTEDGE | WS_EX_TOOLWINDOW, wc.lpszClassName, "Bare window",
                          WS_POPUP | WS_CLIPCHILDREN | WS_THICKFRAME, 0, 0, GetSystemMetrics(SM_CXSCREEN), 75,
                          NULL, NULL, hInstance, NULL)
        : NULL;
    if (!hwnd)
        return 1;
    ShowWindow(hwnd, SW_SHOWDEFAULT);
    UpdateWindow(hwnd);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
