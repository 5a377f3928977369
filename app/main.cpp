#include "app/app.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;     /* the bar always honours the starter's STARTUPINFO instead */
    return RunBar(hInstance);
}
