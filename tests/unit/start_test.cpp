/* Start-up as a user sees it: a failed start ends with exit code 1 and a box
   that says why; COM is ready before the first ad loads. */
#include <gtest/gtest.h>

#include <olectl.h>

#include "app/app.h"
#include "res/resource.h"
#include "bar/bar.h"
#include "support.h"

static ImportPatch *s_pForward;     /* the patch whose original a double calls on */

static ATOM WINAPI RefusedClassEx(const WNDCLASSEXA *) { SetLastError(ERROR_CLASS_ALREADY_EXISTS); return 0; }
static ATOM WINAPI RefusedClass(const WNDCLASSA *) { SetLastError(ERROR_CLASS_ALREADY_EXISTS); return 0; }
static LPVOID WINAPI NoMemory(HANDLE, DWORD, SIZE_T) { return NULL; }    /* sets no error, as documented */

/* Windows follows a refused WM_CREATE with WM_DESTROY; Wine sends none. */
static LRESULT CALLBACK AsOnWindows(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    LRESULT lResult = MainWndProc(hwnd, uMsg, wParam, lParam);
    if (uMsg == WM_CREATE && lResult == -1)
        MainWndProc(hwnd, WM_DESTROY, 0, 0);
    return lResult;
}

static ATOM WINAPI ClassAsOnWindows(const WNDCLASSEXA *pwc)
{
    WNDCLASSEXA wc = *pwc;
    wc.lpfnWndProc = AsOnWindows;
    return ((ATOM(WINAPI *)(const WNDCLASSEXA *))s_pForward->pvOld)(&wc);
}

static bool s_bNoTextAtAll;

static DWORD WINAPI NoEnglishText(DWORD dwFlags, LPCVOID pv, DWORD dwId, DWORD dwLang, LPSTR psz, DWORD n, va_list *p)
{
    if (s_bNoTextAtAll || dwLang == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)) {
        SetLastError(s_bNoTextAtAll ? ERROR_MR_MID_NOT_FOUND : ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    return ((decltype(&FormatMessageA))s_pForward->pvOld)(dwFlags, pv, dwId, dwLang, psz, n, p);
}

static void ExpectFailedStartWithBox(const std::string &caption, const std::string &text)
{
    const std::vector<Box> &boxes = CatchBoxes();
    size_t nBefore = boxes.size();
    EXPECT_EQ(RunBar(GetModuleHandleA(NULL)), 1);
    ASSERT_EQ(boxes.size(), nBefore + 1);
    EXPECT_EQ(boxes.back().caption, caption);
    EXPECT_EQ(boxes.back().text, text);
    EXPECT_FALSE(boxes.back().bQuitPending) << "a quit waiting would close the box at once";
}

TEST(Start, NoMemoryForTheRecordExitsOneWithBox243ThatStaysUp)
{
    ImportPatch cls("user32.dll", "RegisterClassExA", (void *)ClassAsOnWindows);
    s_pForward = &cls;
    ImportPatch heap("kernel32.dll", "HeapAlloc", (void *)NoMemory);
    ExpectFailedStartWithBox("Generic, Line=243, File=Main", SystemText(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(Start, RefusedClassExitsOneWithBox164InTheUsersLanguageOrTheFallback)
{
    ImportPatch ex("user32.dll", "RegisterClassExA", (void *)RefusedClassEx);
    ImportPatch plain("user32.dll", "RegisterClassA", (void *)RefusedClass);
    std::string text = SystemText(ERROR_CLASS_ALREADY_EXISTS);
    ExpectFailedStartWithBox("Generic, Line=164, File=Main", text);
    ImportPatch fmt("kernel32.dll", "FormatMessageA", (void *)NoEnglishText);
    s_pForward = &fmt;
    ExpectFailedStartWithBox("Generic, Line=164, File=Main", text);
    s_bNoTextAtAll = true;
    ExpectFailedStartWithBox("Generic", "An error occured calling FormatMessage().Error Code 317");
}

static HRESULT s_hrApartment = E_UNEXPECTED;

static HRESULT WINAPI ApartmentCheckingLoader(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *ppv)
{
    if (s_hrApartment == E_UNEXPECTED) {
        /* S_FALSE: this thread is in a single-threaded apartment already. */
        s_hrApartment = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(s_hrApartment))
            CoUninitialize();
        PostMessageA(FindWindowA(BAR_CLASS_NAME, BAR_WINDOW_TITLE), WM_CLOSE, 0, 0);
    }
    *ppv = NULL;
    return E_FAIL;
}

static DWORD s_dwRestartFlags = ~0u;

static HRESULT WINAPI RecordedRestart(PCWSTR, DWORD dwFlags)
{
    s_dwRestartFlags = dwFlags;
    return S_OK;
}

static FARPROC WINAPI RestartDouble(HMODULE hModule, LPCSTR pszName)
{
    if (HIWORD(pszName) && !strcmp(pszName, "RegisterApplicationRestart"))
        return (FARPROC)RecordedRestart;
    return ((decltype(&GetProcAddress))s_pForward->pvOld)(hModule, pszName);
}

/* After an install the Restart Manager starts the bar again if it asked to
   be; after a reboot the Run key does, and a second bar must not come. */
TEST(Start, ComReadyBeforeTheFirstLoadAndLeftAtTheEndARestartAskedForAfterAnInstallOnly)
{
    ImportPatch load("oleaut32.dll", "OleLoadPicturePath", (void *)ApartmentCheckingLoader);
    ImportPatch lookup("kernel32.dll", "GetProcAddress", (void *)RestartDouble);
    s_pForward = &lookup;
    EXPECT_EQ(RunBar(GetModuleHandleA(NULL)), 0);
    EXPECT_EQ(s_hrApartment, S_FALSE) << "the first ad loaded outside an apartment";
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK) << "the apartment was not left at the end";
    EXPECT_EQ(s_dwRestartFlags & 4, 0u) << "no registration, or RESTART_NO_PATCH: not started again after an install";
    EXPECT_NE(s_dwRestartFlags & 8, 0u) << "no RESTART_NO_REBOOT: a second bar after a reboot";
}
