// User-mode side of the simulated device's control channel, for vadctl and
// the tests: one open handle to "\\.\NrvVadSimControl" and a function per
// control request.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "UniqueHandle.h"
#include "VadSimControl.h"

namespace vadsim {

class ControlChannel {
public:
    // Opens the control device; Open() is false when the driver is not loaded.
    ControlChannel();
    bool Open() const { return m_device.valid(); }
    // The system error of the last failed open or request.
    DWORD Error() const { return m_error; }

    // One control request; false (and Error()) when it fails.
    bool Send(ULONG code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
              DWORD* returned = nullptr);

    bool Reset();
    bool SetRegister(const RegisterScript& script);
    bool SetIdentity(ULONG manufacturer, ULONG machine);
    bool SetIdentityUnavailable();
    bool SetMethod(ULONG name, ULONG result);
    bool FailMethod(ULONG name);
    // The method succeeds with a reply that ends before its result word.
    bool ShortMethodReply(ULONG name, ULONG result);
    bool RemoveMethod(ULONG name);
    bool SetPolled(const PolledScript& script);
    bool FailOpens(ULONG device, ULONG count);
    bool SetPresent(ULONG device, bool present);
    bool FailRequests(ULONG kind, ULONG count);
    bool SetEventMode(ULONG mode, ULONG value = vad::kNoEvent);
    // Completes the waits for code; result (optional) tells how many.
    bool Raise(ULONG code, ULONG value, ULONG flags = 0, RaiseResult* result = nullptr);
    bool QueryState(DeviceState* state);
    // Cancelled event waits completed at once, or held until CompleteCancelled.
    bool SetCancelMode(ULONG mode);
    bool CompleteCancelled(ULONG* completed);
    bool QueryTiming(Timing* timing);
    bool QueryIndicators(IndicatorState* state);
    // The indicator's link (its device path opens); see also SetIndicatorLinked.
    bool SetIndicatorPresent(ULONG indicator, bool present);
    // The log from fromSequence on (0: all that is kept).
    bool ReadLog(std::vector<LogEntry>* entries, ULONG fromSequence = 0);

private:
    nrv::UniqueFileHandle m_device;
    DWORD m_error = 0;
};

}  // namespace vadsim
