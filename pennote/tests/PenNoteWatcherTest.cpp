// The real system layer: process snapshots of real processes named like the
// lock screen and the note applications, the real watcher thread, and raw
// input failures.
#include "PenNoteWin32.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace pennote;
using namespace testsupport;

namespace {

// Helper programs copied under the names the launcher looks for.
class Programs {
public:
    std::wstring Path(const wchar_t* name) {
        const std::wstring path = m_dir / name;
        if (!FileExists(path)) {
            EXPECT_TRUE(CopyInto(ExeDirectory() + L"\\idleproc.exe", path));
        }
        return path;
    }
    std::unique_ptr<RunningProcess> Start(const wchar_t* name) {
        auto process = std::make_unique<RunningProcess>(Path(name));
        EXPECT_TRUE(process->Started());
        return process;
    }

private:
    TempDir m_dir;
};

bool Found(const wchar_t* name) {
    return FindProcessByName(name) == 1;
}

}  // namespace

TEST(FindProcessByName, FindsARunningProgramByItsWholeNameInAnyCase) {
    Programs programs;
    EXPECT_FALSE(Found(kLockScreen));
    auto lock = programs.Start(L"LOCKAPP.EXE");
    EXPECT_TRUE(WaitFor([] { return Found(kLockScreen); }));
    EXPECT_TRUE(Found(L"lockapp.exe"));
    lock->Stop();
    EXPECT_TRUE(WaitFor([] { return !Found(kLockScreen); }));
}

TEST(FindProcessByName, AProgramNamedLikeATailOfTheLockScreenIsNotTheLockScreen) {
    Programs programs;
    auto app = programs.Start(L"app.exe");
    auto p = programs.Start(L"p.exe");
    ASSERT_TRUE(WaitFor([] { return Found(L"app.exe") && Found(L"p.exe"); }));
    EXPECT_FALSE(Found(kLockScreen));
}

TEST(FindProcessByName, EachCallIsTraced) {
    TestLog::Mark();
    Found(kNoteApp);
    EXPECT_EQ(TestLog::Count("[TRC] (FindProcessByName): ENTER FindProcessByName"), 1);
    EXPECT_EQ(TestLog::Count("[TRC] (FindProcessByName): LEAVE FindProcessByName"), 1);
}

TEST(Watcher, ArmsAndReArmsOnRealProcesses) {
    Programs programs;
    PenNoteState state;
    Win32PenNoteSystem system;
    std::atomic<bool> stop{false};
    std::thread watcher([&] { RunWatcher(state, system, stop); });

    state.armed = 0;  // as after a chord
    auto lock = programs.Start(kLockScreen);
    EXPECT_TRUE(WaitFor([&] { return state.lockScreenRunning == 1; }));
    EXPECT_EQ(state.armed.load(), 1) << "a new lock screen re-arms";

    for (const wchar_t* app : {kNoteApp, kOwnNoteApp}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(app)));
        auto note = programs.Start(app);
        std::atomic<LONG>& running =
            app == kNoteApp ? state.noteAppRunning : state.ownNoteAppRunning;
        EXPECT_TRUE(WaitFor([&] { return running == 1; }));
        state.armed = 0;
        ::Sleep(450);  // two passes with the note app up
        EXPECT_EQ(state.armed.load(), 0);
        note->Stop();
        EXPECT_TRUE(WaitFor([&] { return running == 0; }));
        EXPECT_EQ(state.armed.load(), 1) << "closing a note app under the lock screen re-arms";
    }

    lock->Stop();
    EXPECT_TRUE(WaitFor([&] { return state.lockScreenRunning == 0; }));
    state.armed = 0;
    auto note = programs.Start(kNoteApp);
    ::Sleep(450);
    note->Stop();
    ::Sleep(450);
    EXPECT_EQ(state.armed.load(), 0) << "note apps do not re-arm without the lock screen";
    EXPECT_EQ(state.noteAppRunning.load(), 0);

    stop = true;
    watcher.join();
}

TEST(RawInput, AnUnknownInputHandleIsRejected) {
    PenNoteState state;
    Win32PenNoteSystem system;
    TestLog::Mark();
    EXPECT_EQ(OnPointer(reinterpret_cast<HRAWINPUT>(0x4321), state, system), E_FAIL);
    EXPECT_EQ(TestLog::Count("[ERR] (OnPointer): Error Code: 0x80004005"), 1);
    EXPECT_EQ(system.OpenRawInputDevice(reinterpret_cast<HANDLE>(0x4321)).valid(), false);
}
