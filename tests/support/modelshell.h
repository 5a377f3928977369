#ifndef TESTS_SUPPORT_MODELSHELL_H
#define TESTS_SUPPORT_MODELSHELL_H

#include <windows.h>
#include <shellapi.h>
#include <vector>

/* A model of the Windows shell's desktop-toolbar service, linked in place of
   the real gateway. It keeps registered bars in registration order, clears a
   bar's proposals against the strips of bars registered before it on the same
   edge (moving only the side that faces them), holds one auto-hide bar per
   edge, posts ABN_POSCHANGED to the other bars when a strip changes or a bar
   leaves, and logs every request. */
namespace ModelShell {

struct Request {
    DWORD dwMessage;
    HWND hwnd;
    UINT uEdge;
    RECT rcIn;          /* as the bar proposed it */
    RECT rcOut;         /* as the service handed it back */
    LPARAM lParam;
    UINT_PTR result;
};

const std::vector<Request> &Requests();
std::vector<Request> RequestsOf(DWORD dwMessage);
void ClearRequests();

/* Makes every request of that kind fail (answer 0, change nothing) until cleared. */
void FailRequest(DWORD dwMessage, bool bFail = true);

/* Runs pfn once, inside the next request of that kind, once it is served
   but before the answer is back: the real shell is asked by a sent message,
   and while the bar waits for the answer, messages that other programs send
   it come through. */
void DuringNext(DWORD dwMessage, void (*pfn)(HWND hwndBar));

/* Sends ABN_FULLSCREENAPP to every registered bar, as the shell does when a
   full-screen window opens (TRUE) or the last one closes (FALSE). */
void SendFullScreen(BOOL bOpened);
/* Sends any notification code to every registered bar. */
void Notify(WPARAM wCode, LPARAM lParam);

/* A restarted shell: every registration and auto-hide slot is forgotten,
   without a word to the bars. */
void Restart();

bool IsRegistered(HWND hwnd);
RECT ReservedRect(HWND hwnd);
HWND AutoHideBar(UINT uEdge);
const char *RequestName(DWORD dwMessage);

}

#endif
