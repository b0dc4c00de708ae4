// What the radio service needs of the system: the radio managers' COM
// classes, the sleeps of the rebuild schedule, the named event
// "OnRadiOChange", the value-added device's LED register, the "LEDSTATE"
// value, and the service control manager and window calls of the host. The
// program uses the Win32 environment; tests put in their own (virtual clock,
// simulated managers created in-process, recorded writes).
#pragma once

#include "RadioInterfaces.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <memory>

namespace radio {

// One register exchange with the value-added device ("\\.\HWPLZ"): open while
// the object lives.
class RegisterChannel {
public:
    virtual ~RegisterChannel() = default;
    // Writes register 0x56 with the input words {0xFF00, 0x56, value2, value3,
    // 0, 0}; failures are logged by the channel and not reported.
    virtual void WriteRegister56(ULONG value2, ULONG value3) = 0;
};

class RadioEnvironment {
public:
    virtual ~RadioEnvironment() = default;

    // --- radio work
    // CoCreateInstance of the class as an in-process server, IID_IMediaRadioManager.
    virtual HRESULT CreateRadioManager(const CLSID& classId, IMediaRadioManager** manager) = 0;
    // Sleeps for milliseconds unless wake is signalled first; true when woken.
    virtual bool SleepUnlessWoken(DWORD milliseconds, HANDLE wake) = 0;
    // Opens or creates the auto-reset event "OnRadiOChange"; null on failure.
    virtual nrv::UniqueHandle OpenChangeEvent() = 0;
    virtual std::unique_ptr<RegisterChannel> OpenRegisterChannel() = 0;
    // Opens HKLM "SYSTEM\CurrentControlSet\Services\keyhub\Parameters" (never
    // creates it), sets the REG_DWORD "LEDSTATE" and closes the key: the
    // HRESULT of the first step that failed, or S_OK.
    virtual HRESULT StoreLedState(DWORD value) = 0;

    // --- service host
    virtual SERVICE_STATUS_HANDLE RegisterControlHandler(LPHANDLER_FUNCTION_EX handler) = 0;
    virtual void ReportServiceStatus(SERVICE_STATUS_HANDLE handle,
                                     const SERVICE_STATUS& status) = 0;
    // Device-interface notifications of the class for the service; null and
    // the thread's last error on failure.
    virtual HDEVNOTIFY RegisterInterfaceNotification(SERVICE_STATUS_HANDLE recipient,
                                                     const GUID& interfaceClass) = 0;
    virtual void UnregisterInterfaceNotification(HDEVNOTIFY notification) = 0;
    // The hidden notify window of the registered class "NRVRadioSvc_CLASS".
    virtual HWND CreateNotifyWindow(HINSTANCE instance) = 0;
    virtual HPOWERNOTIFY RegisterSuspendResume(HWND window) = 0;
    virtual void UnregisterSuspendResume(HPOWERNOTIFY notification) = 0;
};

// The real one.
RadioEnvironment& Win32RadioEnvironment();

// Puts in the environment the service uses; null puts the Win32 one back.
// Returns the one used before.
RadioEnvironment* SetRadioEnvironment(RadioEnvironment* environment);
RadioEnvironment& CurrentRadioEnvironment();

}  // namespace radio
