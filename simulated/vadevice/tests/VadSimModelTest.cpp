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
