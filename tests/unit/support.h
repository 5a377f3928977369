#ifndef TESTS_UNIT_SUPPORT_H
#define TESTS_UNIT_SUPPORT_H

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>
#include <vector>

/* The bar in this process, as the program starts it; NULL when it did not start. */
HWND StartBar();
/* Dispatches this thread's messages until the condition holds or the time is up. */
bool PumpUntil(const std::function<bool()> &done, DWORD dwTimeoutMs = 10000);
bool QuitPosted();
RECT WindowRect(HWND hwnd);
bool operator==(const RECT &a, const RECT &b);
std::string SystemText(DWORD dwError);

/* Swaps an entry of this program's import table while in scope, so the bar's
   own calls to a system function reach a test double. */
class ImportPatch {
public:
    ImportPatch(const char *pszDll, const char *pszFunc, void *pvNew);
    ~ImportPatch();
    void *pvOld;
private:
    void **m_ppvSlot;
};

/* Message boxes of this process, read and then closed with OK by a thread of
   its own; a box that closed before that is recorded as vanished. */
struct Box {
    std::string caption, text;
    bool bDesktopRedraws, bVanished;
};
class BoxWatcher {
public:
    BoxWatcher();
    ~BoxWatcher();
    std::vector<Box> Boxes();
private:
    static DWORD WINAPI Run(LPVOID pv);
    HANDLE m_hThread;
    volatile bool m_bStop;
};

/* The shell's desktop-toolbar service as Windows keeps it (one auto-hide bar
   an edge), linked in place of the gateway; proposals are granted unchanged. */
namespace Model {
void Fail(DWORD dwMessage);                     /* such requests answer 0 and change nothing */
void FailAll();
void During(DWORD dwMessage, void (*pfn)(HWND)); /* runs inside the next such request */
void Forget();                                  /* a restarted shell: every bar forgotten */
bool Registered(HWND hwnd);
HWND AutoHideBar(UINT uEdge);
}

#endif
