#ifndef APP_APP_H
#define APP_APP_H

#include <windows.h>

/* The program's whole life: start-up, the message loop, and its exit code. */
int RunBar(HINSTANCE hInstance);

/* Start-up's first two steps, for programs that run the bar in their own process. */
BOOL RegisterBarClass(HINSTANCE hInstance);
BOOL CreateBarWindow(HINSTANCE hInstance, int nCmdShow);

#endif
