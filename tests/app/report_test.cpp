#include <gtest/gtest.h>

#include <string>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/imports.h"
#include "support/msgbox.h"
#include "support/trace.h"
#include "apphelp.h"

namespace {

typedef DWORD(WINAPI *FormatMessageAFn)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *);
FormatMessageAFn g_pfnFormat;
typedef HLOCAL(WINAPI *LocalFreeFn)(HLOCAL);
LocalFreeFn g_pfnLocalFree;

struct FormatCall {
    DWORD dwFlags;
    LPCVOID pvSource;
    DWORD dwId;
    DWORD dwLang;
    va_list *pArgs;
    LPSTR pszAllocated;
} g_format;
int g_nFormats;
std::vector<HLOCAL> g_freed;
size_t g_nBoxesAtFree;
const MessageBoxWatcher *g_pBoxes;

DWORD WINAPI SeenFormatMessageA(DWORD dwFlags, LPCVOID pvSource, DWORD dwId, DWORD dwLang, LPSTR psz, DWORD n,
                                va_list *args)
{
    DWORD dw = g_pfnFormat(dwFlags, pvSource, dwId, dwLang, psz, n, args);
    g_nFormats++;
    g_format = { dwFlags, pvSource, dwId, dwLang, args,
                 (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) ? *(LPSTR *)psz : nullptr };
    return dw;
}

DWORD WINAPI FailingFormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *)
{
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

HLOCAL WINAPI SeenLocalFree(HLOCAL h)
{
    g_freed.push_back(h);
    g_nBoxesAtFree = g_pBoxes ? g_pBoxes->Boxes().size() : 0;
    return g_pfnLocalFree(h);
}

}

/* The system's text for the last error at the call, in US English, in an
   ownerless warning box; the system's buffer goes back after the box. */
TEST(Report, ShowsSystemTextAndGivesItsBufferBack)
{
    const std::string expected = SystemText(ERROR_FILE_NOT_FOUND);
    ImportPatch fm("kernel32.dll", "FormatMessageA", (void *)SeenFormatMessageA);
    ImportPatch lf("kernel32.dll", "LocalFree", (void *)SeenLocalFree);
    ASSERT_TRUE(fm.Patched() && lf.Patched());
    g_pfnFormat = fm.Original<FormatMessageAFn>();
    g_pfnLocalFree = lf.Original<LocalFreeFn>();
    MessageBoxWatcher boxes;
    g_pBoxes = &boxes;

    SetLastError(ERROR_FILE_NOT_FOUND);
    ReportError(508, "AppBar");

    ASSERT_EQ(g_nFormats, 1);
    EXPECT_EQ(g_format.dwFlags, 0x1100u);
    EXPECT_EQ(g_format.pvSource, nullptr);
    EXPECT_EQ(g_format.dwId, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(g_format.dwLang, 1033u);
    EXPECT_EQ(g_format.pArgs, nullptr);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    const BoxSeen &box = boxes.Boxes()[0];
    EXPECT_EQ(box.caption, "Generic, Line=508, File=AppBar");
    EXPECT_EQ(box.text, expected);
    EXPECT_FALSE(box.text.empty());
    EXPECT_EQ(box.uType, (UINT)(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(box.hwndOwner, nullptr);
    EXPECT_TRUE(box.closed);
    ASSERT_EQ(g_freed.size(), 1u);
    EXPECT_EQ(g_freed[0], (HLOCAL)g_format.pszAllocated);
    EXPECT_EQ(g_nBoxesAtFree, 1u);
    g_pBoxes = nullptr;
}

TEST(Report, FormatFailureShowsFallbackWithItsCode)
{
    ImportPatch fm("kernel32.dll", "FormatMessageA", (void *)FailingFormatMessageA);
    ImportPatch lf("kernel32.dll", "LocalFree", (void *)SeenLocalFree);
    g_pfnLocalFree = lf.Original<LocalFreeFn>();
    MessageBoxWatcher boxes;

    SetLastError(ERROR_ACCESS_DENIED);
    ReportError(164, "Main");

    ASSERT_EQ(boxes.Boxes().size(), 1u);
    const BoxSeen &box = boxes.Boxes()[0];
    EXPECT_EQ(box.text, "An error occured calling FormatMessage().Error Code 317");
    EXPECT_EQ(box.caption, "Generic");
    EXPECT_EQ(box.uType, (UINT)(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(box.hwndOwner, nullptr);
    EXPECT_TRUE(box.closed);
    EXPECT_EQ(box.shownText, box.text);
    EXPECT_TRUE(g_freed.empty());
}

/* The box has no owner, so the bar stays enabled and the box's own loop
   keeps dispatching the bar's messages. */
TEST(Report, BarKeepsWorkingWhileTheBoxIsUp)
{
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    MessageBoxWatcher boxes;
    PostMessageA(hwnd, WM_COMMAND, IDM_DOCK_BOTTOM, 0);
    SetLastError(ERROR_INVALID_PARAMETER);
    ReportError(586, "AppBar");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, "Generic, Line=586, File=AppBar");
    EXPECT_EQ(GetBarState(hwnd)->uEdge, (UINT)ABE_BOTTOM);
    EXPECT_EQ(WindowRect(hwnd).bottom, ScreenH());
    EXPECT_TRUE(IsWindowEnabled(hwnd));
}

TEST(Trace, CutsLongTextTo511Characters)
{
    TraceCapture trace;
    std::string text(600, 'x');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = (char)('a' + i % 26);
    TraceOut("%s", text.c_str());
    TraceOut("%s", text.substr(0, 511).c_str());
    TraceOut("%s", text.substr(0, 512).c_str());
    TraceOut("Main_OnSize: cxWidth = %d, cyHeight = %d\r\n", 80, -75);

    ASSERT_EQ(trace.Lines().size(), 4u);
    EXPECT_EQ(trace.Lines()[0], text.substr(0, 511));
    EXPECT_EQ(trace.Lines()[1], text.substr(0, 511));
    EXPECT_EQ(trace.Lines()[2], text.substr(0, 511));
    EXPECT_EQ(trace.Lines()[3], "Main_OnSize: cxWidth = 80, cyHeight = -75\r\n");
}
