#ifndef ADS_PRIVATE_H
#define ADS_PRIVATE_H

/* What the loading and the drawing of a picture share, and nothing outside ads/ sees. */
#include "ads/ads.h"

#include <ole2.h>
#include <olectl.h>

/* The picture held during one paint; all zero outside a paint. */
struct AdPicture {
    IPicture *pPicture;
    LONG hmWidth;           /* HIMETRIC: hundredths of a millimetre */
    LONG hmHeight;
    int cxPixels;
    int cyPixels;
    LPCSTR lpszSource;      /* points into the paint's URL buffer */
};

extern AdPicture g_AdPicture;

void AdRender(HWND hwnd, HDC hdc);

#endif
