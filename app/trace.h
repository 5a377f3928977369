#ifndef APP_TRACE_H
#define APP_TRACE_H

#include <windows.h>

/* The line numbers the error boxes name. Support staff match them against
   reports from the field, so they stay fixed whatever the source layout. */
enum ErrorLine {
    ERRLINE_INIT_COM        = 150,
    ERRLINE_REGISTER_CLASS  = 164,
    ERRLINE_CREATE_WINDOW   = 243,
    ERRLINE_SET_AUTOHIDE    = 508,
    ERRLINE_CLEAR_AUTOHIDE  = 586
};

extern HINSTANCE g_hAppInstance;

int TraceOut(const char *lpszFormat, ...);
void ReportError(int nLine, const char *lpszModule);

#endif
