// Cost of IsBluetoothRadioEnabled (open, status request, close) against the
// loaded radio switch driver, through the library beside this program loaded
// the way the Bluetooth stack loads it: median and spread over 1000 calls,
// in microseconds. Then its two parts: finding the interface path through
// SetupAPI, and open, status request and close on a known path.
#include "RadioSupport.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <cstdio>
#include <vector>

namespace {

double NowUs();

struct Spread {
    double median, low, high, max;
};

// Times kCalls runs of call (which returns false on failure), sorted.
template <typename Call>
bool Measure(int calls, Spread* spread, Call call) {
    std::vector<double> times;
    times.reserve(calls);
    for (int i = 0; i < calls; ++i) {
        const double start = NowUs();
        const bool ok = call();
        times.push_back(NowUs() - start);
        if (!ok) {
            std::fprintf(stderr, "call %d failed\n", i);
            return false;
        }
    }
    std::sort(times.begin(), times.end());
    *spread = {times[calls / 2], times[calls / 10], times[calls * 9 / 10], times.back()};
    return true;
}

void Print(const char* what, int calls, const Spread& s) {
    std::printf("%s, %d calls: median %.1f us, 10%% %.1f us, 90%% %.1f us, max %.1f us\n", what,
                calls, s.median, s.low, s.high, s.max);
}

double NowUs() {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main() {
#ifdef _WIN64
    const char* name = "NrvBtRadio64.dll";
#else
    const char* name = "NrvBtRadio.dll";
#endif
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash =
        std::find(std::reverse_iterator(path + length), std::reverse_iterator(path), '\\').base();
    if (length == 0 || length >= MAX_PATH || slash == path ||
        static_cast<size_t>(slash - path) + std::strlen(name) >= MAX_PATH) {
        return 1;
    }
    std::strcpy(slash, name);
    const HMODULE library = ::LoadLibraryA(path);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", path);
        return 1;
    }
    const auto isEnabled = reinterpret_cast<DWORD(WINAPI*)(BOOL*)>(
        reinterpret_cast<void*>(::GetProcAddress(library, "IsBluetoothRadioEnabled")));
    BOOL enabled = FALSE;
    if (isEnabled == nullptr || isEnabled(&enabled) != 0) {
        std::fprintf(stderr, "the radio switch device does not answer\n");
        return 1;
    }
    constexpr int kCalls = 1000;
    Spread spread{};
    if (!Measure(kCalls, &spread, [&] { return isEnabled(&enabled) == 0; })) return 1;
    Print("IsBluetoothRadioEnabled (open, status, close)", kCalls, spread);
    {
        // A host that has SetupAPI loaded already: the library's own load
        // and unload of it cost nothing then.
        const HMODULE setupapi = ::LoadLibraryA("setupapi.dll");
        if (!Measure(kCalls, &spread, [&] { return isEnabled(&enabled) == 0; })) return 1;
        Print("  the same with setupapi.dll held loaded by the host", kCalls, spread);
        ::FreeLibrary(setupapi);
    }

    char device[btradio::c_nDevicePathCapacity];
    if (!Measure(kCalls, &spread,
                 [&] { return btradio::FindRadioInterfacePath(device, sizeof device); })) {
        return 1;
    }
    Print("  finding the interface path (SetupAPI)", kCalls, spread);
    if (!Measure(kCalls, &spread, [&] {
            const HANDLE handle =
                ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
            if (handle == INVALID_HANDLE_VALUE) return false;
            BYTE status = 0;
            const bool ok = btradio::QueryRadioStatus(handle, &status) == 0;
            ::CloseHandle(handle);
            return ok;
        })) {
        return 1;
    }
    Print("  open, status request, close on that path", kCalls, spread);
    ::FreeLibrary(library);
    return 0;
}
