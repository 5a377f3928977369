/* barctl: drives a running Vantorel Ad Bar from the command line or a script.
   Installers run it, so no call here may wait without a bound: a bar whose
   thread is held by a silent ad server, or hung, must not hang them too. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include "res/resource.h"

/* A bar that takes messages answers a command in well under a second (the
   longest, a re-dock of an auto-hide bar, slides for about 0.6 s). While a
   picture downloads it answers only every few seconds; after 5 s without
   taking any message Windows counts a window as hung, and then
   SMTO_ABORTIFHUNG gives up at once. */
#define SEND_BOUND_MS   5000
/* A bar that took the quit in ends as soon as its message loop sees it, in
   milliseconds; one that took it inside a download ends when the download does. */
#define EXIT_BOUND_MS   10000
#define MAX_BARS        64

/* Exit codes, from the worst down: with several bars, the worst that befell any. */
enum {
    EXIT_DONE = 0,          /* every bar did it; for quit, every bar's process has ended */
    EXIT_NO_BAR = 1,
    EXIT_USAGE = 2,
    EXIT_NO_ANSWER = 3,     /* a bar did not answer, or did not end, within the bound: it still runs */
    EXIT_UNREACHABLE = 4,   /* a bar could not be reached (its process could not be opened, or
                               the system refused the message): it was left as it was */
    EXIT_FORCED = 5         /* quit --force: every bar is gone, at least one ended by force */
};

struct Verb {
    const char *pszWord;
    const char *pszArg;     /* NULL when the verb takes no argument */
    UINT idCommand;         /* 0: end the bar's process (WM_COPYDATA) */
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
          "       barctl close           close the bar (as its Exit item does)\n"
          "       barctl quit [--force]  end every bar's process and wait until they have;\n"
          "                              --force ends one that does not answer within the bound\n"
          "exit: 0 done, 1 no bar, 2 usage, 3 a bar did not answer or end (it still runs),\n"
          "      4 a bar could not be reached, 5 every bar is gone, one ended by force\n", stderr);
    return EXIT_USAGE;
}

/* 0 when the bar took the message in within the bound, else why not. */
static int Send(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR dwResult;
    SetLastError(ERROR_SUCCESS);
    if (SendMessageTimeoutA(hwnd, uMsg, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK, SEND_BOUND_MS, &dwResult))
        return EXIT_DONE;
    /* A timeout, or a hung window, sets no error or ERROR_TIMEOUT; anything
       else is a refusal, such as a bar of a higher integrity level. */
    DWORD dwError = GetLastError();
    return dwError == ERROR_SUCCESS || dwError == ERROR_TIMEOUT ? EXIT_NO_ANSWER : EXIT_UNREACHABLE;
}

/* A bar ended by force never left the shell, and nothing says the shell
   notices: Wine's keeps the dead bar's strip, and its edge's auto-hide slot,
   for as long as it runs. The shell knows bars by their window handles
   alone, so the dead bar's are given back for it. */
static void ForgetDeadBar(HWND hwnd)
{
    APPBARDATA abd;
    ZeroMemory(&abd, sizeof(abd));
    abd.cbSize = sizeof(abd);
    abd.hWnd = hwnd;
    for (abd.uEdge = ABE_LEFT; abd.uEdge <= ABE_BOTTOM; abd.uEdge++) {
        if ((HWND)SHAppBarMessage(ABM_GETAUTOHIDEBAR, &abd) == hwnd) {
            abd.lParam = FALSE;
            SHAppBarMessage(ABM_SETAUTOHIDEBAR, &abd);
        }
    }
    SHAppBarMessage(ABM_REMOVE, &abd);
}

/* Ends one bar's process: asks it to quit and waits for the process, since
   an installer replacing the bar's files goes on as soon as barctl returns. */
static int Quit(HWND hwnd, BOOL bForce)
{
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hwnd, &dwPid);
    /* Only the right to wait: a bar this user may not end (another user's
       on the same desktop) is still asked to quit. */
    HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwPid);
    if (!hProcess) {
        fprintf(stderr, "barctl: the bar of process %lu cannot be opened; left as it is\n", dwPid);
        return EXIT_UNREACHABLE;
    }

    COPYDATASTRUCT cds = { 0, 0, NULL };
    int nResult = Send(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
    const char *pszWhy = nResult == EXIT_NO_ANSWER ? "did not answer" : "refused the quit";
    if (nResult == EXIT_DONE && WaitForSingleObject(hProcess, EXIT_BOUND_MS) != WAIT_OBJECT_0) {
        nResult = EXIT_NO_ANSWER;
        pszWhy = "took the quit in but did not end";
    }

    /* The handle held above keeps the process id from going to another
       process meanwhile, so the second open finds the same bar. */
    HANDLE hEnd = nResult == EXIT_NO_ANSWER && bForce ? OpenProcess(PROCESS_TERMINATE, FALSE, dwPid) : NULL;
    if (hEnd && TerminateProcess(hEnd, 1) && WaitForSingleObject(hProcess, EXIT_BOUND_MS) == WAIT_OBJECT_0) {
        ForgetDeadBar(hwnd);
        nResult = EXIT_FORCED;
    }
    if (nResult != EXIT_DONE)
        fprintf(stderr, "barctl: the bar of process %lu %s; %s\n", dwPid, pszWhy,
                nResult == EXIT_FORCED ? "ended by force" : nResult != EXIT_NO_ANSWER ? "left as it is" :
                bForce && !hEnd ? "it still runs, and this user may not end it" : "it still runs");
    if (hEnd)
        CloseHandle(hEnd);
    CloseHandle(hProcess);
    return nResult;
}

int main(int argc, char **argv)
{
    const Verb *pVerb = NULL;
    BOOL bForce = argc == 3 && !strcmp(argv[1], "quit") && !strcmp(argv[2], "--force");

    for (size_t i = 0; i < sizeof(s_verbs) / sizeof(s_verbs[0]) && !pVerb; i++) {
        const Verb *v = &s_verbs[i];
        if (v->pszArg ? (argc == 3 && !strcmp(argv[1], v->pszWord) && !strcmp(argv[2], v->pszArg))
                      : ((argc == 2 || bForce) && !strcmp(argv[1], v->pszWord)))
            pVerb = v;
    }
    if (!pVerb)
        return Usage();

    /* Every bar is listed before any is acted on: one that does not end
       stays in the list of windows and would otherwise be found again. */
    HWND hwndBars[MAX_BARS];
    int nBars = 0;
    for (HWND hwnd = NULL; nBars < MAX_BARS && (hwnd = FindWindowExA(NULL, hwnd, BAR_CLASS_NAME, BAR_WINDOW_TITLE));)
        hwndBars[nBars++] = hwnd;
    if (!nBars) {
        fputs("barctl: no Vantorel Ad Bar is running\n", stderr);
        return EXIT_NO_BAR;
    }

    /* A command goes to one bar and has been carried out when barctl returns. */
    if (pVerb->idCommand) {
        int nResult = Send(hwndBars[0], WM_COMMAND, MAKEWPARAM(pVerb->idCommand, 0), 0);
        if (nResult != EXIT_DONE)
            fprintf(stderr, "barctl: the bar %s\n", nResult == EXIT_NO_ANSWER ? "did not answer" : "refused the command");
        return nResult;
    }

    /* A second copy docks a second bar: quit ends them all, whatever one of
       them does, and the exit code names the worst that befell any. */
    int nExit = EXIT_DONE;
    for (int i = 0; i < nBars; i++) {
        int nResult = Quit(hwndBars[i], bForce);
        if (nResult == EXIT_NO_ANSWER || (nResult == EXIT_UNREACHABLE && nExit != EXIT_NO_ANSWER) ||
            (nResult == EXIT_FORCED && nExit == EXIT_DONE))
            nExit = nResult;
    }
    return nExit;
}
