/* barprobe: reports on the running bar from another process, for the
   end-to-end tests. Prints one line, exits 1 when no bar is found.
     barprobe rect          left top right bottom of the bar window
     barprobe client        width height of its client area
     barprobe style         style exstyle (hex)
     barprobe visible       1 or 0
     barprobe pid           the bar's process id
     barprobe foreground    1 when the bar is the foreground window
     barprobe activate-other   opens a plain window and makes it the foreground, then waits 1 s
     barprobe cursor x y    moves the pointer (the window system's own cursor) */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

#include "app/app.h"

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *verb = argv[1];

    if (!strcmp(verb, "cursor") && argc == 4) {
        SetCursorPos(atoi(argv[2]), atoi(argv[3]));
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
        DWORD start = GetTickCount();
        while (GetTickCount() - start < 1000) {
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
