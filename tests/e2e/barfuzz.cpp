/* barfuzz: another program throwing messages at the running bar, for the
   hardening tests. Prints what it did on stdout; exits 1 when no bar runs.
     barfuzz commands SEED close|noclose send|post
                        WM_COMMAND with every identifier 0..65535 in a random order
                        (noclose leaves out the two close commands), random high
                        words and control handles, each sent and waited for, or
                        posted (then the shell's ABN_STATECHANGE is posted last, so
                        its trace line tells when the bar has taken them all in);
                        prints "sent N", "last-dock EDGE" (top, bottom, left, right
                        or none) and "closed-at I ID" or "closed-at -"
     barfuzz copydata COUNT THREADS
                        COUNT WM_COPYDATA from THREADS threads at once, with random
                        payloads (none, small, 1 MB); prints "sent N answered M"
     barfuzz callbacks COUNT SEED
                        the shell's notification message with random codes (mostly
                        the three known ones) and random arguments; prints "sent N"
     barfuzz paint [TIMEOUT_MS]
                        one WM_PAINT, as the refresh thread sends it; prints
                        "paint MS answered 1|0"
     barfuzz ping TIMEOUT_MS
                        WM_NULL; prints "ping MS answered 1|0"
     barfuzz race DELAY_MS
                        a paint from a second thread, then DELAY_MS later, while that
                        paint may still be loading: another paint, dock left, a
                        position notice, auto-hide on, dock bottom; prints each
                        message's start and end in ms
     barfuzz forget     asks the shell to drop the bar's registration (ABM_REMOVE for
                        the bar's window), as a restarted shell has forgotten it
     barfuzz broadcast  "TaskbarCreated" to every top-level window, as a restarted
                        shell sends it */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "app/app.h"
#include "dock/appbar.h"
#include "res/resource.h"

namespace {

HWND g_hwndBar;

/* xorshift64*: the same seed gives the same storm on every machine. */
struct Random {
    unsigned long long s;
    explicit Random(unsigned long long seed) : s(seed * 2654435761ULL + 0x9E3779B97F4A7C15ULL) {}
    unsigned long long Next()
    {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ULL;
    }
    unsigned Below(unsigned n) { return (unsigned)(Next() % n); }
};

double NowMs()
{
    static LARGE_INTEGER s_freq;
    if (!s_freq.QuadPart)
        QueryPerformanceFrequency(&s_freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)s_freq.QuadPart;
}

const char *EdgeName(unsigned id)
{
    switch (id) {
    case IDM_DOCK_TOP:    return "top";
    case IDM_DOCK_BOTTOM: return "bottom";
    case IDM_DOCK_LEFT:   return "left";
    case IDM_DOCK_RIGHT:  return "right";
    }
    return NULL;
}

/* Posts, waiting while the queue is full (Windows holds 10 000 messages). */
bool Post(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    for (int tries = 0; tries < 10000; tries++) {
        if (PostMessageA(g_hwndBar, uMsg, wParam, lParam))
            return true;
        if (!IsWindow(g_hwndBar))
            return false;
        Sleep(1);
    }
    return false;
}

int Commands(unsigned long long seed, bool bClose, bool bPost)
{
    Random rnd(seed);
    std::vector<unsigned> ids;
    for (unsigned id = 0; id <= 0xFFFF; id++)
        if (bClose || (id != IDM_CLOSE && id != IDM_EXIT))
            ids.push_back(id);
    for (size_t i = ids.size() - 1; i > 0; i--) {
        size_t j = rnd.Below((unsigned)i + 1);
        unsigned t = ids[i];
        ids[i] = ids[j];
        ids[j] = t;
    }

    const char *pszLastDock = "none";
    size_t nSent = 0;
    for (size_t i = 0; i < ids.size(); i++) {
        /* High words of menus (0), accelerators (1) and controls' notifications. */
        static const WORD s_highs[] = { 0, 1, BN_CLICKED, EN_CHANGE, 0xFFFF };
        WORD wHigh = rnd.Below(4) ? s_highs[rnd.Below(5)] : (WORD)rnd.Next();
        LPARAM lParam = rnd.Below(2) ? 0 : (LPARAM)rnd.Next();
        DWORD_PTR dwResult;
        bool bDone = bPost ? Post(WM_COMMAND, MAKEWPARAM(ids[i], wHigh), lParam)
                           : SendMessageTimeoutA(g_hwndBar, WM_COMMAND, MAKEWPARAM(ids[i], wHigh), lParam,
                                                 SMTO_NORMAL, 30000, &dwResult) != 0;
        if (!bDone && !IsWindow(g_hwndBar)) {
            printf("sent %zu\nlast-dock %s\nclosed-at %zu %u\n", nSent, pszLastDock, i, ids[i]);
            return 0;
        }
        nSent++;
        if (EdgeName(ids[i]))
            pszLastDock = EdgeName(ids[i]);
        if (!IsWindow(g_hwndBar)) {
            printf("sent %zu\nlast-dock %s\nclosed-at %zu %u\n", nSent, pszLastDock, i, ids[i]);
            return 0;
        }
    }
    if (bPost)
        Post(APPBAR_CALLBACK, ABN_STATECHANGE, 0);
    printf("sent %zu\nlast-dock %s\nclosed-at -\n", nSent, pszLastDock);
    return 0;
}

struct CopyDataJob {
    int nCount;
    unsigned long long seed;
    int nAnswered;
};

DWORD WINAPI CopyDataThread(LPVOID lpParam)
{
    CopyDataJob *job = (CopyDataJob *)lpParam;
    Random rnd(job->seed);
    std::vector<char> big(1 << 20, 'x');
    char small[64];
    for (int i = 0; i < job->nCount; i++) {
        COPYDATASTRUCT cds;
        cds.dwData = (ULONG_PTR)rnd.Next();
        switch (rnd.Below(3)) {
        case 0:
            cds.cbData = 0;
            cds.lpData = NULL;
            break;
        case 1:
            for (char &ch : small)
                ch = (char)rnd.Next();
            cds.cbData = sizeof(small);
            cds.lpData = small;
            break;
        default:
            cds.cbData = (DWORD)big.size();
            cds.lpData = big.data();
            break;
        }
        DWORD_PTR dwResult = 0;
        if (SendMessageTimeoutA(g_hwndBar, WM_COPYDATA, (WPARAM)NULL, (LPARAM)&cds, SMTO_NORMAL, 10000, &dwResult))
            job->nAnswered++;
    }
    return 0;
}

int CopyData(int nCount, int nThreads)
{
    std::vector<CopyDataJob> jobs(nThreads);
    std::vector<HANDLE> threads;
    for (int i = 0; i < nThreads; i++) {
        jobs[i] = { nCount / nThreads + (i < nCount % nThreads), (unsigned long long)i + 1, 0 };
        threads.push_back(CreateThread(NULL, 0, CopyDataThread, &jobs[i], 0, NULL));
    }
    WaitForMultipleObjects((DWORD)threads.size(), threads.data(), TRUE, INFINITE);
    int nAnswered = 0;
    for (size_t i = 0; i < threads.size(); i++) {
        CloseHandle(threads[i]);
        nAnswered += jobs[i].nAnswered;
    }
    printf("sent %d answered %d\n", nCount, nAnswered);
    return 0;
}

int Callbacks(int nCount, unsigned long long seed)
{
    Random rnd(seed);
    int nSent = 0;
    for (int i = 0; i < nCount && IsWindow(g_hwndBar); i++) {
        WPARAM wCode = rnd.Below(4) ? (WPARAM)rnd.Below(4) : (WPARAM)rnd.Next();
        LPARAM lParam = rnd.Below(2) ? (LPARAM)rnd.Below(2) : (LPARAM)rnd.Next();
        DWORD_PTR dwResult;
        if (SendMessageTimeoutA(g_hwndBar, APPBAR_CALLBACK, wCode, lParam, SMTO_NORMAL, 30000, &dwResult))
            nSent++;
    }
    printf("sent %d\n", nSent);
    return 0;
}

int Timed(const char *pszWhat, UINT uMsg, DWORD dwTimeout)
{
    DWORD_PTR dwResult;
    double t0 = NowMs();
    BOOL bAnswered = SendMessageTimeoutA(g_hwndBar, uMsg, 0, 0, SMTO_NORMAL, dwTimeout, &dwResult) != 0;
    printf("%s %.0f answered %d\n", pszWhat, NowMs() - t0, bAnswered ? 1 : 0);
    return 0;
}

double g_t0;

DWORD WINAPI RacePaint(LPVOID)
{
    double t = NowMs() - g_t0;
    SendMessageA(g_hwndBar, WM_PAINT, 0, 0);
    printf("paint-1 %.0f %.0f\n", t, NowMs() - g_t0);
    return 0;
}

int Race(DWORD dwDelay)
{
    struct Step {
        const char *pszName;
        UINT uMsg;
        WPARAM wParam;
    };
    static const Step s_steps[] = {
        { "paint-2", WM_PAINT, 0 },
        { "dock-left", WM_COMMAND, IDM_DOCK_LEFT },
        { "poschanged", APPBAR_CALLBACK, ABN_POSCHANGED },
        { "autohide-on", WM_COMMAND, IDM_AUTOHIDE_ON },
        { "dock-bottom", WM_COMMAND, IDM_DOCK_BOTTOM },
    };
    g_t0 = NowMs();
    HANDLE hThread = CreateThread(NULL, 0, RacePaint, NULL, 0, NULL);
    Sleep(dwDelay);
    for (const Step &s : s_steps) {
        double t = NowMs() - g_t0;
        SendMessageA(g_hwndBar, s.uMsg, s.wParam, 0);
        printf("%s %.0f %.0f\n", s.pszName, t, NowMs() - g_t0);
    }
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    return 0;
}

int Broadcast()
{
    UINT uMsg = RegisterWindowMessageA("TaskbarCreated");
    DWORD_PTR dwResult;
    LRESULT lr = SendMessageTimeoutA(HWND_BROADCAST, uMsg, 0, 0, SMTO_ABORTIFHUNG, 10000, &dwResult);
    printf("broadcast %d\n", lr ? 1 : 0);
    return 0;
}

}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *verb = argv[1];

    if (!strcmp(verb, "broadcast"))
        return Broadcast();

    g_hwndBar = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
    if (!g_hwndBar) {
        fprintf(stderr, "barfuzz: no bar\n");
        return 1;
    }

    int rc = 2;
    if (!strcmp(verb, "forget")) {
        APPBARDATA abd;
        ZeroMemory(&abd, sizeof(abd));
        abd.cbSize = sizeof(abd);
        abd.hWnd = g_hwndBar;
        printf("removed %d\n", SHAppBarMessage(ABM_REMOVE, &abd) ? 1 : 0);
        rc = 0;
    } else if (!strcmp(verb, "commands") && argc == 5)
        rc = Commands(strtoull(argv[2], NULL, 10), !strcmp(argv[3], "close"), !strcmp(argv[4], "post"));
    else if (!strcmp(verb, "copydata") && argc == 4)
        rc = CopyData(atoi(argv[2]), atoi(argv[3]) > 0 ? atoi(argv[3]) : 1);
    else if (!strcmp(verb, "callbacks") && argc == 4)
        rc = Callbacks(atoi(argv[2]), strtoull(argv[3], NULL, 10));
    else if (!strcmp(verb, "paint"))
        rc = Timed("paint", WM_PAINT, argc > 2 ? (DWORD)atoi(argv[2]) : 600000);
    else if (!strcmp(verb, "ping") && argc == 3)
        rc = Timed("ping", WM_NULL, (DWORD)atoi(argv[2]));
    else if (!strcmp(verb, "race") && argc == 3)
        rc = Race((DWORD)atoi(argv[2]));
    fflush(stdout);
    return rc;
}
