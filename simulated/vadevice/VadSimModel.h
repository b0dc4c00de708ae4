// What the simulated value-added device answers, apart from the kernel: the
// opens and requests of HWPLZ, HWPLD and HWPLG, the scripts set through the
// control device, and the log. The driver keeps one Model in static storage
// and calls it under its spin lock; the unit tests run the same code in user
// mode. Kernel-safe: plain data without constructors, no library calls, no
// allocation. Pending event waits are the driver's (they are IRPs); the model
// only decides whether a wait pends and for which code.
#pragma once

#ifdef VADSIM_KERNEL
#include <wdm.h>
#else
#include <windows.h>
#include <winioctl.h>
#endif

#include "VadSimControl.h"

namespace vadsim {

inline constexpr ULONG kMaxRegisters = 16;
inline constexpr ULONG kMaxMethods = 16;

// One request to a value-added device. Requests are buffered: input and
// output may be the same memory, so the whole input is read before any output
// is written.
struct Request {
    ULONG device;  // DeviceId
    ULONG code;
    const void* input;
    ULONG inputLength;
    void* output;
    ULONG outputLength;
    ULONGLONG timeUs;
    ULONG refused = kOutcomeSuccess;  // the Outcome its handle's open was refused with
};

struct Answer {
    ULONG outcome;    // Outcome
    ULONG bytes;      // output bytes written
    ULONG eventCode;  // kOutcomePending: the event code the wait is for
};

class Model {
public:
    // Back to the scripts of a fresh device: identity words, polled register
    // without delays, "VCID", "CTST" and "PLST" answering 0, waits that pend,
    // no failures, an empty log. Open handles stay counted.
    void Reset();

    // An open of device (its IRP_MJ_CREATE); kOutcomeSuccess counts a handle.
    // A refused handle's requests carry the refusal (Request::refused).
    ULONG Open(ULONG device, ULONGLONG timeUs);
    // The close of a handle that Open counted.
    void Close(ULONG device, ULONGLONG timeUs);

    // A request to one of the three devices; a request on a refused handle
    // fails with the refusal.
    Answer Handle(const Request& request);

    // A request to the control device, except IOCTL_VADSIM_RAISE_EVENT and
    // IOCTL_VADSIM_QUERY_STATE, which involve the driver's pending waits.
    Answer Control(ULONG code, const void* input, ULONG inputLength, void* output,
                   ULONG outputLength);

    // Events raised with kRaiseQueue while nobody waited for their code.
    bool QueueEvent(ULONG code, ULONG value);
    bool TakeQueuedEvent(ULONG code, ULONG* value);

    // The model's part of DeviceState: open handles, absent devices, queued
    // events, event mode. The caller adds the pending waits.
    void FillState(DeviceState* state) const;

    // The posture indicators (IndicatorId): an open refused while another
    // handle is open (kOutcomeSharingViolation), a counted close, and a write
    // of length bytes on a handle opened with refused: one byte toggles the
    // state; anything else, or a refused handle, fails and is counted as
    // refused.
    ULONG IndicatorOpen(ULONG indicator);
    void IndicatorClose(ULONG indicator);
    ULONG IndicatorWrite(ULONG indicator, ULONG length, ULONG refused);
    void FillIndicators(IndicatorState* state) const;

private:
    struct MethodEntry {
        ULONG name;
        ULONG fails;  // the MethodAction: kMethodResult, kMethodFail or kMethodShortReply
        ULONG result;
    };
    struct QueuedEvent {
        ULONG code;
        ULONG value;
    };

    LogEntry* Append(ULONG kind, ULONG device, ULONGLONG timeUs);
    bool ConsumeFailure(ULONG kind);
    ULONG RegisterRequest(const ULONG* words, ULONG inputLength, void* output, ULONG outputLength,
                          Answer* answer);
    void ReadRegister(const ULONG* in, ULONG* out);
    ULONG MethodRequest(const ULONG* words, ULONG inputLength, void* output, ULONG outputLength,
                        Answer* answer);
    ULONG EventWaitRequest(const ULONG* words, ULONG inputLength, void* output, ULONG outputLength,
                           Answer* answer);
    ULONG SetRegister(const RegisterScript& script);
    ULONG SetMethod(const MethodScript& script);
    ULONG ReadLog(ULONG fromSequence, void* output, ULONG outputLength, Answer* answer) const;

    RegisterScript m_registers[kMaxRegisters];
    ULONG m_registerCount;
    MethodEntry m_methods[kMaxMethods];
    ULONG m_methodCount;
    PolledScript m_polled;
    ULONG m_polledRemaining;
    ULONG m_failOpen[kDeviceCount];
    ULONG m_absent[kDeviceCount];
    ULONG m_failRequest[kRequestKindCount];
    EventMode m_eventMode;
    QueuedEvent m_queued[kMaxQueuedEvents];
    ULONG m_queuedCount;
    ULONG m_openHandles[kDeviceCount];
    LogEntry m_log[kLogCapacity];
    ULONG m_nextSequence;
    IndicatorState m_indicators;
};

static_assert(__is_trivial(Model), "the driver keeps the model in zeroed static storage");

}  // namespace vadsim
