#ifndef APP_APP_H
#define APP_APP_H

#include <windows.h>

/* Other programs find the bar by these two names. */
#define BAR_CLASS_NAME      "VantorelAdBar"
#define BAR_WINDOW_TITLE    "Vantorel Ad Bar"

#define AD_REFRESH_INTERVAL 10000   /* ms between two repaint requests */

/* The line numbers the error boxes name. Support staff match them against
   reports from the field, so they stay fixed whatever the source layout. */
enum ErrorLine {
    ERRLINE_REGISTER_CLASS  = 164,
    ERRLINE_CREATE_WINDOW   = 243,
    ERRLINE_SET_AUTOHIDE    = 508,
    ERRLINE_CLEAR_AUTOHIDE  = 586
};

extern HINSTANCE g_hAppInstance;

BOOL RegisterBarClass(HINSTANCE hInstance);
BOOL CreateBarWindow(HINSTANCE hInstance, int nCmdShow);
DWORD WINAPI RefreshThreadProc(LPVOID lpParam);
int RunMessageLoop(void);

int TraceOut(const char *lpszFormat, ...);
void ReportError(int nLine, const char *lpszModule);

#endif
