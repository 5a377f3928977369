#ifndef TESTS_ADS_ADHELP_H
#define TESTS_ADS_ADHELP_H

#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <string>
#include <vector>

#include "support/imports.h"

/* The ad server the test command runs for the whole suite, shared by every
   test process of the run: tests switch its modes and must put them back. */
namespace AdServer {

/* GET on the server; returns the HTTP status, 0 when nothing answered. */
int Get(const std::string &path, std::string *pBody = nullptr);
/* "ok", "404", "500", "empty", "garbage", "truncated", "huge-header", ...;
   nAd 0 means every ad. */
bool SetMode(const char *pszMode, int nAd = 0);
bool Reset();

struct Request {
    std::string path;
    int status;
};

/* The server's one-line-per-request log, from the point of construction on. */
class Log {
public:
    Log();
    std::vector<Request> Requests() const;
    /* The ad numbers asked for, in order; -1 for a path that is no ad. */
    std::vector<int> Ads() const;
    void Mark();
private:
    size_t m_nStart;
};

}

/* Puts the server back to its start-up modes at the start and the end of a test. */
struct AdServerReset {
    AdServerReset() { AdServer::Reset(); }
    ~AdServerReset() { AdServer::Reset(); }
};

/* GDI objects of this process. GetGuiResources is a stub under Wine, so the
   table is walked instead. */
int GdiObjectCount();

/* Starts the bar without its refresh thread, so that every paint of a test
   is one the test caused. */
HWND StartBarWithoutRefresh();

/* "http://127.0.0.1:<port>/ads/vtl_<n>.ad" as the bar formats it. */
std::string AdUrl(int nAd);

/* An IPicture that draws a solid colour and records how it was used.
   Every call can be made to fail. */
class FakePicture : public IPicture {
public:
    struct RenderCall {
        HDC hdc;
        LONG x, y, cx, cy;
        LONG xSrc, ySrc, cxSrc, cySrc;
        RECT rcBounds;
        bool bHasBounds;
        int nDcType;            /* GetObjectType of hdc during the call */
        HPALETTE hPalInDc;      /* palette selected into hdc during the call */
        SIZE sizeBitmap;        /* bitmap selected into a memory DC, else 0x0 */
        HBITMAP hBitmap;
    };

    FakePicture(LONG hmWidth, LONG hmHeight);

    LONG hmWidth, hmHeight;
    HRESULT hrWidth = S_OK, hrHeight = S_OK;
    HRESULT hrPal = S_OK;
    HPALETTE hPal = NULL;
    HRESULT hrAttributes = S_OK;
    DWORD dwAttributes = 0;     /* written even when the call fails */
    COLORREF crFill = RGB(0, 160, 80);

    ULONG refs = 1;
    int nPalCalls = 0, nAttributeCalls = 0;
    std::vector<RenderCall> renders;

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP get_Handle(OLE_HANDLE *p) override { *p = 0; return E_NOTIMPL; }
    STDMETHODIMP get_hPal(OLE_HANDLE *p) override;
    STDMETHODIMP get_Type(SHORT *p) override { *p = PICTYPE_BITMAP; return S_OK; }
    STDMETHODIMP get_Width(OLE_XSIZE_HIMETRIC *p) override { *p = hmWidth; return hrWidth; }
    STDMETHODIMP get_Height(OLE_YSIZE_HIMETRIC *p) override { *p = hmHeight; return hrHeight; }
    STDMETHODIMP Render(HDC hdc, LONG x, LONG y, LONG cx, LONG cy, OLE_XPOS_HIMETRIC xSrc,
                        OLE_YPOS_HIMETRIC ySrc, OLE_XSIZE_HIMETRIC cxSrc, OLE_YSIZE_HIMETRIC cySrc,
                        LPCRECT prcBounds) override;
    STDMETHODIMP set_hPal(OLE_HANDLE) override { return E_NOTIMPL; }
    STDMETHODIMP get_CurDC(HDC *p) override { *p = NULL; return E_NOTIMPL; }
    STDMETHODIMP SelectPicture(HDC, HDC *, OLE_HANDLE *) override { return E_NOTIMPL; }
    STDMETHODIMP get_KeepOriginalFormat(WINBOOL *p) override { *p = FALSE; return E_NOTIMPL; }
    STDMETHODIMP put_KeepOriginalFormat(WINBOOL) override { return E_NOTIMPL; }
    STDMETHODIMP PictureChanged() override { return E_NOTIMPL; }
    STDMETHODIMP SaveAsFile(LPSTREAM, WINBOOL, LONG *) override { return E_NOTIMPL; }
    STDMETHODIMP get_Attributes(DWORD *p) override;
};

/* Places a picture in the bar's record the way a successful load does, and
   empties the record again when it goes out of scope (without releasing). */
class HeldPicture {
public:
    HeldPicture(IPicture *pPicture, LONG hmWidth, LONG hmHeight, int cx, int cy);
    ~HeldPicture();
};

inline bool NearColour(COLORREF a, COLORREF b, int nTolerance = 6)
{
    return abs(GetRValue(a) - GetRValue(b)) <= nTolerance && abs(GetGValue(a) - GetGValue(b)) <= nTolerance
        && abs(GetBValue(a) - GetBValue(b)) <= nTolerance;
}

std::string ColourText(COLORREF cr);

#endif
