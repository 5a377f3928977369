#ifndef BAR_COMMANDS_H
#define BAR_COMMANDS_H

#include <windows.h>

void Main_OnCommand(HWND hwnd, int id, HWND hwndCtl, UINT codeNotify);
void Main_OnRButtonDown(HWND hwnd, BOOL fDoubleClick, int x, int y, UINT keyFlags);

#endif
