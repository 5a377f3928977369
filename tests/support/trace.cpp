#include "support/trace.h"

#include <windows.h>

#include "support/imports.h"
#include "support/msglog.h"

static std::vector<std::string> s_lines;
static void *s_pvOriginal;

static void WINAPI CaptureOutputDebugStringA(LPCSTR lpszText)
{
    std::string line = lpszText ? lpszText : "";
    s_lines.push_back(line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    EventLog::Add("trace:" + line);
}

TraceCapture::TraceCapture()
{
    s_lines.clear();
    s_pvOriginal = PatchImport("kernel32.dll", "OutputDebugStringA", (void *)CaptureOutputDebugStringA);
}

TraceCapture::~TraceCapture()
{
    if (s_pvOriginal)
        PatchImport("kernel32.dll", "OutputDebugStringA", s_pvOriginal);
}

const std::vector<std::string> &TraceCapture::Lines() const { return s_lines; }

bool TraceCapture::Has(const std::string &line) const
{
    for (const std::string &l : s_lines)
        if (l == line)
            return true;
    return false;
}

std::vector<std::string> TraceCapture::Starting(const std::string &prefix) const
{
    std::vector<std::string> out;
    for (const std::string &l : s_lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            out.push_back(l);
    return out;
}

void TraceCapture::Clear() { s_lines.clear(); }
