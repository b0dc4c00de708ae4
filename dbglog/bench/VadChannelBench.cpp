// Cost of the value-added device channel against the loaded device:
//  1. one register exchange (open, request, close), in microseconds;
//  2. the CPU time this process spends while an event wait pends for ten
//     seconds (it should spend none: the wait blocks in the kernel).
#include "DbgLog.h"
#include "VadChannel.h"

#include <algorithm>
#include <cstdio>

extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Error, dbglog::Destination::None, L"", dbglog::TextConversion::Runtime};

namespace {

double NowUs() {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

DWORD WINAPI PendingWait(void*) {
    CHwplgCtrlMgr manager;
    ULONG value = 0;
    return WaitDeviceEvent(manager, 0x85, value) ? 1 : 0;
}

}  // namespace

int wmain() {
    CHwpldCtrlMgr manager;
    HciReadResult read{};
    if (!manager.HciRead(0x96, read)) {
        std::fprintf(stderr, "the value-added device is not there (scripts/vadsim.sh install)\n");
        return 1;
    }
    double best = 1e300;
    for (int round = 0; round < 10; ++round) {
        const int n = 500;
        const double start = NowUs();
        for (int i = 0; i < n; ++i) manager.HciRead(0x96, read);
        best = std::min(best, (NowUs() - start) / n);
    }
    std::printf("register exchange (open, request, close): %8.1f us\n", best);

    nrv::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, kServiceStopEventName));
    ::ResetEvent(stop.get());
    nrv::UniqueHandle waiter(::CreateThread(nullptr, 0, PendingWait, nullptr, 0, nullptr));
    ::Sleep(500);  // the request is pending now
    const double cpuBefore = ProcessCpuMs();
    ::Sleep(10000);
    const double cpuDuring = ProcessCpuMs() - cpuBefore;
    ::SetEvent(stop.get());
    ::WaitForSingleObject(waiter.get(), 10000);
    ::ResetEvent(stop.get());
    std::printf("CPU time while an event wait pends 10 s   : %8.1f ms\n", cpuDuring);
    return 0;
}
