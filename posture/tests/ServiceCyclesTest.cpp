// The service started and stopped 200 times, and one run of the service
// through 200 docking events: nothing hangs, nothing is left open.
#include "InstalledService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using posturetest::InstalledService;

namespace {

constexpr int kCycles = 200;

class ServiceCycles : public InstalledService {
protected:
    bool WaitForPending() {
        return testsupport::WaitFor([&] { return PendingWaits() == 1; }, 10000);
    }

    // Workers that have ended (their last record).
    int Workers() { return LogCount("LEAVE DockStatusThread"); }

    // A worker thread that has just written its last record may still be
    // ending when the count is read.
    static constexpr DWORD kEndingThreadHandles = 1;
};

}  // namespace

TEST_F(ServiceCycles, TwoHundredStartsAndStops) {
    Install();
    std::vector<DWORD> handles;
    DWORD slowestStop = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        Start();
        ASSERT_TRUE(WaitForPending());
        // The start's worker has ended when its record is there.
        ASSERT_TRUE(testsupport::WaitFor([&] { return Workers() == cycle + 1; }));
        handles.push_back(testsupport::ProcessHandleCount(ProcessId()));
        const DWORD elapsed = StopAndTime();
        ASSERT_NE(elapsed, MAXDWORD) << "no STOPPED";
        slowestStop = std::max(slowestStop, elapsed);
        ASSERT_EQ(PendingWaits(), 0u);
    }
    vadsim::DeviceState device{};
    ASSERT_TRUE(control.QueryState(&device));
    for (ULONG open : device.openHandles) EXPECT_EQ(open, 0u) << "a device left open";

    const auto [low, high] = std::minmax_element(handles.begin(), handles.end());
    std::printf(
        "service handles while running: first %lu, min %lu, max %lu, last %lu; "
        "slowest stop %lu ms\n",
        handles.front(), *low, *high, handles.back(), slowestStop);
    EXPECT_GT(*low, 0u) << "handle count not measured";
    EXPECT_LE(*high - *low, kEndingThreadHandles) << "the count is the same in every run";
}

TEST_F(ServiceCycles, TwoHundredEventsInOneRun) {
    Install();
    Start();
    ASSERT_TRUE(control.SetMethod(vad::MethodName("VCID"), posturetest::kSampleKeyboardDockId));
    std::vector<DWORD> handles;
    for (int event = 0; event < kCycles; ++event) {
        SCOPED_TRACE(event);
        ASSERT_TRUE(WaitForPending());
        ASSERT_TRUE(testsupport::WaitFor([&] { return Workers() == event + 1; }));
        handles.push_back(testsupport::ProcessHandleCount(ProcessId()));
        vadsim::RaiseResult result{};
        ASSERT_TRUE(control.Raise(0x94, 0, 0, &result));
        ASSERT_EQ(result.completed, 1u);
    }
    ASSERT_TRUE(testsupport::WaitFor([&] { return Workers() == kCycles + 1; }));
    // Wine keeps reporting slate mode and undocked: every worker writes both.
    const vadsim::IndicatorState indicators = Indicators();
    EXPECT_EQ(indicators.writes[vadsim::kIndicatorSlate], static_cast<ULONG>(kCycles));
    EXPECT_EQ(indicators.writes[vadsim::kIndicatorDock], static_cast<ULONG>(kCycles));
    EXPECT_EQ(indicators.openHandles[vadsim::kIndicatorSlate], 0u);
    EXPECT_EQ(indicators.openHandles[vadsim::kIndicatorDock], 0u);

    const auto [low, high] = std::minmax_element(handles.begin() + 1, handles.end());
    std::printf("service handles between events: first %lu, min %lu, max %lu, last %lu\n",
                handles.front(), *low, *high, handles.back());
    EXPECT_GT(*low, 0u);
    EXPECT_LE(*high - *low, kEndingThreadHandles) << "no handle kept per event";
    EXPECT_NE(StopAndTime(), MAXDWORD);
}
