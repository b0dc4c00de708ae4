// The state queries over scripted firmware methods and a fake keyboard list,
// and the indicator writes.
#include "DockMonitor.h"
#include "FakePosture.h"
#include "MachineConfig.h"
#include "PostureService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using posturetest::CallFails;
using posturetest::DeviceUnavailable;
using posturetest::FakePosture;
using posturetest::Returns;
using testsupport::TestLog;

namespace {

constexpr char kNoStateRecord[] = "Error Code: 0xffffffff";
constexpr char kFailRecord[] = "Error Code: 0x80004005";

class DockQueries : public posturetest::PostureTest {
protected:
    // Each answer in turn, one call each.
    template <typename Query>
    std::vector<DockState> Ask(const char* method, Query query, std::vector<ULONG> answers) {
        std::vector<DockState> states;
        for (ULONG answer : answers) {
            fake.methods[method] = {Returns(answer)};
            states.push_back(query());
        }
        return states;
    }
};

}  // namespace

TEST_F(DockQueries, DockStatusFromTheDockId) {
    KbDockIds = {0x11110001, 0x22220002};
    fake.methods["VCID"] = {Returns(0)};
    EXPECT_EQ(GetCurrentDockStatus(), kDockUndocked);
    EXPECT_EQ(TestLog::Count("[TRC] (GetCurrentDockStatus): POSTURESVC_GetCurrentDockStatus\t"
                             "Undocked"),
              1);

    fake.methods["VCID"] = {Returns(kCradleDockId)};
    EXPECT_EQ(GetCurrentDockStatus(), kDockCradle);
    EXPECT_EQ(TestLog::Count("POSTURESVC_GetCurrentDockStatus\tCradle is connected"), 1);

    fake.methods["VCID"] = {Returns(0x22220002)};
    EXPECT_EQ(GetCurrentDockStatus(), kDockKeyboard) << "the second listed keyboard dock";
    fake.methods["VCID"] = {Returns(0x11110001)};
    EXPECT_EQ(GetCurrentDockStatus(), kDockKeyboard);
    EXPECT_EQ(TestLog::Count("POSTURESVC_GetCurrentDockStatus\tKBDock is connected"), 2);

    EXPECT_EQ(fake.methodCalls, (std::map<std::string, int>{{"VCID", 4}}));
}

TEST_F(DockQueries, UnknownDockIdIsNoState) {
    KbDockIds = {0x11110001};
    EXPECT_EQ(Ask("VCID", GetCurrentDockStatus, {0x11110002, kCradleDockId + 1, 1}),
              (std::vector<DockState>{kDockNoState, kDockNoState, kDockNoState}));
    EXPECT_EQ(TestLog::Count("POSTURESVC_GetCurrentDockStatus\t"), 0);
    EXPECT_EQ(TestLog::Count(kNoStateRecord), 0);
}

TEST_F(DockQueries, EveryQueryTellsAnAbsentDeviceFromAFailedCall) {
    const std::pair<const char*, DockState (*)()> queries[] = {
        {"VCID", GetCurrentDockStatus},
        {"CTST", GetCurrentPanelStatus},
        {"PLST", GetCurrentPLSTStatus},
    };
    for (const auto& [method, query] : queries) {
        SCOPED_TRACE(method);
        TestLog::Mark();
        fake.methods[method] = {DeviceUnavailable()};
        EXPECT_EQ(query(), kDockNoState);
        EXPECT_EQ(TestLog::Count(kNoStateRecord), 1);
        EXPECT_EQ(TestLog::Count("[ERR]"), 1);

        TestLog::Mark();
        fake.methods[method] = {CallFails()};
        EXPECT_EQ(query(), kDockNoState);
        EXPECT_EQ(TestLog::Count("[ERR]"), 0);
    }
    // A method the firmware does not answer is a failed call too, not the
    // undocked state its untouched result would read as.
    fake.methods.clear();
    TestLog::Mark();
    EXPECT_EQ(GetCurrentDockStatus(), kDockNoState);
    EXPECT_EQ(TestLog::Count("[ERR]"), 0);
}

TEST_F(DockQueries, PanelStatusFromTheLowByte) {
    EXPECT_EQ(Ask("CTST", GetCurrentPanelStatus, {0, 1, 2, 0xFF, 0x100, 0x101, 0xABCD0000}),
              (std::vector<DockState>{kDockKeyboard, kDockUndocked, kDockNoState, kDockNoState,
                                      kDockKeyboard, kDockUndocked, kDockKeyboard}));
    EXPECT_EQ(fake.methodCalls, (std::map<std::string, int>{{"CTST", 7}}));
}

TEST_F(DockQueries, PostureFromTheLowByteOfPLST) {
    struct Row {
        ULONG value;
        DockState state;
        const char* record;
    };
    const Row rows[] = {
        {0, kDockKeyboard, "[TRC] (GetCurrentPLSTStatus): POSTURESVC::Clamshell (Close)"},
        {1, kDockUndocked, "[TRC] (GetCurrentPLSTStatus): POSTURESVC::Tablet (Close)"},
        {2, kDockKeyboard, "[TRC] (GetCurrentPLSTStatus): POSTURESVC:: Clamshell (Open)"},
        {3, kDockCradle, "[TRC] (GetCurrentPLSTStatus): POSTURESVC::Flip (Open)"},
        {4, kDockUndocked, "[TRC] (GetCurrentPLSTStatus): POSTURESVC:: Tablet (Undock)"},
        {0x7703, kDockCradle, "POSTURESVC::Flip (Open)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        TestLog::Mark();
        fake.methods["PLST"] = {Returns(row.value)};
        EXPECT_EQ(GetCurrentPLSTStatus(), row.state);
        EXPECT_EQ(TestLog::Count(row.record), 1);
        EXPECT_EQ(TestLog::Count("[TRC] (GetCurrentPLSTStatus): POSTURESVC"), 1)
            << "one posture record per query";
    }
    for (ULONG other : {5ul, 6ul, 0xFFul, 0x100ul + 5}) {
        TestLog::Mark();
        fake.methods["PLST"] = {Returns(other)};
        EXPECT_EQ(GetCurrentPLSTStatus(), kDockNoState) << other;
        EXPECT_EQ(TestLog::Count("[TRC] (GetCurrentPLSTStatus): POSTURESVC"), 0) << other;
    }
}

namespace {

// Vendor 0x04F3 in the low word, product 0x0C4B in the high one.
constexpr DWORD kPidVid = 0x0C4B04F3;
constexpr char kPattern[] = "VID_04F3&PID_0C4B";

class KeyboardQueries : public posturetest::PostureTest {
protected:
    void SetUp() override {
        PostureTest::SetUp();
        g_keyboardPidVid = kPidVid;
    }
};

}  // namespace

TEST_F(KeyboardQueries, EnumeratedKeyboardOfThePidVidIsDocked) {
    fake.keyboards = {L"HID\\VID_1234&PID_0001\\7&1&0", L"HID\\VID_04F3&PID_0C4B&MI_00\\8&2&0",
                      L"HID\\VID_04F3&PID_0C4B&MI_01\\8&3&0"};
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockKeyboard);
    EXPECT_EQ(fake.keyboardValuesRead, (std::vector<std::wstring>{L"0", L"1"}))
        << "the scan stops at the first match";
    EXPECT_EQ(
        TestLog::Count("regString = HID\\VID_1234&PID_0001\\7&1&0 strPidVid =VID_04F3&PID_0C4B"),
        1);
    EXPECT_EQ(TestLog::Count(std::string("strPidVid =") + kPattern), 2);
}

TEST_F(KeyboardQueries, OtherKeyboardsAreUndocked) {
    fake.keyboards = {
        L"HID\\VID_0C4B&PID_04F3\\1",  // vendor and product the other way round
        L"HID\\vid_04f3&pid_0c4b\\2",  // the pattern is matched as upper case
        L"HID\\VID_04F3&PID_0C4C\\3",
    };
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockUndocked);
    EXPECT_EQ(fake.keyboardValuesRead, (std::vector<std::wstring>{L"0", L"1", L"2"}));
    EXPECT_EQ(TestLog::Count("regString = "), 3);
}

TEST_F(KeyboardQueries, HexDigitsOfThePatternAreUpperCase) {
    g_keyboardPidVid = 0xBEEFCAFE;
    fake.keyboards = {L"USB\\VID_CAFE&PID_BEEF\\5"};
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockKeyboard);
    EXPECT_TRUE(TestLog::Contains("strPidVid =VID_CAFE&PID_BEEF"));
}

TEST_F(KeyboardQueries, EmptyListIsNoState) {
    fake.keyboards = {L"HID\\VID_04F3&PID_0C4B\\1"};
    fake.keyboardCount = 0;
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockNoState);
    EXPECT_TRUE(fake.keyboardValuesRead.empty());
    EXPECT_EQ(TestLog::Count("[ERR]"), 0);
}

TEST_F(KeyboardQueries, UnreadableListIsNoState) {
    fake.keyboards = {L"HID\\VID_04F3&PID_0C4B\\1"};
    fake.keyboardListOpens = false;
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockNoState);
    EXPECT_EQ(TestLog::Count(std::string("[ERR] (GetCurrentKeyboardStatus): ") + kNoStateRecord),
              1);

    TestLog::Mark();
    fake.keyboardListOpens = true;
    fake.keyboardCountFails = true;
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockNoState);
    EXPECT_EQ(TestLog::Count(kNoStateRecord), 1);
    EXPECT_TRUE(fake.keyboardValuesRead.empty());
}

TEST_F(KeyboardQueries, UnreadableValueEndsTheScanWithoutState) {
    // Even a match after the value that fails is not reached.
    fake.keyboards = {L"HID\\VID_1111&PID_2222\\1", L"?", L"HID\\VID_04F3&PID_0C4B\\3"};
    fake.failingKeyboardValues = {L"1"};
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockNoState);
    EXPECT_EQ(fake.keyboardValuesRead, (std::vector<std::wstring>{L"0", L"1"}));
    EXPECT_EQ(TestLog::Count(kNoStateRecord), 1);

    // A count larger than the list: the missing value fails the same way.
    TestLog::Mark();
    fake.failingKeyboardValues.clear();
    fake.keyboards = {L"HID\\VID_1111&PID_2222\\1"};
    fake.keyboardCount = 2;
    EXPECT_EQ(GetCurrentKeyboardStatus(), kDockNoState);
    EXPECT_EQ(TestLog::Count(kNoStateRecord), 1);
}

namespace {

class IndicatorWrites : public posturetest::PostureTest {
protected:
    void SetUp() override {
        PostureTest::SetUp();
        FindIndicators();
    }
};

}  // namespace

TEST_F(IndicatorWrites, EachGuidWritesItsOwnIndicator) {
    EXPECT_EQ(ToggleDockState(SLATE_INDICATOR_GUID), S_OK);
    EXPECT_EQ(fake.slate.writes, 1);
    EXPECT_EQ(fake.dock.attempts, 0);
    EXPECT_EQ(ToggleDockState(DOCK_INDICATOR_GUID), S_OK);
    EXPECT_EQ(fake.dock.writes, 1);
    EXPECT_EQ(fake.slate.attempts, 1);
    EXPECT_EQ(TestLog::Count("[ERR]"), 0);
    EXPECT_TRUE(fake.StepsOf("sleep").empty());
}

TEST_F(IndicatorWrites, MissingIndicatorFailsWithoutAWrite) {
    g_dockIndicatorPath.reset();
    EXPECT_EQ(ToggleDockState(DOCK_INDICATOR_GUID), E_FAIL);
    EXPECT_EQ(fake.dock.attempts, 0);
    EXPECT_EQ(TestLog::Count(std::string("[ERR] (ToggleDockState): ") + kFailRecord), 1);

    const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(ToggleDockState(other), E_FAIL);
    EXPECT_EQ(fake.slate.attempts + fake.dock.attempts, 0);
    EXPECT_EQ(TestLog::Count(kFailRecord), 2);
}

TEST_F(IndicatorWrites, FailedWriteFails) {
    fake.slate.failures = 1;
    EXPECT_EQ(ToggleDockState(SLATE_INDICATOR_GUID), E_FAIL);
    EXPECT_EQ(TestLog::Count(std::string("[ERR] (ToggleDockState): ") + kFailRecord), 1);
    EXPECT_EQ(ToggleDockState(SLATE_INDICATOR_GUID), S_OK);
    EXPECT_EQ(fake.slate.attempts, 2);
    EXPECT_EQ(fake.slate.writes, 1);
}

TEST_F(IndicatorWrites, UntilDoneGivesUpAfterTenAttempts) {
    fake.dock.failures = -1;
    EXPECT_FALSE(ToggleDockStateUntilDone(DOCK_INDICATOR_GUID));
    EXPECT_EQ(fake.dock.attempts, 10);
    EXPECT_EQ(fake.now, 5000u);
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) {
        expected.push_back("write dock");
        expected.push_back("sleep 500");
    }
    EXPECT_EQ(fake.steps, expected);
    EXPECT_EQ(TestLog::Count(kFailRecord), 10);
}

TEST_F(IndicatorWrites, UntilDoneStopsAtTheFirstSuccess) {
    fake.slate.failures = 2;
    EXPECT_TRUE(ToggleDockStateUntilDone(SLATE_INDICATOR_GUID));
    EXPECT_EQ(fake.slate.attempts, 3);
    EXPECT_EQ(fake.slate.writes, 1);
    EXPECT_EQ(fake.now, 1000u);
    EXPECT_EQ(fake.steps, (std::vector<std::string>{"write slate", "sleep 500", "write slate",
                                                    "sleep 500", "write slate"}));

    fake.now = 0;
    EXPECT_TRUE(ToggleDockStateUntilDone(SLATE_INDICATOR_GUID));
    EXPECT_EQ(fake.now, 0u) << "no wait after a write that succeeds";
}

TEST_F(IndicatorWrites, UntilDoneOnAMissingIndicatorStillTriesTenTimes) {
    g_slateIndicatorPath.reset();
    EXPECT_FALSE(ToggleDockStateUntilDone(SLATE_INDICATOR_GUID));
    EXPECT_EQ(fake.now, 5000u);
    EXPECT_EQ(fake.slate.attempts, 0);
}
