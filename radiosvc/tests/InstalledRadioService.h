// The real RadioSvc.exe under Wine's service control manager, against the
// simulated radio managers and the simulated value-added device: a copy of
// the program and a DbgLog.ini that logs every record to a file, in a folder
// of its own; the hotkey driver's parameters key created for the LED state
// and removed again.
#pragma once

#include "RadioInterfaces.h"
#include "RadioManager.h"
#include "RadioSimClient.h"
#include "InstalledServiceFixture.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "VadSimClient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace radiotest {

inline constexpr wchar_t kKeyhubKey[] = L"SYSTEM\\CurrentControlSet\\Services\\keyhub";

// Creates the parameters key (empty) or removes the whole hotkey-driver key.
inline bool SetLedStateKeyPresent(bool present) {
    if (!present) {
        const LONG result = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKeyhubKey);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return false;
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeyhubKey);
        return true;
    }
    nrv::UniqueHKey key;
    return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLedStateKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

inline bool LedStateKeyExists() {
    nrv::UniqueHKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLedStateKey, 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
}

// "LEDSTATE", or -1 when it is not there.
inline long LedState() {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kLedStateKey, kLedStateValue, RRF_RT_REG_DWORD, nullptr,
                       &value, &size) != ERROR_SUCCESS) {
        return -1;
    }
    return static_cast<long>(value);
}

class InstalledRadioService : public testsupport::InstalledServiceFixture {
protected:
    InstalledRadioService() : InstalledServiceFixture(L"NRVRadioSvc", L"RadioSvc.log") {}

    void SetUp() override {
        ASSERT_TRUE(device.Open()) << "the simulated value-added device is not loaded";
        ASSERT_TRUE(radios.Open()) << "the simulated radio managers are not installed: "
                                   << testsupport::Narrow(radios.Error());
        ASSERT_TRUE(device.Reset());
        ASSERT_TRUE(manager) << ::GetLastError();
        RemoveService();
        radios.Reset();
        ASSERT_TRUE(SetLedStateKeyPresent(false));
        ASSERT_TRUE(SetLedStateKeyPresent(true));
        ASSERT_TRUE(testsupport::CopyInto(testsupport::ExeDirectory() + L"\\RadioSvc.exe",
                                          folder / L"RadioSvc.exe"));
        WriteLogSettings(3);
    }

    void TearDown() override {
        RemoveService();
        SetLedStateKeyPresent(false);
        if (radios.Open()) radios.Reset();
        device.SetPresent(vadsim::kDeviceHwplz, true);
        device.Reset();
    }

    void WriteLogSettings(int level) {
        testsupport::WriteFileBytes(
            folder / L"DbgLog.ini",
            "[LOG]\r\nLevel=" + std::to_string(level) +
                "\r\nDestination=3\r\nLogFile=" + testsupport::Narrow(LogPath()) + "\r\n");
    }

    testsupport::ProcessResult Run(const std::wstring& arguments) {
        return testsupport::RunProcess(folder / L"RadioSvc.exe", arguments);
    }

    // "/INSTALL": the service is created and started.
    void Install() {
        const testsupport::ProcessResult result = Run(L"/INSTALL");
        ASSERT_TRUE(result.started);
        ASSERT_EQ(result.exitCode, 0u);
        service.reset(::OpenServiceW(manager.get(), L"NRVRadioSvc", SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service) << "not installed: " << ::GetLastError();
        ASSERT_TRUE(WaitForState(SERVICE_RUNNING)) << "state " << State();
    }

    // The service as "/INSTALL" creates it, created and started directly:
    // Wine's dispatcher call at the end of "/INSTALL" takes about 10 s to
    // fail in a process that just started a service.
    void Create() {
        const std::wstring path = L"\"" + (folder / L"RadioSvc.exe") + L"\"";
        service.reset(::CreateServiceW(manager.get(), L"NRVRadioSvc", L"NRVRadioSvc",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, path.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << ::GetLastError();
        Start();
    }

    // Register 0x56 writes in the device's log since the last reset: the
    // LED words (2) with mask 0xFFFE, or the WWAN power writes.
    std::vector<ULONG> LedWords() { return RegisterWrites(kLedRegisterMask); }
    std::vector<ULONG> RegisterWrites(ULONG mask) {
        std::vector<vadsim::LogEntry> entries;
        std::vector<ULONG> words;
        if (!device.ReadLog(&entries)) return words;
        for (const vadsim::LogEntry& entry : entries) {
            if (entry.kind == vadsim::kLogRequest && entry.device == vadsim::kDeviceHwplz &&
                entry.code == IOCTL_HWPL_REGISTER && entry.words[0] == vad::kFunctionWrite &&
                entry.words[1] == 0x56 && entry.words[3] == mask)
                words.push_back(entry.words[2]);
        }
        return words;
    }

    // Waits until the latest LED write is word and "LEDSTATE" is state.
    bool WaitForLed(ULONG word, long state, DWORD timeoutMs = 10000) {
        return testsupport::WaitFor(
            [&] {
                const std::vector<ULONG> words = LedWords();
                return !words.empty() && words.back() == word && LedState() == state;
            },
            timeoutMs);
    }

    // The first evaluation follows the second rebuild pass (about 2 s).
    void WaitUntilReady() {
        ASSERT_TRUE(WaitForLog("LEAVE CRadioManagerControl::ChangeLEDState"))
            << testsupport::ReadFileBytes(LogPath());
        ASSERT_TRUE(WaitForLog("Get signel!", 1));
        ASSERT_TRUE(WaitForLog("WaitForSingleObject!", 2));
    }

    vadsim::ControlChannel device;
    radiosim::SimControl radios;
};

}  // namespace radiotest
