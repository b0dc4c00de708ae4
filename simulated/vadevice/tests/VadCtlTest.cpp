// vadctl's command line and output text, without the device.
#include "VadCtl.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vadctl;

TEST(VadCtlParse, NumbersAreDecimalOrHexadecimal32Bits) {
    ULONG value = 7;
    EXPECT_TRUE(ParseNumber("4294967295", &value) && value == 0xFFFFFFFFu);
    EXPECT_TRUE(ParseNumber("0XaBcD1234", &value) && value == 0xABCD1234u);
    EXPECT_TRUE(ParseMethodName("VCID", &value) && value == 0x44494356u);
    value = 7;
    for (const char* bad : {"", "0x", "4294967296", "0x100000000", "12a", "-1", " 1", "0x1g"}) {
        EXPECT_FALSE(ParseNumber(bad, &value)) << bad;
    }
    for (const char* bad : {"VCI", "VCIDX", "VC D"}) EXPECT_FALSE(ParseMethodName(bad, &value));
    EXPECT_EQ(value, 7u);
}

TEST(VadCtlParse, EachCommandBuildsItsControlRequest) {
    const ULONG kNone = vad::kNoEvent, kAlways = vadsim::kAlways;
    const ULONG vcid = vad::MethodName("VCID"), ctst = vad::MethodName("CTST");
    const struct {
        std::vector<std::string> args;
        ULONG code;
        std::vector<ULONG> input;  // every request is 32-bit words
        Output output = Output::Nothing;
    } cases[] = {
        {{"reset"}, IOCTL_VADSIM_RESET, {}, Output::Nothing},
        {{"identity", "0x1234", "22136"}, IOCTL_VADSIM_SET_REGISTER, {0x96, 0, 0x1234, 0x5678, 0}},
        {{"identity-unavailable"}, IOCTL_VADSIM_SET_REGISTER, {0x96, 0x8000, 0, 0, 0}},
        {{"register", "0x42", "0x120", "1", "2", "3"},
         IOCTL_VADSIM_SET_REGISTER,
         {0x42, 0x120, 1, 2, 3}},
        {{"method", "VCID", "0x101"}, IOCTL_VADSIM_SET_METHOD, {vcid, 0, 0x101}},
        {{"method-fail", "CTST"}, IOCTL_VADSIM_SET_METHOD, {ctst, 1, 0}},
        {{"method-remove", "CTST"}, IOCTL_VADSIM_SET_METHOD, {ctst, 2, 0}},
        {{"polled", "3", "0x11112222", "0x3333"},
         IOCTL_VADSIM_SET_POLLED,
         {0xA6, 3, 0x11112222, 0x3333, 0, 0}},
        {{"polled", "0", "1", "2", "0x120", "0x140"},
         IOCTL_VADSIM_SET_POLLED,
         {0xA6, 0, 1, 2, 0x120, 0x140}},
        {{"fail-open", "hwpld", "1"}, IOCTL_VADSIM_FAIL_OPEN, {1, 1}},
        {{"fail-open", "HWPLG", "always"}, IOCTL_VADSIM_FAIL_OPEN, {2, kAlways}},
        {{"absent", "HWPLZ"}, IOCTL_VADSIM_SET_PRESENCE, {0, 0}},
        {{"present", "hwplg"}, IOCTL_VADSIM_SET_PRESENCE, {2, 1}},
        {{"fail-request", "method", "2"}, IOCTL_VADSIM_FAIL_REQUEST, {2, 2}},
        {{"fail-request", "event", "always"}, IOCTL_VADSIM_FAIL_REQUEST, {3, kAlways}},
        {{"event-mode", "at-once"}, IOCTL_VADSIM_SET_EVENT_MODE, {1, kNone}},
        {{"event-mode", "at-once", "5"}, IOCTL_VADSIM_SET_EVENT_MODE, {1, 5}},
        {{"event-mode", "pend"}, IOCTL_VADSIM_SET_EVENT_MODE, {0, kNone}},
        {{"raise", "0x94", "1"}, IOCTL_VADSIM_RAISE_EVENT, {0x94, 1, 0}, Output::RaiseResult},
        {{"raise", "133", "0", "queue"},
         IOCTL_VADSIM_RAISE_EVENT,
         {0x85, 0, 1},
         Output::RaiseResult},
        {{"log"}, IOCTL_VADSIM_READ_LOG, {0}, Output::Log},
        {{"log", "17"}, IOCTL_VADSIM_READ_LOG, {17}, Output::Log},
        {{"pending"}, IOCTL_VADSIM_QUERY_STATE, {}, Output::Pending},
        {{"handles"}, IOCTL_VADSIM_QUERY_STATE, {}, Output::Handles},
        {{"help"}, 0, {}, Output::Usage},
        {{"indicators"}, IOCTL_VADSIM_QUERY_INDICATORS, {}, Output::Indicators},
        {{"indicator-remove", "dock"}, IOCTL_VADSIM_SET_INDICATOR_PRESENCE, {1, 0}},
        {{"indicator-restore", "Slate"}, IOCTL_VADSIM_SET_INDICATOR_PRESENCE, {0, 1}},
        {{"indicator-path", "dock"}, 0, {}, Output::Text},
        {{"indicators-install"}, 0, {}},
        {{"keyboards", "add", "45E", "0x07a9"}, 0, {}},
        {{"keyboards", "list"}, 0, {}, Output::Text},
    };
    for (const auto& c : cases) {
        const ParseResult result = Parse(c.args);
        ASSERT_TRUE(result.ok) << c.args[0] << ": " << result.error;
        EXPECT_EQ(result.action.code, c.code) << c.args[0];
        EXPECT_EQ(result.action.output, c.output) << c.args[0];
        std::vector<ULONG> words(result.action.input.size() / 4);
        std::memcpy(words.data(), result.action.input.data(), result.action.input.size());
        EXPECT_EQ(words, c.input) << c.args[0] << " " << c.args.back();
    }
}

TEST(VadCtlParse, IndicatorAndKeyboardCommandsRunInVadctl) {
    const struct {
        std::vector<std::string> args;
        Local local;
        ULONG indicator;
        ULONG vendor;
        ULONG product;
    } cases[] = {
        {{"indicator-remove", "DOCK"}, Local::IndicatorUnlink, 1, 0, 0},
        {{"indicator-restore", "dock"}, Local::IndicatorLink, 1, 0, 0},
        {{"indicator-path", "slate"}, Local::IndicatorPath, 0, 0, 0},
        {{"indicators-install"}, Local::IndicatorsInstall, 0, 0, 0},
        {{"indicators-uninstall"}, Local::IndicatorsUninstall, 0, 0, 0},
        {{"keyboards", "add", "045e", "0X7A9"}, Local::KeyboardsAdd, 0, 0x45E, 0x7A9},
        {{"keyboards", "ADD", "ffff", "0"}, Local::KeyboardsAdd, 0, 0xFFFF, 0},
        {{"keyboards", "clear"}, Local::KeyboardsClear, 0, 0, 0},
        {{"keyboards", "list"}, Local::KeyboardsList, 0, 0, 0},
        {{"keyboards", "remove"}, Local::KeyboardsRemove, 0, 0, 0},
        {{"reset"}, Local::None, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const ParseResult result = Parse(c.args);
        ASSERT_TRUE(result.ok) << c.args[0] << ": " << result.error;
        EXPECT_EQ(result.action.local, c.local) << c.args.back();
        EXPECT_EQ(result.action.indicator, c.indicator) << c.args.back();
        EXPECT_EQ(result.action.vendor, c.vendor) << c.args.back();
        EXPECT_EQ(result.action.product, c.product) << c.args.back();
    }
    const struct {
        std::vector<std::string> args;
        const char* error;
    } bad[] = {
        {{"indicator-remove", "lid"}, "not an indicator (slate or dock): 'lid'"},
        {{"indicator-path"}, "usage: vadctl indicator-path slate|dock"},
        {{"keyboards", "add", "10000", "1"},
         "not a USB id (one to four hexadecimal digits): '10000'"},
        {{"keyboards", "add", "1", "0xg"}, "not a USB id (one to four hexadecimal digits): '0xg'"},
        {{"keyboards", "add", "1"}, "usage: vadctl keyboards add VID PID|clear|list|remove"},
        {{"keyboards", "clear", "1"}, "usage: vadctl keyboards add VID PID|clear|list|remove"},
        {{"keyboards", "drop"}, "usage: vadctl keyboards add VID PID|clear|list|remove"},
    };
    for (const auto& c : bad) {
        const ParseResult result = Parse(c.args);
        EXPECT_FALSE(result.ok) << c.args.back();
        EXPECT_EQ(result.error, c.error);
    }
}

TEST(VadCtlOutput, IndicatorStatesAndCounts) {
    vadsim::IndicatorState state = {};
    state.state[vadsim::kIndicatorSlate] = 1;
    state.writes[vadsim::kIndicatorSlate] = 3;
    state.refused[vadsim::kIndicatorDock] = 2;
    state.openHandles[vadsim::kIndicatorDock] = 1;
    state.absent[vadsim::kIndicatorDock] = 1;
    EXPECT_EQ(FormatIndicators(state),
              "slate laptop writes=3 refused=0 handles=0\n"
              "dock undocked writes=0 refused=2 handles=1 absent\n");
}

TEST(VadCtlParse, BadCommandLinesSayWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{}, "no command"},
        {{"Reset"}, "unknown command 'Reset'"},
        {{"identity", "1"}, "usage: vadctl identity MANUFACTURER MACHINE"},
        {{"reset", "now"}, "usage: vadctl reset"},
        {{"identity", "1", "0x1zz"}, "not a 32-bit number: '0x1zz'"},
        {{"method", "VCIDX", "1"}, "not a method name"},
        {{"polled", "3", "1", "2", "3", "4", "5"}, "usage: vadctl polled"},
        {{"fail-open", "HWPLX", "1"}, "not a device"},
        {{"fail-open", "HWPLD", "never"}, "not a count: 'never'"},
        {{"fail-request", "write", "1"}, "not a request kind"},
        {{"event-mode", "pend", "1"}, "usage: vadctl event-mode"},
        {{"raise", "0x94", "1", "later"}, "usage: vadctl raise CODE VALUE [queue]"},
    };
    for (const auto& c : cases) {
        const ParseResult result = Parse(c.args);
        EXPECT_FALSE(result.ok) << c.error;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
    }
}

TEST(VadCtlOutput, LogEntriesStateAndUsage) {
    vadsim::LogEntry entry = {12,
                              vadsim::kLogRequest,
                              vadsim::kDeviceHwpld,
                              IOCTL_HWPL_REGISTER,
                              1234567,
                              vadsim::kOutcomeSuccess,
                              24,
                              24,
                              0x120,
                              {0xFE00, 0xA6, 0, 0x200, 0, 1}};
    EXPECT_EQ(FormatLogEntry(entry),
              "#12 t=1234567us HWPLD request 0x222880 ok in=24 out=24 answer=0x120 "
              "words=0xfe00,0xa6,0x0,0x200,0x0,0x1");
    entry.outcome = vadsim::kOutcomeInvalidParameter;
    entry.inputLength = 6;
    EXPECT_EQ(FormatLogEntry(entry),
              "#12 t=1234567us HWPLD request 0x222880 invalid-parameter in=6 out=24 "
              "words=0xfe00,0xa6");
    entry.kind = vadsim::kLogOpen;
    entry.outcome = vadsim::kOutcomeSharingViolation;
    EXPECT_EQ(FormatLogEntry(entry), "#12 t=1234567us HWPLD open sharing-violation");

    vadsim::DeviceState state = {{1, 0, 3}, {0, 1, 0}, 3, 1, 0, 2, {{0x94, 2}, {0x85, 1}}};
    EXPECT_EQ(FormatPending(state),
              "pending 3\ncode 0x94 2\ncode 0x85 1\nqueued 1\nevent-mode pend\n");
    EXPECT_EQ(FormatHandles(state), "HWPLZ 1\nHWPLD 0 absent\nHWPLG 3\n");
    EXPECT_EQ(FormatRaise({0, 1}), "completed 0 queued\n");
    for (const char* command : {"identity MANUFACTURER MACHINE", "absent", "raise", "handles"}) {
        EXPECT_NE(Usage().find(std::string("vadctl ") + command), std::string::npos) << command;
    }
}
