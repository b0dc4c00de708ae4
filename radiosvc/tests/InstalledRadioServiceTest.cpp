// RadioSvc.exe for real: installed into Wine's service control manager,
// started and stopped through it, against the simulated radio managers and
// the simulated value-added device.
#include "InstalledRadioService.h"

#include <gtest/gtest.h>

#include <vector>

using radiotest::InstalledRadioService;
using radiotest::LedState;
using radiotest::LedStateKeyExists;
using radiotest::SetLedStateKeyPresent;

namespace {

constexpr DWORD kStopBoundMs = 2000;

// The methods InitRM calls on a manager with one instance, in order.
const std::vector<LONG> kInitCalls = {radiosim::kCreate,         radiosim::kGetRadioInstances,
                                      radiosim::kGetCount,       radiosim::kGetAt,
                                      radiosim::kQueryContainer, radiosim::kFindConnectionPoint,
                                      radiosim::kAdvise};

class RadioService : public InstalledRadioService {
protected:
    // The calls of one kind, in order, with the frees left out.
    std::vector<LONG> CallsOf(LONG kind, LONG from = 1) {
        std::vector<LONG> methods;
        for (const radiosim::CallRecord& call : radios.Calls(from)) {
            if (call.kind == kind && call.method < radiosim::kFreeInstance)
                methods.push_back(call.method);
        }
        return methods;
    }
};

}  // namespace

TEST_F(RadioService, InstallsStartsAndPowersTheWwanModule) {
    Install();
    ExpectInstalledAs(L"RadioSvc.exe", L"NRVRadioSvc");

    // The WWAN module is powered once at the start; then, every radio being
    // off, the LED is put out.
    ASSERT_TRUE(WaitForLog("set power"));
    EXPECT_EQ(RegisterWrites(kWwanPowerMask), std::vector<ULONG>{kWwanPowerOn});
    EXPECT_TRUE(WaitForLed(1, 0));

    // Each manager was set up in the order of the calls, WLAN first.
    std::vector<radiosim::CallRecord> calls = radios.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().kind, radiosim::kWlan);
    for (LONG kind : {radiosim::kWlan, radiosim::kWwan, radiosim::kBluetooth}) {
        const std::vector<LONG> methods = CallsOf(kind);
        ASSERT_GE(methods.size(), kInitCalls.size()) << radiosim::KindName(kind);
        EXPECT_EQ(std::vector<LONG>(methods.begin(), methods.begin() + 7), kInitCalls);
    }
    EXPECT_EQ(LogCount("Error Code"), 0);
    EXPECT_LE(StopAndTime(), kStopBoundMs);
}

TEST_F(RadioService, RadioSwitchedOnAndOffLightsAndClearsTheLed) {
    radios.SetInstances(radiosim::kWlan, 2, DRS_SW_RADIO_OFF);
    Create();
    WaitUntilReady();
    ASSERT_TRUE(WaitForLed(1, 0));

    ASSERT_EQ(radios.FireChange(radiosim::kWlan, 1, DRS_RADIO_ON), 1) << "one service process";
    EXPECT_TRUE(WaitForLed(0, 1)) << "one radio on lights the LED";
    ASSERT_EQ(radios.FireChange(radiosim::kWlan, 1, DRS_SW_RADIO_OFF), 1);
    EXPECT_TRUE(WaitForLed(1, 0)) << "none on puts it out";
    EXPECT_GE(LogCount("ENTER CMediaRadioManagerNotifySink::OnInstanceRadioChange"), 2);

    // A rebuild releases the old managers before it creates the new ones:
    // each one's Unadvise comes before the next Create.
    const LONG from = radios.NextSequence();
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return CallsOf(radiosim::kBluetooth, from).size() >= kInitCalls.size() + 1; },
        10000));
    const std::vector<LONG> wlan = CallsOf(radiosim::kWlan, from);
    ASSERT_GE(wlan.size(), 2u);
    EXPECT_EQ(wlan[0], radiosim::kUnadvise);
    EXPECT_EQ(wlan[1], radiosim::kCreate);
    EXPECT_LE(StopAndTime(), kStopBoundMs);
    EXPECT_EQ(radios.Manager(radiosim::kWlan).advisedSinks, 0) << "unadvised at stop";
    EXPECT_EQ(radios.Manager(radiosim::kWlan).liveObjects, 0) << "all released at stop";
}

TEST_F(RadioService, WwanWithoutInstancesAndMissingBluetoothAreLeftOut) {
    radios.SetInstances(radiosim::kWwan, 0, DRS_SW_RADIO_OFF);
    radios.SetRegistered(radiosim::kBluetooth, false);
    radios.SetInstances(radiosim::kWlan, 1, DRS_RADIO_ON);
    Create();
    WaitUntilReady();
    EXPECT_TRUE(WaitForLed(0, 1));
    EXPECT_GE(LogCount("GetCount = 0"), 1);
    EXPECT_GE(LogCount("RMBT init"), 1);
    // The missing class is an error; the WWAN manager without radios is not.
    EXPECT_EQ(LogCount("Error Code"), LogCount("Error Code: 0x80040154"));
    EXPECT_GE(LogCount("Error Code: 0x80040154"), 1);
    EXPECT_EQ(radios.Manager(radiosim::kWwan).advisedSinks, 0);
    EXPECT_EQ(radios.Manager(radiosim::kWlan).advisedSinks, 1);
    EXPECT_GE(LogCount("m_RadioInstanceList.count = 1"), 1);
    EXPECT_EQ(LogCount("m_RadioInstanceList.count = 0"), 0) << "only the WLAN manager is kept";
}

TEST_F(RadioService, WithoutTheHotkeyKeyTheLedIsWrittenAndNoKeyIsCreated) {
    ASSERT_TRUE(SetLedStateKeyPresent(false));
    Create();
    WaitUntilReady();
    EXPECT_TRUE(testsupport::WaitFor([&] { return !LedWords().empty(); }));
    EXPECT_GE(
        LogCount("Open SYSTEM\\CurrentControlSet\\Services\\keyhub\\Parameters failed, 80070002"),
        1);
    EXPECT_GE(LogCount("(CRadioManagerControl::ChangeLEDState): Error Code: 0x80070002"), 1);
    EXPECT_FALSE(LedStateKeyExists()) << "the key is opened, never created";
    EXPECT_LE(StopAndTime(), kStopBoundMs);
}

TEST_F(RadioService, StopEndsTheServiceWhileAManagerBlocksInACall) {
    // The second pass's WLAN manager blocks for 20 s in GetRadioInstances,
    // holding the rebuild inside the manager list's lock.
    Create();
    WaitUntilReady();
    radios.BlockMethod(radiosim::kWlan, radiosim::kGetRadioInstances, 20000);
    const int passes = LogCount("RMWlan init");
    ASSERT_TRUE(WaitForLog("RMWlan init", passes + 1, 15000));
    ::Sleep(200);
    const DWORD process = ProcessId();
    // A radio change now waits for the list, like the stop.
    radios.Send({radiosim::kFireChange, radiosim::kBluetooth, 0, DRS_RADIO_ON, 1}, 0);
    const DWORD elapsed = StopAndTime();
    EXPECT_LE(elapsed, kStopBoundMs);
    EXPECT_GE(LogCount("Error Code: 0x80070102"), 1) << "the threads were left behind";
    // The process ends with the service.
    nrv::UniqueHandle handle(::OpenProcess(SYNCHRONIZE, FALSE, process));
    if (handle) {
        EXPECT_EQ(::WaitForSingleObject(handle.get(), 5000), WAIT_OBJECT_0);
    }
    radios.BlockMethod(radiosim::kWlan, radiosim::kMethodNone, 0);
}

TEST_F(RadioService, SuspendBringsTheNextPassWithinTwoSeconds) {
    Create();
    // Passes at about 0, 2 and 4 s; the next would follow 6 s after the third.
    ASSERT_TRUE(WaitForLog("RMWlan init", 3, 15000));
    const ULONGLONG third = ::GetTickCount64();
    DWORD recipients = BSM_ALLDESKTOPS | BSM_APPLICATIONS;
    ASSERT_GE(::BroadcastSystemMessageW(BSF_POSTMESSAGE, &recipients, WM_POWERBROADCAST,
                                        PBT_APMSUSPEND, 0),
              0);
    ASSERT_TRUE(WaitForLog("WM_POWERBROADCAST::PBT_APMSUSPEND"));
    ASSERT_TRUE(WaitForLog("RMWlan init", 4, 10000));
    const ULONGLONG fourth = ::GetTickCount64();
    EXPECT_LE(fourth - third, 3500u) << "without the suspend the pass would come after 6 s";
    EXPECT_LE(StopAndTime(), kStopBoundMs);
}

TEST_F(RadioService, LowerCaseSwitchOnlyTriesTheDispatcher) {
    const testsupport::ProcessResult result = Run(L"/install");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_FALSE(nrv::UniqueServiceHandle(
        ::OpenServiceW(manager.get(), L"NRVRadioSvc", SERVICE_QUERY_STATUS)));
    EXPECT_EQ(LogCount("ENTER InstallService"), 0);
    EXPECT_EQ(LogCount("LEAVE wWinMain"), 1);

    // "/UNINSTALL" removes an installed service, stopping it first.
    Create();
    const testsupport::ProcessResult removed = Run(L"/UNINSTALL");
    EXPECT_EQ(removed.exitCode, 0u);
    service.reset();
    EXPECT_TRUE(testsupport::WaitFor([&] {
        return !nrv::UniqueServiceHandle(
            ::OpenServiceW(manager.get(), L"NRVRadioSvc", SERVICE_QUERY_STATUS));
    }));
}
