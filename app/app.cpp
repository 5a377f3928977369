#include "app/app.h"

#include "app/trace.h"
#include "bar/bar.h"
#include "bar/state.h"
#include "res/resource.h"

#define AD_REFRESH_INTERVAL 10000   /* ms between two repaint requests */

#if !defined(_WIN64)
static_assert(sizeof(WNDCLASSEXA) == 48, "WNDCLASSEXA layout");
static_assert(sizeof(BarState *) == 4, "the class reserves one 32-bit extra word");
#endif

BOOL RegisterBarClass(HINSTANCE hInstance)
{
    WNDCLASSEXA wc;

    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize        = sizeof(wc);
    wc.style         = 0;   /* no CS_DBLCLKS: a double click is two presses */
    wc.lpfnWndProc   = MainWndProc;
    wc.cbClsExtra    = 0;
    wc.cbWndExtra    = sizeof(BarState *);
    wc.hInstance     = hInstance;
    wc.hIcon         = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_BAR));
    wc.hCursor       = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_MENUTEXT + 1);
    wc.lpszMenuName  = NULL;
    wc.lpszClassName = BAR_CLASS_NAME;
    wc.hIconSm       = (HICON)LoadImageA(hInstance, MAKEINTRESOURCEA(IDI_BAR), IMAGE_ICON,
                                         16, 16, LR_DEFAULTCOLOR);
    if (RegisterClassExA(&wc))
        return TRUE;

    /* Systems without the extended call still get the bar, less its small icon. */
    WNDCLASSA wc1;
    wc1.style         = wc.style;
    wc1.lpfnWndProc   = wc.lpfnWndProc;
    wc1.cbClsExtra    = wc.cbClsExtra;
    wc1.cbWndExtra    = wc.cbWndExtra;
    wc1.hInstance     = wc.hInstance;
    wc1.hIcon         = wc.hIcon;
    wc1.hCursor       = wc.hCursor;
    wc1.hbrBackground = wc.hbrBackground;
    wc1.lpszMenuName  = wc.lpszMenuName;
    wc1.lpszClassName = wc.lpszClassName;
    if (RegisterClassA(&wc1))
        return TRUE;

    ReportError(ERRLINE_REGISTER_CLASS, "Main");
    return FALSE;
}

static DWORD WINAPI RefreshThreadProc(LPVOID lpParam)
{
    HWND hwnd = (HWND)lpParam;

    /* Sent, not posted: the next request is timed from the end of the paint.
       Once the window is gone the send fails at once and the loop idles on. */
    for (;;) {
        Sleep(AD_REFRESH_INTERVAL);
        SendMessageA(hwnd, WM_PAINT, 0, 0);
    }
}

BOOL CreateBarWindow(HINSTANCE hInstance, int nCmdShow)
{
    g_hAppInstance = hInstance;

    /* The creation handler docks the bar while it is still hidden, so the
       size given here never shows. */
    DWORD dwRefusal = ERROR_SUCCESS;     /* the creation handler's reason, should it refuse */
    HWND hwnd = CreateWindowExA(WS_EX_CLIENTEDGE | WS_EX_TOOLWINDOW,
                                BAR_CLASS_NAME, BAR_WINDOW_TITLE,
                                WS_POPUP | WS_CLIPCHILDREN | WS_THICKFRAME,
                                CW_USEDEFAULT, CW_USEDEFAULT, 400, 200,
                                NULL, NULL, hInstance, &dwRefusal);
    if (!hwnd) {
        /* A refusal of the creation handler leaves no code of its own: the
           window manager's, if any, is about the window it then destroyed. */
        if (dwRefusal != ERROR_SUCCESS)
            SetLastError(dwRefusal);
        ReportError(ERRLINE_CREATE_WINDOW, "Main");
        return FALSE;
    }

    ShowWindow(hwnd, nCmdShow);
    UpdateWindow(hwnd);     /* paints the first ad before start-up goes on */

    HANDLE hThread = CreateThread(NULL, 0, RefreshThreadProc, hwnd, 0, NULL);
    if (hThread)
        CloseHandle(hThread);
    return TRUE;
}

static int RunMessageLoop(void)
{
    MSG msg;
    BOOL bRet;

    while ((bRet = GetMessageA(&msg, NULL, 0, 0)) != 0) {
        /* -1 is a failure, not a message: stop, and not as a success. */
        if (bRet == -1)
            return 1;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}

#ifndef RESTART_NO_CRASH
#define RESTART_NO_CRASH    1
#define RESTART_NO_HANG     2
#define RESTART_NO_REBOOT   8
#endif

/* The Restart Manager closes the bar when an installer needs its files, and
   starts it again afterwards only if it asked to be; otherwise it would come
   back at the next sign-in. Not after a reboot, when the Run key starts it,
   nor after a crash or a hang. Looked up, since Windows XP lacks the call
   and an import would keep the bar from starting there. */
static void RegisterForRestart(void)
{
    typedef HRESULT (WINAPI *RegisterRestartProc)(PCWSTR, DWORD);
    RegisterRestartProc pfnRegister = (RegisterRestartProc)(void (*)(void))
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "RegisterApplicationRestart");
    if (pfnRegister)
        pfnRegister(NULL, RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
}

/* The whole life of the program; the entry point only hands it the instance. */
int RunBar(HINSTANCE hInstance)
{
    /* Pictures load through URL monikers, which are COM: the thread must join
       an apartment before its first COM call, and before the window shows,
       since showing it paints the first ad. A bar that can show no ad has no
       reason to take screen space, so a failure here ends the start. */
    HRESULT hr = OleInitialize(NULL);
    if (FAILED(hr)) {
        SetLastError((DWORD)hr);
        ReportError(ERRLINE_INIT_COM, "Main");
        return 1;
    }

    /* A start that fails before the loop must not read as success to whoever started us. */
    int nExit = 1;
    if (RegisterBarClass(hInstance) && CreateBarWindow(hInstance, SW_SHOWDEFAULT)) {
        RegisterForRestart();
        nExit = RunMessageLoop();
    }
    OleUninitialize();
    return nExit;
}
