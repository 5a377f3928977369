#ifndef TESTS_SUPPORT_BARWIN_H
#define TESTS_SUPPORT_BARWIN_H

#include <windows.h>
#include <functional>
#include <string>

/* Starts the bar in this process the way the program does (class, window,
   first paint, refresh thread) and returns its window, or NULL. */
HWND StartBar();

/* Dispatches this thread's messages for the given time. */
void Pump(DWORD dwMs);
/* Dispatches messages until the condition holds or the time is up. */
bool PumpUntil(const std::function<bool()> &done, DWORD dwTimeoutMs);

/* Takes the quit message off this thread's queue; false when none is there. */
bool QuitPosted(WPARAM *pwParam);

/* Milliseconds on the performance counter. */
double NowMs();

RECT WindowRect(HWND hwnd);
int ScreenW();
int ScreenH();

/* A plain visible top-level window of another class, for z-order,
   ownership and activation cases. */
HWND CreatePlainWindow(const char *pszTitle, int x, int y, int cx, int cy, HWND hwndOwner = NULL);

bool operator==(const RECT &a, const RECT &b);
std::string ToString(const RECT &rc);
void PrintTo(const RECT &rc, std::ostream *os);

#endif
