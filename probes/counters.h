#ifndef PROBES_COUNTERS_H
#define PROBES_COUNTERS_H

/* What this process holds. GetGuiResources and GetProcessHandleCount answer 0
   under Wine, so the counts come from walking the handle tables; a count that
   cannot be taken is -1. */
struct ResourceCounts { int nGdi; int nMenus; int nHandles; double dWorkingSetMb; };
ResourceCounts CountResources(void);   /* this process: GDI objects (all types), menus, kernel handles, working set */

#endif
