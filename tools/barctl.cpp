/* barctl: drives a running Vantorel Ad Bar from the command line or a script. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "app/app.h"
#include "res/resource.h"

#define QUIT_WAIT_MS    30000   /* per bar */
#define MAX_BARS        64

struct Verb {
    const char *pszWord;
    const char *pszArg;     /* NULL when the verb takes no argument */
    UINT idCommand;         /* 0: tear the bar down with WM_COPYDATA */
};

static const Verb s_verbs[] = {
    { "dock",       "top",      IDM_DOCK_TOP },
    { "dock",       "bottom",   IDM_DOCK_BOTTOM },
    { "dock",       "left",     IDM_DOCK_LEFT },
    { "dock",       "right",    IDM_DOCK_RIGHT },
    { "autohide",   "on",       IDM_AUTOHIDE_ON },
    { "autohide",   "off",      IDM_AUTOHIDE_OFF },
    { "register",   NULL,       IDM_REGISTER },
    { "unregister", NULL,       IDM_UNREGISTER },
    { "close",      NULL,       IDM_CLOSE },
    { "quit",       NULL,       0 },
};

static int Usage(void)
{
    fputs("usage: barctl dock top|bottom|left|right\n"
          "       barctl autohide on|off\n"
          "       barctl register|unregister\n"
          "       barctl close      close the bar (as its Exit item does)\n"
          "       barctl quit       end every bar's process (WM_COPYDATA) and wait until they have\n", stderr);
    return 2;
}

int main(int argc, char **argv)
{
    const Verb *pVerb = NULL;

    for (size_t i = 0; i < sizeof(s_verbs) / sizeof(s_verbs[0]) && !pVerb; i++) {
        const Verb *v = &s_verbs[i];
        if (v->pszArg ? (argc == 3 && !strcmp(argv[1], v->pszWord) && !strcmp(argv[2], v->pszArg))
                      : (argc == 2 && !strcmp(argv[1], v->pszWord)))
            pVerb = v;
    }
    if (!pVerb)
        return Usage();

    HWND hwnd = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
    if (!hwnd) {
        fputs("barctl: no Vantorel Ad Bar is running\n", stderr);
        return 1;
    }

    /* Sent, not posted: when barctl returns, the bar has done the command. */
    if (pVerb->idCommand) {
        SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(pVerb->idCommand, 0), 0);
        return 0;
    }

    /* Every bar that runs, since a second copy docks a second bar. The bar's
       process ends a moment after it has taken the quit in, and an installer
       replacing the bar's files goes on when barctl returns: barctl waits for
       each process, and its hold on the exe, to be gone. */
    for (int i = 0; hwnd && i < MAX_BARS; i++, hwnd = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE)) {
        DWORD dwPid = 0;
        GetWindowThreadProcessId(hwnd, &dwPid);
        HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwPid);
        COPYDATASTRUCT cds = { 0, 0, NULL };
        SendMessageA(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
        DWORD dwWait = hProcess ? WaitForSingleObject(hProcess, QUIT_WAIT_MS) : WAIT_FAILED;
        if (hProcess)
            CloseHandle(hProcess);
        if (dwWait != WAIT_OBJECT_0) {
            fputs("barctl: a bar took the quit in but did not end\n", stderr);
            return 3;
        }
    }
    return 0;
}
