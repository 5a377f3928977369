#include "bar/state.h"

BarState *GetBarState(HWND hwnd)
{
    return (BarState *)GetWindowLongPtrA(hwnd, 0);
}

void SetBarState(HWND hwnd, BarState *pState)
{
    SetWindowLongPtrA(hwnd, 0, (LONG_PTR)pState);
}
