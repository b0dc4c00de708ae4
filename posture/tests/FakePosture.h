// A machine for the posture service and its dock workers: a virtual clock,
// scripted firmware methods and events, Windows' two indicators with the
// system metrics they drive, the keyboard list and the service control
// manager's side of the status reports. Events are real but unnamed (a real
// service may run beside the tests), so the dock token works across real
// threads. Every member is guarded by one lock while workers run on threads;
// tests read them directly once the workers are joined, or through Locked.
#pragma once

#include "DockMonitor.h"
#include "FakeMachine.h"
#include "MachineConfig.h"
#include "PostureEnvironment.h"
#include "PostureService.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace posturetest {

// One scripted answer of a firmware method.
struct MethodStep {
    MethodOutcome outcome;
    ULONG value;
};
inline MethodStep Returns(ULONG value) {
    return {MethodOutcome::Succeeded, value};
}
inline MethodStep DeviceUnavailable() {
    return {MethodOutcome::DeviceUnavailable, 0};
}
inline MethodStep CallFails() {
    return {MethodOutcome::Failed, 0};
}

// One of Windows' indicators.
struct FakeIndicator {
    bool present = true;
    int failures = 0;  // writes that fail before one succeeds; -1: every write
    int attempts = 0;
    int writes = 0;  // the ones that succeeded
};

enum class WorkerMode {
    Inline,   // the worker body runs inside StartDockWorker, on the caller's thread
    Threads,  // each worker on its own thread, joined by JoinWorkers
    Refuse,   // StartDockWorker fails with ERROR_NOT_ENOUGH_MEMORY
};

class FakePosture : public posture::PostureEnvironment {
public:
    static constexpr const wchar_t kSlatePath[] = L"\\\\?\\ACPI#NRV0A01#1#{317fc439}";
    static constexpr const wchar_t kDockPath[] = L"\\\\?\\ACPI#NRV0A02#1#{a84e689b}";

    ~FakePosture() override { JoinWorkers(); }

    // Virtual milliseconds slept; every sleep, method call, indicator write
    // and worker start in order ("sleep 2", "method VCID", "write slate",
    // "worker standard").
    ULONGLONG now = 0;
    std::vector<std::string> steps;

    // What Windows reports. A successful write flips its indicator's metric
    // when writesFlipMetrics, as Windows does.
    int slateModeMetric = 1;  // SM_CONVERTIBLESLATEMODE: 0 is slate mode
    int dockedMetric = 0;     // SM_SYSTEMDOCKED: non-zero is docked
    bool writesFlipMetrics = true;
    FakeIndicator slate;
    FakeIndicator dock;

    // Answers per method name, in order; the last one repeats. A method
    // without a script fails.
    std::map<std::string, std::deque<MethodStep>> methods;
    std::map<std::string, int> methodCalls;
    // A real pause inside every method call, so that workers running at the
    // same time would be seen in flight together.
    DWORD methodPauseMs = 0;
    int methodsInFlight = 0;
    int maxMethodsInFlight = 0;
    std::vector<DWORD> methodThreads;                  // thread of each call, in order
    std::function<void(const std::string&)> onMethod;  // inside each call, before it answers

    // The event device and its waits: firmwareEvents waits deliver an event,
    // the next one fails. A signalled stop event (g_hStopEvent) ends a wait
    // without an event, as on the device.
    bool eventDevicePresent = true;
    int firmwareEvents = 0;
    std::vector<ULONG> firmwareWaits;         // event code of each wait
    std::function<void(int)> onFirmwareWait;  // before wait n (from 0) ends
    bool workaroundThreadStarts = true;
    int workaroundThreadsStarted = 0;
    int workaroundSequences = 0;

    // The keyboard list: the instance paths under "0", "1"...; Count is
    // their number unless keyboardCount says otherwise.
    bool keyboardListOpens = true;
    bool keyboardCountFails = false;
    std::optional<DWORD> keyboardCount;
    std::vector<std::wstring> keyboards;
    std::set<std::wstring> failingKeyboardValues;
    std::vector<std::wstring> keyboardValuesRead;
    bool watchFails = false;
    int watchesAsked = 0;
    int watchesLive = 0;
    std::vector<HANDLE> watchEvents;

    // Waits on real events; a wait longer than waitLimitMs counts as failed
    // (a test never hangs on a lost token).
    bool waitFails = false;
    DWORD waitLimitMs = 3000;
    int waitTimeouts = 0;
    std::function<void(HANDLE)> onWait;    // before each wait
    std::function<void(HANDLE)> onSignal;  // before each event the handler signals

    struct EventRequest {
        std::wstring name;  // asked for; the event itself is unnamed
        bool manualReset;
    };
    std::vector<EventRequest> eventsCreated;
    bool eventsFail = false;
    std::function<void(const std::wstring&)> onCreateEvent;  // before each, with its name

    int controlHandlers = 0;
    std::vector<SERVICE_STATUS> statuses;
    // The service control manager's side of an uninstall.
    bool serviceDeletable = true;
    int serviceDeletes = 0;

    WorkerMode workerMode = WorkerMode::Inline;
    std::vector<posture::DockWorker> workersStarted;

    template <typename F>
    auto Locked(F f) {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return f(*this);
    }

    void JoinWorkers() {
        for (;;) {
            std::vector<std::thread> threads;
            {
                std::lock_guard<std::recursive_mutex> lock(m_lock);
                threads.swap(m_threads);
            }
            if (threads.empty()) return;
            for (std::thread& thread : threads) thread.join();
        }
    }

    int Workers(posture::DockWorker kind) const {
        int count = 0;
        for (posture::DockWorker worker : workersStarted) count += worker == kind ? 1 : 0;
        return count;
    }

    // The steps of one kind ("sleep", "method", "write"...).
    std::vector<std::string> StepsOf(const std::string& kind) const {
        std::vector<std::string> found;
        for (const std::string& step : steps) {
            if (step.compare(0, kind.size() + 1, kind + " ") == 0) found.push_back(step);
        }
        return found;
    }

    std::vector<DWORD> States() const {
        std::vector<DWORD> states;
        for (const SERVICE_STATUS& status : statuses) states.push_back(status.dwCurrentState);
        return states;
    }

    // PostureEnvironment

    void Sleep(DWORD milliseconds) override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        now += milliseconds;
        steps.push_back("sleep " + std::to_string(milliseconds));
    }

    int GetSystemMetrics(int index) override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (index == SM_CONVERTIBLESLATEMODE) return slateModeMetric;
        if (index == SM_SYSTEMDOCKED) return dockedMetric;
        ADD_FAILURE() << "system metric " << index << " asked";
        return 0;
    }

    std::optional<std::wstring> FindDeviceInterface(const GUID& interfaceClass) override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (::IsEqualGUID(interfaceClass, SLATE_INDICATOR_GUID) && slate.present)
            return std::wstring(kSlatePath);
        if (::IsEqualGUID(interfaceClass, DOCK_INDICATOR_GUID) && dock.present)
            return std::wstring(kDockPath);
        return std::nullopt;
    }

    bool WriteIndicator(const std::wstring& path) override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        FakeIndicator* indicator = nullptr;
        int* metric = nullptr;
        if (path == kSlatePath) {
            indicator = &slate;
            metric = &slateModeMetric;
            steps.push_back("write slate");
        } else if (path == kDockPath) {
            indicator = &dock;
            metric = &dockedMetric;
            steps.push_back("write dock");
        } else {
            ADD_FAILURE() << "write to an unknown indicator " << testsupport::Narrow(path);
            return false;
        }
        ++indicator->attempts;
        if (!indicator->present) return false;
        if (indicator->failures != 0) {
            if (indicator->failures > 0) --indicator->failures;
            return false;
        }
        ++indicator->writes;
        if (writesFlipMetrics) *metric = *metric == 0 ? 1 : 0;
        return true;
    }

    MethodOutcome EvaluateMethod(const char (&methodName)[5], ULONG& result) override {
        const std::string name(methodName, 4);
        DWORD pause = 0;
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            ++methodCalls[name];
            steps.push_back("method " + name);
            methodThreads.push_back(::GetCurrentThreadId());
            ++methodsInFlight;
            if (methodsInFlight > maxMethodsInFlight) maxMethodsInFlight = methodsInFlight;
            pause = methodPauseMs;
            hook = onMethod;
        }
        if (hook) hook(name);
        if (pause != 0) ::Sleep(pause);
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        --methodsInFlight;
        auto script = methods.find(name);
        if (script == methods.end() || script->second.empty()) return MethodOutcome::Failed;
        const MethodStep step = script->second.front();
        if (script->second.size() > 1) script->second.pop_front();
        if (step.outcome == MethodOutcome::Succeeded) result = step.value;
        return step.outcome;
    }

    bool EventDevicePresent() override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return eventDevicePresent;
    }

    bool WaitFirmwareEvent(ULONG eventCode) override {
        int index = 0;
        std::function<void(int)> hook;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            index = static_cast<int>(firmwareWaits.size());
            firmwareWaits.push_back(eventCode);
            hook = onFirmwareWait;
        }
        if (hook) hook(index);
        const HANDLE stop = g_hStopEvent.load();
        if (stop != nullptr && ::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (firmwareEvents == 0) return false;
        --firmwareEvents;
        return true;
    }

    bool StartWorkaroundThread() override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ++workaroundThreadsStarted;
        return workaroundThreadStarts;
    }

    void RunWorkaroundSequence() override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ++workaroundSequences;
    }

    std::unique_ptr<posture::KeyboardList> OpenKeyboardList() override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (!keyboardListOpens) return nullptr;
        return std::make_unique<List>(*this);
    }

    std::unique_ptr<posture::KeyboardWatch> WatchKeyboardList(HANDLE changeEvent) override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ++watchesAsked;
        watchEvents.push_back(changeEvent);
        if (watchFails) return nullptr;
        return std::make_unique<Watch>(*this);
    }

    bool WaitForEvent(HANDLE event) override {
        std::function<void(HANDLE)> hook;
        DWORD limit = 0;
        bool fails = false;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            hook = onWait;
            limit = waitLimitMs;
            fails = waitFails;
        }
        if (fails) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (hook) hook(event);
        const DWORD ended = ::WaitForSingleObject(event, limit);
        if (ended == WAIT_TIMEOUT) {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            ++waitTimeouts;
        }
        return ended == WAIT_OBJECT_0;
    }

    bool DeleteService() override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ++serviceDeletes;
        steps.push_back(serviceDeletable ? "delete service" : "delete service refused");
        return serviceDeletable;
    }

    void SignalEvent(HANDLE event) override {
        std::function<void(HANDLE)> hook;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            hook = onSignal;
        }
        if (hook) hook(event);
        ::SetEvent(event);
    }

    void RegisterControlHandler() override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ++controlHandlers;
    }

    void ReportServiceStatus(const SERVICE_STATUS& status) override {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        statuses.push_back(status);
    }

    nrv::UniqueHandle CreateServiceEvent(const wchar_t* name, bool manualReset) override {
        const std::wstring asked = name != nullptr ? name : L"";
        std::function<void(const std::wstring&)> hook;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            hook = onCreateEvent;
        }
        if (hook) hook(asked);
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        eventsCreated.push_back({asked, manualReset});
        if (eventsFail) return nrv::UniqueHandle();
        return nrv::UniqueHandle(::CreateEventW(nullptr, manualReset, FALSE, nullptr));
    }

    bool StartDockWorker(posture::DockWorker worker) override {
        WorkerMode mode;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            mode = workerMode;
            if (mode != WorkerMode::Refuse) {
                workersStarted.push_back(worker);
                steps.push_back(worker == posture::DockWorker::PidVid ? "worker pidvid"
                                                                      : "worker standard");
            }
        }
        if (mode == WorkerMode::Refuse) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        if (mode == WorkerMode::Inline) {
            RunWorker(worker);
        } else {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_threads.emplace_back([worker] { RunWorker(worker); });
        }
        return true;
    }

private:
    static void RunWorker(posture::DockWorker worker) {
        if (worker == posture::DockWorker::PidVid) {
            DockStatusThread_PIDVID();
        } else {
            DockStatusThread();
        }
    }

    class List : public posture::KeyboardList {
    public:
        explicit List(FakePosture& owner) : m_owner(owner) {}
        bool QueryCount(DWORD& count) override {
            std::lock_guard<std::recursive_mutex> lock(m_owner.m_lock);
            if (m_owner.keyboardCountFails) return false;
            count = m_owner.keyboardCount.value_or(static_cast<DWORD>(m_owner.keyboards.size()));
            return true;
        }
        bool QueryInstancePath(const wchar_t* name, std::wstring& path) override {
            std::lock_guard<std::recursive_mutex> lock(m_owner.m_lock);
            m_owner.keyboardValuesRead.push_back(name);
            if (m_owner.failingKeyboardValues.count(name) != 0) return false;
            const std::size_t index = std::stoul(name);
            if (index >= m_owner.keyboards.size()) return false;
            path = m_owner.keyboards[index];
            return true;
        }

    private:
        FakePosture& m_owner;
    };

    class Watch : public posture::KeyboardWatch {
    public:
        explicit Watch(FakePosture& owner) : m_owner(owner) { ++m_owner.watchesLive; }
        ~Watch() override {
            std::lock_guard<std::recursive_mutex> lock(m_owner.m_lock);
            --m_owner.watchesLive;
        }

    private:
        FakePosture& m_owner;
    };

    std::recursive_mutex m_lock;
    std::vector<std::thread> m_threads;
};

using UsePosture = UseEnvironmentOf<posture::PostureEnvironment, posture::SetPostureEnvironment>;

// The service's process-wide state, put back as a fresh process has it and
// restored when destroyed.
class PostureGlobals {
public:
    PostureGlobals()
        : m_status(ServiceStatus),
          m_keyboardPidVid(g_keyboardPidVid),
          m_dockRotation(g_DockRotation),
          m_convertible(g_isConvertible),
          m_reverseDock(g_isReverseDockConvertible),
          m_workaround(g_isWorkaround),
          m_suspend(g_isSuspend.load()),
          m_stopRequested(g_isStopRequested.load()),
          m_notifyCode(ulNotifyCodeSvc),
          m_slatePath(g_slateIndicatorPath),
          m_dockPath(g_dockIndicatorPath),
          m_stopEvent(g_hStopEvent.load()),
          m_dockEvent(g_hDockEvent.load()),
          m_changeEvent(g_hKbdChangeEvent.load()),
          m_kbDockIds(KbDockIds) {
        Reset();
    }
    ~PostureGlobals() {
        ServiceStatus = m_status;
        g_keyboardPidVid = m_keyboardPidVid;
        g_DockRotation = m_dockRotation;
        g_isConvertible = m_convertible;
        g_isReverseDockConvertible = m_reverseDock;
        g_isWorkaround = m_workaround;
        g_isSuspend.store(m_suspend);
        g_isStopRequested.store(m_stopRequested);
        ulNotifyCodeSvc = m_notifyCode;
        g_slateIndicatorPath = m_slatePath;
        g_dockIndicatorPath = m_dockPath;
        g_hStopEvent.store(m_stopEvent);
        g_hDockEvent.store(m_dockEvent);
        g_hKbdChangeEvent.store(m_changeEvent);
        KbDockIds = m_kbDockIds;
    }
    PostureGlobals(const PostureGlobals&) = delete;
    PostureGlobals& operator=(const PostureGlobals&) = delete;

    static void Reset() {
        ServiceStatus = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, kAcceptedControls, 0, 0, 0, 0};
        g_keyboardPidVid = 0xFFFFFFFF;
        g_DockRotation = false;
        g_isConvertible = false;
        g_isReverseDockConvertible = false;
        g_isWorkaround = false;
        g_isSuspend.store(false);
        g_isStopRequested.store(0);
        ulNotifyCodeSvc = c_nNotifyCode_DockingEvent;
        g_slateIndicatorPath.reset();
        g_dockIndicatorPath.reset();
        g_hStopEvent.store(nullptr);
        g_hDockEvent.store(nullptr);
        g_hKbdChangeEvent.store(nullptr);
        KbDockIds.clear();
    }

private:
    SERVICE_STATUS m_status;
    DWORD m_keyboardPidVid;
    bool m_dockRotation;
    bool m_convertible;
    bool m_reverseDock;
    bool m_workaround;
    bool m_suspend;
    LONG m_stopRequested;
    ULONG m_notifyCode;
    std::optional<std::wstring> m_slatePath;
    std::optional<std::wstring> m_dockPath;
    HANDLE m_stopEvent;
    HANDLE m_dockEvent;
    HANDLE m_changeEvent;
    std::vector<DWORD> m_kbDockIds;
};

// Every test of the service: fresh globals, both fakes in place, the log
// marked. The machine has both indicators and reports laptop mode, undocked.
class PostureTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::TestLog::Mark(); }
    void TearDown() override { fake.JoinWorkers(); }

    // The indicator paths as the service finds them at its start.
    void FindIndicators() {
        g_slateIndicatorPath = fake.FindDeviceInterface(SLATE_INDICATOR_GUID);
        g_dockIndicatorPath = fake.FindDeviceInterface(DOCK_INDICATOR_GUID);
    }

    // A dock token as ServiceMain makes it: auto-reset, free.
    void MakeDockToken() {
        dockToken.reset(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
        ASSERT_TRUE(dockToken);
        g_hDockEvent.store(dockToken.get());
    }

    bool TokenFree() {
        if (::WaitForSingleObject(dockToken.get(), 0) != WAIT_OBJECT_0) return false;
        ::SetEvent(dockToken.get());  // the probe took it: give it back
        return true;
    }

    PostureGlobals globals;
    FakeMachine machine;
    UseEnvironment useMachine{machine};
    FakePosture fake;
    UsePosture usePosture{fake};
    nrv::UniqueHandle dockToken;
};

}  // namespace posturetest
