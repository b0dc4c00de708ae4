// A service program under Wine's service control manager: a folder of its
// own for the copy of the program and its log, the manager and the service
// handles, and the waits every test of an installed service needs.
#pragma once

#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

class InstalledServiceFixture : public ::testing::Test {
protected:
    InstalledServiceFixture(const wchar_t* serviceName, const wchar_t* logName)
        : m_serviceName(serviceName), m_logName(logName) {}

    std::wstring LogPath() const { return folder / m_logName; }

    DWORD State() { return ServiceState(service.get()); }

    bool WaitForState(DWORD state, DWORD timeoutMs = 10000) {
        return WaitFor([&] { return State() == state; }, timeoutMs);
    }

    // Starts the service through the manager and waits until it runs.
    // Under load, Wine's manager now and then refuses a start with
    // ERROR_INTERNAL_ERROR although the previous process has ended; such a
    // start is tried again (twice at most) and counted in refusedStarts.
    void Start() {
        for (int attempt = 0; !::StartServiceW(service.get(), 0, nullptr); ++attempt) {
            const DWORD error = ::GetLastError();
            ASSERT_TRUE(error == ERROR_INTERNAL_ERROR && attempt < 2) << error;
            ++refusedStarts;
            ASSERT_TRUE(WaitForState(SERVICE_STOPPED)) << "state " << State();
            ::Sleep(kRefusedStartPauseMs);
        }
        ASSERT_TRUE(WaitForState(SERVICE_RUNNING)) << "state " << State();
    }

    // Sends the stop control: the milliseconds until the manager reports
    // STOPPED, or MAXDWORD when it did not within timeoutMs. Returns once
    // the service's process has ended too: STOPPED is its last word, and a
    // start sent while Wine's manager is still letting go of the old
    // process is refused with ERROR_INTERNAL_ERROR.
    DWORD StopAndTime(DWORD timeoutMs = 10000) {
        const nrv::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, ProcessId()));
        SERVICE_STATUS status{};
        const ULONGLONG start = ::GetTickCount64();
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            ADD_FAILURE() << "stop control: " << ::GetLastError();
            return MAXDWORD;
        }
        if (!WaitForState(SERVICE_STOPPED, timeoutMs)) return MAXDWORD;
        const DWORD elapsed = static_cast<DWORD>(::GetTickCount64() - start);
        if (process && ::WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the process outlived its STOPPED";
        }
        return elapsed;
    }

    DWORD ProcessId() { return ServiceProcessId(service.get()); }

    // The configuration the service is installed with: a process of its
    // own, started at boot as LocalSystem, errors ignored, run from the
    // folder's copy of exeName, shown as displayName.
    void ExpectInstalledAs(const wchar_t* exeName, const wchar_t* displayName) {
        std::vector<BYTE> buffer(8192);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        DWORD needed = 0;
        ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()),
                                          &needed))
            << ::GetLastError();
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
        EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + (folder / exeName) + L"\"");
        EXPECT_EQ(std::wstring(config->lpDisplayName), displayName);
        EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
    }

    // Lines of the service's log that contain text.
    int LogCount(const std::string& text) const {
        int count = 0;
        for (const std::string& line : SplitLines(ReadFileBytes(LogPath()))) {
            if (line.find(text) != std::string::npos) ++count;
        }
        return count;
    }

    bool WaitForLog(const std::string& text, int count = 1, DWORD timeoutMs = 10000) const {
        return WaitFor([&] { return LogCount(text) >= count; }, timeoutMs);
    }

    void RemoveService() {
        service.reset();
        StopAndDeleteService(manager.get(), m_serviceName);
    }

    static constexpr DWORD kRefusedStartPauseMs = 500;
    int refusedStarts = 0;

    nrv::UniqueServiceHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    nrv::UniqueServiceHandle service;
    TempDir folder;

private:
    const wchar_t* m_serviceName;
    const wchar_t* m_logName;
};

}  // namespace testsupport
