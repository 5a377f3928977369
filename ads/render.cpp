#include "ads/private.h"

void AdRender(HWND hwnd, HDC hdc)
{
    IPicture *pPicture = g_AdPicture.pPicture;
    if (!pPicture)
        return;

    /* Icons and metafiles have no palette to report and fail the call: they
       are drawn without one. The palette stays the picture's own: it is
       selected here, never deleted. */
    OLE_HANDLE hPalHandle = 0;
    if (FAILED(pPicture->get_hPal(&hPalHandle)))
        hPalHandle = 0;
    HPALETTE hPal = (HPALETTE)(UINT_PTR)hPalHandle;

    HPALETTE hPalOld = NULL;
    if (hPal) {
        hPalOld = SelectPalette(hdc, hPal, FALSE);
        RealizePalette(hdc);
    }

    RECT rcClient;
    GetClientRect(hwnd, &rcClient);

    DWORD dwAttributes = 0;
    HRESULT hr = pPicture->get_Attributes(&dwAttributes);
    LONG hmWidth = g_AdPicture.hmWidth;
    LONG hmHeight = g_AdPicture.hmHeight;

    /* HIMETRIC's y axis points up: start at the bottom edge and run upward. */
    if (SUCCEEDED(hr) || (dwAttributes & PICTURE_TRANSPARENT)) {
        int cx = g_AdPicture.cxPixels;
        int cy = g_AdPicture.cyPixels;
        /* Centred on the screen, not the client area: a docked bar spans the screen. */
        int cxScreen = GetDeviceCaps(hdc, HORZRES);
        RECT rcPicture = { cxScreen / 2 - cx / 2, 0, 0, cy };
        rcPicture.right = rcPicture.left + cx;

        /* Only the part inside the client area can show: the memory bitmap
           and the render are that part alone, so a huge ad costs no more
           memory than a small one. */
        RECT rcShown;
        if (IntersectRect(&rcShown, &rcPicture, &rcClient)) {
            int cxShown = rcShown.right - rcShown.left;
            int cyShown = rcShown.bottom - rcShown.top;
            HDC hdcMem = CreateCompatibleDC(hdc);
            HBITMAP hbm = CreateCompatibleBitmap(hdc, cxShown, cyShown);
            HGDIOBJ hbmOld = SelectObject(hdcMem, hbm);
            if (hPal) {
                SelectPalette(hdcMem, hPal, FALSE);
                RealizePalette(hdcMem);
            }
            /* A new bitmap's content is undefined: where the picture is
               transparent, the class background must show, as around it. */
            RECT rcMem = { 0, 0, cxShown, cyShown };
            FillRect(hdcMem, &rcMem, (HBRUSH)GetClassLongPtrA(hwnd, GCLP_HBRBACKGROUND));

            RECT rcBounds = { 0, 0, cx, cy };
            pPicture->Render(hdcMem, rcPicture.left - rcShown.left, rcPicture.top - rcShown.top, cx, cy,
                             0, hmHeight, hmWidth, -hmHeight, &rcBounds);
            BitBlt(hdc, rcShown.left, rcShown.top, cxShown, cyShown, hdcMem, 0, 0, SRCCOPY);

            SelectObject(hdcMem, hbmOld);
            DeleteObject(hbm);
            DeleteDC(hdcMem);
        }
    } else {
        pPicture->Render(hdc, 0, 0, rcClient.right, rcClient.bottom,
                         0, hmHeight, hmWidth, -hmHeight, &rcClient);
    }

    if (hPalOld)
        SelectPalette(hdc, hPalOld, FALSE);
}
