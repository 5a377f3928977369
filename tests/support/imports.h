#ifndef TESTS_SUPPORT_IMPORTS_H
#define TESTS_SUPPORT_IMPORTS_H

#include <windows.h>

/* Swaps an entry of this program's import table, so the bar's own calls to a
   system function reach a test double instead. Returns the previous entry,
   or NULL when the program does not import that function. */
void *PatchImport(const char *pszDll, const char *pszFunc, void *pvNew);

/* Restores the entry when it goes out of scope. */
class ImportPatch {
public:
    ImportPatch(const char *pszDll, const char *pszFunc, void *pvNew)
        : m_pszDll(pszDll), m_pszFunc(pszFunc), m_pvOld(PatchImport(pszDll, pszFunc, pvNew)) {}
    ~ImportPatch() { if (m_pvOld) PatchImport(m_pszDll, m_pszFunc, m_pvOld); }
    template <class F> F Original() const { return reinterpret_cast<F>(m_pvOld); }
    bool Patched() const { return m_pvOld != nullptr; }
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;
private:
    const char *m_pszDll;
    const char *m_pszFunc;
    void *m_pvOld;
};

#endif
