// The dock workers over a fake machine: which indicators they flip for each
// state and each reported mode, which query they ask, their retries and
// resume waits on the virtual clock, and the dock token that makes them run
// one at a time (on real threads).
#include "DockMonitor.h"
#include "FakePosture.h"
#include "MachineConfig.h"
#include "PostureService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using posture::DockWorker;
using posturetest::CallFails;
using posturetest::DeviceUnavailable;
using posturetest::Returns;
using posturetest::WorkerMode;
using testsupport::TestLog;

namespace {

constexpr ULONG kKeyboardDockId = 0x4B424431;

class DockWorkers : public posturetest::PostureTest {
protected:
    void SetUp() override {
        PostureTest::SetUp();
        KbDockIds = {kKeyboardDockId};
        FindIndicators();
        MakeDockToken();
    }

    // What Windows reports before the worker runs.
    void Report(bool slateMode, bool docked) {
        fake.slateModeMetric = slateMode ? 0 : 1;
        fake.dockedMetric = docked ? 1 : 0;
    }
};

std::vector<std::string> Steps(std::initializer_list<const char*> steps) {
    return {steps.begin(), steps.end()};
}

const char kSlate[] = "write slate";
const char kDock[] = "write dock";

}  // namespace

TEST_F(DockWorkers, TogglesWhatDiffersFromTheDockState) {
    struct Row {
        ULONG dockId;
        bool slateMode;
        bool docked;
        std::vector<std::string> writes;
    };
    const Row rows[] = {
        // A keyboard dock: laptop mode, docked.
        {kKeyboardDockId, true, false, {kSlate, kDock}},
        {kKeyboardDockId, true, true, {kSlate}},
        {kKeyboardDockId, false, false, {kDock}},
        {kKeyboardDockId, false, true, {}},
        // A cradle: slate mode, docked.
        {kCradleDockId, true, false, {kDock}},
        {kCradleDockId, true, true, {}},
        {kCradleDockId, false, false, {kSlate, kDock}},
        {kCradleDockId, false, true, {kSlate}},
        // Nothing attached: slate mode, undocked.
        {0, true, false, {}},
        {0, true, true, {kDock}},
        {0, false, false, {kSlate}},
        {0, false, true, {kSlate, kDock}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "dock id 0x" << std::hex << row.dockId
                                        << (row.slateMode ? " slate" : " laptop")
                                        << (row.docked ? " docked" : " undocked"));
        fake.steps.clear();
        fake.methods["VCID"] = {Returns(row.dockId)};
        Report(row.slateMode, row.docked);
        DockStatusThread();
        EXPECT_EQ(fake.StepsOf("write"), row.writes);
        EXPECT_TRUE(fake.StepsOf("sleep").empty());
        EXPECT_TRUE(TokenFree());
    }
}

TEST_F(DockWorkers, WindowsEndsInTheStateOfTheMachine) {
    struct Target {
        ULONG dockId;
        int slateModeMetric;
        int dockedMetric;
    };
    const Target targets[] = {{kKeyboardDockId, 1, 1}, {kCradleDockId, 0, 1}, {0, 0, 0}};
    for (const Target& target : targets) {
        for (int slate : {0, 1}) {
            for (int docked : {0, 1}) {
                SCOPED_TRACE(testing::Message()
                             << std::hex << target.dockId << " " << slate << docked);
                fake.slateModeMetric = slate;
                fake.dockedMetric = docked;
                fake.methods["VCID"] = {Returns(target.dockId)};
                DockStatusThread();
                EXPECT_EQ(fake.slateModeMetric, target.slateModeMetric);
                EXPECT_EQ(fake.dockedMetric, target.dockedMetric);
                // A second run finds nothing to change.
                fake.steps.clear();
                DockStatusThread();
                EXPECT_TRUE(fake.StepsOf("write").empty());
            }
        }
    }
}

TEST_F(DockWorkers, RecordsOfEachState) {
    fake.methods["VCID"] = {Returns(kKeyboardDockId)};
    Report(true, false);
    DockStatusThread();
    EXPECT_EQ(TestLog::Count("[TRC] (DockStatusThread): "
                             "POSTURESVC_DockStatusThread_PassedWaitForSingleObject"),
              1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_StandardDocking"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_FinishGetCurrentDockStatusLoop"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_Connect_KBDock"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_ToggleDockState_KBDock"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_ToggleDockState_CradleDock"), 1);

    TestLog::Mark();
    fake.methods["VCID"] = {Returns(kCradleDockId)};
    DockStatusThread();
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_Connect_CradleDock"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_Connect_KBDock"), 0);

    TestLog::Mark();
    fake.methods["VCID"] = {Returns(0)};
    DockStatusThread();
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_ToggleDockState_Disconnect"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_Connect_"), 0);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_ToggleDockState_CradleDock"), 1);
}

TEST_F(DockWorkers, QueryFollowsTheMachineKind) {
    fake.methods = {{"VCID", {Returns(0)}}, {"CTST", {Returns(0)}}, {"PLST", {Returns(3)}}};

    g_isConvertible = true;
    Report(true, false);
    DockStatusThread();
    EXPECT_EQ(fake.methodCalls, (std::map<std::string, int>{{"CTST", 1}}));
    EXPECT_EQ(fake.StepsOf("write"), Steps({kSlate, kDock})) << "clamshell: laptop, docked";

    g_isConvertible = false;
    g_isReverseDockConvertible = true;
    fake.steps.clear();
    Report(false, false);
    DockStatusThread();
    EXPECT_EQ(fake.methodCalls, (std::map<std::string, int>{{"CTST", 1}, {"PLST", 1}}));
    EXPECT_EQ(fake.StepsOf("write"), Steps({kSlate, kDock})) << "flip: slate, docked";

    g_isReverseDockConvertible = false;
    DockStatusThread();
    EXPECT_EQ(fake.methodCalls,
              (std::map<std::string, int>{{"CTST", 1}, {"PLST", 1}, {"VCID", 1}}));
}

TEST_F(DockWorkers, NoStateAfterThreeQueriesTogglesNothing) {
    fake.methods["VCID"] = {CallFails()};
    Report(false, true);
    DockStatusThread();
    EXPECT_EQ(fake.steps, Steps({"method VCID", "sleep 2", "method VCID", "sleep 2", "method VCID",
                                 "sleep 2"}));
    EXPECT_EQ(fake.now, 6u);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_Failed GetCurrentDockStatus"), 1);
    EXPECT_EQ(TestLog::Count("ToggleDockState_"), 0);
    EXPECT_TRUE(TokenFree());

    // An unknown dock id is no state either.
    fake.steps.clear();
    fake.methods["VCID"] = {Returns(0x1234)};
    DockStatusThread();
    EXPECT_EQ(fake.methodCalls["VCID"], 6);
    EXPECT_TRUE(fake.StepsOf("write").empty());
}

TEST_F(DockWorkers, QueryRetriedUntilAState) {
    fake.methods["VCID"] = {DeviceUnavailable(), CallFails(), Returns(0)};
    Report(false, false);
    DockStatusThread();
    EXPECT_EQ(fake.steps, Steps({"method VCID", "sleep 2", "method VCID", "sleep 2", "method VCID",
                                 "write slate"}));
    EXPECT_EQ(TestLog::Count("Error Code: 0xffffffff"), 1);
    EXPECT_EQ(TestLog::Count("Failed GetCurrentDockStatus"), 0);
}

TEST_F(DockWorkers, FailingIndicatorIsTriedTenTimesThenTheOtherOne) {
    fake.methods["VCID"] = {Returns(kKeyboardDockId)};
    fake.slate.failures = -1;
    Report(true, false);
    DockStatusThread();
    EXPECT_EQ(fake.slate.attempts, 10);
    EXPECT_EQ(fake.dock.writes, 1);
    EXPECT_EQ(fake.now, 5000u);
    EXPECT_TRUE(TokenFree());
}

TEST_F(DockWorkers, KeyboardWorkerReadsTheKeyboardList) {
    g_keyboardPidVid = 0x00020001;
    fake.keyboards = {L"HID\\VID_0001&PID_0002\\1"};
    Report(true, false);
    DockStatusThread_PIDVID();
    EXPECT_TRUE(fake.methodCalls.empty());
    EXPECT_EQ(fake.StepsOf("write"), Steps({kSlate, kDock}));
    EXPECT_EQ(TestLog::Count("[TRC] (DockStatusThread_PIDVID): "
                             "POSTURESVC_DockStatusThread_PIDVID_PassedWaitForSingleObject"),
              1);
    EXPECT_EQ(TestLog::Count("StandardDocking"), 0);
    EXPECT_EQ(TestLog::Count("DockStatusThread_PassedWaitForSingleObject"), 0);
    EXPECT_TRUE(TokenFree());

    // Unplugged: the list holds other keyboards only.
    fake.steps.clear();
    fake.keyboards = {L"HID\\VID_0003&PID_0004\\1"};
    DockStatusThread_PIDVID();
    EXPECT_EQ(fake.StepsOf("write"), Steps({kSlate, kDock}));
    EXPECT_EQ(fake.slateModeMetric, 0);
    EXPECT_EQ(fake.dockedMetric, 0);
}

TEST_F(DockWorkers, KeyboardWorkerWithAnEmptyListTogglesNothing) {
    g_keyboardPidVid = 0x00020001;
    Report(false, true);
    DockStatusThread_PIDVID();
    EXPECT_EQ(fake.steps, Steps({"sleep 2", "sleep 2", "sleep 2"}));
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_Failed GetCurrentDockStatus"), 1);
}

TEST_F(DockWorkers, ResumeWaitsBeforeAndAfterAndEndsTheSuspend) {
    g_isSuspend.store(true);
    fake.methods["VCID"] = {Returns(0)};
    Report(false, false);
    DockStatusThread();
    EXPECT_EQ(fake.steps, Steps({"sleep 4000", "method VCID", "write slate", "sleep 1000"}));
    EXPECT_EQ(fake.now, 5000u);
    EXPECT_FALSE(g_isSuspend.load());
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_ResumeFromSuspend 1st"), 1);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_ResumeFromSuspend 2nd"), 1);
    EXPECT_EQ(TestLog::Count("StandardDocking"), 0);
    EXPECT_TRUE(TokenFree());

    // The next run is an ordinary one.
    TestLog::Mark();
    fake.steps.clear();
    DockStatusThread();
    EXPECT_EQ(fake.steps, Steps({"method VCID"}));
    EXPECT_EQ(TestLog::Count("ResumeFromSuspend"), 0);
    EXPECT_EQ(TestLog::Count("StandardDocking"), 1);
}

TEST_F(DockWorkers, ResumeWithoutAStateStillEndsTheSuspend) {
    g_isSuspend.store(true);
    fake.methods["VCID"] = {CallFails()};
    DockStatusThread();
    EXPECT_EQ(fake.steps, Steps({"sleep 4000", "method VCID", "sleep 2", "method VCID", "sleep 2",
                                 "method VCID", "sleep 2", "sleep 1000"}));
    EXPECT_FALSE(g_isSuspend.load());
    EXPECT_TRUE(TokenFree());
}

TEST_F(DockWorkers, WithoutTheDockEventNothingRuns) {
    g_hDockEvent.store(nullptr);
    fake.methods["VCID"] = {Returns(0)};
    Report(false, true);
    DockStatusThread();
    DockStatusThread_PIDVID();
    EXPECT_TRUE(fake.steps.empty());
    EXPECT_TRUE(fake.keyboardValuesRead.empty());
    EXPECT_EQ(TestLog::Count("PassedWaitForSingleObject"), 0);
    EXPECT_TRUE(TokenFree()) << "the token is left as it was";
}

TEST_F(DockWorkers, FailedTokenWaitRunsNothing) {
    fake.waitFails = true;
    fake.methods["VCID"] = {Returns(0)};
    Report(false, true);
    DockStatusThread();
    EXPECT_TRUE(fake.steps.empty());
    EXPECT_EQ(TestLog::Count("[ERR] (DockStatusThread): Error Code: 0x80070006"), 1);
    EXPECT_EQ(TestLog::Count("PassedWaitForSingleObject"), 0);
}

TEST_F(DockWorkers, WorkerWaitsForTheTokenHeldElsewhere) {
    fake.workerMode = WorkerMode::Threads;
    fake.methods["VCID"] = {Returns(0)};
    Report(false, false);
    ASSERT_EQ(::WaitForSingleObject(dockToken.get(), 0), WAIT_OBJECT_0) << "take the token";
    ASSERT_TRUE(fake.StartDockWorker(DockWorker::Standard));
    ::Sleep(200);
    EXPECT_EQ(fake.Locked([](auto& f) { return f.steps.size(); }), 1u) << "only the start";
    ::SetEvent(dockToken.get());
    fake.JoinWorkers();
    EXPECT_EQ(fake.steps, Steps({"worker standard", "method VCID", "write slate"}));
    EXPECT_EQ(fake.waitTimeouts, 0);
    EXPECT_TRUE(TokenFree());
}

TEST_F(DockWorkers, WorkerOutlastsTheServicesDockEvent) {
    // The service stops and closes its dock event while a worker is on its
    // way to the wait: the worker still holds the event, so it neither waits
    // on a closed handle nor signals a value the system may have reused.
    fake.methods["VCID"] = {Returns(0)};
    Report(false, false);
    fake.onWait = [&](HANDLE) {
        g_hDockEvent.store(nullptr);
        dockToken.reset();
    };
    DockStatusThread();
    EXPECT_EQ(fake.steps, Steps({"method VCID", kSlate}));
    EXPECT_EQ(TestLog::Count("[ERR]"), 0);
}

TEST_F(DockWorkers, ConcurrentWorkersRunOneAtATime) {
    fake.workerMode = WorkerMode::Threads;
    fake.methodPauseMs = 5;
    fake.methods["VCID"] = {CallFails()};
    constexpr int kWorkers = 4;
    for (int i = 0; i < kWorkers; ++i) {
        ASSERT_TRUE(fake.StartDockWorker(DockWorker::Standard));
    }
    fake.JoinWorkers();
    EXPECT_EQ(fake.waitTimeouts, 0);
    EXPECT_EQ(fake.maxMethodsInFlight, 1);
    ASSERT_EQ(fake.methodThreads.size(), 3u * kWorkers);
    // Each worker's three queries come together, never mixed with another's.
    for (std::size_t i = 0; i < fake.methodThreads.size(); i += 3) {
        EXPECT_EQ(fake.methodThreads[i], fake.methodThreads[i + 1]) << i;
        EXPECT_EQ(fake.methodThreads[i], fake.methodThreads[i + 2]) << i;
    }
    std::vector<DWORD> threads = fake.methodThreads;
    std::sort(threads.begin(), threads.end());
    EXPECT_EQ(std::unique(threads.begin(), threads.end()) - threads.begin(), kWorkers);
    EXPECT_EQ(TestLog::Count("POSTURESVC_DockStatusThread_PassedWaitForSingleObject"), kWorkers);
    EXPECT_TRUE(TokenFree());
}

TEST_F(DockWorkers, ConcurrentWorkersToggleEachIndicatorOnce) {
    // Each worker reads the mode Windows reports and flips what differs:
    // only one at a time sees the old mode.
    fake.workerMode = WorkerMode::Threads;
    fake.methodPauseMs = 5;
    g_keyboardPidVid = 0x00020001;
    fake.keyboards = {L"HID\\VID_0001&PID_0002\\1"};
    fake.methods["VCID"] = {Returns(kKeyboardDockId)};
    Report(true, false);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fake.StartDockWorker(DockWorker::Standard));
        ASSERT_TRUE(fake.StartDockWorker(DockWorker::PidVid));
    }
    fake.JoinWorkers();
    EXPECT_EQ(fake.waitTimeouts, 0);
    EXPECT_EQ(fake.slate.writes, 1);
    EXPECT_EQ(fake.dock.writes, 1);
    EXPECT_EQ(fake.slateModeMetric, 1);
    EXPECT_EQ(fake.dockedMetric, 1);
    EXPECT_EQ(fake.methodCalls["VCID"], 3);
    EXPECT_EQ(fake.keyboardValuesRead.size(), 3u);
    EXPECT_TRUE(TokenFree());
}
