#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ads/ads.h"
#include "support/barwin.h"
#include "adhelp.h"

namespace {

/* Colours of the sample banners at a few spots (GIF, so exact). */
struct Spot {
    int x, y;
    COLORREF cr;
};
const Spot kAd1[] = { { 100, 10, RGB(208, 37, 37) }, { 400, 10, RGB(89, 13, 13) }, { 30, 12, RGB(255, 254, 254) } };
const Spot kAd2[] = { { 100, 10, RGB(165, 79, 29) }, { 400, 10, RGB(89, 41, 13) }, { 30, 12, RGB(255, 254, 254) } };

/* Where a 468-pixel banner lands in the client area. */
int BannerLeft()
{
    return ScreenW() / 2 - 468 / 2;
}

COLORREF WindowPixel(HWND hwnd, int x, int y)
{
    HDC hdc = GetDC(hwnd);
    COLORREF cr = GetPixel(hdc, x, y);
    ReleaseDC(hwnd, hdc);
    return cr;
}

void ExpectBanner(HWND hwnd, const Spot (&spots)[3])
{
    for (const Spot &s : spots) {
        COLORREF cr = WindowPixel(hwnd, BannerLeft() + s.x, s.y);
        EXPECT_TRUE(NearColour(cr, s.cr)) << "at banner " << s.x << "," << s.y << ": " << ColourText(cr)
                                          << ", expected " << ColourText(s.cr);
    }
}

/* The class background everywhere the banner is not. */
void ExpectBackgroundAround(HWND hwnd)
{
    RECT rc;
    GetClientRect(hwnd, &rc);
    COLORREF crBack = GetSysColor(COLOR_MENUTEXT);
    std::vector<POINT> pts = { { 0, 0 }, { BannerLeft() - 1, 10 }, { BannerLeft() + 468, 10 }, { rc.right - 1, 30 } };
    if (rc.bottom > 60)
        pts.push_back({ BannerLeft() + 100, 60 });
    for (POINT pt : pts) {
        COLORREF cr = WindowPixel(hwnd, pt.x, pt.y);
        EXPECT_EQ(ColourText(cr), ColourText(crBack)) << "at " << pt.x << "," << pt.y;
    }
}

void ExpectOnlyBackground(HWND hwnd)
{
    ExpectBackgroundAround(hwnd);
    COLORREF crBack = GetSysColor(COLOR_MENUTEXT);
    for (int x : { 0, 100, 234, 400, 467 }) {
        COLORREF cr = WindowPixel(hwnd, BannerLeft() + x, 10);
        EXPECT_EQ(ColourText(cr), ColourText(crBack)) << "at banner " << x << ",10";
    }
}

/* The platform loader pointed at a port where nothing listens. */
struct ServerDown {
    static inline HRESULT(WINAPI *s_pfnLoad)(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *);
    static HRESULT WINAPI Load(LPOLESTR psz, LPUNKNOWN punk, DWORD dw, OLE_COLOR clr, REFIID riid, LPVOID *ppv)
    {
        std::wstring url = psz;
        size_t path = url.find(L"/ads/");
        std::wstring dead = L"http://127.0.0.1:1" + url.substr(path);
        return s_pfnLoad(&dead[0], punk, dw, clr, riid, ppv);
    }
    ServerDown() : m_load("oleaut32.dll", "OleLoadPicturePath", (void *)Load)
    {
        s_pfnLoad = m_load.Original<decltype(s_pfnLoad)>();
    }
    ImportPatch m_load;
};

bool RecordEmpty()
{
    static const AdPicture empty = {};
    return memcmp(&g_AdPicture, &empty, sizeof(empty)) == 0;
}

}

TEST(AdScreen, ShowsEachBannerCentredOnTheMenuTextBackground)
{
    AdServerReset reset;
    HWND hwnd = StartBarWithoutRefresh();
    ASSERT_NE(hwnd, nullptr);
    ExpectBanner(hwnd, kAd1);
    ExpectBackgroundAround(hwnd);

    SendMessageA(hwnd, WM_PAINT, 0, 0);
    ExpectBanner(hwnd, kAd2);
    ExpectBackgroundAround(hwnd);
    DestroyWindow(hwnd);
}

TEST(AdScreen, BadAdsShowTheBackgroundLeakNothingAndTheRotationGoesOn)
{
    AdServerReset reset;
    AdServer::Log log;
    HWND hwnd = StartBarWithoutRefresh();
    ASSERT_NE(hwnd, nullptr);
    const char *modes[] = { "404", "500", "empty", "garbage", "truncated", "huge-header", "down" };
    std::vector<int> expected = { 1 };
    int nAd = 2;
    int nObjects = 0;

    /* The first round warms up whatever the loader keeps for good; the
       second must not add a single GDI object. */
    for (int round = 0; round < 2; round++) {
        for (const char *mode : modes) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", " << mode);
            {
                bool bDown = strcmp(mode, "down") == 0;
                ServerDown *pDown = bDown ? new ServerDown : nullptr;
                ASSERT_TRUE(bDown || AdServer::SetMode(mode));
                SendMessageA(hwnd, WM_PAINT, 0, 0);
                delete pDown;
                if (!bDown)
                    expected.push_back(nAd);
                nAd = nAd % AD_COUNT + 1;
                ASSERT_TRUE(AdServer::SetMode("ok"));
            }
            EXPECT_TRUE(RecordEmpty());
            ExpectOnlyBackground(hwnd);

            /* A good ad right after shows again. */
            SendMessageA(hwnd, WM_PAINT, 0, 0);
            expected.push_back(nAd);
            nAd = nAd % AD_COUNT + 1;
            COLORREF cr = WindowPixel(hwnd, BannerLeft() + 100, 10);
            EXPECT_NE(ColourText(cr), ColourText(GetSysColor(COLOR_MENUTEXT)));
            ExpectBackgroundAround(hwnd);
        }
        if (round == 0)
            nObjects = GdiObjectCount();
    }
    EXPECT_EQ(GdiObjectCount(), nObjects);
    EXPECT_EQ(log.Ads(), expected);
    EXPECT_TRUE(IsWindow(hwnd));
    DestroyWindow(hwnd);
}
