#include "ads/ads.h"

#include "bar/state.h"

#include <stdio.h>

#define HIMETRIC_PER_INCH   2540

const char AD_URL_FORMAT[] = BAR_AD_URL_FORMAT;

int g_nAdNumber = 1;
AdPicture g_AdPicture;

void Main_OnPaint(HWND hwnd)
{
    /* Whatever asked for this paint, the whole bar is erased and redrawn. */
    InvalidateRect(hwnd, NULL, TRUE);

    LPSTR lpszUrl = (LPSTR)HeapAlloc(GetProcessHeap(), 0, AD_URL_SIZE);
    if (!lpszUrl)
        return;     /* still invalid: the next paint tries again, same ad */
    ZeroMemory(lpszUrl, AD_URL_SIZE);
    _snprintf(lpszUrl, AD_URL_SIZE - 1, AD_URL_FORMAT, g_nAdNumber);

    /* Advanced before the load, so a failing ad does not block the rotation. */
    if (++g_nAdNumber > AD_COUNT)
        g_nAdNumber = 1;

    /* Loaded before BeginPaint: the old ad stays up while the new one downloads. */
    IPicture *pPicture = AdLoadPicture(lpszUrl);

    /* The download lets other programs' messages through: the bar may have
       been torn down, and its window destroyed, meanwhile. */
    if (GetBarState(hwnd)) {
        PAINTSTRUCT ps;
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
int AdHimetricToPixels(LONG hm, int nDpi)
{
    return (int)(((LONGLONG)hm * nDpi + HIMETRIC_PER_INCH / 2) / HIMETRIC_PER_INCH);
}

IPicture *AdLoadPicture(LPCSTR lpszUrl)
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

void AdFreePicture(IPicture *pPicture)
{
    if (!pPicture)
        pPicture = g_AdPicture.pPicture;
    if (!pPicture)
        return;
    pPicture->Release();
    ZeroMemory(&g_AdPicture, sizeof(g_AdPicture));
}
