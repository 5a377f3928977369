#include <gtest/gtest.h>

#include "app/app.h"
#include "bar/bar.h"
#include "support/barwin.h"
#include "support/trace.h"

TEST(Startup, CreatesDockedHiddenThenShownBar)
{
    TraceCapture trace;
    HWND hwnd = StartBar();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(IsWindowVisible(hwnd));
    RECT rc = WindowRect(hwnd);
    EXPECT_EQ(rc, (RECT{ 0, 0, ScreenW(), 75 }));
    BarState *pState = GetBarState(hwnd);
    ASSERT_NE(pState, nullptr);
    EXPECT_EQ(pState->cyHeight, 75);
}
