#include "support.h"

#include <ostream>

#include "app/app.h"
#include "res/resource.h"
#include "probes/imports.h"
#include "dock/shellgate.h"

HWND StartBar()
{
    HINSTANCE hInstance = GetModuleHandleA(NULL);
    if (!RegisterBarClass(hInstance) || !CreateBarWindow(hInstance, SW_SHOWDEFAULT))
        return NULL;
    return FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
}

void Command(HWND hwnd, UINT id) { SendMessageA(hwnd, WM_COMMAND, id, 0); }
void Activate(HWND hwnd, UINT state) { SendMessageA(hwnd, WM_ACTIVATE, state, 0); }

bool QuitPosted()
{
    MSG msg;
    return PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) && msg.wParam == 0;
}

RECT WindowRect(HWND hwnd)
{
    RECT rc = { 0, 0, 0, 0 };
    GetWindowRect(hwnd, &rc);
    return rc;
}

bool operator==(const RECT &a, const RECT &b) { return EqualRect(&a, &b) != 0; }

void PrintTo(const RECT &rc, std::ostream *os)
{
    *os << "{" << rc.left << ", " << rc.top << ", " << rc.right << ", " << rc.bottom << "}";
}

std::string SystemText(DWORD dwError)
{
    char sz[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, dwError, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                   sz, sizeof(sz), NULL);
    return sz;
}

ImportPatch::ImportPatch(const char *pszDll, const char *pszFunc, void *pvNew)
    : pvOld(PatchImport(pszDll, pszFunc, pvNew)), m_pszDll(pszDll), m_pszFunc(pszFunc)
{
}

ImportPatch::~ImportPatch()
{
    if (pvOld)
        PatchImport(m_pszDll, m_pszFunc, pvOld);
}

static std::vector<Box> s_boxes;
static bool s_bDesktopRedraws = true;
static ImportPatch *s_pSend;

/* Wine's desktop window ignores WM_SETREDRAW, so whether it would redraw is
   followed here. */
static LRESULT WINAPI FollowedSend(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (hwnd == GetDesktopWindow() && uMsg == WM_SETREDRAW)
        s_bDesktopRedraws = wParam != 0;
    return ((decltype(&SendMessageA))s_pSend->pvOld)(hwnd, uMsg, wParam, lParam);
}

static int WINAPI RecordedBox(HWND, LPCSTR pszText, LPCSTR pszCaption, UINT)
{
    MSG msg;
    s_boxes.push_back({ pszCaption, pszText, s_bDesktopRedraws,
                        PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0 });
    return IDOK;
}

const std::vector<Box> &CatchBoxes()
{
    static ImportPatch s_box("user32.dll", "MessageBoxA", (void *)RecordedBox);
    static ImportPatch s_send("user32.dll", "SendMessageA", (void *)FollowedSend);
    s_pSend = &s_send;
    return s_boxes;
}
