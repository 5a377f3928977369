#include <gtest/gtest.h>

#include <vector>

#include <olectl.h>

#include "app/app.h"
#include "res/resource.h"
#include "support/imports.h"
#include "support/modelshell.h"
#include "support/msgbox.h"

/* The entry point is not in the bar's library; this test program takes the
   product's own file, so it checks the very function the exe starts in. */
#include "app/main.cpp"

namespace {

struct ShowCall {
    HWND hwnd;
    int nCmdShow;
};
std::vector<ShowCall> g_shows;
BOOL(WINAPI *g_pfnShowWindow)(HWND, int);

/* Records the show command, then asks the bar to close through its own
   command, so the message loop has a teardown to end on. */
BOOL WINAPI ShowThenClose(HWND hwnd, int nCmdShow)
{
    g_shows.push_back({ hwnd, nCmdShow });
    BOOL b = g_pfnShowWindow(hwnd, nCmdShow);
    PostMessageA(hwnd, WM_COMMAND, IDM_CLOSE, 0);
    return b;
}

ATOM WINAPI FailingRegisterClassExA(const WNDCLASSEXA *)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

ATOM WINAPI FailingRegisterClassA(const WNDCLASSA *)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

HWND WINAPI FailingCreateWindowExA(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

}

/* Whatever show command and command line arrive, the bar is shown with
   SW_SHOWDEFAULT, and the process result after the teardown is 0. */
TEST(WinMain, ShowsDefaultIgnoresArgumentsAndReturnsZeroAfterTeardown)
{
    ImportPatch sw("user32.dll", "ShowWindow", (void *)ShowThenClose);
    ASSERT_TRUE(sw.Patched());
    g_pfnShowWindow = sw.Original<decltype(g_pfnShowWindow)>();
    MessageBoxWatcher boxes;

    char szCmdLine[] = "/autohide --dock=left -minimized";
    EXPECT_EQ(WinMain(GetModuleHandleA(nullptr), nullptr, szCmdLine, SW_HIDE), 0);
    ASSERT_EQ(g_shows.size(), 1u);
    EXPECT_EQ(g_shows[0].nCmdShow, SW_SHOWDEFAULT);
    EXPECT_FALSE(IsWindow(g_shows[0].hwnd));
    EXPECT_EQ(ModelShell::RequestsOf(ABM_NEW).size(), 1u);
    EXPECT_EQ(ModelShell::RequestsOf(ABM_REMOVE).size(), 1u);
    EXPECT_TRUE(ModelShell::RequestsOf(ABM_SETAUTOHIDEBAR).empty());
    for (const ModelShell::Request &r : ModelShell::RequestsOf(ABM_SETPOS))
        EXPECT_EQ(r.uEdge, (UINT)ABE_TOP);
    EXPECT_TRUE(boxes.Boxes().empty());
}

/* A start that fails before the loop must not look like success. */
TEST(WinMain, FailedStartReturnsNonZeroWithoutLoop)
{
    MessageBoxWatcher boxes;
    HINSTANCE hInstance = GetModuleHandleA(nullptr);
    {
        ImportPatch ex("user32.dll", "RegisterClassExA", (void *)FailingRegisterClassExA);
        ImportPatch a("user32.dll", "RegisterClassA", (void *)FailingRegisterClassA);
        EXPECT_NE(WinMain(hInstance, nullptr, (LPSTR) "", SW_SHOWNORMAL), 0);
    }
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Generic, Line=164, File=Main");
    {
        ImportPatch cw("user32.dll", "CreateWindowExA", (void *)FailingCreateWindowExA);
        EXPECT_NE(WinMain(hInstance, nullptr, (LPSTR) "", SW_SHOWNORMAL), 0);
    }
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[1].caption, "Generic, Line=243, File=Main");
    EXPECT_EQ(FindWindowA(BAR_CLASS_NAME, nullptr), nullptr);
}

/* The picture download runs a message loop of its own. A close or quit that
   arrives through it tears the bar down there, and that loop may take the
   quit message for itself (the platform's downloader does, now and then):
   the process must still end, not live on without a window. */
namespace {

UINT g_uEndCommand;     /* WM_COMMAND for the close command, else WM_COPYDATA */
LONG g_nLoads;
HANDLE g_hLoopEnded;

HRESULT WINAPI EndDuringDownload(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *ppv)
{
    *ppv = nullptr;
    /* The first load is the start-up paint; the second is the one from the loop. */
    HWND hwnd = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE);
    if (InterlockedIncrement(&g_nLoads) == 2 && hwnd) {
        if (g_uEndCommand == WM_COMMAND) {
            SendMessageA(hwnd, WM_COMMAND, IDM_CLOSE, 0);
        } else {
            COPYDATASTRUCT cds = {};
            SendMessageA(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
        }
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    return E_FAIL;
}

/* Paints once the way the refresh thread does, then stands guard: a loop
   that never ends is ended with a code no teardown gives. */
DWORD WINAPI PaintThenGuard(LPVOID pvMainThread)
{
    HWND hwnd = nullptr;
    for (int i = 0; i < 500 && !(hwnd = FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE)); i++)
        Sleep(10);
    if (hwnd)
        SendMessageA(hwnd, WM_PAINT, 0, 0);
    if (WaitForSingleObject(g_hLoopEnded, 10000) == WAIT_TIMEOUT)
        PostThreadMessageA((DWORD)(DWORD_PTR)pvMainThread, WM_QUIT, 99, 0);
    return 0;
}

void EndDuringDownloadEndsTheLoop(UINT uEndCommand)
{
    g_uEndCommand = uEndCommand;
    ImportPatch load("oleaut32.dll", "OleLoadPicturePath", (void *)EndDuringDownload);
    ASSERT_TRUE(load.Patched());
    g_hLoopEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hGuard = CreateThread(nullptr, 0, PaintThenGuard, (LPVOID)(DWORD_PTR)GetCurrentThreadId(), 0, nullptr);
    ASSERT_NE(hGuard, nullptr);

    int nResult = WinMain(GetModuleHandleA(nullptr), nullptr, (LPSTR) "", SW_SHOWNORMAL);
    SetEvent(g_hLoopEnded);
    WaitForSingleObject(hGuard, INFINITE);
    CloseHandle(hGuard);
    CloseHandle(g_hLoopEnded);

    EXPECT_EQ(g_nLoads, 2);
    EXPECT_EQ(nResult, 0) << "99: the loop never saw a quit after the teardown";
    EXPECT_EQ(ModelShell::RequestsOf(ABM_REMOVE).size(), 1u);
}

}

TEST(WinMain, CloseDuringADownloadEndsTheLoop)
{
    EndDuringDownloadEndsTheLoop(WM_COMMAND);
    EXPECT_EQ(FindWindowA(BAR_CLASS_NAME, nullptr), nullptr);
}

TEST(WinMain, QuitDuringADownloadEndsTheLoop)
{
    EndDuringDownloadEndsTheLoop(WM_COPYDATA);
}
