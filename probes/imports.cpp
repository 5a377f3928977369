#include "probes/imports.h"

#include <windows.h>
#include <string.h>

void *PatchImport(const char *pszDll, const char *pszFunc, void *pvNew)
{
    BYTE *pBase = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *pNt = (IMAGE_NT_HEADERS *)(pBase + ((IMAGE_DOS_HEADER *)pBase)->e_lfanew);
    DWORD rva = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (IMAGE_IMPORT_DESCRIPTOR *pImp = (IMAGE_IMPORT_DESCRIPTOR *)(pBase + rva); rva && pImp->Name; pImp++) {
        if (_stricmp((const char *)(pBase + pImp->Name), pszDll) != 0)
            continue;
        IMAGE_THUNK_DATA *pName = (IMAGE_THUNK_DATA *)(pBase + pImp->OriginalFirstThunk);
        IMAGE_THUNK_DATA *pAddr = (IMAGE_THUNK_DATA *)(pBase + pImp->FirstThunk);
        for (; pName->u1.AddressOfData; pName++, pAddr++) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal) ||
                strcmp((const char *)((IMAGE_IMPORT_BY_NAME *)(pBase + pName->u1.AddressOfData))->Name, pszFunc))
                continue;
            DWORD dwOld;
            void *pvOld = (void *)pAddr->u1.Function;
            VirtualProtect(&pAddr->u1.Function, sizeof(void *), PAGE_READWRITE, &dwOld);
            pAddr->u1.Function = (ULONG_PTR)pvNew;
            VirtualProtect(&pAddr->u1.Function, sizeof(void *), dwOld, &dwOld);
            return pvOld;
        }
    }
    return NULL;
}
