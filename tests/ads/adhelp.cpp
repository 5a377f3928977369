#include "adhelp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ads/ads.h"
#include "support/barwin.h"

namespace {

/* Winsock is loaded by hand: the test programs link only what the bar links. */
struct Winsock {
    int(WINAPI *pfnStartup)(WORD, WSADATA *);
    SOCKET(WINAPI *pfnSocket)(int, int, int);
    int(WINAPI *pfnConnect)(SOCKET, const sockaddr *, int);
    int(WINAPI *pfnSend)(SOCKET, const char *, int, int);
    int(WINAPI *pfnRecv)(SOCKET, char *, int, int);
    int(WINAPI *pfnSetSockOpt)(SOCKET, int, int, const char *, int);
    int(WINAPI *pfnClose)(SOCKET);
    bool bReady;

    Winsock() : bReady(false)
    {
        HMODULE h = LoadLibraryA("ws2_32.dll");
        if (!h)
            return;
        pfnStartup = (decltype(pfnStartup))(void *)GetProcAddress(h, "WSAStartup");
        pfnSocket = (decltype(pfnSocket))(void *)GetProcAddress(h, "socket");
        pfnConnect = (decltype(pfnConnect))(void *)GetProcAddress(h, "connect");
        pfnSend = (decltype(pfnSend))(void *)GetProcAddress(h, "send");
        pfnRecv = (decltype(pfnRecv))(void *)GetProcAddress(h, "recv");
        pfnSetSockOpt = (decltype(pfnSetSockOpt))(void *)GetProcAddress(h, "setsockopt");
        pfnClose = (decltype(pfnClose))(void *)GetProcAddress(h, "closesocket");
        WSADATA wsa;
        bReady = pfnStartup && pfnSocket && pfnConnect && pfnSend && pfnRecv && pfnSetSockOpt && pfnClose
              && pfnStartup(MAKEWORD(2, 2), &wsa) == 0;
    }
};

Winsock &Sockets()
{
    static Winsock s_ws;
    return s_ws;
}

/* "http://127.0.0.1:8653" from the environment, else the scheme and host the bar was built with. */
std::string ServerBase()
{
    char sz[512];
    DWORD n = GetEnvironmentVariableA("BAR_ADSERVER_URL", sz, sizeof(sz));
    if (n && n < sizeof(sz))
        return sz;
    std::string url = AD_URL_FORMAT;
    return url.substr(0, url.find("/ads/"));
}

bool ParseHostPort(const std::string &base, DWORD *pdwAddr, int *pnPort)
{
    unsigned a, b, c, d, port;
    if (sscanf(base.c_str(), "http://%u.%u.%u.%u:%u", &a, &b, &c, &d, &port) != 5)
        return false;
    *pdwAddr = a | (b << 8) | (c << 16) | (d << 24);
    *pnPort = (int)port;
    return true;
}

std::string LogPath()
{
    char sz[1024];
    DWORD n = GetEnvironmentVariableA("BAR_ADSERVER_LOG", sz, sizeof(sz));
    if (!n || n >= sizeof(sz))
        return "";
    /* A Linux path: Wine shows the root of the Linux tree as drive Z. */
    std::string path = std::string("Z:") + sz;
    for (char &ch : path)
        if (ch == '/')
            ch = '\\';
    return path;
}

std::vector<std::string> LogLines()
{
    std::vector<std::string> lines;
    HANDLE h = CreateFileA(LogPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return lines;
    std::string text;
    char buf[65536];
    DWORD cb;
    while (ReadFile(h, buf, sizeof(buf), &cb, NULL) && cb)
        text.append(buf, cb);
    CloseHandle(h);
    size_t pos = 0, nl;
    /* An unfinished last line is still being written: it counts next time. */
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

}

namespace AdServer {

int Get(const std::string &path, std::string *pBody)
{
    Winsock &ws = Sockets();
    DWORD dwAddr;
    int nPort;
    if (!ws.bReady || !ParseHostPort(ServerBase(), &dwAddr, &nPort))
        return 0;
    SOCKET s = ws.pfnSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return 0;
    DWORD dwTimeout = 5000;
    ws.pfnSetSockOpt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&dwTimeout, sizeof(dwTimeout));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = (u_short)(((nPort & 0xFF) << 8) | ((nPort >> 8) & 0xFF));
    sa.sin_addr.s_addr = dwAddr;
    std::string reply;
    if (ws.pfnConnect(s, (const sockaddr *)&sa, sizeof(sa)) == 0) {
        /* HTTP/1.0: the server closes the connection after its answer. */
        std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (ws.pfnSend(s, req.data(), (int)req.size(), 0) == (int)req.size()) {
            char buf[4096];
            int n;
            while ((n = ws.pfnRecv(s, buf, sizeof(buf), 0)) > 0)
                reply.append(buf, n);
        }
    }
    ws.pfnClose(s);
    int nStatus = 0;
    if (sscanf(reply.c_str(), "HTTP/%*d.%*d %d", &nStatus) != 1)
        return 0;
    if (pBody) {
        size_t end = reply.find("\r\n\r\n");
        *pBody = end == std::string::npos ? "" : reply.substr(end + 4);
    }
    return nStatus;
}

bool SetMode(const char *pszMode, int nAd)
{
    std::string path = std::string("/control/mode?set=") + pszMode;
    if (nAd)
        path += "&ad=" + std::to_string(nAd);
    return Get(path) == 200;
}

bool Reset()
{
    return Get("/control/reset") == 200;
}

Log::Log() : m_nStart(LogLines().size()) {}

void Log::Mark()
{
    m_nStart = LogLines().size();
}

std::vector<Request> Log::Requests() const
{
    std::vector<Request> reqs;
    std::vector<std::string> lines = LogLines();
    for (size_t i = m_nStart; i < lines.size(); i++) {
        char szKind[16], szPath[512];
        int nStatus;
        if (sscanf(lines[i].c_str(), "%*s %15s %511s %d", szKind, szPath, &nStatus) == 3
            && strcmp(szKind, "GET") == 0)
            reqs.push_back({ szPath, nStatus });
    }
    return reqs;
}

std::vector<int> Log::Ads() const
{
    std::vector<int> ads;
    for (const Request &r : Requests()) {
        int n;
        char chEnd;
        if (sscanf(r.path.c_str(), "/ads/vtl_%d.a%c", &n, &chEnd) == 2 && chEnd == 'd'
            && r.path == "/ads/vtl_" + std::to_string(n) + ".ad")
            ads.push_back(n);
        else
            ads.push_back(-1);
    }
    return ads;
}

}

int GdiObjectCount()
{
    int n = 0;
    for (ULONG_PTR i = 0x20; i <= 0xFFFF; i++)
        if (GetObjectType((HGDIOBJ)i))
            n++;
    return n;
}

static HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

HWND StartBarWithoutRefresh()
{
    ImportPatch noThread("kernel32.dll", "CreateThread", (void *)NoThread);
    return StartBar();
}

std::string AdUrl(int nAd)
{
    char sz[AD_URL_SIZE];
    snprintf(sz, sizeof(sz), AD_URL_FORMAT, nAd);
    return sz;
}

std::string ColourText(COLORREF cr)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "(%d,%d,%d)", GetRValue(cr), GetGValue(cr), GetBValue(cr));
    return sz;
}

FakePicture::FakePicture(LONG w, LONG h) : hmWidth(w), hmHeight(h) {}

STDMETHODIMP FakePicture::QueryInterface(REFIID riid, void **ppv)
{
    if (riid == IID_IUnknown || riid == IID_IPicture) {
        *ppv = static_cast<IPicture *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP FakePicture::get_hPal(OLE_HANDLE *p)
{
    nPalCalls++;
    *p = (OLE_HANDLE)(UINT_PTR)hPal;
    return hrPal;
}

STDMETHODIMP FakePicture::get_Attributes(DWORD *p)
{
    nAttributeCalls++;
    *p = dwAttributes;
    return hrAttributes;
}

STDMETHODIMP FakePicture::Render(HDC hdc, LONG x, LONG y, LONG cx, LONG cy, OLE_XPOS_HIMETRIC xSrc,
                                 OLE_YPOS_HIMETRIC ySrc, OLE_XSIZE_HIMETRIC cxSrc, OLE_YSIZE_HIMETRIC cySrc,
                                 LPCRECT prcBounds)
{
    RenderCall call = {};
    call.hdc = hdc;
    call.x = x, call.y = y, call.cx = cx, call.cy = cy;
    call.xSrc = xSrc, call.ySrc = ySrc, call.cxSrc = cxSrc, call.cySrc = cySrc;
    call.bHasBounds = prcBounds != nullptr;
    if (prcBounds)
        call.rcBounds = *prcBounds;
    call.nDcType = (int)GetObjectType(hdc);
    call.hPalInDc = (HPALETTE)GetCurrentObject(hdc, OBJ_PAL);
    if (call.nDcType == OBJ_MEMDC) {
        call.hBitmap = (HBITMAP)GetCurrentObject(hdc, OBJ_BITMAP);
        BITMAP bm = {};
        if (GetObjectA(call.hBitmap, sizeof(bm), &bm))
            call.sizeBitmap = { bm.bmWidth, bm.bmHeight };
    }
    renders.push_back(call);

    RECT rc = { x, y, x + cx, y + cy };
    HBRUSH hbr = CreateSolidBrush(crFill);
    FillRect(hdc, &rc, hbr);
    DeleteObject(hbr);
    return S_OK;
}

HeldPicture::HeldPicture(IPicture *pPicture, LONG hmWidth, LONG hmHeight, int cx, int cy)
{
    g_AdPicture.pPicture = pPicture;
    g_AdPicture.hmWidth = hmWidth;
    g_AdPicture.hmHeight = hmHeight;
    g_AdPicture.cxPixels = cx;
    g_AdPicture.cyPixels = cy;
    g_AdPicture.lpszSource = "http://test/ads/vtl_1.ad";
}

HeldPicture::~HeldPicture()
{
    ZeroMemory(&g_AdPicture, sizeof(g_AdPicture));
}
