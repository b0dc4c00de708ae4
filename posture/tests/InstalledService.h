// The real POSTURESVC.exe under Wine's service control manager, against the
// simulated notebook: a copy of the program, its sample configuration and a
// DbgLog.ini that logs every record to a file, in a folder of its own.
#pragma once

#include "MachineConfig.h"
#include "PostureKeyCleanup.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "VadNotebook.h"
#include "VadSimClient.h"

#include <gtest/gtest.h>

#include <string>

namespace posturetest {

// The vendor and product of the sample configuration's detachable keyboard
// ("PIDVID" 0x00071A2C: vendor 0x1A2C, product 0x0007).
inline constexpr DWORD kSampleKeyboardPidVid = 0x00071A2C;
// A keyboard-dock id listed in the sample configuration.
inline constexpr ULONG kSampleKeyboardDockId = 0x0302;

inline void SetPostureValue(const wchar_t* name, DWORD value) {
    nrv::UniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPostureServiceKey, 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                               sizeof value),
              ERROR_SUCCESS);
}

class InstalledService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control.Open()) << "the simulated device is not loaded";
        ASSERT_TRUE(control.Reset());
        ASSERT_TRUE(manager) << ::GetLastError();
        RemoveService();
        DeletePostureKey();
        ASSERT_EQ(vadsim::ClearKeyboards(), 0u);
        ASSERT_TRUE(control.SetMethod(vad::MethodName("VCID"), 0));
        const std::wstring from = testsupport::ExeDirectory();
        ASSERT_TRUE(testsupport::CopyInto(from + L"\\POSTURESVC.exe", folder / L"POSTURESVC.exe"));
        ASSERT_TRUE(testsupport::CopyInto(from + L"\\POSTURESVC.ini", folder / L"POSTURESVC.ini"));
        testsupport::WriteFileBytes(folder / L"DbgLog.ini",
                                    "[LOG]\r\nLevel=3\r\nDestination=3\r\nLogFile=" +
                                        testsupport::Narrow(LogPath()) + "\r\n");
    }

    void TearDown() override {
        RemoveService();
        DeletePostureKey();
        vadsim::ClearKeyboards();
        for (ULONG indicator : {vadsim::kIndicatorSlate, vadsim::kIndicatorDock}) {
            vadsim::SetIndicatorLinked(indicator, true);
            control.SetIndicatorPresent(indicator, true);
        }
        for (ULONG device : {vadsim::kDeviceHwplz, vadsim::kDeviceHwpld, vadsim::kDeviceHwplg})
            control.SetPresent(device, true);
        control.Reset();
    }

    std::wstring LogPath() const { return folder / L"POSTURESVC.log"; }

    // The program run with a command line, as an installer would.
    testsupport::ProcessResult Run(const std::wstring& arguments) {
        return testsupport::RunProcess(folder / L"POSTURESVC.exe", arguments);
    }

    void Install() {
        const testsupport::ProcessResult result = Run(L"/INSTALL");
        ASSERT_TRUE(result.started);
        ASSERT_EQ(result.exitCode, 0u);
        service.reset(::OpenServiceW(manager.get(), L"POSTURESVC", SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service) << "not installed: " << ::GetLastError();
    }

    DWORD State() { return testsupport::ServiceState(service.get()); }

    bool WaitForState(DWORD state, DWORD timeoutMs = 10000) {
        return testsupport::WaitFor([&] { return State() == state; }, timeoutMs);
    }

    // Starts the service through the manager and waits until it runs.
    void Start() {
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
        ASSERT_TRUE(WaitForState(SERVICE_RUNNING)) << "state " << State();
    }

    // Starts a service that reports STOPPED by itself right after RUNNING and
    // waits until it has stopped. Wine's manager can answer such a start
    // with ERROR_INTERNAL_ERROR when the service process ends before the
    // start's answer reaches it; the service did run, which its log shows.
    void StartExpectingItToStopItself() {
        if (!::StartServiceW(service.get(), 0, nullptr)) {
            ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
        }
        ASSERT_TRUE(WaitForState(SERVICE_STOPPED)) << "state " << State();
        ASSERT_EQ(LogCount("ENTER ServiceMain"), 1) << "the service never ran";
    }

    // Sends the stop control; the milliseconds until the manager reports
    // STOPPED, or MAXDWORD when it did not within the timeout.
    DWORD StopAndTime(DWORD timeoutMs = 10000) {
        SERVICE_STATUS status{};
        const ULONGLONG start = ::GetTickCount64();
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            ADD_FAILURE() << "stop control: " << ::GetLastError();
            return MAXDWORD;
        }
        if (!WaitForState(SERVICE_STOPPED, timeoutMs)) return MAXDWORD;
        return static_cast<DWORD>(::GetTickCount64() - start);
    }

    DWORD ProcessId() {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                    reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
            return 0;
        return status.dwProcessId;
    }

    // Lines of the service's log that contain text.
    int LogCount(const std::string& text) const {
        int count = 0;
        for (const std::string& line :
             testsupport::SplitLines(testsupport::ReadFileBytes(LogPath()))) {
            if (line.find(text) != std::string::npos) ++count;
        }
        return count;
    }

    bool WaitForLog(const std::string& text, int count = 1, DWORD timeoutMs = 10000) const {
        return testsupport::WaitFor([&] { return LogCount(text) >= count; }, timeoutMs);
    }

    vadsim::IndicatorState Indicators() {
        vadsim::IndicatorState state{};
        EXPECT_TRUE(control.QueryIndicators(&state));
        return state;
    }

    ULONG PendingWaits() {
        vadsim::DeviceState state{};
        EXPECT_TRUE(control.QueryState(&state));
        return state.pendingWaits;
    }

    void RemoveService() {
        service.reset();
        testsupport::StopAndDeleteService(manager.get(), L"POSTURESVC");
    }

    vadsim::ControlChannel control;
    nrv::UniqueServiceHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    nrv::UniqueServiceHandle service;
    testsupport::TempDir folder;
};

}  // namespace posturetest
