// The real posture service key under HKEY_LOCAL_MACHINE, for the tests that
// use it (they hold the ctest lock "posture-registry").
#pragma once

#include "MachineConfig.h"

#include <windows.h>

namespace posturetest {

// Deletes the key, and its parents when nothing else lives in them.
inline void DeletePostureKey() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPostureServiceKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPostureServiceKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NORVALE\\NORVALE System Driver");
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NORVALE");
}

}  // namespace posturetest
