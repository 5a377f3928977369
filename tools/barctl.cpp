/* barctl: drives a running Vantorel Ad Bar from the command line or a script. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "app/app.h"
#include "res/resource.h"

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
          "       barctl quit       end the bar's process (WM_COPYDATA)\n", stderr);
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
    } else {
        COPYDATASTRUCT cds = { 0, 0, NULL };
        SendMessageA(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
    }
    return 0;
}
