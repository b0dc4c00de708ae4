// The device model's log beyond single requests (which the driver and device
// tests cover): a ring of the newest entries, read in pages.
#include "VadSimModel.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace vadsim;

namespace {

class DeviceModel : public ::testing::Test {
protected:
    std::unique_ptr<Model> owner = std::make_unique<Model>();  // large: its log
    Model& model = *owner;

    void SetUp() override { model.Reset(); }

    ULONG ReadRegister(ULONG number) {
        ULONG words[6] = {vad::kFunctionRead, number, 0, 0, 0, 0};
        model.Handle({kDeviceHwpld, IOCTL_HWPL_REGISTER, words, 24, words, 24, number});
        return words[0];
    }

    std::vector<LogEntry> Log(ULONG from = 0, ULONG room = kLogCapacity) {
        std::vector<unsigned char> buffer(sizeof(LogHeader) + room * sizeof(LogEntry));
        const LogQuery query = {from};
        const Answer answer = model.Control(IOCTL_VADSIM_READ_LOG, &query, sizeof query,
                                            buffer.data(), static_cast<ULONG>(buffer.size()));
        EXPECT_EQ(answer.outcome, kOutcomeSuccess);
        LogHeader header;
        memcpy(&header, buffer.data(), sizeof header);
        EXPECT_EQ(answer.bytes, sizeof header + header.count * sizeof(LogEntry));
        const auto* first = reinterpret_cast<const LogEntry*>(buffer.data() + sizeof header);
        return {first, first + header.count};
    }
};

}  // namespace

TEST_F(DeviceModel, LogKeepsTheNewestEntriesAndReadsInPages) {
    const ULONG total = kLogCapacity + 100;
    for (ULONG i = 0; i < total; ++i) ReadRegister(i);
    const std::vector<LogEntry> all = Log();
    ASSERT_EQ(all.size(), kLogCapacity);
    EXPECT_EQ(all.front().sequence, 101u);
    EXPECT_EQ(all.front().words[1], 100u);
    EXPECT_EQ(all.front().timeUs, 100u);
    EXPECT_EQ(all.back().sequence, total);

    const std::vector<LogEntry> page = Log(200, 10);
    ASSERT_EQ(page.size(), 10u);
    EXPECT_EQ(page.front().sequence, 200u);
    EXPECT_EQ(page.back().sequence, 209u);
    EXPECT_TRUE(Log(total + 1).empty());
    unsigned char small[sizeof(LogHeader) - 1];
    EXPECT_EQ(model.Control(IOCTL_VADSIM_READ_LOG, nullptr, 0, small, sizeof small).outcome,
              kOutcomeBufferTooSmall);

    model.Reset();
    EXPECT_TRUE(Log().empty());
    ReadRegister(1);
    EXPECT_EQ(Log().front().sequence, 1u);
}

TEST_F(DeviceModel, IndicatorsToggleOnOneByteWritesAndTakeOneOpenerAtATime) {
    IndicatorState state = {};
    ASSERT_EQ(model.IndicatorOpen(kIndicatorSlate), kOutcomeSuccess);
    EXPECT_EQ(model.IndicatorOpen(kIndicatorSlate), kOutcomeSharingViolation);
    EXPECT_EQ(model.IndicatorOpen(kIndicatorDock), kOutcomeSuccess);  // each its own
    EXPECT_EQ(model.IndicatorWrite(kIndicatorSlate, 1, kOutcomeSuccess), kOutcomeSuccess);
    EXPECT_EQ(model.IndicatorWrite(kIndicatorSlate, 1, kOutcomeSharingViolation),
              kOutcomeSharingViolation);  // the refused second handle
    EXPECT_EQ(model.IndicatorWrite(kIndicatorSlate, 0, kOutcomeSuccess), kOutcomeInvalidParameter);
    EXPECT_EQ(model.IndicatorWrite(kIndicatorSlate, 2, kOutcomeSuccess), kOutcomeInvalidParameter);
    EXPECT_EQ(model.IndicatorWrite(kIndicatorCount, 1, kOutcomeSuccess), kOutcomeInvalidRequest);
    model.FillIndicators(&state);
    EXPECT_EQ(state.state[kIndicatorSlate], 1u);
    EXPECT_EQ(state.writes[kIndicatorSlate], 1u);
    EXPECT_EQ(state.refused[kIndicatorSlate], 3u);
    EXPECT_EQ(state.state[kIndicatorDock], 0u);
    EXPECT_EQ(model.IndicatorWrite(kIndicatorSlate, 1, kOutcomeSuccess), kOutcomeSuccess);
    model.FillIndicators(&state);
    EXPECT_EQ(state.state[kIndicatorSlate], 0u);  // toggled back
    EXPECT_EQ(state.writes[kIndicatorSlate], 2u);

    model.IndicatorClose(kIndicatorSlate);
    EXPECT_EQ(model.IndicatorOpen(kIndicatorSlate), kOutcomeSuccess);  // free again
    model.FillIndicators(&state);
    EXPECT_EQ(state.openHandles[kIndicatorSlate], 1u);
}

TEST_F(DeviceModel, IndicatorControlRequestsAndReset) {
    const IndicatorPresence absent = {kIndicatorDock, 0};
    EXPECT_EQ(model.Control(IOCTL_VADSIM_SET_INDICATOR_PRESENCE, &absent, sizeof absent, nullptr, 0)
                  .outcome,
              kOutcomeSuccess);
    const IndicatorPresence bad = {kIndicatorCount, 1};
    EXPECT_EQ(
        model.Control(IOCTL_VADSIM_SET_INDICATOR_PRESENCE, &bad, sizeof bad, nullptr, 0).outcome,
        kOutcomeInvalidParameter);
    ASSERT_EQ(model.IndicatorOpen(kIndicatorDock), kOutcomeSuccess);
    model.IndicatorWrite(kIndicatorDock, 1, kOutcomeSuccess);

    IndicatorState state = {};
    EXPECT_EQ(
        model.Control(IOCTL_VADSIM_QUERY_INDICATORS, nullptr, 0, &state, sizeof state - 1).outcome,
        kOutcomeBufferTooSmall);
    Answer answer = model.Control(IOCTL_VADSIM_QUERY_INDICATORS, nullptr, 0, &state, sizeof state);
    EXPECT_EQ(answer.outcome, kOutcomeSuccess);
    EXPECT_EQ(answer.bytes, sizeof state);
    EXPECT_EQ(state.absent[kIndicatorDock], 1u);
    EXPECT_EQ(state.absent[kIndicatorSlate], 0u);
    EXPECT_EQ(state.state[kIndicatorDock], 1u);

    // A reset clears states and counts; handles and presence stay.
    model.Reset();
    model.FillIndicators(&state);
    EXPECT_EQ(state.state[kIndicatorDock], 0u);
    EXPECT_EQ(state.writes[kIndicatorDock], 0u);
    EXPECT_EQ(state.openHandles[kIndicatorDock], 1u);
    EXPECT_EQ(state.absent[kIndicatorDock], 1u);
    EXPECT_EQ(model.IndicatorOpen(kIndicatorDock), kOutcomeSharingViolation);
}
