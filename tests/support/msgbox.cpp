#include "support/msgbox.h"

#include "support/imports.h"

typedef int (WINAPI *MessageBoxAFn)(HWND, LPCSTR, LPCSTR, UINT);

static std::vector<BoxSeen> s_boxes;
static void *s_pvOriginal;

struct CloserArgs {
    std::string caption;
    std::string shownText;
    bool closed;
};

static DWORD WINAPI CloserThread(LPVOID lpParam)
{
    CloserArgs *pArgs = (CloserArgs *)lpParam;
    for (int i = 0; i < 500; i++) {
        HWND hwndBox = FindWindowA("#32770", pArgs->caption.c_str());
        if (hwndBox && IsWindowVisible(hwndBox)) {
            char szText[1024] = "";
            GetDlgItemTextA(hwndBox, 0xFFFF, szText, sizeof(szText));
            pArgs->shownText = szText;
            pArgs->closed = true;
            PostMessageA(hwndBox, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(10);
    }
    return 0;
}

static int WINAPI WatchMessageBoxA(HWND hwndOwner, LPCSTR lpszText, LPCSTR lpszCaption, UINT uType)
{
    CloserArgs args = { lpszCaption ? lpszCaption : "", "", false };
    HANDLE hThread = CreateThread(NULL, 0, CloserThread, &args, 0, NULL);
    int nResult = ((MessageBoxAFn)s_pvOriginal)(hwndOwner, lpszText, lpszCaption, uType);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    s_boxes.push_back({ hwndOwner, lpszText ? lpszText : "", args.caption, uType, args.shownText, args.closed });
    return nResult;
}

MessageBoxWatcher::MessageBoxWatcher()
{
    s_boxes.clear();
    s_pvOriginal = PatchImport("user32.dll", "MessageBoxA", (void *)WatchMessageBoxA);
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    if (s_pvOriginal)
        PatchImport("user32.dll", "MessageBoxA", s_pvOriginal);
}

const std::vector<BoxSeen> &MessageBoxWatcher::Boxes() const { return s_boxes; }
