// The real channel code against the simulated value-added device: request
// layouts, status rules, polling, method results, event waits and the stop
// event, the one-opener rule of HWPLD, and the workaround thread.
#include "DbgLog.h"
#include "TestSupport.h"
#include "VadChannel.h"
#include "VadSimClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using testsupport::TestLog;
using testsupport::WaitFor;

namespace {

class VadChannelDevice : public ::testing::Test {
protected:
    vadsim::ControlChannel control;
    nrv::UniqueHandle stopEvent{::CreateEventW(nullptr, TRUE, FALSE, kServiceStopEventName)};

    void SetUp() override {
        ASSERT_TRUE(control.Open()) << "the simulated device is not loaded";
        ASSERT_TRUE(control.Reset());
        ASSERT_TRUE(stopEvent);
        ::ResetEvent(stopEvent.get());
    }
    void TearDown() override { ::ResetEvent(stopEvent.get()); }

    std::vector<vadsim::LogEntry> Requests(ULONG device) {
        std::vector<vadsim::LogEntry> all, requests;
        EXPECT_TRUE(control.ReadLog(&all));
        for (const auto& entry : all) {
            if (entry.kind == vadsim::kLogRequest && entry.device == device)
                requests.push_back(entry);
        }
        return requests;
    }

    ULONG PendingWaits() {
        vadsim::DeviceState state{};
        EXPECT_TRUE(control.QueryState(&state));
        return state.pendingWaits;
    }
};

void ExpectWords(const vadsim::LogEntry& entry, std::vector<ULONG> words) {
    for (std::size_t i = 0; i < words.size(); ++i)
        EXPECT_EQ(entry.words[i], words[i]) << "word " << i;
}

}  // namespace

TEST_F(VadChannelDevice, DriverOpenedTwiceKeepsTheFirstHandle) {
    VAD::Driver driver;
    ASSERT_EQ(driver.open(vad::kRegisterDevicePath), S_OK);
    TestLog::Mark();
    EXPECT_EQ(driver.open(vad::kRegisterDevicePath), E_FAIL);
    EXPECT_EQ(TestLog::Count("[ERR] (VAD::Driver::open): Error Code: 0x80004005"), 1);
    vad::RegisterBlock in{{vad::kFunctionWrite, 0x56, 1, 0x2000, 0, 0}}, out{};
    DWORD bytes = 0;
    EXPECT_EQ(driver.ioControl(IOCTL_HWPL_REGISTER, &in, 24, &out, 24, &bytes, nullptr), S_OK);
    const auto requests = Requests(vadsim::kDeviceHwplz);
    ASSERT_EQ(requests.size(), 1u);
    ExpectWords(requests[0], {0xFF00, 0x56, 1, 0x2000, 0, 0});
}

TEST_F(VadChannelDevice, IoControlAfterAFailedOpenNeverReachesTheDevice) {
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplz, false));
    TestLog::Mark();
    {
        SHCI hci;  // the LED update: the open fails, then the exchange
        EXPECT_TRUE(hci.Exchange(vad::kFunctionWrite, 0x56, 0, 0xFFFE, 0, 0));
    }
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplz, true));
    EXPECT_TRUE(Requests(vadsim::kDeviceHwplz).empty());
    EXPECT_EQ(TestLog::Count("(VAD::Driver::open): Error Code: 0x8007"), 1);
    EXPECT_EQ(TestLog::Count("(VAD::Driver::ioControl): Error Code: 0x80004005"), 1);

    SHCI working;
    EXPECT_FALSE(working.Exchange(vad::kFunctionWrite, 0x56, 0, 0xFFFE, 0, 0));
    const auto requests = Requests(vadsim::kDeviceHwplz);
    ASSERT_EQ(requests.size(), 1u);
    ExpectWords(requests[0], {0xFF00, 0x56, 0, 0xFFFE, 0, 0});
}

TEST_F(VadChannelDevice, IdentityReadsAndTheNotAvailableStatus) {
    CHwpldCtrlMgr manager;
    ASSERT_TRUE(control.SetIdentity(0x1234, 0xA9));
    HciReadResult read{};
    ASSERT_TRUE(manager.HciRead(0x96, read));
    EXPECT_EQ(read.status, 0u);
    EXPECT_EQ(read.value2, 0x1234u);
    EXPECT_EQ(read.value3, 0xA9u);
    ExpectWords(Requests(vadsim::kDeviceHwpld).back(), {0xFE00, 0x96, 0, 0, 0, 0});

    ASSERT_TRUE(control.SetIdentityUnavailable());
    ASSERT_TRUE(manager.HciRead(0x96, read));
    EXPECT_EQ(read.status, 0x8000u);
}

TEST_F(VadChannelDevice, PolledReadAnsweredNotReadyThreeTimes) {
    ASSERT_TRUE(control.SetPolled({0xA6, 3, 0xBBBBAAAA, 0x1234CCCC, 0, 0}));
    CHwpldCtrlMgr manager;
    HciPolledValues values{};
    ASSERT_TRUE(manager.HciReadPolled(0xA6, 0x200, values));
    EXPECT_EQ(values.first, 0xAAAA);
    EXPECT_EQ(values.second, 0xBBBB);
    EXPECT_EQ(values.third, 0xCCCC);

    const auto requests = Requests(vadsim::kDeviceHwpld);
    ASSERT_EQ(requests.size(), 5u) << "the start request and four polls";
    ExpectWords(requests[0], {0xFE00, 0xA6, 0, 0x200, 0, 0});
    for (std::size_t i = 1; i < 5; ++i) {
        ExpectWords(requests[i], {0xFE00, 0xA6, 0, 0x200, 0, 1});
        EXPECT_GE(requests[i].timeUs - requests[i - 1].timeUs, 1500u)
            << "polls are about 2 ms apart";
    }
}

TEST_F(VadChannelDevice, StartAnsweredCompleteStillPolls) {
    ASSERT_TRUE(control.SetPolled({0xA6, 0, 0x00020001, 0x0003, 0, 0}));
    CHwpldCtrlMgr manager;
    HciPolledValues values{};
    ASSERT_TRUE(manager.HciReadPolled(0xA6, 0x201, values));
    EXPECT_EQ(values.first, 1);
    EXPECT_EQ(values.second, 2);
    EXPECT_EQ(values.third, 3);
    EXPECT_EQ(Requests(vadsim::kDeviceHwpld).size(), 2u);
}

TEST_F(VadChannelDevice, PollingAFirmwareThatNeverGetsReadyEndsAfterAboutASecond) {
    ASSERT_TRUE(control.SetPolled({0xA6, vadsim::kAlways, 0, 0, 0, 0}));
    CHwpldCtrlMgr manager;
    HciPolledValues values{};
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(manager.HciReadPolled(0xA6, 0x200, values));
    const ULONGLONG took = ::GetTickCount64() - start;
    EXPECT_GE(took, CHwpldCtrlMgr::kPollingLimitMs);
    EXPECT_LT(took, 5000u);
    EXPECT_GT(Requests(vadsim::kDeviceHwpld).size(), 10u);
}

TEST_F(VadChannelDevice, FailedStatusesFailTheReads) {
    ASSERT_TRUE(control.SetPolled({0xA6, 0, 0, 0, 0x0100, 0}));  // start answered with a failure
    CHwpldCtrlMgr manager;
    HciPolledValues values{};
    EXPECT_FALSE(manager.HciReadPolled(0xA6, 0x200, values));
    EXPECT_EQ(Requests(vadsim::kDeviceHwpld).size(), 1u) << "no poll after a failed start";

    ASSERT_TRUE(control.Reset());
    ASSERT_TRUE(control.SetPolled({0xA6, 1, 0, 0, 0, 0x8000}));  // a poll answered "not available"
    EXPECT_FALSE(manager.HciReadPolled(0xA6, 0x200, values));
}

TEST_F(VadChannelDevice, MethodResultAsEachCallerReadsIt) {
    for (ULONG name : {vad::MethodName("VCID"), vad::MethodName("CTST"), vad::MethodName("PLST")}) {
        ASSERT_TRUE(control.SetMethod(name, 0x00000101));
    }
    ULONG vcid = 0, ctst = 0, plst = 0;
    ASSERT_EQ(EvaluateDeviceMethod("VCID", vcid), MethodOutcome::Succeeded);
    ASSERT_EQ(EvaluateDeviceMethod("CTST", ctst), MethodOutcome::Succeeded);
    ASSERT_EQ(EvaluateDeviceMethod("PLST", plst), MethodOutcome::Succeeded);
    EXPECT_EQ(vcid, 0x101u);
    EXPECT_EQ(ctst & 0xFF, 1u);
    EXPECT_EQ(plst & 0xFF, 1u);
    const auto requests = Requests(vadsim::kDeviceHwplz);
    ASSERT_EQ(requests.size(), 3u);
    ExpectWords(requests[0], {0, 8, 0x42696541, 0x44494356, 0, 0, 0, 0});

    ASSERT_TRUE(control.FailMethod(vad::MethodName("CTST")));
    EXPECT_EQ(EvaluateDeviceMethod("CTST", ctst), MethodOutcome::Failed);

    // A reply that ends before the result word carries no result.
    ASSERT_TRUE(control.ShortMethodReply(vad::MethodName("PLST"), 3));
    plst = 0x55;
    EXPECT_EQ(EvaluateDeviceMethod("PLST", plst), MethodOutcome::Failed);
    EXPECT_EQ(plst, 0x55u) << "the caller's value is left alone";
}

TEST_F(VadChannelDevice, EventCompletedWithAFailureIsNotDelivered) {
    // The device writes a value into word 0 but completes the wait with a
    // device error: no event.
    std::thread firmware([this] {
        WaitFor([this] { return PendingWaits() == 1; });
        control.Raise(0x94, 7, vadsim::kRaiseFail);
    });
    CHwplgCtrlMgr manager;
    ULONG value = 0;
    EXPECT_FALSE(WaitDeviceEvent(manager, 0x94, value));
    firmware.join();
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(PendingWaits(), 0u);
}

TEST_F(VadChannelDevice, EventWaitDeliversTheRaisedValue) {
    std::thread firmware([this] {
        WaitFor([this] { return PendingWaits() == 1; });
        control.Raise(0x94, 7);
    });
    CHwplgCtrlMgr manager;
    ULONG value = 0;
    EXPECT_TRUE(WaitDeviceEvent(manager, 0x94, value));
    EXPECT_EQ(value, 7u);
    firmware.join();
}

TEST_F(VadChannelDevice, WaitsThatDoNotDeliverAnEventReturnFalse) {
    // Completed without pending.
    ASSERT_TRUE(control.SetEventMode(vadsim::kEventsCompleteAtOnce, 5));
    CHwplgCtrlMgr first;
    ULONG value = 0;
    EXPECT_FALSE(WaitDeviceEvent(first, 0x94, value));

    // Completed with word 0 still 0xFFFFFFFF.
    ASSERT_TRUE(control.SetEventMode(vadsim::kEventsPend));
    std::thread firmware([this] {
        WaitFor([this] { return PendingWaits() == 1; });
        control.Raise(0x93, vad::kNoEvent);
    });
    CHwplgCtrlMgr second;
    EXPECT_FALSE(WaitDeviceEvent(second, 0x93, value));
    firmware.join();
}

TEST_F(VadChannelDevice, StopEventEndsWaitsAndCancelsThePendingRequest) {
    ::SetEvent(stopEvent.get());  // a stop that comes before the wait is not lost
    CHwplgCtrlMgr before;
    ULONG value = 0;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(WaitDeviceEvent(before, 0x94, value));
    EXPECT_LT(::GetTickCount64() - start, 2000u);
    EXPECT_EQ(PendingWaits(), 0u);
    ::ResetEvent(stopEvent.get());

    std::thread service([this] {
        WaitFor([this] { return PendingWaits() == 1; });
        ::SetEvent(stopEvent.get());
    });
    CHwplgCtrlMgr during;
    EXPECT_FALSE(WaitDeviceEvent(during, 0x94, value));
    service.join();
    EXPECT_EQ(PendingWaits(), 0u) << "the request was cancelled before the wait returned";
}

TEST_F(VadChannelDevice, StoppedWaitAwaitsACancelledRequestTheDeviceCompletesLate) {
    // The device holds the cancelled request and completes it only when told,
    // writing into its output buffer then. The wait must not return (and
    // give up its buffers) before that; closing the handle instead would
    // leave the device writing into memory the caller no longer owns.
    ASSERT_TRUE(control.SetCancelMode(vadsim::kCancelLate));
    std::atomic<bool> returned{false};
    bool returnedBeforeCompletion = true;
    ULONG completedLate = 0;
    std::thread service([&] {
        WaitFor([this] { return PendingWaits() == 1; });
        ::SetEvent(stopEvent.get());
        ::Sleep(500);
        returnedBeforeCompletion = returned.load();
        EXPECT_TRUE(control.CompleteCancelled(&completedLate));
    });
    CHwplgCtrlMgr manager;
    ULONG value = 0;
    EXPECT_FALSE(WaitDeviceEvent(manager, 0x94, value));
    returned.store(true);
    service.join();
    EXPECT_FALSE(returnedBeforeCompletion) << "the wait returned while the request still pended";
    EXPECT_EQ(completedLate, 1u) << "the request was cancelled and held";
    EXPECT_EQ(value, 0u) << "a stopped wait delivers nothing";
    EXPECT_EQ(PendingWaits(), 0u);
}

TEST_F(VadChannelDevice, SecondHwpldOpenFailsWhileOneIsHeld) {
    nrv::UniqueFileHandle held(::CreateFileW(vad::kDirectDevicePath, 0, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    CHwpldCtrlMgr manager;
    HciReadResult read{};
    EXPECT_FALSE(manager.HciRead(0x96, read));
    held.reset();
    EXPECT_TRUE(manager.HciRead(0x96, read));
}

TEST_F(VadChannelDevice, WorkaroundSequenceWritesAndReads) {
    ASSERT_TRUE(control.SetPolled({0xA6, 1, 0, 0, 0, 0}));
    CHCISvr server;
    EXPECT_EQ(server.RunWorkaroundSequence(), WorkaroundResult::Succeeded);
    const auto requests = Requests(vadsim::kDeviceHwpld);
    ASSERT_EQ(requests.size(), 8u)
        << "two writes, then two reads of a start request and two polls each";
    ExpectWords(requests[0], {0xFF00, 0xA6, 0x200020, 0x102, 0x20, 0});
    ExpectWords(requests[1], {0xFF00, 0xA6, 0, 0x100, 0, 0});
    ExpectWords(requests[2], {0xFE00, 0xA6, 0, 0x200, 0, 0});
    ExpectWords(requests[4], {0xFE00, 0xA6, 0, 0x200, 0, 1});
    ExpectWords(requests[5], {0xFE00, 0xA6, 0, 0x201, 0, 0});
    ExpectWords(requests[7], {0xFE00, 0xA6, 0, 0x201, 0, 1});
}

namespace {

std::atomic<int> g_sensorPolls{0};
std::atomic<int> g_sleeps{0};

class CountingSensors : public SensorPoller {
public:
    void PollSensors() override { ++g_sensorPolls; }
};

std::unique_ptr<SensorPoller> CountingSensorFactory() {
    return std::make_unique<CountingSensors>();
}
void WINAPI NoSleep(DWORD milliseconds) {
    EXPECT_EQ(milliseconds, 60000u);
    ++g_sleeps;
}

}  // namespace

TEST_F(VadChannelDevice, WorkaroundThreadEndsWithZeroWithoutASensorManager) {
    ASSERT_TRUE(control.SetPolled({0xA6, 0, 0, 0, 0, 0}));
    CHCISvr server;
    ASSERT_TRUE(server.StartWorkaroundThread());  // Wine has no sensor manager class
    ASSERT_EQ(::WaitForSingleObject(server.WorkaroundThread(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    ::GetExitCodeThread(server.WorkaroundThread(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(PendingWaits(), 0u) << "no event wait without sensors";
}

TEST_F(VadChannelDevice, WorkaroundThreadReadsTheSensorsAtEachEventUntilStopped) {
    ASSERT_TRUE(control.SetPolled({0xA6, 0, 0, 0, 0, 0}));
    g_sensorPolls = 0;
    g_sleeps = 0;
    CHCISvr server;
    ASSERT_TRUE(server.StartWorkaroundThread(CountingSensorFactory, NoSleep));
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(WaitFor([this] { return PendingWaits() == 1; }));
        ASSERT_TRUE(control.Raise(CHCISvr::kWorkaroundEvent, 1));
        ASSERT_TRUE(WaitFor([i] { return g_sensorPolls == i; }));
    }
    ASSERT_TRUE(WaitFor([this] { return PendingWaits() == 1; }));
    ::SetEvent(stopEvent.get());
    ASSERT_EQ(::WaitForSingleObject(server.WorkaroundThread(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    ::GetExitCodeThread(server.WorkaroundThread(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(g_sensorPolls.load(), 2);
    EXPECT_EQ(g_sleeps.load(), 2);
}

TEST_F(VadChannelDevice, WorkaroundThreadEndsWithTwoWhenTheReadsFail) {
    ASSERT_TRUE(control.SetPolled({0xA6, 0, 0, 0, 0x0100, 0}));
    CHCISvr server;
    EXPECT_EQ(server.RunWorkaroundThread(CountingSensorFactory, NoSleep), 2u);
}
