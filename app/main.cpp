#include "app/app.h"

/* The show command is not used: the bar is shown with SW_SHOWDEFAULT, which
   honours what the starter put in its start-up information. */
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    return RunBar(hInstance);
}
