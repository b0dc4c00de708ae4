// The service host over the fake environment: ServiceMain's order, the stop
// in its three timings, the notifications and the power messages.
#include "FakeRadio.h"
#include "RadioManager.h"
#include "RadioService.h"
#include "TestSupport.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

using radiotest::FakeRadioEnvironment;
using testsupport::TestLog;
using testsupport::WaitFor;

namespace {

class RadioHost : public ::testing::Test {
protected:
    void SetUp() override {
        ResetServiceHostForTest();
        TestLog::Mark();
    }
    void TearDown() override {
        if (serviceMain.joinable()) {
            HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
            serviceMain.join();
        }
        RadioManagerControl().RMStop();
        RadioManagerControl().WaitForThreads(INFINITE);
        RadioManagerControl().ReleaseManagers();
    }

    void StartServiceMain() {
        serviceMain = std::thread([] { ServiceMain(0, nullptr); });
    }
    // ServiceMain returned within timeoutMs.
    bool ServiceMainEnds(DWORD timeoutMs = 3000) {
        const bool ended =
            WaitFor([&] { return TestLog::Contains("LEAVE ServiceMain"); }, timeoutMs);
        if (ended) serviceMain.join();
        return ended;
    }
    std::vector<DWORD> States() {
        std::vector<DWORD> states;
        for (const SERVICE_STATUS& status : environment.Statuses())
            states.push_back(status.dwCurrentState);
        return states;
    }

    FakeRadioEnvironment environment;
    std::thread serviceMain;
};

}  // namespace

TEST_F(RadioHost, StartsInItsOrderAndStopsThroughTheWindow) {
    StartServiceMain();
    ASSERT_TRUE(WaitFor([&] { return TestLog::Contains("g_hNotifyWnd != NULL"); }));
    const std::vector<SERVICE_STATUS> statuses = environment.Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(statuses[0].dwCheckPoint, 1u);
    EXPECT_EQ(statuses[0].dwWaitHint, 30000u);
    EXPECT_EQ(statuses[0].dwControlsAccepted, 0x41u);
    EXPECT_EQ(statuses[0].dwServiceType, 0x10u);
    EXPECT_EQ(statuses[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(statuses[1].dwWaitHint, 0u);
    const std::vector<GUID> interfaces = environment.InterfaceRegistrations();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_TRUE(::IsEqualGUID(interfaces[0], kBthportInterfaceClass));
    EXPECT_TRUE(::IsEqualGUID(interfaces[1], kRfcommInterfaceClass));
    EXPECT_EQ(TestLog::Count("-----------------RegisterDeviceNotification SUCCESS--------------"),
              2);
    // The WWAN power is the first register write.
    const std::vector<radiotest::RegisterWrite> writes = environment.Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().value2, kWwanPowerOn);
    EXPECT_EQ(writes.front().value3, kWwanPowerMask);
    EXPECT_TRUE(TestLog::Contains("ENTER CRadioManagerControl::StartThreadProc"));

    HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    ASSERT_TRUE(ServiceMainEnds());
    EXPECT_TRUE(TestLog::Contains("SendMessage WM_CLSOE"));
    EXPECT_TRUE(TestLog::Contains("(WndProc): WM_CLOSE"));
    EXPECT_TRUE(TestLog::Contains("g_hDevNotifyBT2 != NULL"));
    EXPECT_EQ(environment.unregistered.load(), 3) << "suspend/resume and both interfaces";
    const std::vector<DWORD> states = States();
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[2], static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(environment.Statuses()[2].dwWaitHint, 50000u);
    EXPECT_EQ(states[3], static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(RadioManagerControl().WaitForThreads(0)) << "both radio threads ended first";
}

TEST_F(RadioHost, AStopBeforeTheWindowExistsStillEndsTheService) {
    // The stop arrives, from the dispatcher's thread, while ServiceMain
    // writes the WWAN power: before the window exists.
    environment.onOpenChannel = [this] {
        if (environment.Writes().empty() && !TestLog::Contains("SERVICE_CONTROL_STOP"))
            std::thread([] { HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr); }).join();
    };
    StartServiceMain();
    ASSERT_TRUE(ServiceMainEnds()) << "the loop never started";
    EXPECT_EQ(environment.window.load(), nullptr) << "no window after the stop";
    EXPECT_TRUE(TestLog::Contains("(HandlerEx): g_hNotifyWnd == NULL"));
    const std::vector<DWORD> states = States();
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[states.size() - 2], static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(states.back(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(RadioHost, StoppedIsNeverReportedBeforeStopPending) {
    // The handler is slow to finish (its radio stop waits on a blocked
    // rebuild); ServiceMain, whose loop has ended, waits for its report.
    environment.Script(radiosim::kWlan).blockMethod = radiosim::kGetRadioInstances;
    environment.Script(radiosim::kWlan).blockMs = 700;
    StartServiceMain();
    ASSERT_TRUE(WaitFor([&] { return TestLog::Contains("g_hNotifyWnd != NULL"); }));
    environment.RunUntil(2000);  // the second pass blocks in the WLAN manager
    ASSERT_TRUE(WaitFor([&] { return environment.Passes().size() == 2; }));
    HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    ASSERT_TRUE(ServiceMainEnds());
    const std::vector<DWORD> states = States();
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[2], static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(states[3], static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(RadioHost, WithoutAWindowTheServiceStopsAtOnce) {
    environment.failWindow = true;
    environment.failInterfaceRegistration = ERROR_ACCESS_DENIED;
    StartServiceMain();
    ASSERT_TRUE(ServiceMainEnds());
    EXPECT_EQ(TestLog::Count("-----------------RegisterDeviceNotification Failed--------------"),
              2);
    EXPECT_EQ(TestLog::Count("GetLastError() = 5"), 2);
    EXPECT_TRUE(TestLog::Contains("(NotifyWindowMain): g_hNotifyWnd == NULL"));
    EXPECT_EQ(States(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(RadioHost, DeviceEventsSignalOnceAndSuspendShortensTheWait) {
    const int opens = environment.ChangeEventOpens();
    EXPECT_EQ(HandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, nullptr, nullptr), 0u);
    EXPECT_EQ(environment.ChangeEventOpens(), opens + 1);
    EXPECT_TRUE(environment.ChangeSignalled());
    EXPECT_FALSE(environment.ChangeSignalled()) << "one signal per control";
    EXPECT_TRUE(TestLog::Contains("-----------------SERVICE_CONTROL_DEVICEEVENT--------------"));

    RadioManagerControl().SetWaitCounter(3);
    EXPECT_EQ(WndProc(nullptr, WM_POWERBROADCAST, PBT_APMSUSPEND, 0), 0);
    EXPECT_EQ(RadioManagerControl().WaitCounter(), CRadioManagerControl::kWaitLimit);
    EXPECT_EQ(WndProc(nullptr, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), 0);
    EXPECT_EQ(WndProc(nullptr, WM_POWERBROADCAST, 0x1234, 0), 0);
    EXPECT_EQ(WndProc(nullptr, WM_POWER, PWR_SUSPENDRESUME, 0), 0);
    EXPECT_TRUE(TestLog::Contains("WM_POWERBROADCAST::PBT_APMSUSPEND"));
    EXPECT_TRUE(TestLog::Contains("WM_POWERBROADCAST::PBT_APMRESUMEAUTOMATIC"));
    EXPECT_TRUE(TestLog::Contains("WM_POWERBROADCAST::default"));
    EXPECT_TRUE(TestLog::Contains("WM_POWER::PWR_SUSPENDRESUME"));
    // Other controls change nothing.
    EXPECT_EQ(HandlerEx(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), 0u);
    EXPECT_TRUE(environment.Statuses().empty());
}
