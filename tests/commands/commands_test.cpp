/* The command table and the right-button menu, against the model shell and
   a menu resource that holds the items the handler marks (testmenu.rc). */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "res/resource.h"
#include "support/barwin.h"
#include "support/modelshell.h"
#include "support/trace.h"

namespace {

RECT Rect(LONG l, LONG t, LONG r, LONG b) { return RECT{ l, t, r, b }; }

struct Snapshot {
    RECT rcWindow;
    RECT rcBar;
    BarState state;
    BOOL bRegistered;
    bool operator==(const Snapshot &o) const
    {
        return rcWindow == o.rcWindow && rcBar == o.rcBar && bRegistered == o.bRegistered &&
               state.bAutoHide == o.state.bAutoHide && state.bHidden == o.state.bHidden &&
               state.uEdge == o.state.uEdge && state.cxWidth == o.state.cxWidth &&
               state.cyHeight == o.state.cyHeight;
    }
};

void PrintTo(const Snapshot &s, std::ostream *os)
{
    *os << "window " << ToString(s.rcWindow) << " g_rcBar " << ToString(s.rcBar) << " registered "
        << s.bRegistered << " autohide " << s.state.bAutoHide << " hidden " << s.state.bHidden << " edge "
        << s.state.uEdge << " cx " << s.state.cxWidth << " cy " << s.state.cyHeight;
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        hwnd = StartBar();
        ASSERT_NE(hwnd, nullptr);
        st = GetBarState(hwnd);
        ASSERT_NE(st, nullptr);
        Pump(50);
        W = ScreenW();
        H = ScreenH();
        trace.Clear();
        ModelShell::ClearRequests();
    }

    Snapshot Take() const { return Snapshot{ WindowRect(hwnd), g_rcBar, *st, g_bRegistered }; }

    LRESULT Command(WPARAM wParam, LPARAM lParam = 0) { return SendMessageA(hwnd, WM_COMMAND, wParam, lParam); }

    TraceCapture trace;
    HWND hwnd = NULL;
    BarState *st = nullptr;
    int W = 0, H = 0;
};

TEST_F(Commands, IdentifiersOutsideTheTableDoNothing)
{
    Snapshot before = Take();
    const WPARAM ids[] = { IDM_DEFAULT_ITEM, 0, 1, 2, 73, 75, 40000, 40002, 40011, 40013, 0xFFFF,
                           MAKEWPARAM(IDM_DEFAULT_ITEM, 1), MAKEWPARAM(0, 1), MAKEWPARAM(0, IDM_DOCK_LEFT) };
    for (WPARAM id : ids)
        EXPECT_EQ(Command(id), 0) << id;
    Pump(100);
    EXPECT_TRUE(IsWindow(hwnd));
    ASSERT_EQ(GetBarState(hwnd), st);
    EXPECT_EQ(Take(), before);
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_TRUE(ModelShell::Requests().empty());
}

/* Every command of the table, each with a non-zero high word: only the low word counts. */
TEST_F(Commands, TableCommandsRunWhateverTheHighWord)
{
    HWND hwndCtl = CreatePlainWindow("control", 300, 300, 50, 50);
    SetForegroundWindow(hwnd);
    Pump(20);

    Command(MAKEWPARAM(IDM_DOCK_LEFT, 1));
    EXPECT_EQ(st->uEdge, (UINT)ABE_LEFT);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, 80, H));

    Command(MAKEWPARAM(IDM_DOCK_RIGHT, BN_CLICKED), (LPARAM)hwndCtl);
    EXPECT_EQ(st->uEdge, (UINT)ABE_RIGHT);
    EXPECT_EQ(WindowRect(hwnd), Rect(W - 80, 0, W, H));

    Command(MAKEWPARAM(IDM_DOCK_BOTTOM, 0xFFFF));
    EXPECT_EQ(st->uEdge, (UINT)ABE_BOTTOM);
    RECT rc = WindowRect(hwnd);
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.right, W);
    EXPECT_EQ(rc.bottom, H);
    EXPECT_EQ(ModelShell::ReservedRect(hwnd), rc);

    Command(MAKEWPARAM(IDM_DOCK_TOP, 1));
    EXPECT_EQ(st->uEdge, (UINT)ABE_TOP);
    EXPECT_EQ(WindowRect(hwnd), Rect(0, 0, W, 75));

    Command(MAKEWPARAM(IDM_UNREGISTER, 1));
    EXPECT_FALSE(g_bRegistered);
    EXPECT_FALSE(ModelShell::IsRegistered(hwnd));
    Command(MAKEWPARAM(IDM_REGISTER, 1));
    EXPECT_TRUE(g_bRegistered);
    EXPECT_TRUE(ModelShell::IsRegistered(hwnd));

    Command(MAKEWPARAM(IDM_AUTOHIDE_ON, 1));
    EXPECT_TRUE(st->bAutoHide);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), hwnd);
    Command(MAKEWPARAM(IDM_AUTOHIDE_OFF, 1));
    EXPECT_FALSE(st->bAutoHide);
    EXPECT_EQ(ModelShell::AutoHideBar(ABE_TOP), (HWND)NULL);
    EXPECT_TRUE(IsWindow(hwnd));
}

/* The close commands send WM_CLOSE: the teardown is over when the command returns. */
class CloseCommand : public Commands, public ::testing::WithParamInterface<WPARAM> {};

TEST_P(CloseCommand, TearsDownBeforeReturning)
{
    ASSERT_TRUE(ModelShell::IsRegistered(hwnd));
    EXPECT_EQ(Command(GetParam()), 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(ModelShell::IsRegistered(hwnd));
    EXPECT_FALSE(g_bRegistered);
    WPARAM wParam = 99;
    ASSERT_TRUE(QuitPosted(&wParam)) << "the quit message is posted";
    EXPECT_EQ(wParam, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ids, CloseCommand,
                         ::testing::Values(WPARAM(IDM_CLOSE), WPARAM(IDM_EXIT), MAKEWPARAM(IDM_CLOSE, 1),
                                           MAKEWPARAM(IDM_EXIT, 1)));

/* ---- The right-button menu ---- */

struct ItemSeen {
    UINT fType;
    UINT fState;
};

struct MenuSeen {
    bool shown = false;
    RECT rcMenu = {};
    UINT uDefault = 0;
    ItemSeen items[4] = {};     /* IDM_DOCK_TOP .. IDM_DOCK_RIGHT */
    ItemSeen defaultItem = {};
    int menusWhileOpen = 0;
    bool openAfterTeardown = false;
};

MenuSeen s_seen;
HMENU s_hmenuOpen;
WNDPROC s_barProc;
bool s_readItems;
int s_commands;
UINT s_uEndWith;    /* 0, or the message that ends the bar while its menu is open */

int CountMenus()
{
    int n = 0;
    for (UINT_PTR h = 0x20; h <= 0xFFFF; h++)
        n += IsMenu((HMENU)h) ? 1 : 0;
    return n;
}

ItemSeen ReadItem(HMENU hmenu, UINT id)
{
    MENUITEMINFOA mii = {};
    mii.cbSize = sizeof(mii);
    mii.fMask = MIIM_FTYPE | MIIM_STATE;
    ItemSeen seen = { 0xFFFFFFFF, 0xFFFFFFFF };
    if (GetMenuItemInfoA(hmenu, id, FALSE, &mii))
        seen = { mii.fType, mii.fState };
    return seen;
}

/* Reads the popup while it is open, then closes it without choosing. */
LRESULT CALLBACK WatchProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_INITMENUPOPUP:
        s_hmenuOpen = (HMENU)wParam;
        break;
    case WM_ENTERIDLE:
        if (wParam == MSGF_MENU && s_seen.shown && s_uEndWith) {
            s_seen.openAfterTeardown = true;
            EndMenu();
        } else if (wParam == MSGF_MENU && !s_seen.shown) {
            s_seen.shown = true;
            GetWindowRect((HWND)lParam, &s_seen.rcMenu);
            if (s_readItems) {
                s_seen.uDefault = GetMenuDefaultItem(s_hmenuOpen, FALSE, 0);
                for (UINT i = 0; i < 4; i++)
                    s_seen.items[i] = ReadItem(s_hmenuOpen, IDM_DOCK_TOP + i);
                s_seen.defaultItem = ReadItem(s_hmenuOpen, IDM_DEFAULT_ITEM);
                s_seen.menusWhileOpen = CountMenus();
            }
            if (s_uEndWith == WM_COMMAND) {
                SendMessageA(hwnd, WM_COMMAND, IDM_CLOSE, 0);
            } else if (s_uEndWith == WM_COPYDATA) {
                COPYDATASTRUCT cds = {};
                SendMessageA(hwnd, WM_COPYDATA, 0, (LPARAM)&cds);
            } else {
                EndMenu();
            }
        }
        break;
    case WM_COMMAND:
        s_commands++;
        break;
    }
    return CallWindowProcA(s_barProc, hwnd, uMsg, wParam, lParam);
}

class ContextMenu : public Commands {
protected:
    void SetUp() override
    {
        Commands::SetUp();
        s_barProc = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)WatchProc);
    }

    /* A right-button press at a client point; returns once the menu has closed. */
    void Press(int x, int y)
    {
        s_seen = MenuSeen();
        s_hmenuOpen = NULL;
        SendMessageA(hwnd, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(x, y));
    }
};

TEST_F(ContextMenu, MarksTheDefaultItemAndTheCurrentEdge)
{
    s_readItems = true;
    const UINT edges[] = { ABE_TOP, ABE_LEFT, ABE_BOTTOM, ABE_RIGHT };
    const UINT itemOf[] = { IDM_DOCK_LEFT, IDM_DOCK_TOP, IDM_DOCK_RIGHT, IDM_DOCK_BOTTOM };
    for (UINT uEdge : edges) {
        SCOPED_TRACE(uEdge);
        AppBarSetSide(hwnd, uEdge);
        ASSERT_EQ(st->uEdge, uEdge);
        Snapshot before = Take();
        s_commands = 0;

        Press(10, 12);
        ASSERT_TRUE(s_seen.shown);
        EXPECT_EQ(s_seen.uDefault, (UINT)IDM_DEFAULT_ITEM);
        EXPECT_EQ(s_seen.defaultItem.fState, (UINT)MFS_DEFAULT);
        for (UINT i = 0; i < 4; i++) {
            UINT id = IDM_DOCK_TOP + i;
            SCOPED_TRACE(id);
            if (id == itemOf[uEdge]) {
                EXPECT_EQ(s_seen.items[i].fType, (UINT)(MFT_STRING | MFT_RADIOCHECK));
                EXPECT_EQ(s_seen.items[i].fState, (UINT)MFS_CHECKED);
            } else {
                EXPECT_EQ(s_seen.items[i].fType, (UINT)MFT_STRING);
                EXPECT_EQ(s_seen.items[i].fState, 0u);
            }
        }

        /* The menu's top-left corner at the click point, where the menu fits below and right of it. */
        if (uEdge == ABE_TOP || uEdge == ABE_LEFT) {
            POINT pt = { 10, 12 };
            ClientToScreen(hwnd, &pt);
            EXPECT_EQ(s_seen.rcMenu.left, pt.x);
            EXPECT_EQ(s_seen.rcMenu.top, pt.y);
        }

        /* Closed without a choice: nothing ran. */
        Pump(50);
        EXPECT_EQ(s_commands, 0);
        EXPECT_EQ(Take(), before);
    }
}

/* A close or quit from another program while the menu is open ends the
   menu too, and the menu's loop, which may take the quit message for itself,
   still leaves one for the main loop. */
TEST_F(ContextMenu, CloseOrQuitWhileOpenStillEndsTheLoop)
{
    for (UINT uEndWith : { (UINT)WM_COPYDATA, (UINT)WM_COMMAND }) {
        SCOPED_TRACE(uEndWith);
        s_uEndWith = uEndWith;
        Press(10, 12);
        ASSERT_TRUE(s_seen.shown);
        EXPECT_FALSE(s_seen.openAfterTeardown) << "the menu waited for the user";
        EXPECT_EQ(GetBarState(hwnd), nullptr);
        WPARAM wParam = 99;
        ASSERT_TRUE(QuitPosted(&wParam)) << "no quit message after the teardown";
        EXPECT_EQ(wParam, 0u);
    }
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(ContextMenu, NoMenuOutlivesItsPress)
{
    s_readItems = true;
    Press(10, 12);
    ASSERT_TRUE(s_seen.shown);
    int baseline = CountMenus();
    EXPECT_GT(s_seen.menusWhileOpen, baseline) << "the count sees the loaded menu";

    s_readItems = false;
    for (int i = 0; i < 1000; i++) {
        Press(10 + i % 50, 12);
        ASSERT_TRUE(s_seen.shown) << i;
    }
    EXPECT_EQ(CountMenus(), baseline);
    EXPECT_EQ(s_commands, 0);
    EXPECT_TRUE(IsWindow(hwnd));
}

}
