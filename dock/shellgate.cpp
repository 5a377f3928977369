#include "dock/shellgate.h"

UINT_PTR AppBarMessage(DWORD dwMessage, PAPPBARDATA pabd)
{
    return SHAppBarMessage(dwMessage, pabd);
}
