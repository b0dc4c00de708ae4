// The real POSTURESVC.exe under Wine's service control manager, against the
// simulated notebook: a copy of the program, its sample configuration and a
// DbgLog.ini that logs every record to a file, in a folder of its own.
#pragma once

#include "MachineConfig.h"
#include "PostureKeyCleanup.h"
#include "InstalledServiceFixture.h"
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

class InstalledService : public testsupport::InstalledServiceFixture {
protected:
    InstalledService() : InstalledServiceFixture(L"POSTURESVC", L"POSTURESVC.log") {}

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

    vadsim::ControlChannel control;
};

}  // namespace posturetest
