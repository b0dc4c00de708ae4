// The services' channel to the firmware's value-added device: register
// exchanges, method evaluation and event waits. Every operation opens its
// device, sends one request (or one polling sequence) and closes it again.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>
#include <winioctl.h>

#include "VadContract.h"

#include <atomic>
#include <memory>

// The posture service's manual-reset stop event; it ends every event wait.
inline constexpr const wchar_t kServiceStopEventName[] = L"POSTURESVC_SERVICESTOPEVENT";

// ---------------------------------------------------------------------------
// Radio service side: register writes through "\\.\HWPLZ".

namespace VAD {

// One device handle; every failure is logged and returned as an HRESULT.
class Driver {
public:
    Driver() = default;
    ~Driver() = default;
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Opens the device for reading (shared for reading). Already open: E_FAIL.
    HRESULT open(const wchar_t* devicePath);
    // DeviceIoControl with exactly these arguments. Not open: E_FAIL.
    HRESULT ioControl(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                      DWORD* bytesReturned, OVERLAPPED* overlapped);
    bool isOpen() const { return m_device.valid(); }

private:
    nrv::UniqueFileHandle m_device;
};

}  // namespace VAD

// One register exchange on "\\.\HWPLZ": opened when constructed, closed when
// destroyed. Lives for one operation.
class SHCI {
public:
    SHCI();
    virtual ~SHCI();
    SHCI(const SHCI&) = delete;
    SHCI& operator=(const SHCI&) = delete;

    // Sends the six words as a register block. True when the request failed.
    bool Exchange(ULONG function, ULONG registerNumber, ULONG value2, ULONG value3, ULONG value4,
                  ULONG value5);

private:
    VAD::Driver m_driver;
};

// ---------------------------------------------------------------------------
// Posture service side: register exchanges through "\\.\HWPLD".

struct HciReadResult {
    ULONG status;  // low 16 bits of the status word
    ULONG value2;  // output word 2
    ULONG value3;  // output word 3
};

struct HciPolledValues {
    USHORT first;   // low half of output word 2
    USHORT second;  // high half of output word 2
    USHORT third;   // low half of output word 4
};

class CHwpldCtrlMgr {
public:
    CHwpldCtrlMgr() = default;
    virtual ~CHwpldCtrlMgr() = default;
    CHwpldCtrlMgr(const CHwpldCtrlMgr&) = delete;
    CHwpldCtrlMgr& operator=(const CHwpldCtrlMgr&) = delete;

    // Write: succeeds exactly when the request succeeds.
    bool HciWrite(ULONG registerNumber, ULONG value2, ULONG value3, ULONG value4, ULONG value5);
    // Read: fails when the open or the request fails; the status is the caller's.
    bool HciRead(ULONG registerNumber, HciReadResult& result);
    // The two-phase read: a start request, then polls 2 ms apart while the
    // device answers "not ready". Polling ends after about one second.
    bool HciReadPolled(ULONG registerNumber, ULONG selector, HciPolledValues& values);
    // Opens and closes the device: whether it is there.
    bool ProbeDevice();

    // How long HciReadPolled keeps polling a device that never gets ready.
    static constexpr ULONGLONG kPollingLimitMs = 1000;
    static constexpr DWORD kPollIntervalMs = 2;

private:
    // Each operation owns the handle it opened; concurrent operations of
    // other threads never touch it.
    bool Exchange(const vad::RegisterBlock& input, vad::RegisterBlock& output);
};

// ---------------------------------------------------------------------------
// Event waits through "\\.\HWPLG".

class CHwplgCtrlMgr {
public:
    CHwplgCtrlMgr();
    virtual ~CHwplgCtrlMgr();
    CHwplgCtrlMgr(const CHwplgCtrlMgr&) = delete;
    CHwplgCtrlMgr& operator=(const CHwplgCtrlMgr&) = delete;

    // Closes the device handle, if open; safe against the close at the end
    // of a wait on another thread.
    void CloseDevice();

private:
    friend bool WaitDeviceEvent(CHwplgCtrlMgr& manager, ULONG eventCode, ULONG& value);

    void SetDevice(HANDLE device);
    HANDLE Device();

    CRITICAL_SECTION m_closeLock;
    HANDLE m_device = nullptr;  // guarded by m_closeLock
    nrv::UniqueHandle m_completion;
};

// Waits for one firmware event with this code. True with its value when the
// device delivered it; false when the device is absent, the request did not
// pend, nothing was delivered, or the stop event was signalled (also before
// the wait began). A request left pending is cancelled and its completion
// awaited before the wait returns.
bool WaitDeviceEvent(CHwplgCtrlMgr& manager, ULONG eventCode, ULONG& value);

enum class MethodOutcome {
    Succeeded,          // result holds the method's integer
    DeviceUnavailable,  // the device could not be opened
    Failed,             // the request failed or its reply was too short
};

// Evaluates a firmware method without arguments through "\\.\HWPLZ": its
// integer result. Callers log an unavailable device themselves.
MethodOutcome EvaluateDeviceMethod(const char (&methodName)[5], ULONG& result);

// ---------------------------------------------------------------------------
// The workaround: a register sequence on resume and, on some models, a thread
// that repeats it and reads the orientation sensors at every event 133.

// What the workaround thread does with the sensors at each event.
class SensorPoller {
public:
    virtual ~SensorPoller() = default;
    virtual void PollSensors() = 0;
};

// Creates the sensor poller; null when the sensor manager cannot be created.
using SensorPollerFactory = std::unique_ptr<SensorPoller> (*)();
using SleepFunction = void(WINAPI*)(DWORD milliseconds);

// The Windows sensor manager, reading every sensor of the orientation type.
std::unique_ptr<SensorPoller> CreateWindowsSensorPoller();

enum class WorkaroundResult { ProbeFailed, ReadsFailed, Succeeded };

class CHCISvr : public CHwpldCtrlMgr {
public:
    CHCISvr() = default;
    ~CHCISvr() override = default;

    static constexpr ULONG kWorkaroundRegister = 0xA6;
    static constexpr ULONG kWorkaroundEvent = 133;
    static constexpr DWORD kSensorIntervalMs = 60000;

    // Probe, two writes, two polled reads.
    WorkaroundResult RunWorkaroundSequence();

    // Starts the workaround thread. False when it cannot be created.
    bool StartWorkaroundThread(SensorPollerFactory factory = CreateWindowsSensorPoller,
                               SleepFunction sleep = ::Sleep);
    // The thread's body: exit code 1 when the probe fails, 2 when the reads
    // fail, 0 otherwise (also when COM or the sensor manager is missing).
    DWORD RunWorkaroundThread(SensorPollerFactory factory, SleepFunction sleep);

    HANDLE WorkaroundThread() const { return m_thread.get(); }
    DWORD WorkaroundThreadId() const { return m_threadId; }
    void RequestWorkaroundStop() { m_stop.store(1); }

private:
    static DWORD WINAPI WorkaroundThreadMain(void* self);

    nrv::UniqueHandle m_thread;
    DWORD m_threadId = 0;
    std::atomic<LONG> m_stop{0};
    SensorPollerFactory m_factory = nullptr;
    SleepFunction m_sleep = nullptr;
};
