#include "app/app.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;     /* the bar always honours the starter's STARTUPINFO instead */

    /* A start that fails before the loop must not read as success to whoever started us. */
    if (!RegisterBarClass(hInstance))
        return 1;
    if (!CreateBarWindow(hInstance, SW_SHOWDEFAULT))
        return 1;
    return RunMessageLoop();
}
