// Radio service benchmark, against the simulated radio managers and the
// simulated value-added device (both loaded in the prefix): the real
// RadioSvc.exe (beside this program) is installed from a folder of its own,
// then
//  - 1000 radio changes: from the change reported by the WLAN manager to the
//    LED register write in the device's log (median and worst);
//  - the service process's CPU time over a quiet period (default 60 s).
// The service is stopped and deleted at the end.
#include "RadioSimClient.h"
#include "RadioInterfaces.h"
#include "UniqueHandle.h"
#include "VadSimClient.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kService[] = L"NRVRadioSvc";

double Microseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency.QuadPart);
}

LONGLONG Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() >= end) return false;
        ::Sleep(5);
    }
    return true;
}

DWORD ServiceState(SC_HANDLE service, DWORD* processId = nullptr) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed))
        return 0;
    if (processId != nullptr) *processId = status.dwProcessId;
    return status.dwCurrentState;
}

void RemoveService(SC_HANDLE manager) {
    nrv::UniqueServiceHandle service(::OpenServiceW(manager, kService, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    WaitFor([&] { return ServiceState(service.get()) == SERVICE_STOPPED; }, 10000);
    ::DeleteService(service.get());
}

// The sequence number of the first LED write with this word from sequence
// from on; 0 when none yet.
ULONG FindLedWrite(vadsim::ControlChannel& device, ULONG from, ULONG word, ULONG* next) {
    std::vector<vadsim::LogEntry> entries;
    if (!device.ReadLog(&entries, from)) return 0;
    for (const vadsim::LogEntry& entry : entries) {
        *next = entry.sequence + 1;
        if (entry.kind == vadsim::kLogRequest && entry.words[0] == 0xFF00 &&
            entry.words[1] == 0x56 && entry.words[3] == 0xFFFE && entry.words[2] == word)
            return entry.sequence;
    }
    return 0;
}

int Fail(const char* message) {
    std::fprintf(stderr, "radio_bench: %s\n", message);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD idleSeconds = 60;
    int changes = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--idle-seconds") == 0)
            idleSeconds = std::wcstoul(argv[i + 1], nullptr, 10);
        if (std::wcscmp(argv[i], L"--changes") == 0)
            changes = static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10));
    }
    vadsim::ControlChannel device;
    radiosim::SimControl radios;
    if (!device.Open()) return Fail("the simulated value-added device is not loaded");
    if (!radios.Open()) return Fail("the simulated radio managers are not installed");
    nrv::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return Fail("no service control manager");
    RemoveService(manager.get());

    // The service in a folder of its own, errors only in its log.
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring from(self);
    from = from.substr(0, from.find_last_of(L'\\')) + L"\\RadioSvc.exe";
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"nrvradiobench";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring exe = folder + L"\\RadioSvc.exe";
    if (!::CopyFileW(from.c_str(), exe.c_str(), FALSE)) return Fail("cannot copy RadioSvc.exe");
    const std::wstring ini = folder + L"\\DbgLog.ini";
    ::WritePrivateProfileStringW(L"LOG", L"Level", L"0", ini.c_str());
    ::WritePrivateProfileStringW(L"LOG", L"LogFile", (folder + L"\\RadioSvc.log").c_str(),
                                 ini.c_str());
    nrv::UniqueHKey key;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Services\\keyhub\\Parameters", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr);

    device.Reset();
    radios.Reset();
    const std::wstring path = L"\"" + exe + L"\"";
    nrv::UniqueServiceHandle service(
        ::CreateServiceW(manager.get(), kService, kService, SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                         path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return Fail("cannot create the service");
    int result = 0;
    DWORD processId = 0;
    if (!::StartServiceW(service.get(), 0, nullptr) ||
        !WaitFor([&] { return ServiceState(service.get(), &processId) == SERVICE_RUNNING; },
                 10000) ||
        !WaitFor([&] { return radios.Manager(radiosim::kBluetooth).advisedSinks == 1; }, 10000)) {
        result = Fail("the service does not start");
    }
    ULONG next = 1;
    if (result == 0 && !WaitFor([&] { return FindLedWrite(device, 1, 1, &next) != 0; }, 10000))
        result = Fail("no first LED write");

    std::vector<double> latencies;
    for (int change = 0; result == 0 && change < changes; ++change) {
        const LONG state = change % 2 == 0 ? DRS_RADIO_ON : DRS_SW_RADIO_OFF;
        const ULONG word = state == DRS_RADIO_ON ? 0 : 1;
        std::vector<vadsim::LogEntry> entries;
        device.ReadLog(&entries, next);
        if (!entries.empty()) next = entries.back().sequence + 1;
        const LONGLONG start = Now();
        radios.Send({radiosim::kFireChange, radiosim::kWlan, 0, state, 1}, 0);
        ULONG found = 0;
        const ULONGLONG end = ::GetTickCount64() + 5000;
        while ((found = FindLedWrite(device, next, word, &next)) == 0 && ::GetTickCount64() < end) {
        }
        if (found == 0) {
            result = Fail("a change brought no LED write within 5 s");
            break;
        }
        latencies.push_back(Microseconds(Now() - start));
        // Let the evaluation finish before the next change.
        ::Sleep(2);
    }
    if (result == 0) {
        std::sort(latencies.begin(), latencies.end());
        std::printf(
            "radio change -> LED register write, %zu changes: median %.0f us, "
            "95th %.0f us, worst %.0f us (goal: 10 ms)\n",
            latencies.size(), latencies[latencies.size() / 2],
            latencies[latencies.size() * 95 / 100], latencies.back());
        nrv::UniqueHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        FILETIME created, exited, kernel0, user0, kernel1, user1;
        ::Sleep(1000);
        if (process && ::GetProcessTimes(process.get(), &created, &exited, &kernel0, &user0)) {
            ::Sleep(idleSeconds * 1000);
            ::GetProcessTimes(process.get(), &created, &exited, &kernel1, &user1);
            auto value = [](const FILETIME& time) {
                return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
            };
            const double cpuMs =
                static_cast<double>(value(kernel1) - value(kernel0) + value(user1) - value(user0)) /
                1e4;
            std::printf(
                "service CPU time over %lu s without a change: %.1f ms "
                "(%.1f ms in all before)\n",
                idleSeconds, cpuMs, static_cast<double>(value(kernel0) + value(user0)) / 1e4);
        } else {
            std::printf("service CPU time: not readable\n");
        }
    }
    service.reset();
    RemoveService(manager.get());
    key.reset();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\keyhub");
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\keyhub");
    ::DeleteFileW(exe.c_str());
    ::DeleteFileW(ini.c_str());
    ::DeleteFileW((folder + L"\\RadioSvc.log").c_str());
    ::RemoveDirectoryW(folder.c_str());
    device.Reset();
    radios.Reset();
    return result;
}
