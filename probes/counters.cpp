#include "probes/counters.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <vector>

static int CountKernelHandles()
{
    /* The system's handle table (information class 16): a count, then an entry for every handle of every process. */
    struct Entry {
        USHORT uProcessId, uBackTrace;
        UCHAR uType, uAttributes;
        USHORT uValue;
        PVOID pvObject;
        ULONG ulAccess;
    };
    struct Table {
        ULONG ulCount;
        Entry entries[1];
    };
    typedef LONG(WINAPI * PFN)(ULONG, PVOID, ULONG, PULONG);
    PFN pfn = (PFN)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    std::vector<BYTE> buf(1 << 18);
    ULONG cbNeeded = 0;
    LONG status = -1;
    while (pfn && (status = pfn(16, buf.data(), (ULONG)buf.size(), &cbNeeded)) == (LONG)0xC0000004 /* too small */)
        buf.resize(std::max<size_t>(buf.size() * 2, cbNeeded + 65536));
    if (!pfn || status < 0)
        return -1;
    const Table *pTable = (const Table *)buf.data();
    int n = 0;
    for (ULONG i = 0; i < pTable->ulCount; i++)
        n += pTable->entries[i].uProcessId == (USHORT)GetCurrentProcessId();
    return n;
}

ResourceCounts CountResources(void)
{
    ResourceCounts counts = { 0, 0, CountKernelHandles(), -1 };
    /* Both tables are per process and indexed by the handle's low word, and a
       handle with a zero high word finds the object whatever its generation. */
    for (ULONG_PTR i = 0x20; i <= 0xFFFF; i++)
        counts.nGdi += GetObjectType((HGDIOBJ)i) != 0;
    /* Window-system handles are even; the odd value beside one names the same menu. */
    for (ULONG_PTR i = 0x20; i <= 0xFFFE; i += 2)
        counts.nMenus += IsMenu((HMENU)i) != FALSE;
    PROCESS_MEMORY_COUNTERS pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc)))
        counts.dWorkingSetMb = pmc.WorkingSetSize / 1048576.0;
    return counts;
}
