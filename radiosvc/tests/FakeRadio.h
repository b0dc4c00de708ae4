// A radio environment for tests: the simulated radio managers' objects
// created in-process over a private state, a virtual clock behind the
// rebuild sleeps, a change event of the test's own, recorded register and
// "LEDSTATE" writes, recorded status reports and a message-only notify
// window (a console program cannot create a top-level one under Wine).
#pragma once

#include "RadioEnvironment.h"
#include "RadioManager.h"
#include "RadioService.h"
#include "RadioSimObjects.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace radiotest {

struct RegisterWrite {
    ULONG value2;
    ULONG value3;
};

class FakeRadioEnvironment : public radio::RadioEnvironment {
public:
    FakeRadioEnvironment() : m_state(std::make_unique<radiosim::SimState>()) {
        m_state->magic = radiosim::kStateMagic;
        m_state->size = sizeof(radiosim::SimState);
        radiosim::ResetScripts(*m_state);
        radiosim::SetState(m_state.get());
        static std::atomic<int> serial{0};
        m_eventName = L"NrvRadioTestChange." + std::to_wstring(::GetCurrentProcessId()) + L"." +
                      std::to_wstring(serial.fetch_add(1));
        m_event.reset(::CreateEventW(nullptr, FALSE, FALSE, m_eventName.c_str()));
        m_previous = radio::SetRadioEnvironment(this);
    }
    ~FakeRadioEnvironment() override {
        radio::SetRadioEnvironment(m_previous);
        radiosim::SetState(nullptr);
    }

    radiosim::ManagerScript& Script(LONG kind) { return m_state->managers[kind]; }
    void SetInstances(LONG kind, LONG count, LONG state) {
        Script(kind).instanceCount = count;
        for (LONG& radio : Script(kind).states) radio = state;
    }
    std::vector<radiosim::CallRecord> Calls() {
        std::vector<radiosim::CallRecord> calls;
        for (LONG i = 0; i < m_state->nextCall && i < radiosim::kCallCapacity; ++i)
            calls.push_back(m_state->calls[i]);
        return calls;
    }

    // --- virtual clock: sleeps advance it; a sleep that would pass the
    // limit waits (for real) until the limit moves or the sleep is woken.
    ULONGLONG Now() const { return m_now.load(); }
    void RunUntil(ULONGLONG limitMs) {
        {
            std::lock_guard<std::mutex> lock(m_clockLock);
            m_limit = limitMs;
        }
        m_clockChanged.notify_all();
    }
    // Called at the start of each sleep, with the time it starts at.
    std::function<void(ULONGLONG)> onSleep;
    // Virtual times at which the WLAN manager was created: the passes.
    std::vector<ULONGLONG> Passes() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        return m_passes;
    }

    // --- recorded writes
    std::vector<RegisterWrite> Writes() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        return m_writes;
    }
    std::vector<RegisterWrite> LedWrites() {
        std::vector<RegisterWrite> led;
        for (const RegisterWrite& write : Writes()) {
            if (write.value3 == kLedRegisterMask) led.push_back(write);
        }
        return led;
    }
    std::vector<DWORD> LedStates() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        return m_ledStates;
    }
    HRESULT storeResult = S_OK;
    // Called when a register channel is opened (on the opening thread).
    std::function<void()> onOpenChannel;

    // --- the change event
    int ChangeEventOpens() const { return m_eventOpens.load(); }
    bool ChangeSignalled() { return ::WaitForSingleObject(m_event.get(), 0) == WAIT_OBJECT_0; }
    void SignalChange() { ::SetEvent(m_event.get()); }

    // --- service host
    std::vector<SERVICE_STATUS> Statuses() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        return m_statuses;
    }
    std::vector<GUID> InterfaceRegistrations() {
        std::lock_guard<std::mutex> lock(m_recordLock);
        return m_interfaces;
    }
    DWORD failInterfaceRegistration = 0;  // the error a registration fails with (0: none)
    bool failWindow = false;
    std::function<void()> onCreateWindow;  // before the window is created
    std::atomic<HWND> window{nullptr};
    std::atomic<int> unregistered{0};

    // RadioEnvironment
    HRESULT CreateRadioManager(const CLSID& classId, IMediaRadioManager** manager) override {
        if (::IsEqualCLSID(classId, CLSID_WlanRadioManager)) {
            std::lock_guard<std::mutex> lock(m_recordLock);
            m_passes.push_back(Now());
        }
        return radiosim::CreateManager(radiosim::KindOfClass(classId), IID_IMediaRadioManager,
                                       reinterpret_cast<void**>(manager));
    }

    bool SleepUnlessWoken(DWORD milliseconds, HANDLE wake) override {
        if (onSleep) onSleep(Now());
        const ULONGLONG end = Now() + milliseconds;
        std::unique_lock<std::mutex> lock(m_clockLock);
        for (;;) {
            if (::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) return true;
            if (end <= m_limit) break;
            m_clockChanged.wait_for(lock, std::chrono::milliseconds(5));
        }
        m_now.store(end);
        return ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0;
    }

    nrv::UniqueHandle OpenChangeEvent() override {
        m_eventOpens.fetch_add(1);
        return nrv::UniqueHandle(::CreateEventW(nullptr, FALSE, FALSE, m_eventName.c_str()));
    }

    std::unique_ptr<radio::RegisterChannel> OpenRegisterChannel() override {
        if (onOpenChannel) onOpenChannel();
        return std::make_unique<Channel>(*this);
    }

    HRESULT StoreLedState(DWORD value) override {
        std::lock_guard<std::mutex> lock(m_recordLock);
        if (SUCCEEDED(storeResult)) m_ledStates.push_back(value);
        return storeResult;
    }

    SERVICE_STATUS_HANDLE RegisterControlHandler(LPHANDLER_FUNCTION_EX /*handler*/) override {
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<INT_PTR>(0x5151));
    }
    void ReportServiceStatus(SERVICE_STATUS_HANDLE /*handle*/,
                             const SERVICE_STATUS& status) override {
        std::lock_guard<std::mutex> lock(m_recordLock);
        m_statuses.push_back(status);
    }
    HDEVNOTIFY RegisterInterfaceNotification(SERVICE_STATUS_HANDLE recipient,
                                             const GUID& interfaceClass) override {
        {
            std::lock_guard<std::mutex> lock(m_recordLock);
            m_interfaces.push_back(interfaceClass);
        }
        if (failInterfaceRegistration != 0 ||
            recipient != reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<INT_PTR>(0x5151))) {
            ::SetLastError(failInterfaceRegistration);
            return nullptr;
        }
        return reinterpret_cast<HDEVNOTIFY>(static_cast<INT_PTR>(0x7000 + m_interfaces.size()));
    }
    void UnregisterInterfaceNotification(HDEVNOTIFY /*notification*/) override {
        unregistered.fetch_add(1);
    }
    HWND CreateNotifyWindow(HINSTANCE instance) override {
        if (onCreateWindow) onCreateWindow();
        if (failWindow) return nullptr;
        const HWND created = ::CreateWindowExW(0, kNotifyWindowClass, kNotifyWindowTitle,
                                               WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT,
                                               0, HWND_MESSAGE, nullptr, instance, nullptr);
        window.store(created);
        return created;
    }
    HPOWERNOTIFY RegisterSuspendResume(HWND /*window*/) override {
        return reinterpret_cast<HPOWERNOTIFY>(static_cast<INT_PTR>(0x8001));
    }
    void UnregisterSuspendResume(HPOWERNOTIFY /*notification*/) override {
        unregistered.fetch_add(1);
    }

private:
    class Channel : public radio::RegisterChannel {
    public:
        explicit Channel(FakeRadioEnvironment& owner) : m_owner(owner) {}
        void WriteRegister56(ULONG value2, ULONG value3) override {
            std::lock_guard<std::mutex> lock(m_owner.m_recordLock);
            m_owner.m_writes.push_back({value2, value3});
        }

    private:
        FakeRadioEnvironment& m_owner;
    };

    std::unique_ptr<radiosim::SimState> m_state;
    radio::RadioEnvironment* m_previous = nullptr;
    std::wstring m_eventName;
    nrv::UniqueHandle m_event;  // keeps the named event alive
    std::atomic<int> m_eventOpens{0};

    std::atomic<ULONGLONG> m_now{0};
    std::mutex m_clockLock;
    std::condition_variable m_clockChanged;
    ULONGLONG m_limit = 0;

    std::mutex m_recordLock;
    std::vector<ULONGLONG> m_passes;
    std::vector<RegisterWrite> m_writes;
    std::vector<DWORD> m_ledStates;
    std::vector<SERVICE_STATUS> m_statuses;
    std::vector<GUID> m_interfaces;
};

}  // namespace radiotest
