// The loaded simulated device through CreateFile and DeviceIoControl, as the
// services reach it: open modes, register exchanges, methods, bad input.
#include "VadDeviceSupport.h"

#include "TestSupport.h"

using namespace vadtest;
using vadsim::LogEntry;

namespace {
class OpenModes : public DeviceTest {};
class Registers : public DeviceTest {};
class Methods : public DeviceTest {};
class BadInput : public DeviceTest {};
}  // namespace

TEST_F(OpenModes, EachDeviceOpensAsItsCallersOpenIt) {
    EXPECT_TRUE(OpenWorks(OpenHwplz));
    EXPECT_TRUE(OpenWorks(OpenHwpld));
    EXPECT_TRUE(OpenWorks(OpenHwplg));
    EXPECT_TRUE(OpenWorks(OpenHwplgProbe));
    nrv::UniqueFileHandle z1 = OpenHwplz(), z2 = OpenHwplz(), g1 = OpenHwplg(), g2 = OpenHwplg();
    const vadsim::DeviceState state = State();
    EXPECT_EQ(state.openHandles[vadsim::kDeviceHwplz], 2u);
    EXPECT_EQ(state.openHandles[vadsim::kDeviceHwplg], 2u);
}

TEST_F(OpenModes, HwpldHasOneOpenerAtATime) {
    nrv::UniqueFileHandle first = OpenHwpld();
    ASSERT_TRUE(first) << ::GetLastError();
    EXPECT_TRUE(OpenIsRefused(OpenHwpld, ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(Exchange(first.get(), kReadIdentity).ok);  // the holder keeps working
    EXPECT_EQ(State().openHandles[vadsim::kDeviceHwpld], 1u);
    first.reset();
    EXPECT_TRUE(OpenWorks(OpenHwpld));

    const std::vector<LogEntry> opens = Logged(vadsim::kLogOpen);
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[1].outcome, static_cast<ULONG>(vadsim::kOutcomeSharingViolation));
    EXPECT_TRUE(testsupport::WaitFor([&] { return Logged(vadsim::kLogClose).size() == 2; }));
}

TEST_F(OpenModes, ScriptedFailuresAndAbsentDevices) {
    ASSERT_TRUE(control.FailOpens(vadsim::kDeviceHwpld, 2));
    EXPECT_TRUE(OpenIsRefused(OpenHwpld, ERROR_NOT_READY));
    EXPECT_TRUE(OpenWorks(OpenHwplz));
    EXPECT_TRUE(OpenIsRefused(OpenHwpld, ERROR_NOT_READY));
    EXPECT_TRUE(OpenWorks(OpenHwpld));

    nrv::UniqueFileHandle before = OpenHwplz();
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplz, false));
    EXPECT_TRUE(OpenIsRefused(OpenHwplz, ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Exchange(before.get(), kReadIdentity).ok);
    EXPECT_EQ(State().absent[vadsim::kDeviceHwplz], 1u);
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplz, true));
    EXPECT_TRUE(OpenWorks(OpenHwplz));

    ASSERT_TRUE(control.FailOpens(vadsim::kDeviceHwplg, vadsim::kAlways));
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwpld, false));
    EXPECT_TRUE(OpenIsRefused(OpenHwplg, ERROR_NOT_READY));
    EXPECT_TRUE(OpenIsRefused(OpenHwplg, ERROR_NOT_READY));
    ASSERT_TRUE(control.Reset());
    EXPECT_TRUE(OpenWorks(OpenHwplg));
    EXPECT_TRUE(OpenWorks(OpenHwpld));
}

TEST_F(Registers, IdentityWordsOrNotAvailable) {
    RegisterResult r = ExchangeOnHwpld(kReadIdentity);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, 24u);
    EXPECT_EQ(r.out.words[2], vadsim::kDefaultManufacturerWord);

    ASSERT_TRUE(control.SetIdentity(0x1234, 0x5678));
    r = ExchangeOnHwpld(kReadIdentity);
    EXPECT_EQ(r.out.words[0], 0u);
    EXPECT_EQ(r.out.words[2], 0x1234u);  // manufacturer
    EXPECT_EQ(r.out.words[3], 0x5678u);  // machine

    ASSERT_TRUE(control.SetIdentityUnavailable());
    r = ExchangeOnHwpld(kReadIdentity);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.out.words[0], vad::kStatusNotAvailable);

    r = ExchangeOnHwpld({{vad::kFunctionRead, 0x33, 0, 0, 0, 0}});
    EXPECT_EQ(r.out.words[0], vadsim::kStatusNoSuchRegister);
}

TEST_F(Registers, PolledReadIsNotReadyThreeTimesThenComplete) {
    ASSERT_TRUE(control.SetPolled({vadsim::kPolledRegister, 3, 0x11112222, 0x3333, 0, 0}));
    // The posture service's polled read: a start request, then a poll 2 ms
    // after each not-ready answer.
    RegisterResult r = ExchangeOnHwpld({{vad::kFunctionRead, 0xA6, 0, 0x200, 0, 0}});
    EXPECT_EQ(r.out.words[0], 0u);
    std::vector<ULONG> statuses;
    do {
        ::Sleep(2);
        r = ExchangeOnHwpld({{vad::kFunctionRead, 0xA6, 0, 0x200, 0, 1}});
        ASSERT_TRUE(r.ok) << r.error;
        statuses.push_back(r.out.words[0]);
    } while (vad::StatusNotReady(r.out.words[0]) && statuses.size() < 10);
    const std::vector<ULONG> expected = {0x120, 0x120, 0x120, 0};
    EXPECT_EQ(statuses, expected);
    EXPECT_EQ(r.out.words[2], 0x11112222u);
    EXPECT_EQ(r.out.words[4], 0x3333u);

    // The device saw the start request and four polls about 2 ms apart.
    const std::vector<LogEntry> requests = Logged(vadsim::kLogRequest);
    ASSERT_EQ(requests.size(), 5u);
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].device, static_cast<ULONG>(vadsim::kDeviceHwpld));
        EXPECT_EQ(requests[i].words[1], 0xA6u);
        EXPECT_EQ(requests[i].words[3], 0x200u);
        EXPECT_EQ(requests[i].words[5], i == 0 ? 0u : 1u);
        if (i == 0) continue;
        const ULONGLONG gap = requests[i].timeUs - requests[i - 1].timeUs;
        EXPECT_GE(gap, 1900u) << "poll " << i;
        EXPECT_LT(gap, 500000u) << "poll " << i;
    }
}

TEST_F(Registers, WritesSucceedAndAreLoggedWithTheirWords) {
    const vad::RegisterBlock writes[] = {{{0xFF00, 0x56, 1, 0x2000, 0, 0}},
                                         {{0xFF00, 0xA6, 0x200020, 0x102, 0x20, 0}}};
    nrv::UniqueFileHandle z = OpenHwplz();
    RegisterResult r = Exchange(z.get(), writes[0]);
    EXPECT_TRUE(r.ok && r.out.words[0] == 0) << r.error;
    EXPECT_TRUE(ExchangeOnHwpld(writes[1]).ok);

    const std::vector<LogEntry> requests = Logged(vadsim::kLogRequest);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].device, static_cast<ULONG>(vadsim::kDeviceHwplz));
    EXPECT_EQ(requests[1].device, static_cast<ULONG>(vadsim::kDeviceHwpld));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(requests[i].code, static_cast<ULONG>(IOCTL_HWPL_REGISTER));
        EXPECT_EQ(0, memcmp(requests[i].words, writes[i].words, 24)) << i;
    }

    ASSERT_TRUE(control.FailRequests(vadsim::kRequestRegisterWrite, 1));
    r = Exchange(z.get(), writes[0]);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_TRUE(Exchange(z.get(), writes[0]).ok);
}

TEST_F(Methods, ResultIsTheWordAtOffset24) {
    ASSERT_TRUE(control.SetMethod(vad::MethodName("CTST"), 0x101));
    MethodResult r = Evaluate("CTST");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, 32u);
    unsigned char bytes[32];
    memcpy(bytes, &r.reply, sizeof bytes);
    EXPECT_EQ(bytes[24], 0x01);  // the low byte, as the panel caller reads it
    EXPECT_EQ(bytes[25], 0x01);
    EXPECT_TRUE(Evaluate("VCID").ok);
    EXPECT_TRUE(Evaluate("PLST").ok);
    ASSERT_TRUE(control.SetMethod(vad::MethodName("BTST"), 0xC1));
    EXPECT_EQ(Evaluate("BTST").reply.words[vad::kMethodResultWord], 0xC1u);
    EXPECT_EQ(Logged(vadsim::kLogRequest).back().answer, 0xC1u);
}

TEST_F(Methods, ScriptedFailuresUnknownMethodsAndOtherLayoutsFail) {
    ASSERT_TRUE(control.FailMethod(vad::MethodName("CTST")));
    EXPECT_EQ(Evaluate("CTST").error, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(Evaluate("NONE").error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    nrv::UniqueFileHandle z = OpenHwplz();
    vad::MethodReply reply;
    vad::MethodRequest request = {0, 8, 0x42696542, vad::MethodName("VCID"), {}};
    EXPECT_EQ(Control(z.get(), IOCTL_HWPL_EVAL_METHOD, &request, 32, &reply, 32).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    request = {0, 4, vad::kMethodSignature, vad::MethodName("VCID"), {}};
    EXPECT_EQ(Control(z.get(), IOCTL_HWPL_EVAL_METHOD, &request, 32, &reply, 32).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    request.inputLength = 8;
    EXPECT_EQ(Control(z.get(), IOCTL_HWPL_EVAL_METHOD, &request, 24, &reply, 32).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Control(z.get(), IOCTL_HWPL_EVAL_METHOD, &request, 32, &reply, 16).error,
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(Control(z.get(), IOCTL_HWPL_EVAL_METHOD, &request, 32, &reply, 32).ok);
}

TEST_F(BadInput, ShortBuffersUnknownCodesAndWrongDevicesAreRefused) {
    nrv::UniqueFileHandle z = OpenHwplz(), d = OpenHwpld(), g = OpenHwplgProbe();
    const vad::EventWait wait = {0, 0x94};
    vad::MethodReply out;
    const struct {
        HANDLE device;
        DWORD code;
        const void* input;
        DWORD inputLength, outputLength, error;
    } cases[] = {
        {d.get(), IOCTL_HWPL_REGISTER, &kReadIdentity, 20, 24, ERROR_INVALID_PARAMETER},
        {d.get(), IOCTL_HWPL_REGISTER, &kReadIdentity, 24, 12, ERROR_INSUFFICIENT_BUFFER},
        {d.get(), IOCTL_HWPL_REGISTER, nullptr, 0, 0, ERROR_INVALID_PARAMETER},
        {g.get(), IOCTL_HWPL_WAIT_EVENT, &wait, 4, 8, ERROR_INVALID_PARAMETER},
        {g.get(), IOCTL_HWPL_WAIT_EVENT, &wait, 8, 4, ERROR_INSUFFICIENT_BUFFER},
        {z.get(), 0x222884, &kReadIdentity, 24, 24, ERROR_INVALID_FUNCTION},
        {z.get(), CTL_CODE(0x22, 0xA20, METHOD_NEITHER, 0), &kReadIdentity, 24, 24,
         ERROR_INVALID_FUNCTION},
        {d.get(), IOCTL_VADSIM_RESET, nullptr, 0, 0, ERROR_INVALID_FUNCTION},
        {g.get(), IOCTL_HWPL_REGISTER, &kReadIdentity, 24, 24, ERROR_INVALID_FUNCTION},
        {d.get(), IOCTL_HWPL_EVAL_METHOD, &kReadIdentity, 24, 32, ERROR_INVALID_FUNCTION},
        {z.get(), IOCTL_HWPL_WAIT_EVENT, &wait, 8, 8, ERROR_INVALID_FUNCTION},
    };
    for (const auto& c : cases) {
        const Result r = Control(c.device, c.code, c.input, c.inputLength, &out, c.outputLength);
        EXPECT_FALSE(r.ok) << std::hex << c.code;
        EXPECT_EQ(r.error, c.error) << std::hex << c.code << " " << c.inputLength;
    }
    const RegisterResult r = Exchange(d.get(), {{0x1234, 0x96, 0, 0, 0, 0}});  // no such function
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Exchange(d.get(), kReadIdentity).ok);  // still answering
    EXPECT_EQ(State().pendingWaits, 0u);
}

TEST_F(BadInput, TheControlDeviceRefusesMalformedScripts) {
    const ULONG one = 1;
    EXPECT_FALSE(control.Send(0x222000, nullptr, 0, nullptr, 0));
    EXPECT_EQ(control.Error(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(control.Send(IOCTL_VADSIM_SET_METHOD, &one, sizeof one, nullptr, 0));
    EXPECT_EQ(control.Error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(control.FailOpens(3, 1));
    EXPECT_FALSE(control.Send(IOCTL_VADSIM_READ_LOG, nullptr, 0, nullptr, 0));
    EXPECT_EQ(control.Error(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}
