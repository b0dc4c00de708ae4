// The registry call through which RegConfigAccess closes its key; tests
// put in their own to see every close and make one fail.
#pragma once

#include <windows.h>

namespace dbglog::detail {

using RegCloseKeyFunction = LONG(WINAPI*)(HKEY key);
extern RegCloseKeyFunction g_regCloseKey;

}  // namespace dbglog::detail
