// NrvPenNote.exe as a whole, under a display: its hidden window, resources,
// log records, the lock-screen gate on WM_INPUT and a clean exit.
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testsupport;

namespace {

class PenNoteProgram : public ::testing::Test {
protected:
    TempDir dir;
    std::wstring exe;
    std::wstring log;

    void SetUp() override {
        exe = dir / L"NrvPenNote.exe";
        log = dir / L"pen.txt";
        ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\NrvPenNote.exe", exe));
        ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\idleproc.exe", dir / L"LockApp.exe"));
        WriteFileBytes(dir / L"DbgLog.ini",
                       "[LOG]\r\nDestination=3\r\nLevel=3\r\nLogFile=" + Narrow(log) + "\r\n");
    }

    int Count(const std::string& text) {
        int n = 0;
        for (const std::string& line : SplitLines(ReadFileBytes(log)))
            n += line.find(text) != std::string::npos;
        return n;
    }
};

}  // namespace

TEST_F(PenNoteProgram, RunsHiddenGatesRawInputOnTheLockScreenAndClosesCleanly) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + exe + L"\"";
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 dir.Path().c_str(), &startup, &info));
    nrv::UniqueHandle process(info.hProcess), thread(info.hThread);

    HWND window = nullptr;
    ASSERT_TRUE(WaitFor(
        [&] { return (window = ::FindWindowW(L"NRVPENNOTE", L"NrvPenNote")) != nullptr; }, 15000));
    EXPECT_FALSE(::IsWindowVisible(window));
    EXPECT_TRUE(
        WaitFor([&] { return Count("(FindProcessByName): LEAVE FindProcessByName") >= 2; }));
    EXPECT_EQ(Count("(RegisterNofify): ENTER RegisterNofify"), 1);
    EXPECT_EQ(Count("(RegisterNofify): LEAVE RegisterNofify"), 1);

    // Raw input on the ordinary desktop is not examined.
    ::PostMessageW(window, WM_INPUT, RIM_INPUT, 0x4321);
    ::Sleep(300);
    EXPECT_EQ(Count("ENTER OnPointer"), 0);

    // Under the lock screen it is: an unknown input handle is rejected.
    {
        RunningProcess lock(dir / L"LockApp.exe");
        ASSERT_TRUE(lock.Started());
        EXPECT_TRUE(WaitFor([&] {
            ::PostMessageW(window, WM_INPUT, RIM_INPUT, 0x4321);
            ::Sleep(100);
            return Count("(OnPointer): ENTER OnPointer") > 0;
        }));
        EXPECT_TRUE(
            WaitFor([&] { return Count("[ERR] (OnPointer): Error Code: 0x80004005") > 0; }));
        EXPECT_TRUE(WaitFor([&] { return Count("[ERR] (OnPointer): Get Last Error:") > 0; }));
    }

    ::PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(::WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(PenNoteProgram, CarriesItsStringsIconsAndMenu) {
    nrv::UniqueModule module(::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    wchar_t text[100];
    ASSERT_GT(::LoadStringW(module.get(), 103, text, 100), 0);
    EXPECT_STREQ(text, L"NrvPenNote");
    ASSERT_GT(::LoadStringW(module.get(), 109, text, 100), 0);
    EXPECT_STREQ(text, L"NRVPENNOTE");
    EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(107), RT_GROUP_ICON), nullptr);
    EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(108), RT_GROUP_ICON), nullptr);
    EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(109), RT_MENU), nullptr);
}
