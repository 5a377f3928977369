#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ads/ads.h"
#include "support/barwin.h"
#include "adhelp.h"

namespace {

std::vector<int> Range(int nFirst, int nLast)
{
    std::vector<int> v;
    for (int i = nFirst; i <= nLast; i++)
        v.push_back(i);
    return v;
}

/* One ordered list of the paint's calls into the system, each passed on,
   with what the picture record held at the end of painting. */
struct PaintSteps {
    static inline std::vector<std::string> s_steps;
    static inline std::vector<std::wstring> s_urls;
    static inline std::vector<AdPicture> s_atEndPaint;
    static inline std::vector<std::string> s_sourceAtEndPaint;
    static inline std::vector<void *> s_freedBlocks;
    static inline std::vector<bool> s_recordEmptyAtFree;
    static inline bool s_bFailUrlBuffer;

    static inline HRESULT(WINAPI *s_pfnLoad)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *);
    static inline BOOL(WINAPI *s_pfnInvalidate)(HWND, const RECT *, BOOL);
    static inline LPVOID(WINAPI *s_pfnAlloc)(HANDLE, DWORD, SIZE_T);
    static inline BOOL(WINAPI *s_pfnFree)(HANDLE, DWORD, LPVOID);
    static inline HDC(WINAPI *s_pfnBegin)(HWND, PAINTSTRUCT *);
    static inline BOOL(WINAPI *s_pfnEnd)(HWND, const PAINTSTRUCT *);
    static inline BOOL(WINAPI *s_pfnBlt)(HDC, int, int, int, int, HDC, int, int, DWORD);

    static HRESULT WINAPI Load(LPOLESTR psz, LPUNKNOWN punk, DWORD dw, OLE_COLOR clr, REFIID riid, LPVOID *ppv)
    {
        s_steps.push_back("load");
        s_urls.push_back(psz);
        return s_pfnLoad(psz, punk, dw, clr, riid, ppv);
    }
    static BOOL WINAPI Invalidate(HWND hwnd, const RECT *prc, BOOL bErase)
    {
        s_steps.push_back(std::string("invalidate") + (prc ? " rect" : " all") + (bErase ? " erase" : ""));
        return s_pfnInvalidate(hwnd, prc, bErase);
    }
    static LPVOID WINAPI Alloc(HANDLE hHeap, DWORD dwFlags, SIZE_T cb)
    {
        if (cb != AD_URL_SIZE)
            return s_pfnAlloc(hHeap, dwFlags, cb);
        s_steps.push_back("alloc");
        if (s_bFailUrlBuffer)
            return NULL;
        /* Dirty on purpose: the paint must clear the buffer itself. */
        void *pv = s_pfnAlloc(hHeap, dwFlags, cb);
        if (pv)
            memset(pv, 'x', cb);
        return pv;
    }
    static BOOL WINAPI Free(HANDLE hHeap, DWORD dwFlags, LPVOID pv)
    {
        static const AdPicture empty = {};
        s_steps.push_back("free");
        s_freedBlocks.push_back(pv);
        s_recordEmptyAtFree.push_back(memcmp(&g_AdPicture, &empty, sizeof(empty)) == 0);
        return s_pfnFree(hHeap, dwFlags, pv);
    }
    static HDC WINAPI Begin(HWND hwnd, PAINTSTRUCT *pps)
    {
        s_steps.push_back("begin");
        return s_pfnBegin(hwnd, pps);
    }
    static BOOL WINAPI End(HWND hwnd, const PAINTSTRUCT *pps)
    {
        s_steps.push_back("end");
        s_atEndPaint.push_back(g_AdPicture);
        s_sourceAtEndPaint.push_back(g_AdPicture.lpszSource ? g_AdPicture.lpszSource : "");
        return s_pfnEnd(hwnd, pps);
    }
    static BOOL WINAPI Blt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int xs, int ys, DWORD rop)
    {
        s_steps.push_back("blt");
        return s_pfnBlt(hdc, x, y, cx, cy, hdcSrc, xs, ys, rop);
    }

    PaintSteps()
        : m_load("oleaut32.dll", "OleLoadPicturePath", (void *)Load),
          m_invalidate("user32.dll", "InvalidateRect", (void *)Invalidate),
          m_alloc("kernel32.dll", "HeapAlloc", (void *)Alloc),
          m_free("kernel32.dll", "HeapFree", (void *)Free),
          m_begin("user32.dll", "BeginPaint", (void *)Begin),
          m_end("user32.dll", "EndPaint", (void *)End),
          m_blt("gdi32.dll", "BitBlt", (void *)Blt)
    {
        s_pfnLoad = m_load.Original<decltype(s_pfnLoad)>();
        s_pfnInvalidate = m_invalidate.Original<decltype(s_pfnInvalidate)>();
        s_pfnAlloc = m_alloc.Original<decltype(s_pfnAlloc)>();
        s_pfnFree = m_free.Original<decltype(s_pfnFree)>();
        s_pfnBegin = m_begin.Original<decltype(s_pfnBegin)>();
        s_pfnEnd = m_end.Original<decltype(s_pfnEnd)>();
        s_pfnBlt = m_blt.Original<decltype(s_pfnBlt)>();
        s_bFailUrlBuffer = false;
        Clear();
    }
    void Clear()
    {
        s_steps.clear();
        s_urls.clear();
        s_atEndPaint.clear();
        s_sourceAtEndPaint.clear();
        s_freedBlocks.clear();
        s_recordEmptyAtFree.clear();
    }
    ImportPatch m_load, m_invalidate, m_alloc, m_free, m_begin, m_end, m_blt;
};

bool RecordEmpty()
{
    static const AdPicture empty = {};
    return memcmp(&g_AdPicture, &empty, sizeof(empty)) == 0;
}

}

TEST(AdRotation, AsksEachAdInTurnWhateverCausedThePaint)
{
    AdServerReset reset;
    ASSERT_TRUE(AdServer::SetMode("404", 5)) << "no ad server at " << AdUrl(1);
    AdServer::Log log;
    PaintSteps steps;

    HWND hwnd = StartBarWithoutRefresh();
    ASSERT_NE(hwnd, nullptr);
    /* Sixteen more, the way the refresh thread asks. */
    for (int i = 0; i < 16; i++) {
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        EXPECT_TRUE(RecordEmpty()) << "after paint " << i + 2;
    }
    std::vector<int> expected = Range(1, 16);
    expected.push_back(1);
    EXPECT_EQ(log.Ads(), expected) << "a failed ad 5 still gives way to ad 6";

    std::vector<AdServer::Request> reqs = log.Requests();
    ASSERT_EQ(reqs.size(), 17u);
    EXPECT_EQ(reqs[2].path, "/ads/vtl_3.ad");
    EXPECT_EQ(reqs[9].path, "/ads/vtl_10.ad");
    EXPECT_EQ(reqs[4].status, 404);
    EXPECT_EQ(reqs[5].status, 200);

    /* The loader gets the very URL, widened character for character. */
    ASSERT_EQ(steps.s_urls.size(), 17u);
    for (int i = 0; i < 17; i++) {
        std::string url = AdUrl(expected[i]);
        EXPECT_EQ(steps.s_urls[i], std::wstring(url.begin(), url.end()));
    }

    /* A part of the window invalidated and painted by the window manager. */
    log.Mark();
    RECT rcPart = { 10, 10, 20, 20 };
    InvalidateRect(hwnd, &rcPart, FALSE);
    UpdateWindow(hwnd);
    EXPECT_EQ(log.Ads(), (std::vector<int>{ 2 }));
    EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE)) << "the whole window is painted, so nothing is left";

    /* Invalidated, and painted when the message loop comes to it. Uncovering
       the bar would not do: Wine keeps a top-level window's pixels and
       shows them again without a paint. */
    log.Mark();
    InvalidateRect(hwnd, &rcPart, FALSE);
    EXPECT_TRUE(PumpUntil([&] { return !GetUpdateRect(hwnd, nullptr, FALSE); }, 3000));
    Pump(200);
    EXPECT_EQ(log.Ads(), (std::vector<int>{ 3 }));
    EXPECT_EQ(g_nAdNumber, 4);
    DestroyWindow(hwnd);
}

TEST(AdPaint, LoadsBeforePaintingAndHoldsThePictureOnlyWhileDrawingIt)
{
    AdServerReset reset;
    ASSERT_TRUE(AdServer::SetMode("404", 3));
    PaintSteps steps;

    HWND hwnd = StartBarWithoutRefresh();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(RecordEmpty());
    steps.Clear();
    SendMessageA(hwnd, WM_PAINT, 0, 0);
    EXPECT_EQ(steps.s_steps,
              (std::vector<std::string>{ "invalidate all erase", "alloc", "load", "begin", "blt", "end", "free" }));

    ASSERT_EQ(steps.s_atEndPaint.size(), 1u);
    const AdPicture &held = steps.s_atEndPaint[0];
    EXPECT_NE(held.pPicture, nullptr);
    EXPECT_EQ(held.cxPixels, 468);
    EXPECT_EQ(held.cyPixels, 60);
    EXPECT_NEAR(held.hmWidth, 12383, 2);
    EXPECT_NEAR(held.hmHeight, 1588, 2);
    EXPECT_EQ(steps.s_sourceAtEndPaint[0], AdUrl(2)) << "cleared, then formatted: no stray bytes";
    ASSERT_FALSE(steps.s_freedBlocks.empty());
    EXPECT_EQ(steps.s_freedBlocks.back(), (void *)held.lpszSource) << "the URL buffer goes last";
    EXPECT_TRUE(steps.s_recordEmptyAtFree.back()) << "the picture is released before its URL";

    /* A failed load: nothing held at any point, nothing drawn. */
    steps.Clear();
    SendMessageA(hwnd, WM_PAINT, 0, 0);
    ASSERT_EQ(steps.s_atEndPaint.size(), 1u);
    EXPECT_EQ(steps.s_atEndPaint[0].pPicture, nullptr);
    EXPECT_EQ(steps.s_sourceAtEndPaint[0], "");
    EXPECT_TRUE(RecordEmpty());
    EXPECT_EQ(std::count(steps.s_steps.begin(), steps.s_steps.end(), "blt"), 0);
    DestroyWindow(hwnd);
}

TEST(AdPaint, WithoutAUrlBufferKeepsTheNumberAndTheWindowInvalid)
{
    AdServerReset reset;
    HWND hwnd = StartBarWithoutRefresh();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_EQ(g_nAdNumber, 2);
    AdServer::Log log;
    RECT rcClient;
    GetClientRect(hwnd, &rcClient);
    {
        PaintSteps steps;
        steps.s_bFailUrlBuffer = true;
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        EXPECT_EQ(steps.s_steps, (std::vector<std::string>{ "invalidate all erase", "alloc",
                                                            "invalidate all erase", "alloc" }));
        EXPECT_EQ(g_nAdNumber, 2);
        EXPECT_TRUE(RecordEmpty());
        RECT rcUpdate;
        EXPECT_TRUE(GetUpdateRect(hwnd, &rcUpdate, FALSE));
        EXPECT_EQ(rcUpdate, rcClient);
    }
    EXPECT_TRUE(log.Ads().empty());

    /* Memory back: the window manager's next paint asks for the same ad. */
    EXPECT_TRUE(PumpUntil([&] { return !GetUpdateRect(hwnd, nullptr, FALSE); }, 3000));
    EXPECT_EQ(log.Ads(), (std::vector<int>{ 2 }));
    DestroyWindow(hwnd);
}
