// vadctl.exe against the loaded simulated device: the effect of its
// commands as the services would see it, its output, its errors.
#include "VadDeviceSupport.h"

#include "TestSupport.h"

using namespace vadtest;
using testsupport::ProcessResult;

namespace {

class VadCtlTool : public DeviceTest {
protected:
    // A command that must succeed with nothing on stderr; its output.
    std::string Ok(const std::wstring& args) {
        const ProcessResult result = RunVadctl(args);
        EXPECT_EQ(result.exitCode, 0u) << testsupport::Narrow(args) << ": " << result.standardError;
        EXPECT_EQ(result.standardError, "") << testsupport::Narrow(args);
        return result.standardOutput;
    }
};

}  // namespace

TEST_F(VadCtlTool, CommandsScriptWhatTheDevicesAnswer) {
    EXPECT_EQ(Ok(L"identity 0x1234 0x5678"), "");
    EXPECT_EQ(ExchangeOnHwpld(kReadIdentity).out.words[3], 0x5678u);
    Ok(L"identity-unavailable");
    EXPECT_EQ(ExchangeOnHwpld(kReadIdentity).out.words[0], vad::kStatusNotAvailable);

    Ok(L"method VCID 0x101");
    EXPECT_EQ(Evaluate("VCID").reply.words[vad::kMethodResultWord], 0x101u);
    Ok(L"method-fail CTST");
    EXPECT_FALSE(Evaluate("CTST").ok);

    Ok(L"polled 1 0x11112222 0x3333");
    ExchangeOnHwpld({{vad::kFunctionRead, 0xA6, 0, 0x201, 0, 0}});
    EXPECT_EQ(ExchangeOnHwpld({{0xFE00, 0xA6, 0, 0x201, 0, 1}}).out.words[0], 0x120u);
    EXPECT_EQ(ExchangeOnHwpld({{0xFE00, 0xA6, 0, 0x201, 0, 1}}).out.words[2], 0x11112222u);

    Ok(L"fail-open HWPLD 1");
    EXPECT_TRUE(OpenIsRefused(OpenHwpld, ERROR_NOT_READY));
    Ok(L"fail-request register-read 1");
    EXPECT_FALSE(ExchangeOnHwpld(kReadIdentity).ok);
    Ok(L"absent hwplz");
    EXPECT_TRUE(OpenIsRefused(OpenHwplz, ERROR_FILE_NOT_FOUND));
    Ok(L"present HWPLZ");
    EXPECT_TRUE(OpenWorks(OpenHwplz));

    Ok(L"reset");
    EXPECT_EQ(ExchangeOnHwpld(kReadIdentity).out.words[2], vadsim::kDefaultManufacturerWord);
    EXPECT_TRUE(Evaluate("CTST").ok);
}

TEST_F(VadCtlTool, RaisePendingHandlesAndLogPrintWhatHappened) {
    nrv::UniqueFileHandle g = OpenHwplg();
    nrv::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    vad::EventWait in = {0, 0x94}, out = {vad::kNoEvent, 0};
    ::DeviceIoControl(g.get(), IOCTL_HWPL_WAIT_EVENT, &in, 8, &out, 8, nullptr, &overlapped);

    EXPECT_EQ(Ok(L"pending"), "pending 1\ncode 0x94 1\nqueued 0\nevent-mode pend\n");
    EXPECT_EQ(Ok(L"handles"), "HWPLZ 0\nHWPLD 0\nHWPLG 1\n");
    EXPECT_EQ(Ok(L"raise 0x86 1 queue"), "completed 0 queued\n");
    EXPECT_EQ(Ok(L"raise 0x94 1"), "completed 1\n");
    ASSERT_EQ(::WaitForSingleObject(event.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(out.word0, 1u);
    Ok(L"event-mode at-once 5");
    EXPECT_EQ(Ok(L"pending"), "pending 0\nqueued 1\nevent-mode at-once\n");

    std::vector<std::string> lines = testsupport::SplitLines(Ok(L"log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("#1 t="), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("us HWPLG open ok"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("HWPLG request 0x222944 pending in=8 out=8 words=0x0,0x94"),
              std::string::npos)
        << lines[1];
    lines = testsupport::SplitLines(Ok(L"log 2"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("#2 ", 0), 0u) << lines[0];
}

TEST_F(VadCtlTool, BadArgumentsExitWith2AndSayWhy) {
    const struct {
        const wchar_t* args;
        const char* message;
    } cases[] = {
        {L"", "vadctl: no command"},
        {L"frobnicate", "vadctl: unknown command 'frobnicate'"},
        {L"identity 1 0x1zz", "not a 32-bit number: '0x1zz'"},
        {L"raise 0x94", "usage: vadctl raise"},
    };
    for (const auto& c : cases) {
        const ProcessResult result = RunVadctl(c.args);
        EXPECT_EQ(result.exitCode, 2u) << testsupport::Narrow(c.args);
        EXPECT_NE(result.standardError.find(c.message), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardOutput, "");
    }
    EXPECT_TRUE(Logged(vadsim::kLogRequest).empty());  // nothing was sent
    EXPECT_NE(Ok(L"help").find("vadctl raise CODE VALUE [queue]"), std::string::npos);
}

// Runs only after the driver is removed (the ctest test vadsim_absent): the
// devices are gone with it, and vadctl says so.
TEST(VadCtlWithoutDriver, TheDevicesAreGoneAndVadctlSaysSo) {
    vadsim::ControlChannel control;
    EXPECT_FALSE(control.Open());
    EXPECT_EQ(control.Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(OpenHwplz() || OpenHwpld() || OpenHwplg());

    const ProcessResult result = RunVadctl(L"reset");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.standardError.find("vadctl: cannot open \\\\.\\NrvVadSimControl"),
              std::string::npos)
        << result.standardError;
    EXPECT_NE(result.standardError.find("nrvvadsim"), std::string::npos);
}
