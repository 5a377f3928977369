#include "app/trace.h"

#include <stdarg.h>
#include <stdio.h>

#define TRACE_BUFFER_SIZE   512
#define CAPTION_SIZE        256
#define LANG_EN_US          MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)   /* 1033 */
#define LANG_USERS_CHOICE   0   /* FormatMessage's own order: neutral, thread, user, system */

HINSTANCE g_hAppInstance;

int TraceOut(const char *lpszFormat, ...)
{
    char szBuffer[TRACE_BUFFER_SIZE];
    va_list args;

    va_start(args, lpszFormat);
    int n = _vsnprintf(szBuffer, sizeof(szBuffer) - 1, lpszFormat, args);
    va_end(args);
    szBuffer[sizeof(szBuffer) - 1] = '\0';      /* _vsnprintf leaves a cut text unterminated */

    OutputDebugStringA(szBuffer);
    return n;
}

static LPSTR SystemText(DWORD dwError, DWORD dwLanguage)
{
    LPSTR lpszText = NULL;
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                        NULL, dwError, dwLanguage, (LPSTR)&lpszText, 0, NULL))
        return NULL;
    return lpszText;
}

void ReportError(int nLine, const char *lpszModule)
{
    char szCaption[CAPTION_SIZE];
    DWORD dwError = GetLastError();

    /* Support reads English texts best, but a Windows without English system
       messages must still say what went wrong. */
    LPSTR lpszText = SystemText(dwError, LANG_EN_US);
    if (!lpszText)
        lpszText = SystemText(dwError, LANG_USERS_CHOICE);
    if (lpszText) {
        _snprintf(szCaption, sizeof(szCaption) - 1, "Generic, Line=%d, File=%s", nLine, lpszModule);
        szCaption[sizeof(szCaption) - 1] = '\0';
        MessageBoxA(NULL, lpszText, szCaption, MB_ICONWARNING | MB_OK);
        LocalFree(lpszText);
        return;
    }

    _snprintf(szCaption, sizeof(szCaption) - 1,
              "An error occured calling FormatMessage().Error Code %d", (int)GetLastError());
    szCaption[sizeof(szCaption) - 1] = '\0';
    MessageBoxA(NULL, szCaption, "Generic", MB_ICONWARNING | MB_OK);
}
