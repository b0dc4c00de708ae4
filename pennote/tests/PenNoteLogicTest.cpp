// The launcher's decisions driven through a fake system: arming, re-arming,
// the chord, and the checks on raw input before the HID parser sees it.
#include "PenNote.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace pennote;
using testsupport::TestLog;

namespace {

class FakeSystem : public PenNoteSystem {
public:
    std::set<std::wstring> running;
    std::vector<std::wstring> queries;
    std::vector<DWORD> sleeps;
    std::function<void()> onSleep;
    int chords = 0;

    bool sizeFails = false;
    bool readFails = false;
    bool openFails = false;
    int opens = 0;
    std::vector<BYTE> input;
    NTSTATUS usageStatus = HIDP_STATUS_SUCCESS;
    std::vector<USAGE_AND_PAGE> usages;
    std::vector<BYTE> parsedReport;

    bool FindProcessByName(const wchar_t* exeName) override {
        queries.push_back(exeName);
        return running.count(exeName) != 0;
    }
    void Sleep(DWORD milliseconds) override {
        sleeps.push_back(milliseconds);
        if (onSleep) onSleep();
    }
    void SendNoteChord() override { ++chords; }
    UINT RawInputSize(HRAWINPUT) override {
        if (sizeFails) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return static_cast<UINT>(-1);
        }
        return static_cast<UINT>(input.size());
    }
    UINT ReadRawInput(HRAWINPUT, void* buffer, UINT size) override {
        if (readFails) return static_cast<UINT>(-1);
        const UINT n = std::min<UINT>(size, static_cast<UINT>(input.size()));
        std::memcpy(buffer, input.data(), n);
        return n;
    }
    nrv::UniqueFileHandle OpenRawInputDevice(HANDLE) override {
        ++opens;
        if (openFails) return {};
        return nrv::UniqueFileHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    NTSTATUS ReadUsages(HANDLE, const BYTE* report, ULONG length,
                        std::vector<USAGE_AND_PAGE>& out) override {
        parsedReport.assign(report, report + length);
        out = usages;
        return usageStatus;
    }
};

// A RAWINPUT holding HID reports, as GetRawInputData would return it.
std::vector<BYTE> RawHidBytes(DWORD sizeHid, DWORD count, const std::vector<BYTE>& reports,
                              DWORD type = RIM_TYPEHID) {
    const std::size_t offset = offsetof(RAWINPUT, data.hid.bRawData);
    std::vector<BYTE> bytes(offset + reports.size());
    RAWINPUTHEADER header{};
    header.dwType = type;
    header.dwSize = static_cast<DWORD>(bytes.size());
    header.hDevice = reinterpret_cast<HANDLE>(0x1234);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + offsetof(RAWINPUT, data.hid.dwSizeHid), &sizeHid, sizeof sizeHid);
    std::memcpy(bytes.data() + offsetof(RAWINPUT, data.hid.dwCount), &count, sizeof count);
    std::memcpy(bytes.data() + offset, reports.data(), reports.size());
    return bytes;
}

const USAGE_AND_PAGE kBarrel{kBarrelSwitchUsage, kDigitizerUsagePage};
const USAGE_AND_PAGE kTipSwitch{0x42, kDigitizerUsagePage};
const HRAWINPUT kInput = reinterpret_cast<HRAWINPUT>(0x42);

struct Launcher : ::testing::Test {
    PenNoteState state;
    WatcherMemory memory;
    FakeSystem system;

    void SetUp() override {
        system.input = RawHidBytes(4, 1, {0x02, 0x09, 0x00, 0x00});
        system.usages = {kBarrel};
    }
    void Pass() { WatcherPass(state, memory, system); }
    // What the window procedure does with WM_INPUT.
    void Press() {
        if (ShouldExamineInput(state)) OnPointer(kInput, state, system);
    }
};

}  // namespace

TEST_F(Launcher, PressWhileTheLockScreenRunsSendsOneChordAndDisarms) {
    system.running = {kLockScreen};
    Pass();
    TestLog::Mark();
    Press();
    EXPECT_EQ(system.chords, 1);
    EXPECT_EQ(state.armed.load(), 0);
    EXPECT_EQ(system.sleeps, std::vector<DWORD>{200});
    EXPECT_EQ(TestLog::Count("(OnPointer): OnPointer::Win+F20"), 1);
    EXPECT_EQ(TestLog::Count("(OnPointer): ENTER OnPointer"), 1);
    EXPECT_EQ(TestLog::Count("(OnPointer): LEAVE OnPointer"), 1);

    Press();
    Pass();
    Press();
    EXPECT_EQ(system.chords, 1) << "no second chord until re-armed";
}

TEST_F(Launcher, NothingIsExaminedOnTheOrdinaryDesktop) {
    Pass();
    EXPECT_FALSE(ShouldExamineInput(state));
    Press();
    EXPECT_EQ(system.chords, 0);
    EXPECT_EQ(system.opens, 0);
}

TEST_F(Launcher, PressFollowedByTheEndOfTheLockScreenSendsNothing) {
    system.running = {kLockScreen};
    Pass();
    system.onSleep = [this] { system.running.clear(); };  // the press unlocked the machine
    Press();
    EXPECT_EQ(system.chords, 0);
    EXPECT_EQ(state.armed.load(), 1);
}

TEST_F(Launcher, NewLockScreenReArms) {
    system.running = {kLockScreen};
    Pass();
    Press();
    ASSERT_EQ(state.armed.load(), 0);
    system.running.clear();
    Pass();
    EXPECT_EQ(state.armed.load(), 0);
    EXPECT_EQ(state.lockScreenRunning.load(), 0);
    system.running = {kLockScreen};
    Pass();
    EXPECT_EQ(state.armed.load(), 1);
    Press();
    EXPECT_EQ(system.chords, 2);
}

TEST_F(Launcher, NoteAppClosingWhileTheLockScreenStaysUpReArms) {
    for (const wchar_t* app : {kNoteApp, kOwnNoteApp}) {
        system.running = {kLockScreen, app};
        Pass();
        state.armed.store(0);  // a chord was sent
        Pass();
        EXPECT_EQ(state.armed.load(), 0);
        system.running = {kLockScreen};
        Pass();
        EXPECT_EQ(state.armed.load(), 1) << testing::PrintToString(std::wstring(app));
    }
}

TEST_F(Launcher, NoteAppsAreNotWatchedWhileTheLockScreenIsAbsent) {
    system.running = {kLockScreen, kNoteApp};
    Pass();
    EXPECT_EQ(state.noteAppRunning.load(), 1);
    system.running = {kNoteApp};
    Pass();
    state.armed.store(0);
    system.queries.clear();
    system.running.clear();  // the note app closes while the lock screen is absent
    Pass();
    EXPECT_EQ(state.armed.load(), 0);
    EXPECT_EQ(system.queries, std::vector<std::wstring>{kLockScreen});
    EXPECT_EQ(state.noteAppRunning.load(), 1) << "left as last seen";
}

TEST_F(Launcher, WatcherRunsEvery200msUntilStopped) {
    std::atomic<bool> stop{false};
    int passes = 0;
    system.onSleep = [&] {
        if (++passes == 3) stop = true;
    };
    RunWatcher(state, system, stop);
    EXPECT_EQ(system.sleeps, (std::vector<DWORD>{200, 200, 200}));
    EXPECT_EQ(system.queries.size(), 3u);
}

TEST_F(Launcher, OtherUsagesAreLoggedButSendNothing) {
    system.running = {kLockScreen};
    Pass();
    system.usages = {kTipSwitch, {kBarrelSwitchUsage, 0x01}};
    TestLog::Mark();
    EXPECT_EQ(OnPointer(kInput, state, system), S_OK);
    EXPECT_EQ(system.chords, 0);
    EXPECT_TRUE(system.sleeps.empty());
    EXPECT_EQ(TestLog::Count("(OnPointer): OnPointer::DIGITIZER_USAGE_PAGE"), 2);
}

TEST_F(Launcher, TheParserGetsTheFirstReport) {
    system.running = {kLockScreen};
    system.input = RawHidBytes(3, 2, {0x05, 0x07, 0x08, 0x05, 0x00, 0x00});
    EXPECT_EQ(OnPointer(kInput, state, system), S_OK);
    EXPECT_EQ(system.parsedReport, (std::vector<BYTE>{0x05, 0x07, 0x08}));
}

namespace {

struct BadInput {
    const char* what;
    std::function<void(FakeSystem&)> make;
    bool deviceOpened;
};

}  // namespace

TEST_F(Launcher, BadInputIsRejectedWithAnErrorRecord) {
    const BadInput cases[] = {
        {"size query fails", [](FakeSystem& s) { s.sizeFails = true; }, false},
        {"size is zero", [](FakeSystem& s) { s.input.clear(); }, false},
        {"read fails", [](FakeSystem& s) { s.readFails = true; }, false},
        {"shorter than a HID header",
         [](FakeSystem& s) { s.input.resize(offsetof(RAWINPUT, data.hid.bRawData) - 1); }, false},
        {"report size beyond the bytes read",
         [](FakeSystem& s) {
             s.input = RawHidBytes(64, 1, {0x02, 0x09});
         },
         false},
        {"report count beyond the bytes read",
         [](FakeSystem& s) {
             s.input = RawHidBytes(2, 3, {0x02, 0x09});
         },
         false},
        {"size times count overflows",
         [](FakeSystem& s) {
             s.input = RawHidBytes(0x10000, 0x10000, {0x02, 0x09});
         },
         false},
        {"report of one byte", [](FakeSystem& s) { s.input = RawHidBytes(1, 1, {0x02}); }, false},
        {"no report", [](FakeSystem& s) { s.input = RawHidBytes(2, 0, {}); }, false},
        {"second byte zero",
         [](FakeSystem& s) {
             s.input = RawHidBytes(2, 1, {0x02, 0x00});
         },
         false},
        {"not a HID input",
         [](FakeSystem& s) {
             s.input = RawHidBytes(2, 1, {0x02, 0x09}, RIM_TYPEMOUSE);
         },
         false},
        {"device cannot be opened", [](FakeSystem& s) { s.openFails = true; }, true},
        {"parser fails", [](FakeSystem& s) { s.usageStatus = HIDP_STATUS_INVALID_REPORT_LENGTH; },
         true},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.what);
        PenNoteState fresh;
        FakeSystem system;
        system.running = {kLockScreen};
        system.input = RawHidBytes(4, 1, {0x02, 0x09, 0x00, 0x00});
        system.usages = {kBarrel};
        c.make(system);
        TestLog::Mark();
        EXPECT_EQ(OnPointer(kInput, fresh, system), E_FAIL);
        EXPECT_EQ(system.chords, 0);
        EXPECT_EQ(fresh.armed.load(), 1);
        EXPECT_EQ(system.opens > 0, c.deviceOpened);
        EXPECT_EQ(TestLog::Count("[ERR] (OnPointer): Error Code: 0x80004005"), 1);
        EXPECT_EQ(TestLog::Count("[ERR] (OnPointer): Get Last Error:"), 1);
    }
}

TEST(PenNoteRules, ProcessNamesMatchWholeIgnoringCase) {
    EXPECT_TRUE(ProcessNameMatches(L"LockApp.exe", kLockScreen));
    EXPECT_TRUE(ProcessNameMatches(L"LOCKAPP.EXE", kLockScreen));
    EXPECT_TRUE(ProcessNameMatches(L"OneNoteIM.exe", kNoteApp));
    // A tail of the wanted name is another program, not the lock screen.
    EXPECT_FALSE(ProcessNameMatches(L"app.exe", kLockScreen));
    EXPECT_FALSE(ProcessNameMatches(L"p.exe", kLockScreen));
    EXPECT_FALSE(ProcessNameMatches(L"LockApp.exe.old", kLockScreen));
    EXPECT_FALSE(ProcessNameMatches(L"", kLockScreen));
}

namespace {

// Processes 100 to 199 run in session 1 (the launcher's), 200 to 299 in
// session 2 (another user's); other processes' sessions cannot be read.
bool FakeSessionOf(DWORD processId, DWORD& session) {
    if (processId >= 100 && processId < 300) {
        session = processId / 100;
        return true;
    }
    return false;
}

}  // namespace

TEST(PenNoteRules, OnlyProcessesOfTheOwnSessionCount) {
    EXPECT_TRUE(ProcessCounts(L"LockApp.exe", 104, kLockScreen, 1, FakeSessionOf));
    // Fast user switching: the other user's lock screen is not on this desktop.
    EXPECT_FALSE(ProcessCounts(L"LockApp.exe", 204, kLockScreen, 1, FakeSessionOf));
    EXPECT_TRUE(ProcessCounts(L"LockApp.exe", 204, kLockScreen, 2, FakeSessionOf));
    EXPECT_FALSE(ProcessCounts(L"LockApp.exe", 7, kLockScreen, 1, FakeSessionOf))
        << "a session that cannot be read does not count";
    EXPECT_FALSE(ProcessCounts(L"app.exe", 104, kLockScreen, 1, FakeSessionOf));
    EXPECT_TRUE(ProcessCounts(L"ONENOTEIM.EXE", 150, kNoteApp, 1, FakeSessionOf));
    EXPECT_FALSE(ProcessCounts(L"onenoteim.exe", 250, kNoteApp, 1, FakeSessionOf));
}

TEST(PenNoteRules, ChordIsWindowsF20PressedAndReleasedInOrder) {
    const auto chord = NoteChord();
    const BYTE keys[] = {VK_LWIN, VK_F20, VK_F20, VK_LWIN};
    const DWORD flags[] = {0, 0, KEYEVENTF_KEYUP, KEYEVENTF_KEYUP};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(chord[i].virtualKey, keys[i]);
        EXPECT_EQ(chord[i].scanCode, keys[i]) << "the key code doubles as scan code";
        EXPECT_EQ(chord[i].flags, flags[i]);
    }
    EXPECT_EQ(VK_F20, 0x83);
}

TEST(PenNoteRules, PenAndDigitizerInputReachTheHiddenWindow) {
    const HWND window = reinterpret_cast<HWND>(0x100);
    const auto devices = PenInputDevices(window);
    EXPECT_EQ(devices[0].usUsagePage, 0x0D);
    EXPECT_EQ(devices[0].usUsage, 0x02);
    EXPECT_EQ(devices[1].usUsagePage, 0x0D);
    EXPECT_EQ(devices[1].usUsage, 0x01);
    for (const auto& device : devices) {
        EXPECT_EQ(device.dwFlags, static_cast<DWORD>(RIDEV_INPUTSINK));
        EXPECT_EQ(device.hwndTarget, window);
    }
}
