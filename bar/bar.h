#ifndef BAR_BAR_H
#define BAR_BAR_H

#include <windows.h>

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

#endif
