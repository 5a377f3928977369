#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ads/ads.h"
#include "adhelp.h"

namespace {

/* The platform loader and the screen's resolution, replaced through the
   bar's own imports. */
struct LoaderDouble {
    static inline IPicture *s_pPicture;
    static inline HRESULT s_hr;
    static inline std::wstring s_url;
    static inline LPUNKNOWN s_punk;
    static inline DWORD s_dwReserved;
    static inline OLE_COLOR s_clrReserved;
    static inline IID s_iid;
    static inline int s_nDpiX, s_nDpiY;
    static inline std::vector<std::string> s_calls;
    static inline int(WINAPI *s_pfnGetDeviceCaps)(HDC, int);

    static HRESULT WINAPI Load(LPOLESTR pszPath, LPUNKNOWN punk, DWORD dwReserved, OLE_COLOR clrReserved,
                               REFIID riid, LPVOID *ppv)
    {
        s_calls.push_back("load");
        s_url = pszPath;
        s_punk = punk;
        s_dwReserved = dwReserved;
        s_clrReserved = clrReserved;
        s_iid = riid;
        *ppv = s_pPicture;
        return s_hr;
    }

    static int WINAPI GetDeviceCaps(HDC hdc, int nIndex)
    {
        if (nIndex == LOGPIXELSX) {
            s_calls.push_back("dpi-x");
            return s_nDpiX;
        }
        if (nIndex == LOGPIXELSY) {
            s_calls.push_back("dpi-y");
            return s_nDpiY;
        }
        return s_pfnGetDeviceCaps(hdc, nIndex);
    }

    LoaderDouble(IPicture *pPicture, HRESULT hr = S_OK, int nDpiX = 96, int nDpiY = 96)
        : m_load("oleaut32.dll", "OleLoadPicturePath", (void *)Load),
          m_caps("gdi32.dll", "GetDeviceCaps", (void *)GetDeviceCaps)
    {
        s_pPicture = pPicture;
        s_hr = hr;
        s_nDpiX = nDpiX;
        s_nDpiY = nDpiY;
        s_calls.clear();
        s_url.clear();
        s_pfnGetDeviceCaps = m_caps.Original<int(WINAPI *)(HDC, int)>();
    }
    ImportPatch m_load, m_caps;
};

bool RecordEmpty()
{
    static const AdPicture empty = {};
    return memcmp(&g_AdPicture, &empty, sizeof(empty)) == 0;
}

}

TEST(AdPixels, RoundsHimetricToTheNearestPixelWithoutOverflow)
{
    EXPECT_EQ(AdHimetricToPixels(1984, 96), 75);
    EXPECT_EQ(AdHimetricToPixels(13, 96), 0);
    EXPECT_EQ(AdHimetricToPixels(14, 96), 1);
    EXPECT_EQ(AdHimetricToPixels(1984, 120), 94);
    EXPECT_EQ(AdHimetricToPixels(0, 96), 0);
    EXPECT_EQ(AdHimetricToPixels(12383, 96), 468);

    /* A 32-bit product wraps from about 22 million HIMETRIC (220 m) on, at 96 dpi. */
    EXPECT_EQ(AdHimetricToPixels(2000000000, 96), 75590551);
    EXPECT_EQ(AdHimetricToPixels(0x7FFFFFFF, 96), 81164736);
    EXPECT_EQ(AdHimetricToPixels(0x7FFFFFFF, 120), 101455920);
}

TEST(AdLoad, MeasuresAtTheScreenResolutionReadBeforeTheLoad)
{
    FakePicture pic(1984, 1984);
    LoaderDouble loader(&pic, S_OK, 120, 96);
    const char *pszUrl = "http://127.0.0.1:1/ads/vtl_10.ad";

    IPicture *pLoaded = AdLoadPicture(pszUrl);
    ASSERT_EQ(pLoaded, &pic);
    EXPECT_EQ(loader.s_calls, (std::vector<std::string>{ "dpi-x", "dpi-y", "load" }));
    EXPECT_EQ(loader.s_url, L"http://127.0.0.1:1/ads/vtl_10.ad");
    EXPECT_EQ(loader.s_punk, nullptr);
    EXPECT_EQ(loader.s_dwReserved, 0u);
    EXPECT_EQ(loader.s_clrReserved, 0u);
    EXPECT_TRUE(IsEqualIID(loader.s_iid, IID_IPicture));

    EXPECT_EQ(g_AdPicture.pPicture, &pic);
    EXPECT_EQ(g_AdPicture.hmWidth, 1984);
    EXPECT_EQ(g_AdPicture.hmHeight, 1984);
    EXPECT_EQ(g_AdPicture.cxPixels, 94);
    EXPECT_EQ(g_AdPicture.cyPixels, 75);
    EXPECT_EQ(g_AdPicture.lpszSource, pszUrl);
    EXPECT_EQ(pic.refs, 1u) << "the loader's reference is the only one held";

    AdFreePicture(pLoaded);
    EXPECT_EQ(pic.refs, 0u);
    EXPECT_TRUE(RecordEmpty());

    /* Read anew at each load: a changed resolution shows at once. */
    pic.refs = 1;
    loader.s_nDpiX = loader.s_nDpiY = 96;
    ASSERT_EQ(AdLoadPicture(pszUrl), &pic);
    EXPECT_EQ(g_AdPicture.cxPixels, 75);
    EXPECT_EQ(g_AdPicture.cyPixels, 75);
    AdFreePicture(nullptr);
    EXPECT_EQ(pic.refs, 0u);

    /* A picture far too big for 32-bit arithmetic still measures sensibly. */
    FakePicture huge(2000000000, 0x7FFFFFFF);
    LoaderDouble bigLoader(&huge);
    ASSERT_EQ(AdLoadPicture(pszUrl), &huge);
    EXPECT_EQ(g_AdPicture.cxPixels, 75590551);
    EXPECT_EQ(g_AdPicture.cyPixels, 81164736);
    AdFreePicture(nullptr);
}

TEST(AdLoad, AbandonedLoadsLeaveTheRecordAloneAndHoldNoReference)
{
    const char *pszUrl = "http://127.0.0.1:1/ads/vtl_3.ad";
    /* Something recognisable that a failed load must not overwrite. */
    FakePicture sentinel(1, 1);
    HeldPicture held(&sentinel, 11, 22, 33, 44);
    AdPicture before = g_AdPicture;

    FakePicture pic(12383, 1588);
    {
        LoaderDouble loader(nullptr, E_FAIL);
        EXPECT_EQ(AdLoadPicture(pszUrl), nullptr);
    }
    {
        LoaderDouble loader(nullptr, S_OK);
        EXPECT_EQ(AdLoadPicture(pszUrl), nullptr) << "S_OK without a picture";
    }
    {
        pic.hrWidth = E_FAIL;
        LoaderDouble loader(&pic);
        EXPECT_EQ(AdLoadPicture(pszUrl), nullptr);
        EXPECT_EQ(pic.refs, 0u) << "the picture of a failed measurement is given back";
    }
    {
        pic.refs = 1;
        pic.hrWidth = S_OK;
        pic.hrHeight = E_FAIL;
        LoaderDouble loader(&pic);
        EXPECT_EQ(AdLoadPicture(pszUrl), nullptr) << "a failing height abandons the load like a failing width";
        EXPECT_EQ(pic.refs, 0u);
    }
    EXPECT_EQ(memcmp(&g_AdPicture, &before, sizeof(before)), 0);
    EXPECT_EQ(sentinel.refs, 1u);

    /* The real loader, server unreachable: nothing held, nothing leaked. */
    AdPicture empty = {};
    g_AdPicture = empty;
    AdLoadPicture("http://127.0.0.1:1/ads/vtl_1.ad");
    int nObjects = GdiObjectCount();
    EXPECT_EQ(AdLoadPicture("http://127.0.0.1:1/ads/vtl_1.ad"), nullptr);
    EXPECT_TRUE(RecordEmpty());
    EXPECT_EQ(GdiObjectCount(), nObjects);
}

TEST(AdFree, ReleasesTheGivenOrTheHeldPictureAndEmptiesTheRecord)
{
    AdFreePicture(nullptr);
    EXPECT_TRUE(RecordEmpty()) << "nothing held, nothing given: nothing happens";

    FakePicture held(100, 100), other(200, 200);
    {
        HeldPicture h(&held, 100, 100, 4, 4);
        AdFreePicture(nullptr);
        EXPECT_EQ(held.refs, 0u);
        EXPECT_TRUE(RecordEmpty());
    }
    held.refs = 1;
    {
        /* The record is emptied even when the picture given is another one. */
        HeldPicture h(&held, 100, 100, 4, 4);
        AdFreePicture(&other);
        EXPECT_EQ(other.refs, 0u);
        EXPECT_EQ(held.refs, 1u);
        EXPECT_TRUE(RecordEmpty());
    }
}
