// Cost of IsBluetoothRadioEnabled (open, status request, close) against the
// loaded radio switch driver, through the library beside this program loaded
// the way the Bluetooth stack loads it: median and spread over 1000 calls,
// in microseconds.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <cstdio>
#include <vector>

namespace {

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
    std::vector<double> times;
    times.reserve(kCalls);
    for (int i = 0; i < kCalls; ++i) {
        const double start = NowUs();
        const DWORD result = isEnabled(&enabled);
        times.push_back(NowUs() - start);
        if (result != 0) {
            std::fprintf(stderr, "call %d failed: %lu\n", i, result);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "IsBluetoothRadioEnabled (open, status, close), %d calls: median %.1f us, "
        "10%% %.1f us, 90%% %.1f us, max %.1f us\n",
        kCalls, times[kCalls / 2], times[kCalls / 10], times[kCalls * 9 / 10], times.back());
    ::FreeLibrary(library);
    return 0;
}
