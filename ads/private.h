#ifndef ADS_PRIVATE_H
#define ADS_PRIVATE_H

/* What the loading and the drawing of a picture share, and nothing outside ads/ sees. */
#include "ads/ads.h"

#include <ole2.h>
#include <olectl.h>

#define AD_COUNT    16
#define AD_URL_SIZE 512     /* bytes, terminator included */

/* The picture held during one paint; all zero outside a paint. */
struct AdPicture {
    IPicture *pPicture;
    LONG hmWidth;           /* HIMETRIC: hundredths of a millimetre */
    LONG hmHeight;
    int cxPixels;
    int cyPixels;
    LPCSTR lpszSource;      /* points into the paint's URL buffer */
};

extern int g_nAdNumber;     /* the ad the next paint shows, 1..AD_COUNT */
extern AdPicture g_AdPicture;
extern const char AD_URL_FORMAT[];

IPicture *AdLoadPicture(LPCSTR lpszUrl);
void AdFreePicture(IPicture *pPicture);
void AdRender(HWND hwnd, HDC hdc);
int AdHimetricToPixels(LONG hm, int nDpi);

#endif
