// The device channel on a machine without the value-added device: every
// operation fails at once, never blocks, and the radio side logs each failure.
#include "DbgLog.h"
#include "TestSupport.h"
#include "VadChannel.h"

#include <gtest/gtest.h>

using testsupport::TestLog;

TEST(VadChannelAbsent, DriverOpenFailureIsLoggedAndReturned) {
    VAD::Driver driver;
    TestLog::Mark();
    const HRESULT hr = driver.open(vad::kRegisterDevicePath);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
    EXPECT_FALSE(driver.isOpen());
    char record[64];
    std::snprintf(record, sizeof record, "[ERR] (VAD::Driver::open): Error Code: 0x%lx",
                  static_cast<unsigned long>(hr));
    EXPECT_EQ(TestLog::Count(record), 1);
}

TEST(VadChannelAbsent, IoControlAfterAFailedOpenFailsWithoutTheDevice) {
    VAD::Driver driver;
    driver.open(vad::kRegisterDevicePath);
    TestLog::Mark();
    vad::RegisterBlock block{};
    DWORD bytes = 0;
    EXPECT_EQ(driver.ioControl(IOCTL_HWPL_REGISTER, &block, sizeof block, &block, sizeof block,
                               &bytes, nullptr),
              E_FAIL);
    EXPECT_EQ(TestLog::Count("[ERR] (VAD::Driver::ioControl): Error Code: 0x80004005"), 1);
}

TEST(VadChannelAbsent, OpeningTwiceKeepsTheFirstHandle) {
    VAD::Driver driver;
    ASSERT_EQ(driver.open(L"\\\\.\\NUL"), S_OK);
    TestLog::Mark();
    EXPECT_EQ(driver.open(L"\\\\.\\NUL"), E_FAIL);
    EXPECT_TRUE(driver.isOpen());
    EXPECT_EQ(TestLog::Count("[ERR] (VAD::Driver::open): Error Code: 0x80004005"), 1);
}

TEST(VadChannelAbsent, LedUpdateLogsTheOpenFailureThenTheExchangeFailure) {
    TestLog::Mark();
    {
        SHCI hci;
        EXPECT_TRUE(hci.Exchange(vad::kFunctionWrite, 0x56, 0, 0xFFFE, 0, 0))
            << "true: the exchange failed";
    }
    const auto lines = TestLog::LinesSinceMark();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("(VAD::Driver::open): Error Code: 0x8007"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("(VAD::Driver::ioControl): Error Code: 0x80004005"), std::string::npos)
        << lines[1];
}

TEST(VadChannelAbsent, PostureOperationsFailQuietlyAndAtOnce) {
    CHwpldCtrlMgr manager;
    HciReadResult read{};
    HciPolledValues polled{};
    ULONG result = 0;
    TestLog::Mark();
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(manager.ProbeDevice());
    EXPECT_FALSE(manager.HciWrite(0xA6, 0, 0x100, 0, 0));
    EXPECT_FALSE(manager.HciRead(0x96, read));
    EXPECT_FALSE(manager.HciReadPolled(0xA6, 0x200, polled));
    EXPECT_EQ(EvaluateDeviceMethod("VCID", result), MethodOutcome::DeviceUnavailable);
    CHwplgCtrlMgr events;
    ULONG value = 0;
    EXPECT_FALSE(WaitDeviceEvent(events, 0x94, value));
    EXPECT_LT(::GetTickCount64() - start, 2000u) << "nothing waits for a missing device";
    EXPECT_TRUE(TestLog::LinesSinceMark().empty()) << "the posture side logs nothing of its own";
}

TEST(VadChannelAbsent, WorkaroundThreadEndsWithOneWhenTheProbeFails) {
    CHCISvr server;
    EXPECT_EQ(server.RunWorkaroundSequence(), WorkaroundResult::ProbeFailed);
    ASSERT_TRUE(server.StartWorkaroundThread());
    ASSERT_EQ(::WaitForSingleObject(server.WorkaroundThread(), 5000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    ::GetExitCodeThread(server.WorkaroundThread(), &exitCode);
    EXPECT_EQ(exitCode, 1u);
    EXPECT_NE(server.WorkaroundThreadId(), 0u);
}
