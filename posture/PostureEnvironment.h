// What the posture service and its dock workers need of the system: the
// clock, Windows' indicators and system metrics, the firmware's value-added
// device, the keyboard list and the service control manager. The program
// uses the Win32 environment; tests put in their own (virtual clock,
// scripted firmware, fake metrics and indicators).
#pragma once

#include "UniqueHandle.h"
#include "VadChannel.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace posture {

// HKLM "SYSTEM\CurrentControlSet\Services\kbdclass\Enum", opened for querying.
class KeyboardList {
public:
    virtual ~KeyboardList() = default;
    // The 32-bit "Count".
    virtual bool QueryCount(DWORD& count) = 0;
    // The instance path stored under the value name: its size, then the value.
    virtual bool QueryInstancePath(const wchar_t* name, std::wstring& path) = 0;
};

// A pending change notification on the keyboard list; destroying it closes
// the key it was asked on.
class KeyboardWatch {
public:
    virtual ~KeyboardWatch() = default;
};

enum class DockWorker {
    Standard,  // DockStatusThread: the firmware's docking or posture method
    PidVid,    // DockStatusThread_PIDVID: the keyboard list
};

class PostureEnvironment {
public:
    virtual ~PostureEnvironment() = default;

    virtual void Sleep(DWORD milliseconds) = 0;

    // SM_CONVERTIBLESLATEMODE (0: slate) or SM_SYSTEMDOCKED (non-zero: docked).
    virtual int GetSystemMetrics(int index) = 0;
    // The path of the first present device interface of the class; none when
    // there is none (GetDevicePath).
    virtual std::optional<std::wstring> FindDeviceInterface(const GUID& interfaceClass) = 0;
    // Opens the indicator for writing, unshared and existing, and writes one
    // byte of 0; false when either step fails.
    virtual bool WriteIndicator(const std::wstring& path) = 0;

    // A firmware method through the value-added method device.
    virtual MethodOutcome EvaluateMethod(const char (&methodName)[5], ULONG& result) = 0;
    // Opens and closes the value-added event device: whether it is there.
    virtual bool EventDevicePresent() = 0;
    // One firmware event wait (ended also by the stop event).
    virtual bool WaitFirmwareEvent(ULONG eventCode) = 0;
    virtual bool StartWorkaroundThread() = 0;
    virtual void RunWorkaroundSequence() = 0;

    // The list opened for querying; null when the key cannot be opened.
    virtual std::unique_ptr<KeyboardList> OpenKeyboardList() = 0;
    // Opens the list's key for notification and asks for one asynchronous
    // notification of any change below it on changeEvent; null when either
    // fails.
    virtual std::unique_ptr<KeyboardWatch> WatchKeyboardList(HANDLE changeEvent) = 0;
    // Waits without time limit; false when the wait fails.
    virtual bool WaitForEvent(HANDLE event) = 0;
    // Signals an event of the service (the control handler's stop).
    virtual void SignalEvent(HANDLE event) = 0;

    // Opens the service control manager and the posture service with the
    // right to delete it and deletes it; false when either cannot be opened.
    virtual bool DeleteService() = 0;
    virtual void RegisterControlHandler() = 0;
    virtual void ReportServiceStatus(const SERVICE_STATUS& status) = 0;
    // A new event; named events are shared with other processes and threads
    // that open them by name.
    virtual nrv::UniqueHandle CreateServiceEvent(const wchar_t* name, bool manualReset) = 0;
    // Starts a worker thread that is never joined; false when it cannot start.
    virtual bool StartDockWorker(DockWorker worker) = 0;
};

// The real one.
PostureEnvironment& Win32PostureEnvironment();

// Puts in the environment the service and the workers use; null puts the
// Win32 one back. Returns the one used before.
PostureEnvironment* SetPostureEnvironment(PostureEnvironment* environment);
PostureEnvironment& CurrentPostureEnvironment();

}  // namespace posture
