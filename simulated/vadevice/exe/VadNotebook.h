// The simulated notebook's part outside the driver: registering the posture
// indicators' device interfaces with SetupDi (so that enumeration with
// DIGCF_PRESENT finds them), finding them as the posture service does, and
// the keyboard list under HKLM "SYSTEM\CurrentControlSet\Services\kbdclass\Enum".
// Functions return 0 or the system error.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "VadSimControl.h"

namespace vadsim {

inline constexpr const wchar_t kKeyboardListKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\kbdclass\\Enum";
inline constexpr const wchar_t kKeyboardServiceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\kbdclass";
inline constexpr const wchar_t kDeviceClassesKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses";
inline constexpr const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum";

const GUID& IndicatorGuid(ULONG indicator);
// "slate" or "dock" (any case); false for anything else.
bool ParseIndicator(const std::string& text, ULONG* indicator);

// Creates the indicator's root device (IndicatorNames::instanceId) and its
// interface, and marks the interface linked. Again on an installed indicator:
// nothing changes.
DWORD InstallIndicator(ULONG indicator);
// Removes the device, its interface and their registry keys; 0 also when
// there is nothing to remove.
DWORD UninstallIndicator(ULONG indicator);
// Sets the interface's "Linked" flag: cleared, enumeration with DIGCF_PRESENT
// no longer lists it. ERROR_FILE_NOT_FOUND when it is not installed.
DWORD SetIndicatorLinked(ULONG indicator, bool linked);

// The device path of the first present interface of the class (SetupDi
// enumeration with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, index 0); empty
// with the error when there is none.
std::wstring FindInterfacePath(const GUID& interfaceClass, DWORD* error = nullptr);

// The instance id a keyboard with these ids gets in the list, numbered index.
std::wstring KeyboardInstanceId(ULONG vendor, ULONG product, ULONG index);
// Appends a keyboard: value "Count" becomes n + 1 and value "n" its instance
// id. Creates the key when it is missing.
DWORD AddKeyboard(ULONG vendor, ULONG product);
// No keyboards: every value goes and "Count" is 0.
DWORD ClearKeyboards();
// The instance ids listed, in order.
DWORD ListKeyboards(std::vector<std::wstring>* ids);
// Deletes the list's key (and the kbdclass key when nothing else is in it).
DWORD RemoveKeyboardList();

}  // namespace vadsim
