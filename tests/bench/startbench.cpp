/* startbench: how long the bar takes from the start of its process to its
   first ad on screen, beside the bare window program started the same way.

     startbench BAR_EXE BARE_EXE [ROUNDS]

   Each round starts the bar and then the bare program (CreateProcess, no
   start-up information), and watches two moments from here: the pixel of ad 1
   that the benchmark knows (banner column 100, row 10, on a 1024-pixel-wide
   screen) turning the ad's colour on the screen, which the bare program
   paints in the same colour at the same spot; and the moment the process
   first waits for input (WaitForInputIdle). Each program is then closed with
   WM_COPYDATA and waited for. Prints the medians and their ratio, and one
   "RESULT" line. The sample ad server must be running in its normal mode. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const COLORREF kAdColour = RGB(208, 37, 37);
const int kBannerWidth = 468;

LARGE_INTEGER g_qpf;

double NowMs()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)g_qpf.QuadPart;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool Near(COLORREF a, COLORREF b)
{
    return abs(GetRValue(a) - GetRValue(b)) <= 8 && abs(GetGValue(a) - GetGValue(b)) <= 8
        && abs(GetBValue(a) - GetBValue(b)) <= 8;
}

struct IdleWait {
    HANDLE hProcess;
    double tIdle;
};

DWORD WINAPI WaitIdle(LPVOID lpParam)
{
    IdleWait *w = (IdleWait *)lpParam;
    w->tIdle = WaitForInputIdle(w->hProcess, 60000) == 0 ? NowMs() : -1;
    return 0;
}

struct Run {
    double msOnScreen;
    double msIdle;
    DWORD dwExit;
};

/* Starts the program, watches for its first picture and its first wait, closes it. */
bool Start(const char *pszExe, const char *pszClass, Run *pRun)
{
    std::string cmd = std::string("\"") + pszExe + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    double t0 = NowMs();
    if (!CreateProcessA(pszExe, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    IdleWait idle = { pi.hProcess, -1 };
    HANDLE hIdle = CreateThread(NULL, 0, WaitIdle, &idle, 0, NULL);

    HDC hdcScreen = GetDC(NULL);
    HWND hwnd = NULL;
    POINT pt = { 0, 0 };
    double tOnScreen = -1;
    while (NowMs() - t0 < 60000 && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
        if (!hwnd && (hwnd = FindWindowA(pszClass, NULL)) != NULL) {
            pt.x = GetSystemMetrics(SM_CXSCREEN) / 2 - kBannerWidth / 2 + 100;
            pt.y = 10;
            ClientToScreen(hwnd, &pt);
        }
        if (hwnd && Near(GetPixel(hdcScreen, pt.x, pt.y), kAdColour)) {
            tOnScreen = NowMs();
            break;
        }
        Sleep(1);
    }
    ReleaseDC(NULL, hdcScreen);
    WaitForSingleObject(hIdle, 60000);
    CloseHandle(hIdle);

    if (hwnd) {
        COPYDATASTRUCT cds = { 0, 0, NULL };
        DWORD_PTR dwResult;
        SendMessageTimeoutA(hwnd, WM_COPYDATA, 0, (LPARAM)&cds, SMTO_NORMAL, 10000, &dwResult);
    }
    if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 99);
    DWORD dwExit = 99;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    pRun->msOnScreen = tOnScreen < 0 ? -1 : tOnScreen - t0;
    pRun->msIdle = idle.tIdle < 0 ? -1 : idle.tIdle - t0;
    pRun->dwExit = dwExit;
    return tOnScreen >= 0;
}

}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: startbench BAR_EXE BARE_EXE [ROUNDS]\n");
        return 1;
    }
    int nRounds = argc > 3 ? atoi(argv[3]) : 11;
    QueryPerformanceFrequency(&g_qpf);
    setvbuf(stdout, NULL, _IONBF, 0);

    std::vector<double> barScreen, barIdle, bareScreen, bareIdle;
    int nFailed = 0;
    /* One unmeasured round each: the first start of a program loads what later ones find cached. */
    for (int i = -1; i < nRounds; i++) {
        Run bar, bare;
        bool bBar = Start(argv[1], "VantorelAdBar", &bar);
        bool bBare = Start(argv[2], "VantorelBareWindow", &bare);
        printf("  round %2d: bar %7.1f ms on screen, %7.1f ms to input idle, exit %lu; "
               "bare %7.1f ms on screen, %7.1f ms to input idle, exit %lu\n",
               i, bar.msOnScreen, bar.msIdle, (unsigned long)bar.dwExit, bare.msOnScreen, bare.msIdle,
               (unsigned long)bare.dwExit);
        if (!bBar || !bBare || bar.dwExit || bare.dwExit) {
            nFailed++;
            continue;
        }
        if (i < 0)
            continue;
        barScreen.push_back(bar.msOnScreen);
        barIdle.push_back(bar.msIdle);
        bareScreen.push_back(bare.msOnScreen);
        bareIdle.push_back(bare.msIdle);
    }
    double mBar = Median(barScreen), mBare = Median(bareScreen);
    printf("start to first picture on screen, median of %zu rounds:\n", barScreen.size());
    printf("  bar (first ad)        %8.1f ms\n", mBar);
    printf("  bare window program   %8.1f ms\n", mBare);
    printf("  ratio                 %8.2f\n", mBare > 0 ? mBar / mBare : 0);
    printf("start to first wait for input, median:\n");
    printf("  bar                   %8.1f ms\n", Median(barIdle));
    printf("  bare window program   %8.1f ms\n", Median(bareIdle));
    printf("RESULT startup rounds=%zu bar_ms=%.1f bare_ms=%.1f ratio=%.2f bar_idle_ms=%.1f bare_idle_ms=%.1f "
           "failed=%d\n",
           barScreen.size(), mBar, mBare, mBare > 0 ? mBar / mBare : 0, Median(barIdle), Median(bareIdle), nFailed);
    return nFailed ? 2 : 0;
}
