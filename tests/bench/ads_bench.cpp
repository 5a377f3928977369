/* ads_bench: what one paint of the bar costs beside the platform's picture
   loader alone, and whether 2000 paints leave anything behind.

   Paints are sent the way the refresh thread sends them, to a bar started
   in this process (model shell, no refresh thread) against the sample ad
   server of the test environment. Each paint is split by hooks on the bar's
   own imports: "load" runs from the start of the paint to BeginPaint (URL,
   resolution, loader, measuring), "render" from BeginPaint to the return of
   EndPaint (erase, render, copy, each timed too), "release" the rest. Interleaved with the
   paints, the loader alone fetches the same URLs (load, then Release). */
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

#include "ads/ads.h"
#include "adhelp.h"
#include "support/barwin.h"
#include "support/imports.h"

namespace {

LARGE_INTEGER g_qpf;

double Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)g_qpf.QuadPart;
}

struct Marks {
    static inline double s_tLoadStart, s_tLoadEnd, s_tBegin, s_tBegun, s_tBltStart, s_tBltEnd, s_tEndStart, s_tEnd;
    static inline HRESULT(WINAPI *s_pfnLoad)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *);
    static inline HDC(WINAPI *s_pfnBegin)(HWND, PAINTSTRUCT *);
    static inline BOOL(WINAPI *s_pfnEnd)(HWND, const PAINTSTRUCT *);
    static inline BOOL(WINAPI *s_pfnBlt)(HDC, int, int, int, int, HDC, int, int, DWORD);

    static HRESULT WINAPI Load(LPOLESTR psz, LPUNKNOWN punk, DWORD dw, OLE_COLOR clr, REFIID riid, LPVOID *ppv)
    {
        s_tLoadStart = Now();
        HRESULT hr = s_pfnLoad(psz, punk, dw, clr, riid, ppv);
        s_tLoadEnd = Now();
        return hr;
    }
    static HDC WINAPI Begin(HWND hwnd, PAINTSTRUCT *pps)
    {
        s_tBegin = Now();
        HDC hdc = s_pfnBegin(hwnd, pps);
        s_tBegun = Now();
        return hdc;
    }
    static BOOL WINAPI Blt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int xs, int ys, DWORD rop)
    {
        s_tBltStart = Now();
        BOOL b = s_pfnBlt(hdc, x, y, cx, cy, hdcSrc, xs, ys, rop);
        s_tBltEnd = Now();
        return b;
    }
    static BOOL WINAPI End(HWND hwnd, const PAINTSTRUCT *pps)
    {
        s_tEndStart = Now();
        BOOL b = s_pfnEnd(hwnd, pps);
        s_tEnd = Now();
        return b;
    }
    Marks()
        : m_load("oleaut32.dll", "OleLoadPicturePath", (void *)Load),
          m_begin("user32.dll", "BeginPaint", (void *)Begin),
          m_end("user32.dll", "EndPaint", (void *)End),
          m_blt("gdi32.dll", "BitBlt", (void *)Blt)
    {
        s_pfnLoad = m_load.Original<decltype(s_pfnLoad)>();
        s_pfnBegin = m_begin.Original<decltype(s_pfnBegin)>();
        s_pfnEnd = m_end.Original<decltype(s_pfnEnd)>();
        s_pfnBlt = m_blt.Original<decltype(s_pfnBlt)>();
    }
    ImportPatch m_load, m_begin, m_end, m_blt;
};

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

SIZE_T WorkingSet()
{
    typedef BOOL(WINAPI * PFN)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    PFN pfn = (PFN)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo");
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    return pfn && pfn(GetCurrentProcess(), &pmc, sizeof(pmc)) ? pmc.WorkingSetSize : 0;
}

/* The platform loader alone, through the system's entry point rather than
   the bar's import, for the URL of one ad. */
double LoaderAlone(int nAd, HRESULT(WINAPI *pfnLoad)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *))
{
    std::string url = AdUrl(nAd);
    std::wstring wurl(url.begin(), url.end());
    IPicture *pPicture = nullptr;
    double t0 = Now();
    HRESULT hr = pfnLoad(&wurl[0], nullptr, 0, 0, IID_IPicture, (LPVOID *)&pPicture);
    if (hr == S_OK && pPicture)
        pPicture->Release();
    return Now() - t0;
}

}

int main(int argc, char **argv)
{
    int nTimed = argc > 1 ? atoi(argv[1]) : 256;
    int nSoak = argc > 2 ? atoi(argv[2]) : 2000;
    QueryPerformanceFrequency(&g_qpf);
    AdServer::Reset();

    HWND hwnd = StartBarWithoutRefresh();
    if (!hwnd) {
        fprintf(stderr, "ads_bench: the bar did not start\n");
        return 1;
    }
    auto pfnLoad = (HRESULT(WINAPI *)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *))(void *)
        GetProcAddress(GetModuleHandleA("oleaut32.dll"), "OleLoadPicturePath");
    AdServer::Log log;

    /* The first loads of a process set up the internet layer and the decoders. */
    for (int i = 0; i < 2 * AD_COUNT; i++) {
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        LoaderAlone(i % AD_COUNT + 1, pfnLoad);
    }

    std::vector<double> paint, load, loader, render, erase, draw, blit, endpaint, release, own, alone;
    {
        Marks marks;
        for (int i = 0; i < nTimed; i++) {
            int nAd = g_nAdNumber;
            double t0 = Now();
            SendMessageA(hwnd, WM_PAINT, 0, 0);
            double t1 = Now();
            paint.push_back(t1 - t0);
            load.push_back(Marks::s_tBegin - t0);
            loader.push_back(Marks::s_tLoadEnd - Marks::s_tLoadStart);
            render.push_back(Marks::s_tEnd - Marks::s_tBegin);
            erase.push_back(Marks::s_tBegun - Marks::s_tBegin);
            draw.push_back(Marks::s_tBltStart - Marks::s_tBegun);
            blit.push_back(Marks::s_tBltEnd - Marks::s_tBltStart);
            endpaint.push_back(Marks::s_tEnd - Marks::s_tEndStart);
            release.push_back(t1 - Marks::s_tEnd);
            own.push_back((t1 - t0) - (Marks::s_tLoadEnd - Marks::s_tLoadStart));
            alone.push_back(LoaderAlone(nAd, pfnLoad));
        }
    }
    double mPaint = Median(paint), mAlone = Median(alone);
    printf("timed paints: %d (ads 1..%d in turn), medians in ms\n", nTimed, AD_COUNT);
    printf("  paint            %8.3f\n", mPaint);
    printf("    load phase     %8.3f   (of which the loader %.3f)\n", Median(load), Median(loader));
    printf("    render phase   %8.3f\n", Median(render));
    printf("      BeginPaint   %8.3f   (erases the client area)\n", Median(erase));
    printf("      to bitmap    %8.3f   (palette, memory DC and bitmap, Render)\n", Median(draw));
    printf("      BitBlt       %8.3f\n", Median(blit));
    printf("      EndPaint     %8.3f\n", Median(endpaint));
    printf("    release        %8.3f\n", Median(release));
    printf("  bar's own work   %8.3f   (paint minus its loader call)\n", Median(own));
    printf("  loader alone     %8.3f   (OleLoadPicturePath + Release, same URLs)\n", mAlone);
    printf("  overhead         %+7.1f %%  (median paint / median loader alone - 1)\n",
           (mPaint / mAlone - 1.0) * 100.0);
    printf("  own work         %7.1f %%  of the loader's time in the same paint\n",
           Median(own) / Median(loader) * 100.0);

    int nGdiBefore = GdiObjectCount();
    SIZE_T cbBefore = WorkingSet();
    double tSoak = Now();
    for (int i = 0; i < nSoak; i++)
        SendMessageA(hwnd, WM_PAINT, 0, 0);
    tSoak = Now() - tSoak;
    int nGdiAfter = GdiObjectCount();
    SIZE_T cbAfter = WorkingSet();
    printf("%d paints in %.1f s:\n", nSoak, tSoak / 1000.0);
    printf("  GDI objects      %d before, %d after (%+d)\n", nGdiBefore, nGdiAfter, nGdiAfter - nGdiBefore);
    printf("  working set      %.1f MB before, %.1f MB after (%+.1f MB)\n", cbBefore / 1048576.0,
           cbAfter / 1048576.0, ((double)cbAfter - (double)cbBefore) / 1048576.0);

    size_t nRequests = log.Requests().size();
    size_t nExpected = 2 * 2 * AD_COUNT + 2 * (size_t)nTimed + (size_t)nSoak;
    printf("ad server requests: %zu (expected %zu)\n", nRequests, nExpected);
    DestroyWindow(hwnd);
    return nGdiAfter == nGdiBefore && nRequests == nExpected ? 0 : 2;
}
