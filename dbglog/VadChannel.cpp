#include "VadChannel.h"

#include "DbgLog.h"

#include <objbase.h>
#include <sensorsapi.h>

#include <cstring>

namespace {

// The HRESULT of the last system error; E_FAIL when the system left none.
HRESULT LastErrorResult() {
    const DWORD error = ::GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

vad::RegisterBlock Block(ULONG function, ULONG registerNumber, ULONG value2, ULONG value3,
                         ULONG value4, ULONG value5) {
    return {{function, registerNumber, value2, value3, value4, value5}};
}

ULONG StatusOf(const vad::RegisterBlock& output) {
    return output.words[0] & 0xFFFF;
}

}  // namespace

// ---------------------------------------------------------------------------

HRESULT VAD::Driver::open(const wchar_t* devicePath) {
    DBGLOG_FUNCTION_TAG(VAD::Driver::open);
    if (m_device) {
        LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    m_device.reset(::CreateFileW(devicePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_device) {
        const HRESULT hr = LastErrorResult();
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    return S_OK;
}

HRESULT VAD::Driver::ioControl(DWORD code, void* input, DWORD inputSize, void* output,
                               DWORD outputSize, DWORD* bytesReturned, OVERLAPPED* overlapped) {
    DBGLOG_FUNCTION_TAG(VAD::Driver::ioControl);
    if (!m_device) {
        LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    if (!::DeviceIoControl(m_device.get(), code, input, inputSize, output, outputSize,
                           bytesReturned, overlapped)) {
        const HRESULT hr = LastErrorResult();
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    return S_OK;
}

SHCI::SHCI() {
    m_driver.open(vad::kRegisterDevicePath);  // a failed open shows at the exchange
}

SHCI::~SHCI() = default;

bool SHCI::Exchange(ULONG function, ULONG registerNumber, ULONG value2, ULONG value3, ULONG value4,
                    ULONG value5) {
    vad::RegisterBlock input = Block(function, registerNumber, value2, value3, value4, value5);
    vad::RegisterBlock output{};
    DWORD bytes = 0;
    return FAILED(m_driver.ioControl(IOCTL_HWPL_REGISTER, &input, sizeof input, &output,
                                     sizeof output, &bytes, nullptr));
}

// ---------------------------------------------------------------------------

bool CHwpldCtrlMgr::Exchange(const vad::RegisterBlock& input, vad::RegisterBlock& output) {
    nrv::UniqueFileHandle device(::CreateFileW(vad::kDirectDevicePath, 0, 0, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return false;
    vad::RegisterBlock request = input;
    output = {};
    DWORD bytes = 0;
    return ::DeviceIoControl(device.get(), IOCTL_HWPL_REGISTER, &request, sizeof request, &output,
                             sizeof output, &bytes, nullptr) != FALSE;
}

bool CHwpldCtrlMgr::HciWrite(ULONG registerNumber, ULONG value2, ULONG value3, ULONG value4,
                             ULONG value5) {
    vad::RegisterBlock output;
    return Exchange(Block(vad::kFunctionWrite, registerNumber, value2, value3, value4, value5),
                    output);
}

bool CHwpldCtrlMgr::HciRead(ULONG registerNumber, HciReadResult& result) {
    vad::RegisterBlock output;
    if (!Exchange(Block(vad::kFunctionRead, registerNumber, 0, 0, 0, 0), output)) return false;
    result = {StatusOf(output), output.words[2], output.words[3]};
    return true;
}

bool CHwpldCtrlMgr::HciReadPolled(ULONG registerNumber, ULONG selector, HciPolledValues& values) {
    vad::RegisterBlock output;
    if (!Exchange(Block(vad::kFunctionRead, registerNumber, 0, selector, 0, 0), output))
        return false;
    ULONG status = StatusOf(output);
    if (!vad::StatusComplete(status) && !vad::StatusNotReady(status)) return false;

    // The values come only from a poll. A firmware that never gets ready
    // must not hold the caller (the service's control handler on resume)
    // for good, so polling ends after about one second.
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        ::Sleep(kPollIntervalMs);
        if (!Exchange(Block(vad::kFunctionRead, registerNumber, 0, selector, 0, 1), output))
            return false;
        status = StatusOf(output);
        if (vad::StatusComplete(status)) {
            values.first = LOWORD(output.words[2]);
            values.second = HIWORD(output.words[2]);
            values.third = LOWORD(output.words[4]);
            return true;
        }
        if (!vad::StatusNotReady(status)) return false;
        if (::GetTickCount64() - start >= kPollingLimitMs) return false;
    }
}

bool CHwpldCtrlMgr::ProbeDevice() {
    nrv::UniqueFileHandle device(::CreateFileW(vad::kDirectDevicePath, 0, 0, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return device.valid();
}

// ---------------------------------------------------------------------------

CHwplgCtrlMgr::CHwplgCtrlMgr() {
    ::InitializeCriticalSection(&m_closeLock);
}

CHwplgCtrlMgr::~CHwplgCtrlMgr() {
    m_completion.reset();
    CloseDevice();
    ::DeleteCriticalSection(&m_closeLock);
}

void CHwplgCtrlMgr::CloseDevice() {
    ::EnterCriticalSection(&m_closeLock);
    if (m_device != nullptr) {
        ::CloseHandle(m_device);
        m_device = nullptr;
    }
    ::LeaveCriticalSection(&m_closeLock);
}

void CHwplgCtrlMgr::SetDevice(HANDLE device) {
    ::EnterCriticalSection(&m_closeLock);
    m_device = device;
    ::LeaveCriticalSection(&m_closeLock);
}

bool WaitDeviceEvent(CHwplgCtrlMgr& manager, ULONG eventCode, ULONG& value) {
    const HANDLE device =
        ::CreateFileW(vad::kEventDevicePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    manager.SetDevice(device);  // closed by the manager, possibly from another thread

    manager.m_completion.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    nrv::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, kServiceStopEventName));

    bool result = false;
    if (manager.m_completion) {
        const HANDLE completion = manager.m_completion.get();
        ::ResetEvent(completion);
        vad::EventWait input{0, eventCode};
        vad::EventWait output{vad::kNoEvent, 0};
        OVERLAPPED overlapped{};
        overlapped.hEvent = completion;
        DWORD bytes = 0;
        const BOOL done = ::DeviceIoControl(device, IOCTL_HWPL_WAIT_EVENT, &input, sizeof input,
                                            &output, sizeof output, &bytes, &overlapped);
        // A request that completes at once counts as no event.
        if (!done && ::GetLastError() == ERROR_IO_PENDING) {
            const HANDLE events[2] = {completion, stop.get()};
            const DWORD ended =
                stop ? ::WaitForMultipleObjects(2, events, FALSE, INFINITE) : WAIT_FAILED;
            if (ended == WAIT_OBJECT_0) {
                const BOOL delivered = ::GetOverlappedResult(device, &overlapped, &bytes, FALSE);
                if (delivered && output.word0 != vad::kNoEvent) {
                    value = output.word0;
                    result = true;
                }
            } else {
                // Stopped (or the wait failed) while the request pends: the
                // device still holds our buffers, so cancel it and wait for
                // its completion before they go out of scope.
                ::CancelIoEx(device, &overlapped);
                ::GetOverlappedResult(device, &overlapped, &bytes, TRUE);
            }
        }
    }
    manager.m_completion.reset();
    stop.reset();
    manager.CloseDevice();
    return result;
}

MethodOutcome EvaluateDeviceMethod(const char (&methodName)[5], ULONG& result) {
    nrv::UniqueFileHandle device(::CreateFileW(vad::kRegisterDevicePath, GENERIC_READ,
                                               FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return MethodOutcome::DeviceUnavailable;
    vad::MethodRequest request{};
    request.inputLength = vad::kMethodInputLength;
    request.signature = vad::kMethodSignature;
    request.methodName = vad::MethodName(methodName);
    auto reply = std::make_unique<vad::MethodReply>();
    *reply = {};
    OVERLAPPED overlapped{};  // the handle is synchronous: the call completes before it returns
    DWORD bytes = 0;
    if (!::DeviceIoControl(device.get(), IOCTL_HWPL_EVAL_METHOD, &request, sizeof request,
                           reply.get(), sizeof(vad::MethodReply), &bytes, &overlapped)) {
        return MethodOutcome::Failed;
    }
    // A reply too short to hold the result is no result.
    if (bytes < (vad::kMethodResultWord + 1) * sizeof(ULONG)) return MethodOutcome::Failed;
    result = reply->words[vad::kMethodResultWord];
    return MethodOutcome::Succeeded;
}

// ---------------------------------------------------------------------------

namespace {

// {77A1C827-FCD2-4689-8915-9D613CC5FA3E}
const CLSID kSensorManagerClass = {
    0x77A1C827, 0xFCD2, 0x4689, {0x89, 0x15, 0x9D, 0x61, 0x3C, 0xC5, 0xFA, 0x3E}};
// {BD77DB67-45A8-42DC-8D00-6DCF15F8377A}
const IID kSensorManagerInterface = {
    0xBD77DB67, 0x45A8, 0x42DC, {0x8D, 0x00, 0x6D, 0xCF, 0x15, 0xF8, 0x37, 0x7A}};
// {09485F5A-759E-42C2-BD4B-A349B75C8643}
const GUID kOrientationSensorType = {
    0x09485F5A, 0x759E, 0x42C2, {0xBD, 0x4B, 0xA3, 0x49, 0xB7, 0x5C, 0x86, 0x43}};

class WindowsSensorPoller final : public SensorPoller {
public:
    explicit WindowsSensorPoller(nrv::ComPtr<ISensorManager> manager)
        : m_manager(std::move(manager)) {}

    void PollSensors() override {
        nrv::ComPtr<ISensorCollection> sensors;
        if (FAILED(m_manager->GetSensorsByType(kOrientationSensorType, sensors.put()))) return;
        ULONG count = 0;
        if (FAILED(sensors->GetCount(&count))) return;
        for (ULONG i = 0; i < count; ++i) {
            nrv::ComPtr<ISensor> sensor;
            if (FAILED(sensors->GetAt(i, sensor.put()))) continue;
            nrv::ComPtr<ISensorDataReport> report;
            sensor->GetData(report.put());
        }
    }

private:
    nrv::ComPtr<ISensorManager> m_manager;
};

}  // namespace

std::unique_ptr<SensorPoller> CreateWindowsSensorPoller() {
    nrv::ComPtr<ISensorManager> manager;
    if (FAILED(::CoCreateInstance(kSensorManagerClass, nullptr, CLSCTX_INPROC_SERVER,
                                  kSensorManagerInterface, manager.put_void()))) {
        return nullptr;  // sensors disabled by policy, or no sensor manager at all
    }
    return std::make_unique<WindowsSensorPoller>(std::move(manager));
}

WorkaroundResult CHCISvr::RunWorkaroundSequence() {
    if (!ProbeDevice()) return WorkaroundResult::ProbeFailed;
    HciWrite(kWorkaroundRegister, 0x200020, 0x102, 0x20, 0);
    HciWrite(kWorkaroundRegister, 0, 0x100, 0, 0);
    HciPolledValues values;
    if (HciReadPolled(kWorkaroundRegister, 0x200, values) &&
        HciReadPolled(kWorkaroundRegister, 0x201, values)) {
        return WorkaroundResult::Succeeded;
    }
    return WorkaroundResult::ReadsFailed;
}

bool CHCISvr::StartWorkaroundThread(SensorPollerFactory factory, SleepFunction sleep) {
    m_stop.store(0);
    m_factory = factory;
    m_sleep = sleep;
    m_thread.reset(::CreateThread(nullptr, 0, WorkaroundThreadMain, this, 0, &m_threadId));
    return m_thread.valid();
}

DWORD WINAPI CHCISvr::WorkaroundThreadMain(void* self) {
    auto* server = static_cast<CHCISvr*>(self);
    return server->RunWorkaroundThread(server->m_factory, server->m_sleep);
}

DWORD CHCISvr::RunWorkaroundThread(SensorPollerFactory factory, SleepFunction sleep) {
    switch (RunWorkaroundSequence()) {
        case WorkaroundResult::ProbeFailed:
            return 1;
        case WorkaroundResult::ReadsFailed:
            return 2;
        case WorkaroundResult::Succeeded:
            break;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 0;
    {
        const std::unique_ptr<SensorPoller> sensors = factory != nullptr ? factory() : nullptr;
        while (sensors && m_stop.load() == 0) {
            CHwplgCtrlMgr manager;
            ULONG value = 0;
            if (!WaitDeviceEvent(manager, kWorkaroundEvent, value))
                break;  // ends at the latest with the service
            sensors->PollSensors();
            sleep(kSensorIntervalMs);
        }
    }
    ::CoUninitialize();
    return 0;
}
