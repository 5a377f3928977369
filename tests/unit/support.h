#ifndef TESTS_UNIT_SUPPORT_H
#define TESTS_UNIT_SUPPORT_H

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>
#include <vector>

/* The bar in this process, as the program starts it; NULL when it did not start. */
HWND StartBar();
void Command(HWND hwnd, UINT id);
void Activate(HWND hwnd, UINT state);   /* WA_ACTIVE, WA_INACTIVE, ... */
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
    const char *m_pszDll, *m_pszFunc;
};

/* The boxes the bar shows, answered OK at once: with what they say, whether
   the desktop redraws under them, and whether a quit was waiting, which
   would close a real box before anyone could read it. */
struct Box {
    std::string caption, text;
    bool bDesktopRedraws, bQuitPending;
};
const std::vector<Box> &CatchBoxes();

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
