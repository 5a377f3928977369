#include "ads/private.h"

#include "bar/state.h"

#include <stdio.h>

#define AD_COUNT            16
#define AD_URL_SIZE         512     /* bytes, terminator included */
#define HIMETRIC_PER_INCH   2540

static const char AD_URL_FORMAT[] = BAR_AD_URL_FORMAT;

static int g_nAdNumber = 1;   /* the ad the next paint shows, 1..AD_COUNT */
AdPicture g_AdPicture;

static IPicture *AdLoadPicture(LPCSTR lpszUrl);
static void AdFreePicture(IPicture *pPicture);

/* A download lets messages that other threads send through, paints among
   them, and a second download must not start inside the first: the server
   would get more requests exactly when it is slowest, and one of the two
   pictures would be painted over at once. */
static BOOL s_bLoading;

void Main_OnPaint(HWND hwnd)
{
    PAINTSTRUCT ps;

    /* Draws nothing new: only what the window manager asked for is erased,
       and the paint under way redraws everything once its picture is in. */
    if (s_bLoading) {
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return;
    }

    LPSTR lpszUrl = (LPSTR)HeapAlloc(GetProcessHeap(), 0, AD_URL_SIZE);
    /* Validated all the same: a window left invalid gets WM_PAINT again at
       once, for ever, and the thread would spin. The next refresh tries again. */
    if (!lpszUrl) {
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return;
    }
    ZeroMemory(lpszUrl, AD_URL_SIZE);
    _snprintf(lpszUrl, AD_URL_SIZE - 1, AD_URL_FORMAT, g_nAdNumber);

    /* Advanced before the load, so a failing ad does not block the rotation. */
    if (++g_nAdNumber > AD_COUNT)
        g_nAdNumber = 1;

    /* Loaded before the whole bar is marked for erasing, so the old ad stays
       up while the new one downloads, even through a paint that comes in meanwhile. */
    s_bLoading = TRUE;
    IPicture *pPicture = AdLoadPicture(lpszUrl);
    s_bLoading = FALSE;

    /* The download lets other programs' messages through: the bar may have
       been torn down, and its window destroyed, meanwhile. */
    if (GetBarState(hwnd)) {
        /* Whatever asked for this paint, the whole bar is erased and redrawn. */
        InvalidateRect(hwnd, NULL, TRUE);
        HDC hdc = BeginPaint(hwnd, &ps);
        if (hdc)
            AdRender(hwnd, hdc);
        EndPaint(hwnd, &ps);
    }

    /* Before the buffer goes: the record's source points into it. */
    AdFreePicture(pPicture);
    HeapFree(GetProcessHeap(), 0, lpszUrl);
}

/* Rounded to the nearest pixel; 64-bit so that huge pictures cannot overflow. */
static int AdHimetricToPixels(LONG hm, int nDpi)
{
    return (int)(((LONGLONG)hm * nDpi + HIMETRIC_PER_INCH / 2) / HIMETRIC_PER_INCH);
}

static IPicture *AdLoadPicture(LPCSTR lpszUrl)
{
    HDC hdcScreen = GetDC(NULL);
    int nDpiX = GetDeviceCaps(hdcScreen, LOGPIXELSX);
    int nDpiY = GetDeviceCaps(hdcScreen, LOGPIXELSY);
    ReleaseDC(NULL, hdcScreen);

    /* The URL is ASCII, so widening byte by byte is the code-page conversion. */
    WCHAR wszUrl[AD_URL_SIZE];
    int i = 0;
    for (; i < AD_URL_SIZE - 1 && lpszUrl[i]; i++)
        wszUrl[i] = (WCHAR)(unsigned char)lpszUrl[i];
    wszUrl[i] = L'\0';

    IPicture *pPicture = NULL;
    HRESULT hr = OleLoadPicturePath(wszUrl, NULL, 0, 0, IID_IPicture, (LPVOID *)&pPicture);
    if (hr != S_OK || !pPicture)
        return NULL;

    OLE_XSIZE_HIMETRIC hmWidth = 0;
    OLE_YSIZE_HIMETRIC hmHeight = 0;
    if (FAILED(pPicture->get_Width(&hmWidth)) || FAILED(pPicture->get_Height(&hmHeight))) {
        pPicture->Release();
        return NULL;
    }

    g_AdPicture.pPicture   = pPicture;
    g_AdPicture.hmWidth    = hmWidth;
    g_AdPicture.hmHeight   = hmHeight;
    g_AdPicture.cxPixels   = AdHimetricToPixels(hmWidth, nDpiX);
    g_AdPicture.cyPixels   = AdHimetricToPixels(hmHeight, nDpiY);
    g_AdPicture.lpszSource = lpszUrl;
    return pPicture;
}

static void AdFreePicture(IPicture *pPicture)
{
    if (!pPicture)
        pPicture = g_AdPicture.pPicture;
    if (!pPicture)
        return;
    pPicture->Release();
    ZeroMemory(&g_AdPicture, sizeof(g_AdPicture));
}
