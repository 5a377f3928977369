/* What only a model of the shell can make happen: refusals, the auto-hide
   slot of each edge, a shell that forgets its bars, a quit that comes
   through while the bar waits for the shell's answer. */
#include <gtest/gtest.h>

#include <olectl.h>

#include "bar/state.h"
#include "dock/shellgate.h"
#include "res/resource.h"
#include "support.h"

static const int W = GetSystemMetrics(SM_CXSCREEN), H = GetSystemMetrics(SM_CYSCREEN);
static const RECT TOP = { 0, 0, W, 75 };

static void ShellRestarted(HWND hwnd) { SendMessageA(hwnd, RegisterWindowMessageA("TaskbarCreated"), 0, 0); }

class Refusing : public testing::TestWithParam<const char *> {};

TEST_P(Refusing, StillDocksAndCloses)
{
    std::string what = GetParam();
    what == "registration" ? Model::Fail(ABM_NEW) : what == "removal" ? Model::Fail(ABM_REMOVE) : Model::FailAll();
    const std::vector<Box> &boxes = CatchBoxes();
    HWND hwnd = StartBar();
    EXPECT_EQ(WindowRect(hwnd), TOP);
    Command(hwnd, IDM_AUTOHIDE_ON);
    Command(hwnd, IDM_EXIT);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(QuitPosted());
    ASSERT_EQ(boxes.size(), what == "removal" ? 0u : 1u);
    for (const Box &box : boxes) {
        EXPECT_EQ(box.caption, "Generic, Line=508, File=AppBar");
        EXPECT_EQ(box.text, SystemText(ERROR_BUSY)) << "a stale error, not the refusal";
    }
}
INSTANTIATE_TEST_SUITE_P(Shell, Refusing, testing::Values("everything", "registration", "removal"));

TEST(Shell, SlotHeldByAnotherBarMeansNoAutoHideAndNoBox)
{
    APPBARDATA abd = { sizeof(abd), CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 9, 9, NULL, NULL, NULL, NULL),
                       WM_APP, ABE_LEFT, { 0, 0, 0, 0 }, TRUE };
    AppBarMessage(ABM_NEW, &abd);
    AppBarMessage(ABM_SETAUTOHIDEBAR, &abd);
    const std::vector<Box> &boxes = CatchBoxes();
    HWND hwnd = StartBar();
    Command(hwnd, IDM_DOCK_LEFT);
    Command(hwnd, IDM_AUTOHIDE_ON);
    Activate(hwnd, WA_INACTIVE);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 80, H })) << "hidden though another bar holds the slot";
    EXPECT_TRUE(boxes.empty()) << "a box for another bar's slot";
}

TEST(Shell, SwitchOffRestoresTheThicknessRedockMovesTheSlotRestartReclaimsItLeavingGivesItBack)
{
    HWND hwnd = StartBar();
    Command(hwnd, IDM_DOCK_LEFT);
    MoveWindow(hwnd, 0, 0, 150, H, TRUE);
    Command(hwnd, IDM_AUTOHIDE_ON);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 2, H }));
    Command(hwnd, IDM_AUTOHIDE_OFF);
    EXPECT_EQ(WindowRect(hwnd), (RECT{ 0, 0, 150, H }));
    EXPECT_EQ(Model::AutoHideBar(ABE_LEFT), (HWND)NULL);

    Command(hwnd, IDM_AUTOHIDE_ON);
    Command(hwnd, IDM_DOCK_BOTTOM);
    EXPECT_EQ(Model::AutoHideBar(ABE_LEFT), (HWND)NULL);
    EXPECT_EQ(Model::AutoHideBar(ABE_BOTTOM), hwnd);

    Model::Forget();
    ShellRestarted(hwnd);
    EXPECT_TRUE(Model::Registered(hwnd));
    EXPECT_EQ(Model::AutoHideBar(ABE_BOTTOM), hwnd);

    Command(hwnd, IDM_EXIT);
    EXPECT_EQ(Model::AutoHideBar(ABE_BOTTOM), (HWND)NULL) << "left: no other bar can hide on that edge";
}

TEST(Shell, BoxesDuringARedockFindTheDesktopRedrawing)
{
    const std::vector<Box> &boxes = CatchBoxes();
    HWND hwnd = StartBar();
    Command(hwnd, IDM_AUTOHIDE_ON);
    Model::Fail(ABM_SETAUTOHIDEBAR);
    Command(hwnd, IDM_DOCK_LEFT);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Generic, Line=586, File=AppBar");
    EXPECT_EQ(boxes[0].text, SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(boxes[1].caption, "Generic, Line=508, File=AppBar");
    EXPECT_TRUE(boxes[0].bDesktopRedraws && boxes[1].bDesktopRedraws);
}

/* The record, once freed, is kept filled with a pattern: a late write shows. */
static BarState *s_pRecord;
static int s_nFrees, s_nLoads;
static ImportPatch *s_pFreePatch;

static BOOL WINAPI KeepingHeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID pv)
{
    if (pv != s_pRecord)
        return ((decltype(&HeapFree))s_pFreePatch->pvOld)(hHeap, dwFlags, pv);
    s_nFrees++;
    memset(pv, 0xDD, sizeof(BarState));
    return TRUE;
}

static HRESULT WINAPI CountedLoad(LPOLESTR, LPUNKNOWN, DWORD, OLE_COLOR, REFIID, LPVOID *ppv)
{
    s_nLoads++;
    *ppv = NULL;
    return E_FAIL;
}

static void Teardown(HWND hwnd) { SendMessageA(hwnd, WM_COPYDATA, 0, 0); }

struct TeardownCase {
    const char *pszName;
    void (*pfnRun)(HWND);
};

static const TeardownCase s_teardowns[] = {
    { "TwiceThenEveryKindOfMessage", [](HWND hwnd) {
        Teardown(hwnd);
        int nLoads = s_nLoads;
        Teardown(hwnd);
        for (UINT id : { IDM_REGISTER, IDM_DOCK_LEFT, IDM_AUTOHIDE_ON })
            Command(hwnd, id);
        SendMessageA(hwnd, WM_PAINT, 0, 0);
        SendMessageA(hwnd, WM_TIMER, 1, 0);
        SendMessageA(hwnd, APPBAR_CALLBACK, ABN_POSCHANGED, 0);
        Activate(hwnd, WA_ACTIVE);
        SendMessageA(hwnd, WM_DESTROY, 0, 0);
        EXPECT_EQ(s_nLoads, nLoads) << "a torn-down bar still loads ads";
    } },
    { "InsideAutoHideOn", [](HWND hwnd) { Model::During(ABM_SETAUTOHIDEBAR, Teardown); Command(hwnd, IDM_AUTOHIDE_ON); } },
    { "InsideAutoHideOff", [](HWND hwnd) {
        Command(hwnd, IDM_AUTOHIDE_ON);
        Model::During(ABM_SETAUTOHIDEBAR, Teardown);
        Command(hwnd, IDM_AUTOHIDE_OFF);
    } },
    { "InsideARedockOfAnAutoHideBar", [](HWND hwnd) {
        Command(hwnd, IDM_AUTOHIDE_ON);
        Model::During(ABM_SETAUTOHIDEBAR, Teardown);
        Command(hwnd, IDM_DOCK_LEFT);
    } },
    { "InsideTheRegistrationAfterAShellRestart", [](HWND hwnd) {
        Model::Forget();
        Model::During(ABM_NEW, Teardown);
        ShellRestarted(hwnd);
    } },
};

static void PrintTo(const TeardownCase &teardown, std::ostream *os) { *os << teardown.pszName; }

class AfterTeardown : public testing::TestWithParam<TeardownCase> {};

TEST_P(AfterTeardown, TheFreedRecordIsLeftAloneAndTheBarDoesNothing)
{
    ImportPatch load("oleaut32.dll", "OleLoadPicturePath", (void *)CountedLoad);
    HWND hwnd = StartBar();
    s_pRecord = GetBarState(hwnd);
    ImportPatch patch("kernel32.dll", "HeapFree", (void *)KeepingHeapFree);
    s_pFreePatch = &patch;
    GetParam().pfnRun(hwnd);
    EXPECT_EQ(s_nFrees, 1);
    EXPECT_EQ(std::string((char *)s_pRecord, sizeof(BarState)), std::string(sizeof(BarState), '\xDD'))
        << "the freed record was written";
    EXPECT_FALSE(Model::Registered(hwnd)) << "the shell keeps a dead bar's strip";
    EXPECT_TRUE(QuitPosted());
}
INSTANTIATE_TEST_SUITE_P(Shell, AfterTeardown, testing::ValuesIn(s_teardowns),
                         [](const testing::TestParamInfo<TeardownCase> &info) { return std::string(info.param.pszName); });
