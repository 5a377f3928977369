/* barprobe: reports on the running bar from another process, for the
   end-to-end tests. Prints one line, exits 1 when no bar is found.
     barprobe rect          left top right bottom of the bar window
     barprobe client        width height of its client area
     barprobe style         style exstyle (hex)
     barprobe visible       1 or 0
     barprobe iconic        1 when the bar is minimised, else 0
     barprobe launch SHOW EXE [ARGS...]
                            starts a program with that STARTUPINFO show command ("-": none),
                            waits for it and exits with its exit code
     barprobe showdefault   shows a window of its own with SW_SHOWDEFAULT and prints
                            "visible iconic" (1/0 each): what the platform makes of the
                            show command this process was started with
     barprobe pid           the bar's process id
     barprobe foreground    1 when the bar is the foreground window
     barprobe activate-other [MS]   opens a plain window and makes it the foreground, then
                            waits MS milliseconds (default 1000) before closing it
     barprobe menu          left top right bottom of the popup menu on screen; exits 1 when none
     barprobe box CAPTION   1 when a message box with that caption is on screen, else 0
     barprobe cursor x y    moves the pointer (the window system's own cursor)
     barprobe otherbar EDGE THICKNESS SECONDS
                            another desktop toolbar: registers a window of its own with the
                            shell and reserves the strip of that thickness on the edge (top,
                            bottom, left, right), prints "registered l t r b" with the strip
                            the shell granted, and unregisters after SECONDS or as soon as a
                            line (or the end) arrives on its standard input */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

#include <shellapi.h>

#include "app/app.h"

#define WM_OTHERBAR_END (WM_APP + 2)

static DWORD WINAPI StdinWatch(LPVOID lpParam)
{
    char line[64];
    fgets(line, sizeof(line), stdin);
    PostThreadMessageA((DWORD)(DWORD_PTR)lpParam, WM_OTHERBAR_END, 0, 0);
    return 0;
}

static int OtherBar(const char *pszEdge, int t, int seconds)
{
    static const char *const edges[] = { "left", "top", "right", "bottom" };
    UINT uEdge = 4;
    for (UINT i = 0; i < 4; i++)
        if (!strcmp(pszEdge, edges[i]))
            uEdge = i;
    if (uEdge > ABE_BOTTOM || t <= 0 || seconds <= 0)
        return 2;

    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    RECT rc = { 0, 0, cx, cy };
    switch (uEdge) {
    case ABE_LEFT:   rc.right = t;       break;
    case ABE_TOP:    rc.bottom = t;      break;
    case ABE_RIGHT:  rc.left = cx - t;   break;
    case ABE_BOTTOM: rc.top = cy - t;    break;
    }

    HWND hwnd = CreateWindowExA(WS_EX_TOOLWINDOW, "STATIC", "barprobe otherbar", WS_POPUP | WS_VISIBLE,
                                rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
                                NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (!hwnd)
        return 3;

    APPBARDATA abd;
    ZeroMemory(&abd, sizeof(abd));
    abd.cbSize = sizeof(abd);
    abd.hWnd = hwnd;
    abd.uCallbackMessage = WM_APP + 1;
    if (!SHAppBarMessage(ABM_NEW, &abd)) {
        DestroyWindow(hwnd);
        return 4;
    }
    abd.uEdge = uEdge;
    abd.rc = rc;
    SHAppBarMessage(ABM_QUERYPOS, &abd);
    SHAppBarMessage(ABM_SETPOS, &abd);
    printf("registered %ld %ld %ld %ld\n", (long)abd.rc.left, (long)abd.rc.top,
           (long)abd.rc.right, (long)abd.rc.bottom);
    fflush(stdout);

    HANDLE hThread = CreateThread(NULL, 0, StdinWatch, (LPVOID)(DWORD_PTR)GetCurrentThreadId(), 0, NULL);
    if (hThread)
        CloseHandle(hThread);
    DWORD start = GetTickCount();
    bool bEnd = false;
    while (!bEnd && GetTickCount() - start < (DWORD)seconds * 1000) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_OTHERBAR_END)
                bEnd = true;
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }

    ZeroMemory(&abd, sizeof(abd));
    abd.cbSize = sizeof(abd);
    abd.hWnd = hwnd;
    SHAppBarMessage(ABM_REMOVE, &abd);
    DestroyWindow(hwnd);
    printf("removed\n");
    fflush(stdout);
    return 0;
}

/* EXE is a Windows path; the child's command line quotes every argument. */
static int Launch(const char *pszShow, int argc, char **argv)
{
    char szCmd[2048] = "";
    for (int i = 0; i < argc; i++) {
        if (strlen(szCmd) + strlen(argv[i]) + 4 >= sizeof(szCmd))
            return 2;
        strcat(szCmd, i ? " \"" : "\"");
        strcat(szCmd, argv[i]);
        strcat(szCmd, "\"");
    }
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    if (strcmp(pszShow, "-") != 0) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = (WORD)atoi(pszShow);
    }
    /* Under a loaded emulator a start now and then fails with nothing wrong
       in the program started; that is no finding of the test, so try again. */
    for (int nTry = 1; !CreateProcessA(argv[0], szCmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi); nTry++) {
        fprintf(stderr, "barprobe: starting %s failed, error %lu (try %d)\n", argv[0],
                (unsigned long)GetLastError(), nTry);
        if (nTry == 3)
            return 3;
        Sleep(1000);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwCode = 4;
    GetExitCodeProcess(pi.hProcess, &dwCode);
    if (dwCode != 0)
        fprintf(stderr, "barprobe: %s exited with %lu\n", argv[0], (unsigned long)dwCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)dwCode;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *verb = argv[1];

    if (!strcmp(verb, "cursor") && argc == 4) {
        SetCursorPos(atoi(argv[2]), atoi(argv[3]));
        return 0;
    }

    if (!strcmp(verb, "otherbar") && argc == 5)
        return OtherBar(argv[2], atoi(argv[3]), atoi(argv[4]));

    if (!strcmp(verb, "launch") && argc >= 4)
        return Launch(argv[2], argc - 3, argv + 3);

    if (!strcmp(verb, "showdefault")) {
        HWND hwndOwn = CreateWindowExA(WS_EX_TOOLWINDOW, "STATIC", "barprobe showdefault",
                                       WS_POPUP | WS_THICKFRAME, 0, 0, 100, 50,
                                       NULL, NULL, GetModuleHandleA(NULL), NULL);
        ShowWindow(hwndOwn, SW_SHOWDEFAULT);
        printf("%d %d\n", IsWindowVisible(hwndOwn) ? 1 : 0, IsIconic(hwndOwn) ? 1 : 0);
        DestroyWindow(hwndOwn);
        return 0;
    }

    if (!strcmp(verb, "menu")) {
        HWND hwndMenu = FindWindowA("#32768", NULL);
        if (!hwndMenu || !IsWindowVisible(hwndMenu))
            return 1;
        RECT rc;
        GetWindowRect(hwndMenu, &rc);
        printf("%ld %ld %ld %ld\n", (long)rc.left, (long)rc.top, (long)rc.right, (long)rc.bottom);
        return 0;
    }

    if (!strcmp(verb, "box") && argc == 3) {
        HWND hwndBox = FindWindowA("#32770", argv[2]);
        printf("%d\n", hwndBox && IsWindowVisible(hwndBox) ? 1 : 0);
        return 0;
    }

    HWND hwnd = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
    if (!hwnd) {
        fprintf(stderr, "barprobe: no bar\n");
        return 1;
    }

    if (!strcmp(verb, "rect")) {
        RECT rc;
        GetWindowRect(hwnd, &rc);
        printf("%ld %ld %ld %ld\n", (long)rc.left, (long)rc.top, (long)rc.right, (long)rc.bottom);
    } else if (!strcmp(verb, "client")) {
        RECT rc;
        GetClientRect(hwnd, &rc);
        printf("%ld %ld\n", (long)rc.right, (long)rc.bottom);
    } else if (!strcmp(verb, "style")) {
        printf("%08lx %08lx\n", (unsigned long)GetWindowLongA(hwnd, GWL_STYLE),
               (unsigned long)GetWindowLongA(hwnd, GWL_EXSTYLE));
    } else if (!strcmp(verb, "visible")) {
        printf("%d\n", IsWindowVisible(hwnd) ? 1 : 0);
    } else if (!strcmp(verb, "iconic")) {
        printf("%d\n", IsIconic(hwnd) ? 1 : 0);
    } else if (!strcmp(verb, "pid")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        printf("%lu\n", (unsigned long)pid);
    } else if (!strcmp(verb, "foreground")) {
        printf("%d\n", GetForegroundWindow() == hwnd ? 1 : 0);
    } else if (!strcmp(verb, "activate-other")) {
        HWND other = CreateWindowExA(0, "STATIC", "barprobe other", WS_POPUP | WS_VISIBLE | WS_BORDER,
                                     300, 300, 200, 100, NULL, NULL, GetModuleHandleA(NULL), NULL);
        SetForegroundWindow(other);
        DWORD ms = argc > 2 ? (DWORD)atoi(argv[2]) : 1000;
        DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            MSG msg;
            while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
            Sleep(10);
        }
        DestroyWindow(other);
    } else {
        return 2;
    }
    fflush(stdout);
    return 0;
}
