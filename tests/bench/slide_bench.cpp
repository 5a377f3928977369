/* Slide benchmark: the real duration of hiding and showing slides and the
   number of window positions each one shows, median of 20, at the top and
   the left edge (model shell). Prints figures; asserts nothing. */
#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "app/app.h"
#include "bar/bar.h"
#include "dock/appbar.h"
#include "support/barwin.h"
#include "support/imports.h"

namespace {

const int kRuns = 20;

int s_positions;     /* moves the window really made */
int s_placements;    /* SetWindowPos calls, moving or not */
WNDPROC s_barProc;
void *s_realSetWindowPos;

BOOL WINAPI CountSetWindowPos(HWND hwnd, HWND hwndAfter, int x, int y, int cx, int cy, UINT uFlags)
{
    s_placements++;
    return ((decltype(&CountSetWindowPos))s_realSetWindowPos)(hwnd, hwndAfter, x, y, cx, cy, uFlags);
}

LRESULT CALLBACK CountProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_WINDOWPOSCHANGED && !(((const WINDOWPOS *)lParam)->flags & SWP_NOMOVE))
        s_positions++;
    return CallWindowProcA(s_barProc, hwnd, uMsg, wParam, lParam);
}

struct Series {
    std::vector<double> ms;
    std::vector<double> positions;
    std::vector<double> placements;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Print(const char *what, const char *unit, const std::vector<double> &v)
{
    printf("    %-22s median %7.1f %s (min %.1f, max %.1f)\n", what, Median(v), unit,
           *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
}

void Print(const char *what, const Series &s)
{
    printf("  %s\n", what);
    Print("duration", "ms", s.ms);
    Print("window positions", "", s.positions);
    Print("SetWindowPos calls", "", s.placements);
}

template <class F> void Measure(Series *s, F slide)
{
    s_positions = 0;
    s_placements = 0;
    double t0 = NowMs();
    slide();
    s->ms.push_back(NowMs() - t0);
    s->positions.push_back(s_positions);
    s->placements.push_back(s_placements);
}

void Bench(HWND hwnd, const char *edgeName)
{
    Series hide, show;
    for (int i = 0; i < kRuns; i++) {
        Measure(&hide, [hwnd] { AppBarHide(hwnd); });
        Measure(&show, [hwnd] { AppBarUnhide(hwnd); });
    }
    RECT rc = g_rcBar;
    printf("%s edge, bar %ldx%ld, sliver 2 pixels, %d slides each way\n", edgeName, (long)(rc.right - rc.left),
           (long)(rc.bottom - rc.top), kRuns);
    Print("hide (400 ms)", hide);
    Print("show (200 ms)", show);
}

}

int main()
{
    HWND hwnd = StartBar();
    if (!hwnd) {
        fprintf(stderr, "slide_bench: the bar did not start\n");
        return 1;
    }
    s_barProc = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)CountProc);
    s_realSetWindowPos = PatchImport("user32.dll", "SetWindowPos", (void *)CountSetWindowPos);
    if (!s_realSetWindowPos)
        return 1;
    Pump(100);
    CreatePlainWindow("other", 300, 300, 200, 100);
    Pump(100);

    if (!AppBarSetAutoHide(hwnd, TRUE))
        return 1;
    Bench(hwnd, "top");

    AppBarSetSide(hwnd, ABE_LEFT);
    Bench(hwnd, "left");
    fflush(stdout);
    return 0;
}
