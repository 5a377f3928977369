/* The benchmark program; bench/run.py runs it and reads its lines "RESULT <name> key=value ...".
     barbench start BAR_EXE BARE_EXE ROUNDS   start of a process to its first picture on screen
     barbench big PICTURE                     one paint of the file PICTURE in place of the ad
     barbench soak PAINTS CYCLES              paints, then cycles of docking, menus and auto-hide
   But for "start", the bar runs in this process as the program starts it,
   less its refresh thread: every paint is sent from here, as that thread
   sends them. */
#include <windows.h>
#include <olectl.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "app/app.h"
#include "probes/counters.h"
#include "probes/imports.h"
#include "res/resource.h"

namespace {

double NowMs()
{
    LARGE_INTEGER t, freq;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&freq);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

void Drain()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

SIZE_T WorkingSet(bool bPeak = false)
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return bPeak ? pmc.PeakWorkingSetSize : pmc.WorkingSetSize;
}

/* ---- The bar's calls to the system, seen from here ---- */

typedef HRESULT(WINAPI *LoadFn)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *);
LoadFn g_pfnLoad;
WCHAR g_wszPicture[MAX_PATH];   /* loaded in place of every ad, when set */
double g_msLoad;
int g_nLoadsOk;
volatile SIZE_T g_cbLoaded, g_cbHigh;   /* working set once that picture has loaded, and its highest since */

HRESULT WINAPI Load(LPOLESTR pwszUrl, LPUNKNOWN punk, DWORD dw, OLE_COLOR clr, REFIID riid, LPVOID *ppv)
{
    double t0 = NowMs();
    HRESULT hr = g_pfnLoad(g_wszPicture[0] ? g_wszPicture : pwszUrl, punk, dw, clr, riid, ppv);
    g_msLoad = NowMs() - t0;
    g_nLoadsOk += hr == S_OK;
    if (g_wszPicture[0])
        g_cbHigh = g_cbLoaded = WorkingSet();
    return hr;
}

/* The render's memory, on top of the picture, from a thread of its own. */
DWORD WINAPI WatchMemory(LPVOID pvStop)
{
    for (; !*(volatile bool *)pvStop; Sleep(2))
        if (g_cbLoaded)
            g_cbHigh = std::max((SIZE_T)g_cbHigh, WorkingSet());
    return 0;
}

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

/* The slides follow the tick count: eight times faster, the soak's take an eighth of their time. */
DWORD(WINAPI *g_pfnTicks)(void);
DWORD g_dwTicksStart;

DWORD WINAPI FastTicks()
{
    return g_dwTicksStart + (g_pfnTicks() - g_dwTicksStart) * 8;
}

HWND StartBar()
{
    g_pfnLoad = (LoadFn)PatchImport("oleaut32.dll", "OleLoadPicturePath", (void *)Load);
    void *pvCreateThread = PatchImport("kernel32.dll", "CreateThread", (void *)NoThread);
    HINSTANCE hInstance = GetModuleHandleA(NULL);
    BOOL bStarted = g_pfnLoad && SUCCEEDED(OleInitialize(NULL)) && RegisterBarClass(hInstance) &&
                    CreateBarWindow(hInstance, SW_SHOWDEFAULT);
    PatchImport("kernel32.dll", "CreateThread", pvCreateThread);
    return bStarted ? FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE) : NULL;
}

/* ---- start ---- */

const COLORREF kAdColour = RGB(208, 37, 37);

/* Milliseconds from CreateProcess to ad 1's colour at banner column 100, row
   10 (the bare program paints it there too), or -1. The program is then ended
   as "barctl quit" ends the bar, and its picture waited off the screen so
   that the next start cannot take it for its own. */
double StartToPicture(const char *pszExe, const char *pszClass)
{
    char szCmd[MAX_PATH + 3];
    snprintf(szCmd, sizeof(szCmd), "\"%s\"", pszExe);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    double t0 = NowMs(), ms = -1;
    if (!CreateProcessA(pszExe, szCmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return -1;
    HDC hdcScreen = GetDC(NULL);
    HWND hwnd = NULL;
    POINT pt = { GetSystemMetrics(SM_CXSCREEN) / 2 - 468 / 2 + 100, 10 };
    while (ms < 0 && NowMs() - t0 < 60000 && WaitForSingleObject(pi.hProcess, 1) == WAIT_TIMEOUT) {
        if (!hwnd && (hwnd = FindWindowA(pszClass, NULL)) != NULL)
            ClientToScreen(hwnd, &pt);
        if (hwnd && GetPixel(hdcScreen, pt.x, pt.y) == kAdColour)
            ms = NowMs() - t0;
    }
    COPYDATASTRUCT cds = {};
    DWORD_PTR dwResult;
    DWORD dwExit = 1;
    if (hwnd)
        SendMessageTimeoutA(hwnd, WM_COPYDATA, 0, (LPARAM)&cds, SMTO_NORMAL, 10000, &dwResult);
    if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 1);
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (double t1 = NowMs(); GetPixel(hdcScreen, pt.x, pt.y) == kAdColour && NowMs() - t1 < 5000;)
        Sleep(5);
    ReleaseDC(NULL, hdcScreen);
    return dwExit == 0 ? ms : -1;
}

int Start(const char *pszBar, const char *pszBare, int nRounds)
{
    std::vector<double> bar, bare;
    int nFailed = 0;
    /* Round 0 is not counted: a program's first start loads what later ones find cached. */
    for (int i = 0; i <= nRounds; i++) {
        double msBar = StartToPicture(pszBar, BAR_CLASS_NAME), msBare = StartToPicture(pszBare, "VantorelBareWindow");
        printf("round %2d: bar %4.0f ms, bare window %4.0f ms\n", i, msBar, msBare);
        nFailed += msBar < 0 || msBare < 0;
        if (i > 0 && msBar >= 0 && msBare >= 0) {
            bar.push_back(msBar);
            bare.push_back(msBare);
        }
    }
    printf("RESULT start bar_ms=%.0f bare_ms=%.0f failed=%d\n", Median(bar), Median(bare), nFailed);
    return nFailed ? 2 : 0;
}

/* ---- big ---- */

int Big(HWND hwnd, const char *pszPicture)
{
    int nOk = g_nLoadsOk;
    bool bStop = false;
    HANDLE hWatch = CreateThread(NULL, 0, WatchMemory, &bStop, 0, NULL);
    MultiByteToWideChar(CP_ACP, 0, pszPicture, -1, g_wszPicture, MAX_PATH);
    double cbBefore = (double)WorkingSet(), t0 = NowMs();
    SendMessageA(hwnd, WM_PAINT, 0, 0);
    double ms = NowMs() - t0;
    bStop = true;
    WaitForSingleObject(hWatch, INFINITE);
    CloseHandle(hWatch);
    const double MB = 1048576.0;
    printf("RESULT big paint_ms=%.0f load_ms=%.0f rest_ms=%.0f picture_mb=%.0f render_mb=%.0f peak_mb=%.0f "
           "failed=%d\n", ms, g_msLoad, ms - g_msLoad, (g_cbLoaded - cbBefore) / MB,
           ((double)g_cbHigh - g_cbLoaded) / MB, (WorkingSet(true) - cbBefore) / MB, g_nLoadsOk != nOk + 1);
    return g_nLoadsOk == nOk + 1 ? 0 : 2;
}

/* ---- soak ---- */

bool g_bLeak;

/* nTotal steps, with the resources counted before the first and after every
   tenth. Up to the first count after nWarm steps, caches fill (the loader's,
   the window system's). A phase is "flat" when nothing is up at its end
   against that count, "settled" when something is but nothing rose over the
   second half (a cache that filled late), and "GROWING" when something did:
   a leak, as is a step that went wrong. A few GDI objects or kernel handles
   more over the second half are not yet one: Wine's cache of window DCs
   takes a DC and its region more whenever paints nest deeper than before,
   and the loader's connections and worker threads come and go. */
void Phase(const char *pszName, int nTotal, int nWarm, const std::function<bool()> &step)
{
    std::vector<std::pair<int, ResourceCounts>> samples;
    int nEvery = std::max(nTotal / 10, 1), nFailed = 0;
    Drain();
    samples.push_back({ 0, CountResources() });
    double t0 = NowMs();
    for (int i = 1; i <= nTotal; i++) {
        nFailed += !step();
        if (i % nEvery == 0 || i == nTotal) {
            Drain();
            samples.push_back({ i, CountResources() });
        }
    }
    for (const auto &s : samples)
        printf("  %-9s %5d: GDI %3d, menus %2d, handles %3d, working set %5.1f MB\n", pszName, s.first,
               s.second.nGdi, s.second.nMenus, s.second.nHandles, s.second.dWorkingSetMb);
    size_t iBase = 1, iLast = samples.size() - 1;
    while (iBase < iLast && samples[iBase].first < std::max(nWarm, nEvery))
        iBase++;
    const ResourceCounts &b = samples[iBase].second, &m = samples[(iBase + iLast) / 2].second;
    const ResourceCounts &e = samples[iLast].second;
    const double kNoiseMb = 2.0;    /* the loader's heaps grow in steps of about a megabyte */
    const int kSlack = 4;
    bool bGrowing = nFailed || e.nGdi > m.nGdi + kSlack || e.nMenus > m.nMenus || e.nHandles > m.nHandles + kSlack ||
                    e.dWorkingSetMb - m.dWorkingSetMb > kNoiseMb;
    bool bFlat = e.nGdi <= b.nGdi && e.nMenus <= b.nMenus && e.nHandles <= b.nHandles &&
                 e.dWorkingSetMb - b.dWorkingSetMb <= kNoiseMb;
    g_bLeak = g_bLeak || bGrowing;
    printf("RESULT %s warm=%d seconds=%.0f gdi=%+d menus=%+d handles=%+d ws_mb=%+.1f failed=%d verdict=%s\n",
           pszName, samples[iBase].first, (NowMs() - t0) / 1000, e.nGdi - b.nGdi, e.nMenus - b.nMenus,
           e.nHandles - b.nHandles, e.dWorkingSetMb - b.dWorkingSetMb, nFailed,
           bGrowing ? "GROWING" : bFlat ? "flat" : "settled");
}

/* Ends the popup menu from inside its own loop as soon as it shows. */
int g_nMenusShown;

void CALLBACK EndMenuOnShow(HWND, UINT, UINT_PTR idEvent, DWORD)
{
    HWND hwndMenu = FindWindowA("#32768", NULL);
    if (hwndMenu && IsWindowVisible(hwndMenu)) {
        g_nMenusShown++;
        KillTimer(NULL, idEvent);
        EndMenu();
    }
}

bool At(HWND hwnd, const RECT &rcWant)
{
    RECT rc;
    return GetWindowRect(hwnd, &rc) && EqualRect(&rc, &rcWant);
}

int Soak(HWND hwnd, int nPaints, int nCycles)
{
    /* Counters blind to their own kind of object would find every phase flat. */
    ResourceCounts c0 = CountResources();
    HMENU hMenu = CreatePopupMenu();
    HBRUSH hbr = CreateSolidBrush(RGB(1, 2, 3));
    HANDLE hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    ResourceCounts c1 = CountResources();
    DestroyMenu(hMenu);
    DeleteObject(hbr);
    CloseHandle(hEvent);
    if (c1.nMenus != c0.nMenus + 1 || c1.nGdi != c0.nGdi + 1 || c1.nHandles != c0.nHandles + 1) {
        fprintf(stderr, "barbench: the resource counters miss a new menu, brush or event\n");
        return 1;
    }

    const int W = GetSystemMetrics(SM_CXSCREEN), H = GetSystemMetrics(SM_CYSCREEN);
    /* The loader's connection and decoder caches take a hundred or two paints to fill. */
    std::vector<double> paint, loader;
    Phase("paints", nPaints, 200, [&] {
        int nOk = g_nLoadsOk;
        double t0 = NowMs();
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        paint.push_back(NowMs() - t0);
        loader.push_back(g_msLoad);
        return g_nLoadsOk == nOk + 1;
    });
    printf("RESULT paint paint_ms=%.2f loader_ms=%.2f\n", Median(paint), Median(loader));

    const struct {
        UINT id;
        RECT rc;
    } docks[] = { { IDM_DOCK_RIGHT, { W - 80, 0, W, H } }, { IDM_DOCK_BOTTOM, { 0, H - 75, W, H } },
                  { IDM_DOCK_LEFT, { 0, 0, 80, H } }, { IDM_DOCK_TOP, { 0, 0, W, 75 } } };
    Phase("docking", nCycles, 0, [&] {
        bool bOk = true;
        for (const auto &dock : docks) {
            SendMessageA(hwnd, WM_COMMAND, dock.id, 0);
            Drain();
            bOk = At(hwnd, dock.rc) && bOk;
        }
        return bOk;
    });

    Phase("menus", nCycles, 0, [&] {
        int nShown = g_nMenusShown;
        SetTimer(NULL, 0, USER_TIMER_MINIMUM, EndMenuOnShow);
        SendMessageA(hwnd, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(W / 2, 30));
        SendMessageA(hwnd, WM_RBUTTONUP, 0, MAKELPARAM(W / 2, 30));
        Drain();
        return g_nMenusShown == nShown + 1;
    });

    g_dwTicksStart = GetTickCount();
    g_pfnTicks = (DWORD(WINAPI *)(void))PatchImport("kernel32.dll", "GetTickCount", (void *)FastTicks);
    HWND hwndOther = CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE | WS_BORDER, W / 2 - 100, H / 2,
                                     200, 100, NULL, NULL, NULL, NULL);
    SendMessageA(hwnd, WM_COMMAND, IDM_AUTOHIDE_ON, 0);
    SetForegroundWindow(hwnd);
    Phase("auto-hide", nCycles, 0, [&] {
        SetForegroundWindow(hwndOther);
        Drain();
        bool bHidden = At(hwnd, { 0, 0, W, 2 });
        SetForegroundWindow(hwnd);
        Drain();
        return bHidden && At(hwnd, { 0, 0, W, 75 });
    });
    return g_bLeak ? 2 : 0;
}

}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    const char *pszMode = argc > 1 ? argv[1] : "";
    if (!strcmp(pszMode, "start") && argc == 5)
        return Start(argv[2], argv[3], atoi(argv[4]));
    bool bBig = !strcmp(pszMode, "big") && argc == 3;
    if (!bBig && (strcmp(pszMode, "soak") || argc != 4)) {
        fprintf(stderr, "usage: barbench start BAR_EXE BARE_EXE ROUNDS | big PICTURE | soak PAINTS CYCLES\n");
        return 1;
    }
    HWND hwnd = StartBar();
    if (!hwnd) {
        fprintf(stderr, "barbench: the bar did not start\n");
        return 1;
    }
    int nExit = bBig ? Big(hwnd, argv[2]) : Soak(hwnd, atoi(argv[2]), atoi(argv[3]));
    DestroyWindow(hwnd);
    return nExit;
}
