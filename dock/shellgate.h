#ifndef DOCK_SHELLGATE_H
#define DOCK_SHELLGATE_H

#include <windows.h>
#include <shellapi.h>

/* Every request to the shell's desktop-toolbar service passes through here,
   so a stand-in for the service can be linked in its place. */
UINT_PTR AppBarMessage(DWORD dwMessage, PAPPBARDATA pabd);

#endif
