// The radio work over the simulated managers in-process and a virtual clock:
// the rebuild schedule, the LED decisions, and the stop, lock and sink
// lifetime rules.
#include "FakeRadio.h"
#include "RadioManager.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using radiotest::FakeRadioEnvironment;
using testsupport::TestLog;
using testsupport::WaitFor;

namespace {

class RadioControl : public ::testing::Test {
protected:
    void SetUp() override { TestLog::Mark(); }
    void TearDown() override {
        control.reset();  // stops and joins the threads
        EXPECT_EQ(CMediaRadioManagerNotifySink::LiveCount(), 0) << "a sink was not freed";
        EXPECT_EQ(radiosim::LiveObjectsInProcess(), 0) << "a manager object was not released";
    }

    bool WaitForPasses(size_t count, DWORD timeoutMs = 10000) {
        return WaitFor([&] { return environment.Passes().size() >= count; }, timeoutMs);
    }
    // The first pass done and the rebuild thread asleep after it.
    void RunFirstPass() {
        control->InitRMControl();
        ASSERT_TRUE(WaitForPasses(1));
        ASSERT_TRUE(WaitFor([&] { return TestLog::Contains("SetEvent") || !Kept(); }));
    }
    bool Kept() { return environment.Script(radiosim::kWlan).advisedSinks > 0; }

    // One evaluation on this thread: the LED word and "LEDSTATE" it wrote.
    std::pair<ULONG, DWORD> Evaluate() {
        const size_t before = environment.LedWrites().size();
        control->ChangeLEDState();
        const std::vector<radiotest::RegisterWrite> writes = environment.LedWrites();
        const std::vector<DWORD> states = environment.LedStates();
        if (writes.size() != before + 1 || states.empty()) return {0xFFFF, 0xFFFF};
        return {writes.back().value2, states.back()};
    }

    FakeRadioEnvironment environment;
    std::unique_ptr<CRadioManagerControl> control = std::make_unique<CRadioManagerControl>();
};

}  // namespace

TEST_F(RadioControl, RebuildsAtTheBackOffScheduleThenEveryMinute) {
    environment.RunUntil(400000);
    control->InitRMControl();
    ASSERT_TRUE(WaitForPasses(10));
    const std::vector<ULONGLONG> passes = environment.Passes();
    const std::vector<ULONGLONG> expected = {0,     2000,  4000,   10000,  24000,
                                             50000, 92000, 152000, 212000, 272000};
    EXPECT_EQ(std::vector<ULONGLONG>(passes.begin(), passes.begin() + 10), expected);
    control->RMStop();
    EXPECT_TRUE(control->WaitForThreads(1000));
}

TEST_F(RadioControl, SuspendEndsTheWaitAfterTheCurrentSleep) {
    // During the 60-second wait after the pass at 92 s, the suspend arrives
    // in the sleep that starts at 98 s: the next pass comes at 100 s.
    environment.onSleep = [&](ULONGLONG now) {
        if (now == 98000) control->SetWaitCounter(CRadioManagerControl::kWaitLimit);
    };
    environment.RunUntil(200000);
    control->InitRMControl();
    ASSERT_TRUE(WaitForPasses(9));
    const std::vector<ULONGLONG> passes = environment.Passes();
    EXPECT_EQ(passes[6], 92000u);
    EXPECT_EQ(passes[7], 100000u);
    EXPECT_EQ(passes[8], 160000u) << "then the minute-long waits again";
}

TEST_F(RadioControl, OneRadioOnAmongOthersLightsTheLed) {
    environment.SetInstances(radiosim::kWlan, 2, DRS_SW_RADIO_OFF);
    environment.Script(radiosim::kWlan).states[1] = DRS_RADIO_ON;
    environment.SetInstances(radiosim::kWwan, 1, DRS_HW_RADIO_OFF);
    environment.SetInstances(radiosim::kBluetooth, 1, DRS_SW_HW_RADIO_OFF);
    RunFirstPass();
    EXPECT_EQ(Evaluate(), (std::pair<ULONG, DWORD>{0, 1}));

    // All off: the LED goes out.
    environment.Script(radiosim::kWlan).states[1] = DRS_HW_RADIO_OFF;
    EXPECT_EQ(Evaluate(), (std::pair<ULONG, DWORD>{1, 0}));
    EXPECT_GE(TestLog::Count("m_RadioInstanceList.count = 2"), 2);
    EXPECT_GE(TestLog::Count("[INF] (CRadioManagerControl::ChangeLEDState): RadioState = 0"), 1);
}

TEST_F(RadioControl, NoRadioAtAllPutsTheLedOut) {
    for (LONG kind : {radiosim::kWlan, radiosim::kWwan, radiosim::kBluetooth})
        environment.SetInstances(kind, 0, DRS_RADIO_ON);
    RunFirstPass();
    EXPECT_FALSE(TestLog::Contains("bSetEvent == TRUE")) << "no manager kept, no signal";
    EXPECT_EQ(Evaluate(), (std::pair<ULONG, DWORD>{1, 0}));
}

TEST_F(RadioControl, WwanWithoutInstancesIsLeftOutWithoutAnError) {
    environment.SetInstances(radiosim::kWwan, 0, DRS_RADIO_ON);
    RunFirstPass();
    EXPECT_TRUE(TestLog::Contains("[INF] (CRadioManager::InitRM): GetCount = 0"));
    EXPECT_FALSE(TestLog::Contains("Error Code"));
    EXPECT_EQ(environment.Script(radiosim::kWwan).advisedSinks, 0);
    EXPECT_EQ(environment.Script(radiosim::kWwan).liveObjects, 0) << "released and freed";
    EXPECT_EQ(environment.Script(radiosim::kBluetooth).advisedSinks, 1) << "the pass goes on";
}

TEST_F(RadioControl, FailingInitStepsAreRecordedAndTheManagerDropped) {
    for (LONG method :
         {radiosim::kCreate, radiosim::kGetRadioInstances, radiosim::kGetCount,
          radiosim::kQueryContainer, radiosim::kFindConnectionPoint, radiosim::kAdvise}) {
        SCOPED_TRACE(method);
        TestLog::Mark();
        environment.Script(radiosim::kWlan).failMethod = method;
        environment.Script(radiosim::kWlan).failResult = static_cast<LONG>(0x80041234);
        CRadioManager manager(CLSID_WlanRadioManager);
        EXPECT_EQ(manager.InitRM(), static_cast<HRESULT>(0x80041234));
        EXPECT_EQ(TestLog::Count("[ERR] (CRadioManager::InitRM): Error Code: 0x80041234"), 1);
        EXPECT_FALSE(manager.Initialized());
    }
    EXPECT_EQ(environment.Script(radiosim::kWlan).advisedSinks, 0);
}

TEST_F(RadioControl, AFailedStateReadDoesNotCountAsOn) {
    // The simulated instance leaves DRS_RADIO_ON behind when it fails.
    environment.SetInstances(radiosim::kWlan, 1, DRS_SW_RADIO_OFF);
    RunFirstPass();
    environment.Script(radiosim::kWlan).failMethod = radiosim::kGetRadioState;
    environment.Script(radiosim::kWlan).failResult = static_cast<LONG>(E_FAIL);
    EXPECT_EQ(Evaluate(), (std::pair<ULONG, DWORD>{1, 0}));
}

TEST_F(RadioControl, AFailedLedStateWriteIsRecordedAndReturned) {
    RunFirstPass();
    environment.storeResult = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(control->ChangeLEDState(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(environment.LedWrites().size(), 1u) << "the register is written all the same";
    EXPECT_TRUE(
        TestLog::Contains("[ERR] (CRadioManagerControl::ChangeLEDState): Error Code: 0x80070002"));
}

TEST_F(RadioControl, ChangesDuringAnEvaluationBringExactlyOneMore) {
    environment.SetInstances(radiosim::kWlan, 1, DRS_SW_RADIO_OFF);
    RunFirstPass();
    control->RMStart();
    // The pass's signal brings the first evaluation.
    ASSERT_TRUE(WaitFor([&] { return environment.LedWrites().size() == 1; }));
    environment.Script(radiosim::kWlan).blockMethod = radiosim::kGetRadioState;
    environment.Script(radiosim::kWlan).blockMs = 400;
    radiosim::Execute({radiosim::kFireChange, radiosim::kWlan, 0, DRS_RADIO_ON, 1});
    ASSERT_TRUE(
        WaitFor([&] { return TestLog::Count("ENTER CRadioManagerControl::ChangeLEDState") == 2; }));
    // Five more changes while that evaluation waits for the radio's state.
    for (int i = 0; i < 5; ++i)
        radiosim::Execute({radiosim::kFireChange, radiosim::kWlan, 0, DRS_RADIO_ON, 1});
    ASSERT_TRUE(WaitFor([&] { return environment.LedWrites().size() == 3; }));
    ::Sleep(1000);
    EXPECT_EQ(environment.LedWrites().size(), 3u) << "the five changes counted as one";
    EXPECT_EQ(environment.LedWrites().back().value2, 0u);
    environment.Script(radiosim::kWlan).blockMs = 0;
}

TEST_F(RadioControl, AfterStopNothingMoreIsWritten) {
    RunFirstPass();
    control->RMStart();
    ASSERT_TRUE(WaitFor([&] { return environment.LedWrites().size() == 1; }));
    const ULONGLONG start = ::GetTickCount64();
    control->RMStop();
    EXPECT_LT(::GetTickCount64() - start, 400u) << "the sleeping rebuild thread ends at once";
    EXPECT_TRUE(TestLog::Contains("Stop Services!"));
    ASSERT_TRUE(control->WaitForThreads(1000)) << "both threads ended";
    environment.SignalChange();
    radiosim::Execute({radiosim::kFireChange, radiosim::kWlan, 0, DRS_RADIO_ON, 1});
    ::Sleep(300);
    EXPECT_EQ(environment.LedWrites().size(), 1u);
    EXPECT_EQ(control->RMStop(), 0) << "a second stop is harmless";
}

TEST_F(RadioControl, StopDuringABlockedRebuildLeavesNoLockHeld) {
    // The second pass's WLAN manager blocks in GetRadioInstances while the
    // rebuild holds the list lock.
    RunFirstPass();
    environment.Script(radiosim::kWlan).blockMethod = radiosim::kGetRadioInstances;
    environment.Script(radiosim::kWlan).blockMs = 300;
    environment.RunUntil(2000);
    ASSERT_TRUE(WaitForPasses(2));
    control->RMStop();
    EXPECT_TRUE(control->WaitForThreads(1000)) << "the thread ended after its call";
    // An evaluation still gets the list: the lock was given back.
    auto evaluation = std::async(std::launch::async, [&] { return control->ChangeLEDState(); });
    EXPECT_EQ(evaluation.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    // The stop came inside the WLAN manager: no other manager was created.
    int creates = 0;
    for (const radiosim::CallRecord& call : environment.Calls())
        if (call.method == radiosim::kCreate) ++creates;
    EXPECT_EQ(creates, 4) << "three in the first pass, only WLAN in the second";
}

TEST_F(RadioControl, AnEvaluationWaitsForTheRebuild) {
    RunFirstPass();
    control->RMStart();
    ASSERT_TRUE(WaitFor([&] { return environment.LedWrites().size() == 1; }));
    environment.Script(radiosim::kBluetooth).blockMethod = radiosim::kGetCount;
    environment.Script(radiosim::kBluetooth).blockMs = 300;
    environment.RunUntil(2000);
    ASSERT_TRUE(WaitForPasses(2));
    environment.SignalChange();  // during the rebuild
    ASSERT_TRUE(WaitFor([&] { return environment.LedWrites().size() >= 2; }));
    // No state is read between the second pass's first Create and its last
    // Advise; the evaluation's reads follow that Advise.
    const std::vector<radiosim::CallRecord> calls = environment.Calls();
    size_t secondPass = 0, lastAdvise = 0, creates = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].method == radiosim::kCreate && ++creates == 4) secondPass = i;
        if (calls[i].method == radiosim::kAdvise) lastAdvise = i;
    }
    ASSERT_GT(secondPass, 0u);
    bool readAfter = false;
    for (size_t i = secondPass; i < calls.size(); ++i) {
        if (calls[i].method != radiosim::kGetRadioState) continue;
        EXPECT_GT(i, lastAdvise) << "a state read inside the rebuild";
        readAfter = true;
    }
    EXPECT_TRUE(readAfter);
}

TEST_F(RadioControl, ASinkOutlivesItsManagerWhileACallIsInFlight) {
    auto manager = std::make_unique<CRadioManager>(CLSID_WlanRadioManager);
    ASSERT_EQ(manager->InitRM(), S_OK);
    // A manager's thread about to call the sink holds a reference to it.
    IMediaRadioManagerNotifySink* sink = radiosim::TakeAdvisedSink(radiosim::kWlan);
    ASSERT_NE(sink, nullptr);
    manager.reset();  // Unadvise, release, free: the rebuild's old manager
    EXPECT_EQ(CMediaRadioManagerNotifySink::LiveCount(), 1);
    EXPECT_EQ(sink->OnInstanceRadioChange(nullptr, DRS_RADIO_ON), S_OK);
    EXPECT_TRUE(environment.ChangeSignalled());
    EXPECT_EQ(sink->Release(), 0u);
    EXPECT_EQ(CMediaRadioManagerNotifySink::LiveCount(), 0);
}

TEST_F(RadioControl, NotificationStormAcrossRebuildPasses) {
    // Three managers call their sinks from their own threads while the
    // rebuild thread replaces them pass after pass.
    RunFirstPass();
    control->RMStart();
    std::atomic<bool> calm{false};
    std::atomic<int> storms{0};
    std::thread storm([&] {
        while (!calm.load()) {
            radiosim::Execute({radiosim::kStorm, 7, 0, DRS_SW_RADIO_OFF, 200});
            storms.fetch_add(1);
        }
    });
    environment.RunUntil(100000000);
    EXPECT_TRUE(WaitForPasses(30, 30000));
    calm.store(true);
    storm.join();
    control->RMStop();
    ASSERT_TRUE(control->WaitForThreads(2000));
    EXPECT_GT(storms.load(), 1) << "the storm went on across the passes";
    control->ReleaseManagers();
    EXPECT_EQ(CMediaRadioManagerNotifySink::LiveCount(), 0);
}
