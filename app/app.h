#ifndef APP_APP_H
#define APP_APP_H

#include <windows.h>

#define AD_REFRESH_INTERVAL 10000   /* ms between two repaint requests */

BOOL RegisterBarClass(HINSTANCE hInstance);
BOOL CreateBarWindow(HINSTANCE hInstance, int nCmdShow);
DWORD WINAPI RefreshThreadProc(LPVOID lpParam);
int RunMessageLoop(void);
int RunBar(HINSTANCE hInstance);

#endif
