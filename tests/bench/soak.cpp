/* soak: weeks of the bar's life in minutes. The bar runs in this process
   against Wine's own shell service and the sample ad server, and goes through
   four phases: paints as fast as they load, dock commands round the four
   edges, right-click menus closed at once, auto-hide slides away and back.
   Each phase samples the process's GDI objects, menus, kernel handles and
   memory ten times. The first tenth of a phase is warm-up (the loader's and
   the window system's caches fill there), for the paints at least 200. A phase is "flat" when nothing is
   up at its end against the end of the warm-up, "settled" when something
   came after the warm-up but no more in the second half (a cache filling
   late), and "GROWING" when the counts still rose, or the working set rose
   beyond noise, over the second half: that is a leak, and fails. Window DCs
   and regions are counted apart: the bar makes neither (it borrows window DCs
   and gives them back), but the window system keeps a cache of them that
   grows when paints nest deeper than before; more than a few new ones after
   the warm-up would be a DC the bar did not give back, and fail too.

     soak [--paints N] [--cycles C] [--speed S]
       N  paints (default 10000), C cycles of each other phase (default 1000)
       S  how much faster than real time the slides run (default 8): the tick
          count the slide reads is sped up, so a cycle's two slides take 75 ms,
          not 600

   Prints a table per phase and one "RESULT" line per phase; exit code 0
   without a leak, 2 with one (or with a step that went wrong), 1 when the bar
   could not run. */
#include <windows.h>
#include <olectl.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/imports.h"

namespace {

/* Working-set growth taken as noise: the loader's heaps grow in steps. */
const double kWorkingSetNoiseMb = 2.0;
/* New window DCs (with their regions) after the warm-up that still count as the cache filling. */
const int kCacheSlack = 8;

struct Sample {
    int n;
    int nGdi;           /* window DCs and regions apart */
    int nCache;         /* window DCs and regions */
    int nMenus;
    int nHandles;
    double dWorkingSetMb;
    double dPrivateMb;
};

/* The GDI objects of this process, as their handle tables' low words. */
std::vector<ULONG_PTR> GdiObjects()
{
    std::vector<ULONG_PTR> objects;
    for (ULONG_PTR i = 0x20; i <= 0xFFFF; i++)
        if (GetObjectType((HGDIOBJ)i))
            objects.push_back(i);
    return objects;
}

void CountGdiObjects(int *pnObjects, int *pnCache)
{
    *pnObjects = *pnCache = 0;
    for (ULONG_PTR h : GdiObjects()) {
        DWORD dwType = GetObjectType((HGDIOBJ)h);
        (dwType == OBJ_DC || dwType == OBJ_REGION ? *pnCache : *pnObjects)++;
    }
}

/* "bitmap x2, DC x1": what the objects that were not there before are. */
std::string NewGdiObjects(const std::vector<ULONG_PTR> &before)
{
    static const char *const s_names[] = { "?", "pen", "brush", "DC", "metafile DC", "palette", "font", "bitmap",
                                           "region", "metafile", "memory DC", "extended pen", "enhanced metafile DC",
                                           "enhanced metafile", "colour space" };
    int counts[15] = {};
    for (ULONG_PTR h : GdiObjects()) {
        bool bOld = false;
        for (ULONG_PTR b : before)
            bOld = bOld || b == h;
        DWORD dwType = GetObjectType((HGDIOBJ)h);
        if (!bOld)
            counts[dwType < 15 ? dwType : 0]++;
    }
    std::string text;
    for (int i = 0; i < 15; i++)
        if (counts[i])
            text += (text.empty() ? "" : ", ") + std::string(s_names[i]) + " x" + std::to_string(counts[i]);
    return text;
}

/* Window-system handles are even from 0x20 on; the odd value next to one names the same object. */
int CountMenus()
{
    int n = 0;
    for (ULONG_PTR i = 0x20; i <= 0xFFFE; i += 2)
        if (IsMenu((HMENU)i))
            n++;
    return n;
}

/* GetProcessHandleCount is a stub under Wine; the system's handle table is not. */
struct HandleEntry {
    USHORT UniqueProcessId;
    USHORT CreatorBackTraceIndex;
    UCHAR ObjectTypeIndex;
    UCHAR HandleAttributes;
    USHORT HandleValue;
    PVOID Object;
    ULONG GrantedAccess;
};
struct HandleTable {
    ULONG NumberOfHandles;
    HandleEntry Handles[1];
};

int CountKernelHandles()
{
    typedef LONG(WINAPI * PFN)(ULONG, PVOID, ULONG, PULONG);
    static PFN s_pfn = (PFN)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    static std::vector<BYTE> s_buf(1 << 20);
    if (!s_pfn)
        return -1;
    for (int tries = 0; tries < 8; tries++) {
        ULONG cbNeeded = 0;
        LONG status = s_pfn(16, s_buf.data(), (ULONG)s_buf.size(), &cbNeeded);
        if (status == (LONG)0xC0000004) {
            s_buf.resize(s_buf.size() * 2 > cbNeeded ? s_buf.size() * 2 : cbNeeded + 65536);
            continue;
        }
        if (status < 0)
            return -1;
        const HandleTable *pTable = (const HandleTable *)s_buf.data();
        USHORT pid = (USHORT)GetCurrentProcessId();
        int n = 0;
        for (ULONG i = 0; i < pTable->NumberOfHandles; i++)
            if (pTable->Handles[i].UniqueProcessId == pid)
                n++;
        return n;
    }
    return -1;
}

Sample TakeSample(int n)
{
    typedef BOOL(WINAPI * PFN)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    static PFN s_pfn = (PFN)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo");
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (s_pfn)
        s_pfn(GetCurrentProcess(), &pmc, sizeof(pmc));
    Sample s = { n, 0, 0, CountMenus(), CountKernelHandles(), pmc.WorkingSetSize / 1048576.0,
                 pmc.PagefileUsage / 1048576.0 };
    CountGdiObjects(&s.nGdi, &s.nCache);
    return s;
}

void Drain()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

LARGE_INTEGER g_qpf;

double NowS()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)g_qpf.QuadPart;
}

bool g_bNoLeak = true;     /* no phase leaked */

/* Runs nTotal steps, sampling before the first and after every tenth; the
   warm-up lasts a tenth, or nWarmMin steps if that is more. */
void Phase(const char *pszName, const char *pszUnit, int nTotal, int nWarmMin, const std::function<bool(int)> &step)
{
    int nEvery = nTotal / 10 > 0 ? nTotal / 10 : 1;
    std::vector<Sample> samples;
    std::vector<ULONG_PTR> warm;
    int nFailed = 0;
    Drain();
    samples.push_back(TakeSample(0));
    double t0 = NowS();
    for (int i = 1; i <= nTotal; i++) {
        if (!step(i))
            nFailed++;
        if (i % nEvery == 0 || i == nTotal) {
            Drain();
            samples.push_back(TakeSample(i));
            if (samples.size() == 2 || i <= nWarmMin)
                warm = GdiObjects();
        }
    }
    double dSeconds = NowS() - t0;

    printf("%s: %d %s in %.1f s (%.1f ms each)\n", pszName, nTotal, pszUnit, dSeconds, dSeconds * 1000.0 / nTotal);
    printf("  %8s %6s %8s %6s %8s %9s %10s\n", pszUnit, "GDI", "DC cache", "menus", "handles", "WS MB",
           "private MB");
    for (const Sample &s : samples)
        printf("  %8d %6d %8d %6d %8d %9.1f %10.1f\n", s.n, s.nGdi, s.nCache, s.nMenus, s.nHandles,
               s.dWorkingSetMb, s.dPrivateMb);

    /* The warm-up ends with the first sample after the start. Only what is
       still there at the end counts (a worker thread of the loader may be
       alive at one sample and gone at the next); what came after the warm-up
       but stopped coming by the middle of the phase is a cache that filled
       late, what still came in the second half is a leak. */
    size_t iLast = samples.size() - 1, iBase = samples.size() > 2 ? 1 : 0;
    while (iBase + 2 < iLast && samples[iBase].n < nWarmMin)
        iBase++;
    size_t iMid = (iBase + iLast) / 2;
    const Sample &base = samples[iBase], &mid = samples[iMid], &last = samples[iLast];
    int dGdi = last.nGdi - base.nGdi, dCache = last.nCache - base.nCache;
    int dMenus = last.nMenus - base.nMenus, dHandles = last.nHandles - base.nHandles;
    double dWs = last.dWorkingSetMb - base.dWorkingSetMb;
    double dPrivate = last.dPrivateMb - base.dPrivateMb;
    bool bGrowing = last.nGdi > mid.nGdi || dCache > kCacheSlack || last.nMenus > mid.nMenus ||
                    last.nHandles > mid.nHandles || last.dWorkingSetMb - mid.dWorkingSetMb > kWorkingSetNoiseMb;
    bool bFlat = dGdi <= 0 && dCache <= 0 && dMenus <= 0 && dHandles <= 0 && dWs <= kWorkingSetNoiseMb;
    const char *pszVerdict = nFailed || bGrowing ? "GROWING" : bFlat ? "flat" : "settled";
    if (nFailed || bGrowing)
        g_bNoLeak = false;
    if (dGdi > 0 || dCache > 0)
        printf("  GDI objects made after the warm-up and still there: %s\n", NewGdiObjects(warm).c_str());
    printf("  after the first %d: GDI %+d, DC cache %+d, menus %+d, handles %+d, working set %+.1f MB, "
           "private %+.1f MB; over the second half: GDI %+d, DC cache %+d, menus %+d, handles %+d, "
           "working set %+.1f MB; %d of %d steps went wrong: %s\n",
           base.n, dGdi, dCache, dMenus, dHandles, dWs, dPrivate, last.nGdi - mid.nGdi,
           last.nCache - mid.nCache, last.nMenus - mid.nMenus, last.nHandles - mid.nHandles,
           last.dWorkingSetMb - mid.dWorkingSetMb, nFailed, nTotal, pszVerdict);
    printf("RESULT %s steps=%d seconds=%.1f gdi=%+d dc_cache=%+d menus=%+d handles=%+d ws_mb=%+.1f "
           "private_mb=%+.1f failed=%d %s\n",
           pszName, nTotal, dSeconds, dGdi, dCache, dMenus, dHandles, dWs, dPrivate, nFailed, pszVerdict);
    fflush(stdout);
}

/* ---- Test doubles ---- */

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

int g_nLoads, g_nLoadsOk;
HRESULT(WINAPI *g_pfnLoad)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *);

HRESULT WINAPI CountLoad(LPOLESTR psz, LPUNKNOWN punk, DWORD dw, OLE_COLOR clr, REFIID riid, LPVOID *ppv)
{
    HRESULT hr = g_pfnLoad(psz, punk, dw, clr, riid, ppv);
    g_nLoads++;
    if (hr == S_OK)
        g_nLoadsOk++;
    return hr;
}

DWORD g_dwSpeed = 8;
DWORD g_dwTickStart;
DWORD(WINAPI *g_pfnGetTickCount)(void);

DWORD WINAPI FastTicks()
{
    DWORD dwNow = g_pfnGetTickCount();
    return g_dwTickStart + (dwNow - g_dwTickStart) * g_dwSpeed;
}

/* Closes the popup menu as soon as it is up, from inside its own loop. */
int g_nMenusShown;

void CALLBACK CloseMenu(HWND, UINT, UINT_PTR idEvent, DWORD)
{
    HWND hwndMenu = FindWindowA("#32768", NULL);
    if (hwndMenu && IsWindowVisible(hwndMenu)) {
        g_nMenusShown++;
        KillTimer(NULL, idEvent);
        EndMenu();
    }
}

RECT Rect(LONG l, LONG t, LONG r, LONG b) { return RECT{ l, t, r, b }; }

}

int main(int argc, char **argv)
{
    int nPaints = 10000, nCycles = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--paints"))
            nPaints = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--cycles"))
            nCycles = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--speed"))
            g_dwSpeed = (DWORD)atoi(argv[i + 1]);
    }
    if (nPaints < 1 || nCycles < 1 || g_dwSpeed < 1) {
        fprintf(stderr, "usage: soak [--paints N] [--cycles C] [--speed S]\n");
        return 1;
    }
    QueryPerformanceFrequency(&g_qpf);
    setvbuf(stdout, NULL, _IONBF, 0);

    HWND hwnd;
    {
        /* Every paint of the soak is one it asked for. */
        ImportPatch noThread("kernel32.dll", "CreateThread", (void *)NoThread);
        hwnd = StartBar();
    }
    if (!hwnd) {
        fprintf(stderr, "soak: the bar did not start\n");
        return 1;
    }
    /* Each counter must see one object of its kind come and go. */
    {
        Sample s0 = TakeSample(0);
        HMENU hMenu = CreatePopupMenu();
        HBRUSH hbr = CreateSolidBrush(RGB(1, 2, 3));
        HANDLE hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
        Sample s1 = TakeSample(0);
        DestroyMenu(hMenu);
        DeleteObject(hbr);
        CloseHandle(hEvent);
        Sample s2 = TakeSample(0);
        printf("counters: one more menu, brush and event give %+d, %+d, %+d; gone again %+d, %+d, %+d\n",
               s1.nMenus - s0.nMenus, s1.nGdi - s0.nGdi, s1.nHandles - s0.nHandles, s2.nMenus - s0.nMenus,
               s2.nGdi - s0.nGdi, s2.nHandles - s0.nHandles);
        if (s1.nMenus - s0.nMenus != 1 || s1.nGdi - s0.nGdi != 1 || s1.nHandles - s0.nHandles != 1 ||
            s2.nMenus != s0.nMenus || s2.nGdi != s0.nGdi || s2.nHandles != s0.nHandles) {
            fprintf(stderr, "soak: the resource counters do not count one object as one\n");
            return 1;
        }
    }
    ImportPatch load("oleaut32.dll", "OleLoadPicturePath", (void *)CountLoad);
    g_pfnLoad = load.Original<decltype(g_pfnLoad)>();
    const int W = ScreenW(), H = ScreenH();
    printf("soak: %d paints, %d cycles of docking, menus and auto-hide; screen %dx%d\n", nPaints, nCycles, W, H);

    /* The loader's connection and decoder caches take a hundred or two paints to fill. */
    Phase("paints", "paints", nPaints, 200, [&](int) {
        int nOk = g_nLoadsOk;
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        return g_nLoadsOk == nOk + 1;
    });
    int nPaintLoads = g_nLoads, nPaintLoadsOk = g_nLoadsOk;

    const struct {
        UINT id;
        RECT rc;
    } edges[] = {
        { IDM_DOCK_RIGHT, Rect(W - 80, 0, W, H) },
        { IDM_DOCK_BOTTOM, Rect(0, H - 75, W, H) },
        { IDM_DOCK_LEFT, Rect(0, 0, 80, H) },
        { IDM_DOCK_TOP, Rect(0, 0, W, 75) },
    };
    Phase("docking", "cycles", nCycles, 0, [&](int) {
        bool bOk = true;
        for (const auto &e : edges) {
            SendMessageA(hwnd, WM_COMMAND, e.id, 0);
            Drain();
            bOk = bOk && WindowRect(hwnd) == e.rc;
        }
        return bOk;
    });

    Phase("menus", "cycles", nCycles, 0, [&](int) {
        int nShown = g_nMenusShown;
        SetTimer(NULL, 0, USER_TIMER_MINIMUM, CloseMenu);
        SendMessageA(hwnd, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(W / 2, 30));
        SendMessageA(hwnd, WM_RBUTTONUP, 0, MAKELPARAM(W / 2, 30));
        Drain();
        return g_nMenusShown == nShown + 1 && IsWindow(hwnd);
    });

    g_pfnGetTickCount = (DWORD(WINAPI *)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount");
    g_dwTickStart = g_pfnGetTickCount();
    ImportPatch ticks("kernel32.dll", "GetTickCount", (void *)FastTicks);
    HWND hwndOther = CreatePlainWindow("soak other", W / 2 - 100, H / 2, 200, 100);
    SendMessageA(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON, 0);
    SetForegroundWindow(hwnd);
    Drain();
    BarState *pState = GetBarState(hwnd);
    if (!pState || !pState->bAutoHide) {
        fprintf(stderr, "soak: auto-hide did not switch on\n");
        return 1;
    }
    Phase("auto-hide", "cycles", nCycles, 0, [&](int) {
        SetForegroundWindow(hwndOther);
        Drain();
        bool bHidden = WindowRect(hwnd) == Rect(0, 0, W, 2);
        SetForegroundWindow(hwnd);
        Drain();
        return bHidden && WindowRect(hwnd) == Rect(0, 0, W, 75);
    });

    printf("loads during the paints: %d, of which %d succeeded\n", nPaintLoads, nPaintLoadsOk);
    printf("loads in all: %d\n", g_nLoads);
    printf("verdict: %s\n", g_bNoLeak ? "no leak" : "LEAK");
    fflush(stdout);
    DestroyWindow(hwnd);
    return g_bNoLeak ? 0 : 2;
}
