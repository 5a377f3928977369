#ifndef ADS_ADS_H
#define ADS_ADS_H

#include <windows.h>

/* Every paint fetches the next ad of the rotation, draws it and lets it go. */
void Main_OnPaint(HWND hwnd);

#endif
