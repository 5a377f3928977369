#ifndef PROBES_IMPORTS_H
#define PROBES_IMPORTS_H

/* Points an entry of this program's import table elsewhere, so that the bar's
   own calls to a system function come there; returns the entry it replaced,
   or NULL when the program imports no such function. */
void *PatchImport(const char *pszDll, const char *pszFunc, void *pvNew);

#endif
