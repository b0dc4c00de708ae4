// GetMachineIdentity through the real device channel against the simulated
// value-added device, and one "/CHECK_AND_INSTALL" sequence of checks with
// the real waits and the real posture service key.
#include "MachineConfig.h"
#include "PostureKeyCleanup.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "VadSimClient.h"

#include <gtest/gtest.h>

using posture::IdentityWord;
using testsupport::TestLog;

namespace {

using posturetest::DeletePostureKey;

class IdentityDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control.Open()) << "the simulated device is not loaded";
        ASSERT_TRUE(control.Reset());
        posture::SetMachineEnvironment(nullptr);
        posture::ClearMachineTables();
        DeletePostureKey();
        TestLog::Mark();
    }
    void TearDown() override {
        control.SetPresent(vadsim::kDeviceHwpld, true);
        posture::ClearMachineTables();
        DeletePostureKey();
    }
    std::size_t IdentityReads() {
        std::vector<vadsim::LogEntry> all;
        EXPECT_TRUE(control.ReadLog(&all));
        std::size_t count = 0;
        for (const auto& entry : all) {
            if (entry.kind == vadsim::kLogRequest && entry.device == vadsim::kDeviceHwpld) ++count;
        }
        return count;
    }

    vadsim::ControlChannel control;
};

}  // namespace

TEST_F(IdentityDevice, WordsOfTheFirmware) {
    ASSERT_TRUE(control.SetIdentity(0xFF50, 0x0A01));
    EXPECT_EQ(GetMachineIdentity(IdentityWord::Manufacturer), 0xFF50u);
    EXPECT_EQ(GetMachineIdentity(IdentityWord::Machine), 0x0A01u);
    EXPECT_EQ(IdentityReads(), 2u) << "one read per word";
}

TEST_F(IdentityDevice, NotSupportedGives0x8000) {
    ASSERT_TRUE(control.SetIdentityUnavailable());
    EXPECT_EQ(GetMachineIdentity(IdentityWord::Manufacturer), 0x8000u);
    EXPECT_EQ(GetMachineIdentity(IdentityWord::Machine), 0x8000u);
}

TEST_F(IdentityDevice, AbsentDeviceGivesZero) {
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwpld, false));
    EXPECT_EQ(GetMachineIdentity(IdentityWord::Manufacturer), 0u);
    EXPECT_EQ(GetMachineIdentity(IdentityWord::Machine), 0u);
}

TEST_F(IdentityDevice, InstallChecksOfAListedWorkaroundModel) {
    const std::wstring folder = testsupport::ExeDirectory();
    ASSERT_LT(folder.size(), std::size(g_workPath));
    folder.copy(g_workPath, folder.size());
    g_workPath[folder.size()] = L'\0';
    ReadConfigFile();
    ASSERT_TRUE(control.SetIdentity(0xFF40, 0x0B20));

    const ULONGLONG start = ::GetTickCount64();
    CheckIsWorkaround();
    CheckIsConvertible();
    CheckIsPidVidKeyboard();
    EXPECT_GE(::GetTickCount64() - start, 2000u + 150u + 100u - 50u) << "the real waits";
    EXPECT_EQ(IdentityReads(), 6u);

    EXPECT_EQ(PSVRegRead_WorkAround(), 1u);
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu);
    EXPECT_EQ(PSVRegRead_DWORD(L"KeyboardPidVid"), 0xFFFFFFFFu);
    EXPECT_EQ(TestLog::Count("Need add the workaround"), 1);
}
