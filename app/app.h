#ifndef APP_APP_H
#define APP_APP_H

#include <windows.h>

/* Other programs find the bar by these two names. */
#define BAR_CLASS_NAME      "VantorelAdBar"
#define BAR_WINDOW_TITLE    "Vantorel Ad Bar"

#define AD_REFRESH_INTERVAL 10000   /* ms between two repaint requests */

BOOL RegisterBarClass(HINSTANCE hInstance);
BOOL CreateBarWindow(HINSTANCE hInstance, int nCmdShow);
DWORD WINAPI RefreshThreadProc(LPVOID lpParam);
int RunMessageLoop(void);
int RunBar(HINSTANCE hInstance);

#endif
