// barpeer: another program beside the running bar, for the end-to-end tests.
// Prints what it sees on one line; exits 1 when no bar runs.
// rect | client          the bar's window or client rectangle on screen: l t r b
// hit                    hit-test answers at the middle of the left, top, right and bottom border
// menu                   the popup menu's rectangle (exit 1 when none is open)
// paint N                N paints, sent as the refresh thread sends them
// duringslide ID          prints "ready", then sends command ID as soon as the bar moves
// commands SEED          every command id but the two close ones, posted in a scrambled order
//   with high words and control handles; prints the last dock edge (or none)
// endsession ENDING FLAGS  the session's end as Windows announces it: prints the answer to
//   WM_QUERYENDSESSION, then sends WM_ENDSESSION with ENDING and FLAGS
// forget | broadcast     the shell drops the bar's registration | "TaskbarCreated" to all
// fullscreen             the shell's full-screen notices with the bar right below a window
//   of its own (and another window lower down); prints windows below
//   the bar after the opening, 1 when that window is right above the
//   bar after the closing, and visible windows above the bar when the
//   window was gone before the closing
// otherbar EDGE T | front   a bar of its own holding T pixels of the edge ("registered l t r b"),
//   or a window of its own in the foreground, until standard input ends
// hung                   a window of the bar's class and title holding the bottom 75 rows that
//   never takes a message, until standard input ends
// trust CA.der | untrust CA.der   puts a certificate authority among this user's trusted
//   roots (what Group Policy does for a company's CA), or takes it out again
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "res/resource.h"

static HWND g_hwndBar;

static void PrintRect(RECT rc)
{
    printf("%ld %ld %ld %ld\n", (long)rc.left, (long)rc.top, (long)rc.right, (long)rc.bottom);
}

static HWND OwnWindow(int x, int y, int cx, int cy)
{
    return CreateWindowExA(WS_EX_TOOLWINDOW, "STATIC", "barpeer", WS_POPUP | WS_VISIBLE | WS_BORDER,
                           x, y, cx, cy, NULL, NULL, NULL, NULL);
}

static void WaitUntilStdinEnds(BOOL bPump)
{
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    while (bPump && MsgWaitForMultipleObjects(1, &hIn, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    char line[8];
    fgets(line, sizeof(line), stdin);
}

static int OtherBar(UINT uEdge, int t, BOOL bHung)
{
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    RECT rc = { uEdge == ABE_RIGHT ? cx - t : 0, uEdge == ABE_BOTTOM ? cy - t : 0,
                uEdge == ABE_LEFT ? t : cx, uEdge == ABE_TOP ? t : cy };
    WNDCLASSA wc = { 0, DefWindowProcA, 0, 0, GetModuleHandleA(NULL), NULL, NULL, NULL, NULL, BAR_CLASS_NAME };
    HWND hwnd = bHung && RegisterClassA(&wc)
        ? CreateWindowExA(WS_EX_TOOLWINDOW, BAR_CLASS_NAME, BAR_WINDOW_TITLE, WS_POPUP | WS_VISIBLE,
                          rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, NULL, NULL, NULL, NULL)
        : OwnWindow(rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
    APPBARDATA abd = { sizeof(abd), hwnd, WM_APP, uEdge, rc, 0 };
    if (!SHAppBarMessage(ABM_NEW, &abd))
        return 3;
    SHAppBarMessage(ABM_SETPOS, &abd);     /* clears the bars registered before, as the query would */
    printf("registered ");
    PrintRect(abd.rc);
    fflush(stdout);
    WaitUntilStdinEnds(!bHung);
    SHAppBarMessage(ABM_REMOVE, &abd);
    return 0;
}

static int Trust(const char *pszDer, BOOL bTrust)
{
    static BYTE der[16384];
    FILE *f = fopen(pszDer, "rb");
    DWORD cb = f ? (DWORD)fread(der, 1, sizeof(der), f) : 0;
    /* The user's registry store itself: under Wine 8 a deletion through the system store
       (a collection that takes in the machine's roots too) never reaches the registry. */
    HCERTSTORE hRoot = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
    PCCERT_CONTEXT pCert = NULL;
    /* Taking out one that is not there adds it first: the end is the same. */
    BOOL bDone = cb && hRoot && CertAddEncodedCertificateToStore(hRoot, X509_ASN_ENCODING, der, cb,
                                                                 CERT_STORE_ADD_USE_EXISTING, &pCert)
                 && (bTrust ? CertFreeCertificateContext(pCert) : CertDeleteCertificateFromStore(pCert));
    /* Closing writes the change to the registry. */
    return CertCloseStore(hRoot, 0) && bDone ? 0 : 3;
}

static int CountWindows(UINT uDir, BOOL bVisibleOnly)
{
    int n = 0;
    for (HWND hwnd = g_hwndBar; (hwnd = GetWindow(hwnd, uDir));)
        n += !bVisibleOnly || IsWindowVisible(hwnd);
    return n;
}

static void FullScreen(BOOL bOpened) { SendMessageA(g_hwndBar, APPBAR_CALLBACK, ABN_FULLSCREENAPP, bOpened); }

int main(int argc, char **argv)
{
    const char *verb = argc > 1 ? argv[1] : "";
    static const char *const edges[] = { "left", "top", "right", "bottom" };
    RECT rc;

    if ((!strcmp(verb, "trust") || !strcmp(verb, "untrust")) && argc == 3)
        return Trust(argv[2], verb[0] == 't');
    if (!strcmp(verb, "hung"))
        return OtherBar(ABE_BOTTOM, 75, TRUE);
    if ((!strcmp(verb, "otherbar") && argc == 4) || !strcmp(verb, "front")) {
        for (UINT i = 0; argc == 4 && i < 4; i++)
            if (!strcmp(argv[2], edges[i]))
                return OtherBar(i, atoi(argv[3]), FALSE);
        SetForegroundWindow(OwnWindow(300, 300, 200, 100));
        WaitUntilStdinEnds(TRUE);
        return 0;
    }
    if (!strcmp(verb, "menu")) {
        HWND hwndMenu = FindWindowA("#32768", NULL);
        if (!hwndMenu || !IsWindowVisible(hwndMenu) || !GetWindowRect(hwndMenu, &rc))
            return 1;
        PrintRect(rc);
        return 0;
    }

    if (!(g_hwndBar = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE)))
        return 1;
    GetWindowRect(g_hwndBar, &rc);
    APPBARDATA abd = { sizeof(abd), g_hwndBar, 0, 0, rc, 0 };
    int n = argc > 2 ? atoi(argv[2]) : 0;

    if (!strcmp(verb, "rect")) {
        PrintRect(rc);
    } else if (!strcmp(verb, "client")) {
        GetClientRect(g_hwndBar, &rc);
        MapWindowPoints(g_hwndBar, NULL, (POINT *)&rc, 2);
        PrintRect(rc);
    } else if (!strcmp(verb, "hit")) {
        int xMid = (rc.left + rc.right) / 2, yMid = (rc.top + rc.bottom) / 2;
        POINT pts[4] = { { rc.left, yMid }, { xMid, rc.top }, { rc.right - 1, yMid }, { xMid, rc.bottom - 1 } };
        for (POINT pt : pts)
            printf("%d ", (int)SendMessageA(g_hwndBar, WM_NCHITTEST, 0, MAKELPARAM(pt.x, pt.y)));
    } else if (!strcmp(verb, "paint")) {
        for (; n > 0; n--)
            if (!SendMessageTimeoutA(g_hwndBar, WM_PAINT, 0, 0, SMTO_NORMAL, 120000, NULL))
                return 1;
    } else if (!strcmp(verb, "duringslide")) {
        RECT rcStill = rc;
        printf("ready\n");
        fflush(stdout);
        for (DWORD t0 = GetTickCount(); EqualRect(&rc, &rcStill); Sleep(0))
            if (!GetWindowRect(g_hwndBar, &rc) || GetTickCount() - t0 > 30000)
                return 1;
        SendMessageTimeoutA(g_hwndBar, WM_COMMAND, n, 0, SMTO_NORMAL, 30000, NULL);
    } else if (!strcmp(verb, "commands")) {
        /* An odd step walks all 65536 identifiers, each once, in a scrambled order. */
        static const char *const docks[] = { "top", "bottom", "left", "right" };
        const char *last = "none";
        for (unsigned i = 0; i < 65536; i++) {
            WORD id = (WORD)(i * 40503u + (unsigned)n);
            if (id == IDM_CLOSE || id == IDM_EXIT)
                continue;
            if (id >= IDM_DOCK_TOP && id <= IDM_DOCK_RIGHT)
                last = docks[id - IDM_DOCK_TOP];
            PostMessageA(g_hwndBar, WM_COMMAND, MAKEWPARAM(id, i % 3), i % 2 ? (LPARAM)g_hwndBar : 0);
        }
        /* Its trace line tells the test when the bar has taken in all the rest. */
        PostMessageA(g_hwndBar, APPBAR_CALLBACK, ABN_STATECHANGE, 0);
        printf("%s", last);
    } else if (!strcmp(verb, "endsession") && argc == 4) {
        LPARAM flags = (LPARAM)strtoul(argv[3], NULL, 0);
        printf("%d", (int)SendMessageA(g_hwndBar, WM_QUERYENDSESSION, 0, flags));
        SendMessageA(g_hwndBar, WM_ENDSESSION, n, flags);
    } else if (!strcmp(verb, "forget")) {
        SHAppBarMessage(ABM_REMOVE, &abd);
    } else if (!strcmp(verb, "broadcast")) {
        SendMessageTimeoutA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_NORMAL, 30000, NULL);
    } else if (!strcmp(verb, "fullscreen")) {
        HWND hwndLower = OwnWindow(100, 200, 100, 100), hwndAbove = OwnWindow(300, 200, 200, 100);
        SetWindowPos(g_hwndBar, hwndAbove, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        FullScreen(TRUE);
        printf("%d ", CountWindows(GW_HWNDNEXT, FALSE));
        FullScreen(FALSE);
        printf("%d ", GetWindow(g_hwndBar, GW_HWNDPREV) == hwndAbove);
        FullScreen(TRUE);
        DestroyWindow(hwndAbove);
        FullScreen(FALSE);
        printf("%d", CountWindows(GW_HWNDPREV, TRUE));
        DestroyWindow(hwndLower);
    } else {
        return 2;
    }
    printf("\n");
    return 0;
}
