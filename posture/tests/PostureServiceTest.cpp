// The service over a fake machine: the run mode and firmware event chosen
// from the install's registry values, the status reports, the control
// handler's stop, interrogate and power events, and the install-time checks
// of the indicators.
#include "DockMonitor.h"
#include "FakePosture.h"
#include "MachineConfig.h"
#include "PostureService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

using posture::DockWorker;
using posturetest::FakePosture;
using posturetest::Returns;
using posturetest::WorkerMode;
using testsupport::TestLog;

namespace {

// State, check point and wait hint of one report.
using Report = std::tuple<DWORD, DWORD, DWORD>;

const Report kStartPending{SERVICE_START_PENDING, 1, 30000};
const Report kRunning{SERVICE_RUNNING, 0, 0};
const Report kStopPending{SERVICE_STOP_PENDING, 0, 50000};
const Report kStopped{SERVICE_STOPPED, 0, 0};

constexpr DWORD kPidVid = 0x00020001;
constexpr wchar_t kKeyboard[] = L"HID\\VID_0001&PID_0002&MI_00\\7&1";

class ServiceRuns : public posturetest::PostureTest {
protected:
    void SetUp() override {
        PostureTest::SetUp();
        machine.keyExists = true;
        fake.methods = {{"VCID", {Returns(0)}}, {"CTST", {Returns(1)}}, {"PLST", {Returns(1)}}};
    }

    std::vector<Report> Reports() {
        std::vector<Report> reports;
        for (const SERVICE_STATUS& status : fake.statuses) {
            reports.emplace_back(status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint);
        }
        return reports;
    }

    static void Stop() { HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr); }

    // The keyboard list's change event, as the service waits on it.
    static bool IsChangeEvent(HANDLE event) {
        return event != nullptr && event == g_hKbdChangeEvent.load();
    }
};

}  // namespace

TEST_F(ServiceRuns, KeyboardModeRunsAWorkerAtStartAndAtEachChange) {
    machine.values = {{L"KeyboardPidVid", kPidVid}, {L"Convertible", 1}};
    fake.keyboards = {kKeyboard};
    int changes = 0;
    fake.onWait = [&](HANDLE event) {
        if (!IsChangeEvent(event)) return;
        EXPECT_EQ(fake.watchesLive, 1) << "a change is asked for before each wait";
        if (++changes == 1) {
            fake.keyboards = {L"HID\\VID_0009&PID_0009\\1"};  // the keyboard went away
            ::SetEvent(event);
        } else {
            Stop();
        }
    };
    ServiceMain(0, nullptr);

    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopPending, kStopped}));
    EXPECT_EQ(fake.workersStarted,
              (std::vector<DockWorker>{DockWorker::PidVid, DockWorker::PidVid}));
    // Laptop mode and undocked at first: docked by the keyboard, then both
    // back when it went.
    EXPECT_EQ(fake.StepsOf("write"),
              (std::vector<std::string>{"write dock", "write slate", "write dock"}));
    EXPECT_EQ(fake.watchesAsked, 2);
    EXPECT_EQ(fake.watchesLive, 0);
    EXPECT_TRUE(fake.methodCalls.empty());
    EXPECT_TRUE(fake.firmwareWaits.empty()) << "no firmware events in keyboard mode";
    EXPECT_EQ(fake.waitTimeouts, 0);
    EXPECT_EQ(TestLog::Count("[TRC] (ServiceMain): Exit"), 1);
    EXPECT_EQ(TestLog::Count("[TRC] (HandlerEx): dwControl = 1"), 1);
    EXPECT_EQ(TestLog::Count("ulNotifyCodeSvc"), 0);
    EXPECT_EQ(g_hKbdChangeEvent.load(), nullptr);
    EXPECT_EQ(g_hDockEvent.load(), nullptr);
    EXPECT_EQ(g_hStopEvent.load(), nullptr);
}

TEST_F(ServiceRuns, KeyboardModeStoppedFromTheControlThread) {
    machine.values = {{L"KeyboardPidVid", kPidVid}};
    fake.keyboards = {kKeyboard};
    fake.workerMode = WorkerMode::Threads;
    std::thread control([&] {
        const bool waiting = testsupport::WaitFor(
            [&] { return fake.Locked([](FakePosture& f) { return f.watchesLive == 1; }); });
        EXPECT_TRUE(waiting);
        fake.JoinWorkers();  // done with the token before the service closes it
        Stop();
    });
    ServiceMain(0, nullptr);
    control.join();
    fake.JoinWorkers();

    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopPending, kStopped}));
    EXPECT_EQ(fake.workersStarted, std::vector<DockWorker>{DockWorker::PidVid});
    EXPECT_EQ(TestLog::Count("[TRC] (ServiceMain): Exit"), 1);
    EXPECT_EQ(fake.waitTimeouts, 0);
}

TEST_F(ServiceRuns, KeyboardModeStopBeforeTheChangeEventExists) {
    machine.values = {{L"KeyboardPidVid", kPidVid}};
    fake.keyboards = {kKeyboard};
    // Running, but the change event not made yet: the stop has nothing to
    // signal.
    fake.onCreateEvent = [&](const std::wstring& name) {
        if (name.empty()) Stop();
    };
    ServiceMain(0, nullptr);

    EXPECT_EQ(fake.watchesAsked, 0);
    EXPECT_EQ(TestLog::Count("[TRC] (ServiceMain): Exit"), 1);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopPending, kStopped}));
}

TEST_F(ServiceRuns, KeyboardModeEndsWhenTheListCannotBeWatched) {
    machine.values = {{L"KeyboardPidVid", kPidVid}};
    fake.watchFails = true;
    ServiceMain(0, nullptr);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
    EXPECT_EQ(fake.watchesAsked, 1);
    EXPECT_EQ(TestLog::Count("Exit"), 0);
}

TEST_F(ServiceRuns, EventsOfTheService) {
    machine.values = {{L"KeyboardPidVid", kPidVid}};
    fake.watchFails = true;
    HANDLE stopEvent = nullptr;
    bool tokenFreeAtStart = false;
    fake.onWait = [&](HANDLE event) {
        // The worker waits on a reference of its own to the dock event.
        if (event == g_hKbdChangeEvent.load() || event == g_hStopEvent.load()) return;
        stopEvent = g_hStopEvent.load();
        tokenFreeAtStart = ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        if (tokenFreeAtStart) ::SetEvent(event);  // back for the worker
    };
    ServiceMain(0, nullptr);

    ASSERT_EQ(fake.eventsCreated.size(), 3u);
    EXPECT_EQ(fake.eventsCreated[0].name, kServiceStopEventName);
    EXPECT_TRUE(fake.eventsCreated[0].manualReset) << "the stop ends every wait";
    EXPECT_EQ(fake.eventsCreated[1].name, kDockEventName);
    EXPECT_FALSE(fake.eventsCreated[1].manualReset) << "the token goes to one worker";
    EXPECT_EQ(fake.eventsCreated[2].name, L"");
    EXPECT_FALSE(fake.eventsCreated[2].manualReset);
    EXPECT_NE(stopEvent, nullptr);
    EXPECT_TRUE(tokenFreeAtStart);
    EXPECT_EQ(fake.controlHandlers, 1);
    for (const SERVICE_STATUS& status : fake.statuses) {
        EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(status.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT));
        EXPECT_EQ(status.dwWin32ExitCode, 0u);
    }
}

TEST_F(ServiceRuns, IndicatorsFoundAtStart) {
    fake.slate.present = false;
    machine.values = {{L"KeyboardPidVid", kPidVid}};
    fake.watchFails = true;
    ServiceMain(0, nullptr);
    EXPECT_FALSE(g_slateIndicatorPath.has_value());
    EXPECT_EQ(g_dockIndicatorPath, std::wstring(FakePosture::kDockPath));
}

TEST_F(ServiceRuns, FirmwareEventFollowsConvertible) {
    struct Row {
        std::optional<DWORD> convertible;
        ULONG code;
        const char* method;
        const char* flagRecord;
        const char* codeRecord;
    };
    const Row rows[] = {
        {1, 0x93, "CTST", "[TRC] (ServiceMain): g_isConvertible = true",
         "[TRC] (ServiceMain): ulNotifyCodeSvc = c_nNotifyCode_ConvertibleEvent"},
        {2, 0x86, "PLST", "g_isReverseDockConvertible = true",
         "ulNotifyCodeSvc = c_nNotifyCode_PLSTEvent"},
        {3, 0x94, "VCID", "g_isConvertible = false,g_isReverseDockConvertible = false",
         "ulNotifyCodeSvc = c_nNotifyCode_DockingEvent"},
        {std::nullopt, 0x94, "VCID", "g_isConvertible = false,g_isReverseDockConvertible = false",
         "ulNotifyCodeSvc = c_nNotifyCode_DockingEvent"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        posturetest::PostureGlobals::Reset();
        TestLog::Mark();
        fake.statuses.clear();
        fake.firmwareWaits.clear();
        fake.workersStarted.clear();
        fake.methodCalls.clear();
        machine.values.clear();
        if (row.convertible) machine.values[L"Convertible"] = *row.convertible;
        fake.firmwareEvents = 1;

        ServiceMain(0, nullptr);
        EXPECT_EQ(ulNotifyCodeSvc, row.code);
        EXPECT_EQ(fake.firmwareWaits, (std::vector<ULONG>{row.code, row.code}));
        EXPECT_EQ(fake.workersStarted.size(), 2u) << "at start and at the event";
        EXPECT_EQ(fake.methodCalls, (std::map<std::string, int>{{row.method, 2}}));
        EXPECT_EQ(TestLog::Count(row.flagRecord), 1);
        EXPECT_EQ(TestLog::Count(row.codeRecord), 1);
        EXPECT_EQ(TestLog::Count("ulNotifyCodeSvc = "), 1);
        EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
    }
}

TEST_F(ServiceRuns, LockedRotationWithoutWorkaroundHasNothingToDo) {
    for (const std::optional<DWORD> noWorkaround :
         {std::optional<DWORD>(), std::optional<DWORD>(1)}) {
        SCOPED_TRACE(noWorkaround.has_value());
        posturetest::PostureGlobals::Reset();
        TestLog::Mark();
        fake.statuses.clear();
        machine.values = {{L"DockRotation", 1}};
        if (noWorkaround) machine.values[L"NoWorkaround"] = *noWorkaround;
        fake.firmwareEvents = 3;

        ServiceMain(0, nullptr);
        EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
        EXPECT_TRUE(fake.firmwareWaits.empty());
        EXPECT_TRUE(fake.workersStarted.empty());
        EXPECT_EQ(fake.workaroundThreadsStarted, 0);
        EXPECT_EQ(TestLog::Count("[TRC] (ServiceMain): g_DockRotation = true"), 1);
        EXPECT_EQ(TestLog::Count("[TRC] (ServiceMain): g_isWorkaround = false"), 1);
    }
}

TEST_F(ServiceRuns, LockedRotationWithWorkaroundWaitsButStartsNoWorker) {
    machine.values = {{L"DockRotation", 1}, {L"NoWorkaround", 0}};
    fake.firmwareEvents = 2;
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake.firmwareWaits.size(), 3u);
    EXPECT_TRUE(fake.workersStarted.empty());
    EXPECT_EQ(fake.workaroundThreadsStarted, 1);
    EXPECT_EQ(TestLog::Count("[TRC] (ServiceMain): g_isWorkaround = true"), 1);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
}

TEST_F(ServiceRuns, WorkaroundThreadOnlyWhenTheInstallAskedForIt) {
    machine.values = {{L"NoWorkaround", 1}};
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake.workaroundThreadsStarted, 0);
    EXPECT_FALSE(g_isWorkaround);
    EXPECT_EQ(TestLog::Count("g_isWorkaround = false"), 1);
    EXPECT_EQ(TestLog::Count("g_DockRotation = false"), 1);

    TestLog::Mark();
    machine.values = {{L"NoWorkaround", 0}};
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake.workaroundThreadsStarted, 1);
    EXPECT_TRUE(g_isWorkaround);

    // A thread that cannot start is recorded; the service runs on.
    TestLog::Mark();
    fake.statuses.clear();
    fake.firmwareWaits.clear();
    fake.workaroundThreadStarts = false;
    fake.firmwareEvents = 1;
    ServiceMain(0, nullptr);
    EXPECT_EQ(TestLog::Count("[ERR] (ServiceMain): Error Code: 0x80004005"), 1);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
    EXPECT_EQ(fake.firmwareWaits.size(), 2u);
}

TEST_F(ServiceRuns, WithoutTheEventDeviceTheServiceStops) {
    fake.eventDevicePresent = false;
    fake.firmwareEvents = 3;
    ServiceMain(0, nullptr);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
    EXPECT_TRUE(fake.firmwareWaits.empty());
    EXPECT_EQ(fake.workersStarted, std::vector<DockWorker>{DockWorker::Standard})
        << "the worker at start still runs";
}

TEST_F(ServiceRuns, EachEventStartsAWorkerUnlessSuspended) {
    machine.values = {{L"NoWorkaround", 1}};
    machine.machine = 0x21;
    fake.firmwareEvents = 4;
    fake.onFirmwareWait = [&](int wait) {
        if (wait == 1) HandlerEx(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, nullptr);
        if (wait == 2) {
            EXPECT_TRUE(g_isSuspend.load());
            HandlerEx(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, nullptr);
        }
    };
    ServiceMain(0, nullptr);

    // At start, at event 0, none at event 1 (suspended), at the resume, at
    // events 2 and 3.
    EXPECT_EQ(fake.workersStarted.size(), 5u);
    EXPECT_EQ(fake.firmwareWaits.size(), 5u);
    EXPECT_EQ(fake.StepsOf("sleep"), (std::vector<std::string>{"sleep 4000", "sleep 1000"}));
    EXPECT_FALSE(g_isSuspend.load());
    EXPECT_EQ(TestLog::Count("ResumeFromSuspend 1st"), 1);
    EXPECT_EQ(TestLog::Count("dwControl = 13"), 2);
    EXPECT_EQ(fake.workaroundSequences, 0);
}

TEST_F(ServiceRuns, StopEndsTheFirmwareWait) {
    fake.firmwareEvents = 5;
    bool stopSignalled = false;
    fake.onFirmwareWait = [&](int wait) {
        if (wait != 1) return;
        Stop();
        stopSignalled = ::WaitForSingleObject(g_hStopEvent.load(), 0) == WAIT_OBJECT_0;
    };
    ServiceMain(0, nullptr);
    EXPECT_TRUE(stopSignalled);
    EXPECT_EQ(fake.firmwareWaits.size(), 2u);
    EXPECT_EQ(fake.workersStarted.size(), 2u);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopPending, kStopped}));
    EXPECT_EQ(g_isStopRequested.load(), 1);
    EXPECT_EQ(TestLog::Count("dwControl = 1"), 1);
}

TEST_F(ServiceRuns, EventsOutliveAStopBeingHandled) {
    // The service ends by itself (no event comes) while a stop is handled on
    // the control thread, which holds the stop event's handle for a while
    // before it signals it. ServiceMain closes its events only after that.
    std::atomic<bool> holding{false};
    std::atomic<bool> signalled{false};
    std::atomic<bool> valid{true};
    std::thread control;
    fake.onSignal = [&](HANDLE event) {
        holding.store(true);
        ::Sleep(300);
        // Still the service's own event: it can be signalled and waited on.
        valid.store(::SetEvent(event) != FALSE && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0);
        signalled.store(true);
    };
    fake.onFirmwareWait = [&](int wait) {
        if (wait != 0) return;
        control = std::thread([] { Stop(); });
        EXPECT_TRUE(testsupport::WaitFor([&] { return holding.load(); }));
    };
    ServiceMain(0, nullptr);
    const bool signalledBeforeReturn = signalled.load();
    control.join();
    EXPECT_TRUE(signalledBeforeReturn) << "ServiceMain returned while a stop held its event";
    EXPECT_TRUE(valid.load());
    EXPECT_EQ(g_hStopEvent.load(), nullptr);
}

TEST_F(ServiceRuns, StopWithoutAStopEventStillEndsTheLoop) {
    fake.eventsFail = true;  // no stop event to end the wait
    fake.firmwareEvents = 5;
    fake.onFirmwareWait = [&](int wait) {
        if (wait == 1) Stop();
    };
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake.firmwareWaits.size(), 2u) << "no wait after the stop";
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopPending, kStopped}));
}

TEST_F(ServiceRuns, InterrogateReportsTheStatusAgain) {
    fake.onFirmwareWait = [&](int) {
        EXPECT_EQ(HandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr),
                  static_cast<DWORD>(NO_ERROR));
    };
    ServiceMain(0, nullptr);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kRunning, kStopped}));
    EXPECT_EQ(TestLog::Count("[TRC] (HandlerEx): dwControl = 4"), 1);
}

TEST_F(ServiceRuns, WorkerThatCannotStartIsRecorded) {
    fake.workerMode = WorkerMode::Refuse;
    fake.firmwareEvents = 1;
    ServiceMain(0, nullptr);
    EXPECT_EQ(TestLog::Count("[ERR] (ServiceMain): Error Code: 0x80070008"), 2);
    EXPECT_EQ(fake.firmwareWaits.size(), 2u);
    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending, kRunning, kStopped}));
}

TEST_F(ServiceRuns, WorkersOnThreadsShareTheToken) {
    fake.workerMode = WorkerMode::Threads;
    fake.methodPauseMs = 5;
    fake.methods["VCID"] = {Returns(0)};
    fake.firmwareEvents = 5;
    // The last worker must be done before ServiceMain closes the token.
    fake.onFirmwareWait = [&](int wait) {
        if (wait == 5) fake.JoinWorkers();
    };
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake.workersStarted.size(), 6u);
    EXPECT_EQ(fake.maxMethodsInFlight, 1);
    EXPECT_EQ(fake.slate.writes, 1) << "laptop mode reported: one worker switches to slate";
    EXPECT_EQ(fake.waitTimeouts, 0);
}

namespace {

class PowerEvents : public posturetest::PostureTest {
protected:
    void SetUp() override {
        PostureTest::SetUp();
        FindIndicators();
        MakeDockToken();
        machine.machine = 0x21;
        fake.methods["VCID"] = {Returns(0)};
    }
    static DWORD Power(DWORD event) {
        return HandlerEx(SERVICE_CONTROL_POWEREVENT, event, nullptr, nullptr);
    }
};

}  // namespace

TEST_F(PowerEvents, SuspendDefersWorkersOnPlainDockingMachinesAndOnOneModel) {
    struct Row {
        bool convertible;
        bool reverseDock;
        bool workaround;
        DWORD machineWord;
        bool suspends;
    };
    const Row rows[] = {
        {false, false, false, 0x21, true}, {true, false, false, 0x21, false},
        {false, true, false, 0x21, false}, {false, false, true, 0x21, false},
        {true, true, true, 0xA9, true},    {false, false, false, 0xA9, true},
        {false, true, false, 0xA8, false}, {false, false, true, 0xA9, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.convertible << row.reverseDock << row.workaround
                                        << " 0x" << std::hex << row.machineWord);
        TestLog::Mark();
        machine.steps.clear();
        g_isSuspend.store(false);
        g_isConvertible = row.convertible;
        g_isReverseDockConvertible = row.reverseDock;
        g_isWorkaround = row.workaround;
        machine.machine = row.machineWord;
        EXPECT_EQ(Power(PBT_APMSUSPEND), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(g_isSuspend.load(), row.suspends);
        EXPECT_EQ(TestLog::Count("[TRC] (HandlerEx): match machine id, set g_isSuspend=TRUE when "
                                 "suspend"),
                  row.machineWord == 0xA9 ? 1 : 0);
        EXPECT_EQ(TestLog::Count("POSTURESVC__PBT_APMSUSPEND__SERVICE_CONTROL_POWEREVENT"), 1);
        EXPECT_EQ(machine.steps, std::vector<std::string>{"read 0x96"});
        EXPECT_TRUE(fake.workersStarted.empty());
    }
}

TEST_F(PowerEvents, ResumeStartsAWorkerUnlessRotationIsLocked) {
    fake.slateModeMetric = 1;
    Power(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(fake.workersStarted, std::vector<DockWorker>{DockWorker::Standard});
    EXPECT_EQ(fake.slate.writes, 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC__PBT_APMRESUMEAUTOMATIC__SERVICE_CONTROL_POWEREVENT"), 1);
    EXPECT_EQ(TestLog::Count("No Create Lock Rotation Thread"), 0);

    TestLog::Mark();
    g_DockRotation = true;
    Power(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(fake.workersStarted.size(), 1u);
    EXPECT_EQ(TestLog::Count("[TRC] (HandlerEx): POSTURESVC::No Create Lock Rotation Thread from "
                             "Resume"),
              1);
    EXPECT_TRUE(machine.steps.empty()) << "resume reads no identity";
}

TEST_F(PowerEvents, ResumeRunsTheWorkaroundOnlyWhenItIsOn) {
    Power(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(fake.workaroundSequences, 0);
    EXPECT_EQ(TestLog::Count("POSTURESVC::Resume with no workaround"), 1);

    TestLog::Mark();
    g_isWorkaround = true;
    Power(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(fake.workaroundSequences, 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC::Resume with Workaround"), 1);
    EXPECT_EQ(fake.workersStarted.size(), 2u);
}

TEST_F(PowerEvents, SuspendThenResumeWaitsForTheMachineToSettle) {
    Power(PBT_APMSUSPEND);
    ASSERT_TRUE(g_isSuspend.load());
    Power(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(fake.steps, (std::vector<std::string>{"worker standard", "sleep 4000", "method VCID",
                                                    "write slate", "sleep 1000"}));
    EXPECT_FALSE(g_isSuspend.load());
    EXPECT_TRUE(TokenFree());
}

TEST_F(PowerEvents, SuspendWhileAWorkerRunsIsLeftForTheResume) {
    // The worker that runs when the machine goes to sleep did not resume
    // from it: the worker of the resume must still wait for the machine.
    fake.onMethod = [&](const std::string&) {
        if (fake.methodCalls["VCID"] == 1) Power(PBT_APMSUSPEND);
    };
    DockStatusThread();
    EXPECT_TRUE(g_isSuspend.load());
    EXPECT_EQ(TestLog::Count("ResumeFromSuspend"), 0);
    EXPECT_TRUE(fake.StepsOf("sleep").empty());

    fake.steps.clear();
    Power(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(fake.steps, (std::vector<std::string>{"worker standard", "sleep 4000", "method VCID",
                                                    "sleep 1000"}));
    EXPECT_FALSE(g_isSuspend.load());
}

TEST_F(PowerEvents, OtherControlsChangeNothing) {
    EXPECT_EQ(Power(PBT_APMPOWERSTATUSCHANGE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(HandlerEx(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(g_isSuspend.load());
    EXPECT_EQ(g_isStopRequested.load(), 0);
    EXPECT_TRUE(fake.steps.empty());
    EXPECT_TRUE(fake.statuses.empty());
    EXPECT_TRUE(machine.steps.empty());
    EXPECT_EQ(TestLog::Count("dwControl = 13"), 1);
    EXPECT_EQ(TestLog::Count("dwControl = 2"), 1);
}

namespace {

using IndicatorCheck = posturetest::PostureTest;

}  // namespace

TEST_F(IndicatorCheck, EitherIndicatorIsEnough) {
    struct Row {
        bool slate;
        bool dock;
        HRESULT result;
    };
    const Row rows[] = {
        {true, true, S_OK}, {true, false, S_OK}, {false, true, S_OK}, {false, false, E_FAIL}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.slate << row.dock);
        TestLog::Mark();
        fake.slate.present = row.slate;
        fake.dock.present = row.dock;
        EXPECT_EQ(CommandCheck(), row.result);
        EXPECT_EQ(TestLog::Count("[ERR] (CommandCheck): Error Code: 0x80004005"),
                  row.result == S_OK ? 0 : 1);
        EXPECT_EQ(RunCommandLine(L"/CHECK"), row.result == S_OK ? 1 : -1);
    }
    EXPECT_TRUE(fake.steps.empty()) << "a check writes nothing";
}

TEST_F(IndicatorCheck, UninstallRestoresTheIndicatorsOnlyWhenTheServiceWasDeleted) {
    fake.slateModeMetric = 1;  // laptop mode
    fake.dockedMetric = 1;     // docked
    fake.serviceDeletable = false;
    EXPECT_EQ(UninstallService(), E_POINTER);
    EXPECT_EQ(fake.steps, std::vector<std::string>{"delete service refused"});
    EXPECT_EQ(TestLog::Count("[ERR] (UninstallService): Error Code: 0x80004003"), 1);

    fake.steps.clear();
    fake.serviceDeletable = true;
    EXPECT_EQ(UninstallService(), S_OK);
    EXPECT_EQ(fake.steps,
              (std::vector<std::string>{"delete service", "write slate", "write dock"}));
    EXPECT_EQ(TestLog::Count("[ERR]"), 1);
}

TEST_F(IndicatorCheck, RestoreLeavesSlateModeUndocked) {
    struct Row {
        int slateModeMetric;
        int dockedMetric;
        std::vector<std::string> writes;
    };
    const Row rows[] = {
        {0, 0, {}},
        {1, 0, {"write slate"}},
        {0, 1, {"write dock"}},
        {1, 1, {"write slate", "write dock"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.slateModeMetric << row.dockedMetric);
        fake.steps.clear();
        fake.slateModeMetric = row.slateModeMetric;
        fake.dockedMetric = row.dockedMetric;
        RestoreIndicators();
        EXPECT_EQ(fake.steps, row.writes);
        EXPECT_EQ(fake.slateModeMetric, 0);
        EXPECT_EQ(fake.dockedMetric, 0);
    }
    EXPECT_EQ(g_slateIndicatorPath, std::wstring(FakePosture::kSlatePath));
    EXPECT_EQ(g_dockIndicatorPath, std::wstring(FakePosture::kDockPath));
}
