// POSTURESVC.exe for real: installed into Wine's service control manager,
// started and stopped through it, against the simulated value-added device,
// indicators and keyboard list. Wine reports slate mode and undocked at all
// times, whatever the indicators say, so every worker sees that state.
#include "InstalledService.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

using posturetest::InstalledService;
using posturetest::kSampleKeyboardDockId;
using posturetest::kSampleKeyboardPidVid;
using posturetest::SetPostureValue;

namespace {

constexpr DWORD kStopBoundMs = 2000;

class PostureService : public InstalledService {
protected:
    // Raises a firmware event once the service waits for it.
    void RaiseWhenWaiting(ULONG code) {
        ASSERT_TRUE(testsupport::WaitFor([&] { return PendingWaits() == 1; }, 10000))
            << "the service does not wait for events";
        vadsim::RaiseResult result{};
        ASSERT_TRUE(control.Raise(code, 0, 0, &result));
        EXPECT_EQ(result.completed, 1u) << "code 0x" << std::hex << code;
    }

    // Waits until the indicators were written this many times in all.
    bool WaitForWrites(ULONG slate, ULONG dock) {
        return testsupport::WaitFor([&] {
            const vadsim::IndicatorState state = Indicators();
            return state.writes[vadsim::kIndicatorSlate] == slate &&
                   state.writes[vadsim::kIndicatorDock] == dock;
        });
    }
};

}  // namespace

TEST_F(PostureService, InstallsWithItsIdentityOnce) {
    Install();
    ExpectInstalledAs(L"POSTURESVC.exe", L"NORVALE Posture Service");

    // A second install finds the service there, records it and still exits 0.
    const testsupport::ProcessResult again = Run(L"/INSTALL");
    EXPECT_EQ(again.exitCode, 0u);
    EXPECT_EQ(LogCount("[ERR] (InstallService): Error Code: 0x80004003"), 1);
}

TEST_F(PostureService, KeyboardDockEventWritesBothIndicators) {
    Install();
    Start();
    // The worker of the start finds the tablet undocked, as Windows says.
    ASSERT_TRUE(WaitForLog("POSTURESVC_GetCurrentDockStatus\tUndocked"));
    ASSERT_TRUE(WaitForLog("LEAVE DockStatusThread"));
    EXPECT_TRUE(WaitForWrites(0, 0));

    ASSERT_TRUE(control.SetMethod(vad::MethodName("VCID"), kSampleKeyboardDockId));
    RaiseWhenWaiting(0x94);
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Connect_KBDock"));
    EXPECT_TRUE(WaitForWrites(1, 1)) << "laptop mode and docked, one write each";
    EXPECT_EQ(LogCount("ulNotifyCodeSvc = c_nNotifyCode_DockingEvent"), 1);

    // The cradle: slate mode stays, only the dock indicator is written.
    ASSERT_TRUE(control.SetMethod(vad::MethodName("VCID"), 0x2651F351));
    RaiseWhenWaiting(0x94);
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Connect_CradleDock"));
    EXPECT_TRUE(WaitForWrites(1, 2));

    // Other firmware events are not the service's.
    vadsim::RaiseResult other{};
    ASSERT_TRUE(testsupport::WaitFor([&] { return PendingWaits() == 1; }));
    ASSERT_TRUE(control.Raise(0x93, 0, 0, &other));
    EXPECT_EQ(other.completed, 0u);
    EXPECT_EQ(PendingWaits(), 1u) << "the wait for 0x94 goes on";
}

TEST_F(PostureService, ConvertibleWaitsForThePanelEvent) {
    SetPostureValue(L"Convertible", 1);
    Install();
    Start();
    ASSERT_TRUE(WaitForLog("LEAVE DockStatusThread")) << "the start's worker";
    ASSERT_TRUE(control.SetMethod(vad::MethodName("CTST"), 0));  // clamshell
    RaiseWhenWaiting(0x93);
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Connect_KBDock"));
    EXPECT_TRUE(WaitForWrites(1, 1));
    EXPECT_EQ(LogCount("ulNotifyCodeSvc = c_nNotifyCode_ConvertibleEvent"), 1);
}

TEST_F(PostureService, StopEndsAPendingWait) {
    Install();
    Start();
    ASSERT_TRUE(testsupport::WaitFor([&] { return PendingWaits() == 1; }));
    const DWORD elapsed = StopAndTime();
    EXPECT_LE(elapsed, kStopBoundMs);
    EXPECT_EQ(PendingWaits(), 0u) << "the wait was cancelled";
    EXPECT_EQ(LogCount("dwControl = 1"), 1);
}

TEST_F(PostureService, LockedDockRotationWithoutWorkaroundEndsItself) {
    SetPostureValue(L"DockRotation", 1);
    Install();
    StartExpectingItToStopItself();
    EXPECT_EQ(LogCount("g_DockRotation = true"), 1);
    EXPECT_EQ(LogCount("g_isWorkaround = false"), 1);
    EXPECT_EQ(LogCount("ENTER DockStatusThread"), 0) << "no worker with rotation locked";
    EXPECT_EQ(PendingWaits(), 0u);
}

TEST_F(PostureService, LockedDockRotationWithWorkaroundKeepsWaiting) {
    SetPostureValue(L"DockRotation", 1);
    SetPostureValue(L"NoWorkaround", 0);
    Install();
    Start();
    ASSERT_TRUE(testsupport::WaitFor([&] { return PendingWaits() >= 1; }));
    EXPECT_EQ(LogCount("g_isWorkaround = true"), 1);
    // A docking event starts no worker while rotation is locked.
    ASSERT_TRUE(control.SetMethod(vad::MethodName("VCID"), kSampleKeyboardDockId));
    vadsim::RaiseResult result{};
    ASSERT_TRUE(control.Raise(0x94, 0, 0, &result));
    EXPECT_GE(result.completed, 1u);
    ::Sleep(500);
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(LogCount("ENTER DockStatusThread"), 0);
    EXPECT_TRUE(WaitForWrites(0, 0));
    EXPECT_LE(StopAndTime(), kStopBoundMs);
}

TEST_F(PostureService, AbsentEventDeviceStopsTheService) {
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplg, false));
    Install();
    StartExpectingItToStopItself();
    EXPECT_EQ(LogCount("ulNotifyCodeSvc = c_nNotifyCode_DockingEvent"), 1) << "after RUNNING";
    EXPECT_EQ(PendingWaits(), 0u);
}

TEST_F(PostureService, FailingEventWaitStopsTheService) {
    ASSERT_TRUE(control.FailRequests(vadsim::kRequestEventWait, vadsim::kAlways));
    Install();
    StartExpectingItToStopItself();
}

TEST_F(PostureService, DeviceGoneWhileWaitingEndsAtTheNextEvent) {
    Install();
    Start();
    ASSERT_TRUE(testsupport::WaitFor([&] { return PendingWaits() == 1; }));
    // The links go; the wait already sent still ends with the next event, and
    // the service, finding no event device for the next one, stops. (Its
    // process may end before that event's worker is done: workers are not
    // waited for.)
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplg, false));
    ASSERT_TRUE(control.SetPresent(vadsim::kDeviceHwplz, false));
    vadsim::RaiseResult result{};
    ASSERT_TRUE(control.Raise(0x94, 0, 0, &result));
    EXPECT_EQ(result.completed, 1u);
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED)) << "the next wait finds no device\n"
                                               << testsupport::ReadFileBytes(LogPath());
    EXPECT_EQ(PendingWaits(), 0u);
}

TEST_F(PostureService, FailingMethodIsRecordedAndTheServiceGoesOn) {
    ASSERT_TRUE(control.FailMethod(vad::MethodName("VCID")));
    Install();
    Start();
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Failed GetCurrentDockStatus"));
    RaiseWhenWaiting(0x94);
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Failed GetCurrentDockStatus", 2));
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(WaitForWrites(0, 0));
    EXPECT_LE(StopAndTime(), kStopBoundMs);
}

TEST_F(PostureService, KeyboardModeStartsAWorkerPerChange) {
    SetPostureValue(L"KeyboardPidVid", kSampleKeyboardPidVid);
    Install();
    Start();
    ASSERT_TRUE(WaitForLog("LEAVE DockStatusThread_PIDVID"));
    EXPECT_EQ(PendingWaits(), 0u) << "no firmware event is awaited";

    ASSERT_EQ(vadsim::AddKeyboard(0x1A2C, 0x0007), 0u);
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Connect_KBDock"));
    EXPECT_TRUE(WaitForWrites(1, 1));
    EXPECT_GE(LogCount("regString = HID\\VID_1A2C&PID_0007"), 1);

    // One more notification, one more worker. Adding the keyboard wrote two
    // values, which may have given one notification or two: count once the
    // workers have settled.
    int workers = LogCount("PIDVID_PassedWaitForSingleObject");
    for (int quiet = 0; quiet < 10;) {
        ::Sleep(100);
        const int now = LogCount("PIDVID_PassedWaitForSingleObject");
        quiet = now == workers ? quiet + 1 : 0;
        workers = now;
    }
    nrv::UniqueHKey list;
    ASSERT_EQ(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vadsim::kKeyboardListKey, 0, KEY_SET_VALUE, list.put()),
        ERROR_SUCCESS);
    const DWORD marker = 1;
    ASSERT_EQ(::RegSetValueExW(list.get(), L"Marker", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&marker), sizeof marker),
              ERROR_SUCCESS);
    EXPECT_TRUE(WaitForLog("PIDVID_PassedWaitForSingleObject", workers + 1));
    ::Sleep(500);
    EXPECT_EQ(LogCount("PIDVID_PassedWaitForSingleObject"), workers + 1);

    EXPECT_LE(StopAndTime(), kStopBoundMs);
    EXPECT_EQ(LogCount("(ServiceMain): Exit"), 1);
}

TEST_F(PostureService, CheckAndInstallWritesTheDecisions) {
    // A listed workaround model (PEGATRON 0xFF40, machine 0x0B20).
    ASSERT_TRUE(control.SetIdentity(0xFF40, 0x0B20));
    const testsupport::ProcessResult first = Run(L"/CHECK_AND_INSTALL");
    EXPECT_EQ(first.exitCode, 1u);
    EXPECT_EQ(PSVRegRead_DWORD(L"NoWorkaround"), 1u);
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu);
    service.reset(::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_ALL_ACCESS));
    EXPECT_TRUE(service) << "installed";

    // A second install on a convertible QUANTA (0xFF50, 0x0A01): Convertible
    // is written into the existing key, NoWorkaround is kept.
    ASSERT_TRUE(control.SetIdentity(0xFF50, 0x0A01));
    const testsupport::ProcessResult second = Run(L"/CHECK_AND_INSTALL");
    EXPECT_EQ(second.exitCode, 1u) << "whatever the install of an existing service gives";
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 1u);
    EXPECT_EQ(PSVRegRead_DWORD(L"NoWorkaround"), 1u);
}

TEST_F(PostureService, CheckWithoutIndicatorsFails) {
    for (ULONG indicator : {vadsim::kIndicatorSlate, vadsim::kIndicatorDock})
        ASSERT_EQ(vadsim::SetIndicatorLinked(indicator, false), 0u);
    for (const wchar_t* command : {L"/CHECK", L"/CHECK_AND_INSTALL", L"/CHECK_AND_UNINSTALL"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(command)));
        const testsupport::ProcessResult result = Run(command);
        EXPECT_EQ(result.exitCode, 0xFFFFFFFFu);
    }
    EXPECT_EQ(LogCount("(CommandCheck): Error Code: 0x80004005"), 3);
    EXPECT_EQ(LogCount("[ERR] (wWinMain): Error Code: 0xffffffff"), 3);
    nrv::UniqueServiceHandle none(
        ::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(none) << "nothing installed";

    // One indicator is enough.
    ASSERT_EQ(vadsim::SetIndicatorLinked(vadsim::kIndicatorDock, true), 0u);
    EXPECT_EQ(Run(L"/CHECK").exitCode, 1u);
}

TEST_F(PostureService, SwitchesAreExactAndCaseSensitive) {
    for (const wchar_t* command : {L"/check", L"/CHECK ", L"/install", L""}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(command)));
        const ULONGLONG start = ::GetTickCount64();
        const testsupport::ProcessResult result = Run(command);
        EXPECT_EQ(result.exitCode, 0u) << "the dispatcher fails outside the manager";
        EXPECT_LT(::GetTickCount64() - start, 10000u);
    }
    // Each run is traced under wWinMain; the dispatcher's refusal outside
    // the manager is how such a run ends, not an error.
    EXPECT_EQ(LogCount("[TRC] (wWinMain): ENTER wWinMain"), 4);
    EXPECT_EQ(LogCount("[TRC] (wWinMain): LEAVE wWinMain"), 4);
    EXPECT_EQ(LogCount("[ERR]"), 0);
    nrv::UniqueServiceHandle none(
        ::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(none);
}

TEST_F(PostureService, UninstallRemovesTheService) {
    Install();
    Start();
    EXPECT_LE(StopAndTime(), kStopBoundMs);
    service.reset();
    EXPECT_EQ(Run(L"/UNINSTALL").exitCode, 0u);
    nrv::UniqueServiceHandle gone(
        ::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(gone);
    // Windows reports slate mode and undocked already: nothing to put back.
    EXPECT_TRUE(WaitForWrites(0, 0));
    EXPECT_EQ(Run(L"/UNINSTALL").exitCode, 0u) << "nothing left to remove";
    EXPECT_EQ(LogCount("(UninstallService): Error Code: 0x80004003"), 1);
}

TEST_F(PostureService, CheckAndUninstallRemovesTheService) {
    Install();
    service.reset();
    const testsupport::ProcessResult result = Run(L"/CHECK_AND_UNINSTALL");
    EXPECT_EQ(result.exitCode, 1u);
    nrv::UniqueServiceHandle gone(
        ::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(gone);
    EXPECT_EQ(LogCount("[ERR]"), 0);
    EXPECT_TRUE(WaitForWrites(0, 0)) << "Windows reports slate mode and undocked already";
}

TEST_F(PostureService, GarbageOrMissingConfigurationNeverCrashes) {
    std::string garbage;
    for (int i = 0; i < 20000; ++i) garbage += static_cast<char>((i * 7919) % 251 + 1);
    testsupport::WriteFileBytes(folder / L"POSTURESVC.ini", garbage);
    ASSERT_TRUE(control.SetIdentity(0xFF50, 0x0A01));
    EXPECT_EQ(Run(L"/CHECK_AND_INSTALL").exitCode, 1u);
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu) << "no model known";

    ::DeleteFileW((folder / L"POSTURESVC.ini").c_str());
    EXPECT_EQ(Run(L"/CHECK").exitCode, 1u);
    EXPECT_GE(LogCount("ASSERT( !allSections.empty() )"), 1);
    service.reset(::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    Start();
    ASSERT_TRUE(control.SetMethod(vad::MethodName("VCID"), kSampleKeyboardDockId));
    RaiseWhenWaiting(0x94);
    ASSERT_TRUE(WaitForLog("POSTURESVC_DockStatusThread_Failed GetCurrentDockStatus"))
        << "without the file no keyboard dock is known";
    EXPECT_LE(StopAndTime(), kStopBoundMs);
}

TEST_F(PostureService, LauncherStartsAndStopsItThroughNet) {
    // The launcher ships as a 32-bit program; this tree builds it for x64 too.
    const std::wstring launcher = testsupport::ExeDirectory() + L"\\POSTURESVCINST.exe";
    ASSERT_TRUE(testsupport::FileExists(launcher));
    Install();
    EXPECT_EQ(testsupport::RunProcess(launcher, L"/start").exitCode, 0u);
    EXPECT_EQ(testsupport::RunProcess(launcher, L"/START ").exitCode, 0u);
    ::Sleep(1500);
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED)) << "only \"/START\" starts it";

    EXPECT_EQ(testsupport::RunProcess(launcher, L"/START").exitCode, 0u);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 15000));
    EXPECT_TRUE(WaitForLog("ENTER ServiceMain"));
    EXPECT_EQ(testsupport::RunProcess(launcher, L"/STOP").exitCode, 0u);
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED, 15000));
    EXPECT_EQ(LogCount("dwControl = 1"), 1);
}

TEST_F(PostureService, ThousandsOfSectionsAreAllRead) {
    std::string file;
    constexpr int kSections = 3000;
    for (int i = 0; i < kSections; ++i) {
        char section[96];
        std::snprintf(section, sizeof section,
                      "[CONVERTIBLE_INHOUSE_M%d]\r\nMACHINE_ID=0x%X\r\nCONVERTIBLE=%d\r\n", i,
                      0x1000 + i, i % 2 + 1);
        file += section;
    }
    testsupport::WriteFileBytes(folder / L"POSTURESVC.ini", file);
    // The last section's machine, of manufacturer INHOUSE (1).
    ASSERT_TRUE(control.SetIdentity(1, 0x1000 + kSections - 1));
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(Run(L"/CHECK_AND_INSTALL").exitCode, 1u);
    std::printf("/CHECK_AND_INSTALL with %d sections: %llu ms\n", kSections,
                ::GetTickCount64() - start);
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), static_cast<DWORD>((kSections - 1) % 2 + 1));
    EXPECT_EQ(LogCount("Section: CONVERTIBLE_INHOUSE_M"), kSections);
}
