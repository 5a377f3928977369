#ifndef TESTS_APP_APPHELP_H
#define TESTS_APP_APPHELP_H

#include <windows.h>
#include <string>

#include "support/imports.h"

/* The system's US-English text for an error code, as the error box should show it. */
inline std::string SystemText(DWORD dwCode)
{
    LPSTR psz = nullptr;
    std::string text;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, dwCode,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPSTR)&psz, 0, nullptr) && psz) {
        text = psz;
        LocalFree(psz);
    }
    return text;
}

/* Watches the bar's HeapFree calls for one block. The block is not given
   back but overwritten with a pattern, so a later write through a stale
   pointer shows as a changed pattern instead of going unnoticed. */
class HeapFreeWatch {
public:
    explicit HeapFreeWatch(void *pvBlock, size_t cb)
        : m_patch("kernel32.dll", "HeapFree", (void *)Fake)
    {
        s_pvBlock = pvBlock;
        s_cb = cb;
        s_nFrees = 0;
        s_nOther = 0;
        s_pfnOrig = m_patch.Original<BOOL(WINAPI *)(HANDLE, DWORD, LPVOID)>();
    }
    int Frees() const { return s_nFrees; }
    int OtherFrees() const { return s_nOther; }
    bool Intact() const
    {
        for (size_t i = 0; i < s_cb; i++)
            if (((const BYTE *)s_pvBlock)[i] != kPoison)
                return false;
        return true;
    }

private:
    static constexpr BYTE kPoison = 0xDD;
    static BOOL WINAPI Fake(HANDLE hHeap, DWORD dwFlags, LPVOID pv)
    {
        if (pv && pv == s_pvBlock) {
            if (++s_nFrees == 1)
                memset(pv, kPoison, s_cb);
            return TRUE;
        }
        s_nOther++;
        return s_pfnOrig(hHeap, dwFlags, pv);
    }
    ImportPatch m_patch;
    static inline void *s_pvBlock;
    static inline size_t s_cb;
    static inline int s_nFrees;
    static inline int s_nOther;
    static inline BOOL(WINAPI *s_pfnOrig)(HANDLE, DWORD, LPVOID);
};

#endif
