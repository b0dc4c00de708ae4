// btstack: the Windows Bluetooth stack's calls into the radio support
// library, for a machine without that stack (Wine).
//
//   btstack on | off   BluetoothEnableRadio(TRUE | FALSE)
//   btstack status     IsBluetoothRadioEnabled
//
// The library is the one "SupportDLL" under BTHPORT's "Radio Support" key
// names; environment variables in it are expanded, as the stack expands
// them. Prints the path, the call and its return code. Exit status: 0 when
// the call returned 0, 1 when it returned an error, 2 for a usage error,
// 3 when no library is registered or it cannot be loaded.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "UniqueHandle.h"

namespace {

constexpr wchar_t kRadioSupportKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio Support";

// The expanded "SupportDLL" text; empty when there is none.
std::wstring RegisteredLibrary() {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRadioSupportKey, 0, KEY_QUERY_VALUE, &raw) !=
        ERROR_SUCCESS) {
        return {};
    }
    nrv::UniqueHKey key(raw);
    wchar_t value[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD bytes = sizeof value - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"SupportDLL", nullptr, &type, reinterpret_cast<BYTE*>(value),
                           &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD n = ::ExpandEnvironmentStringsW(value, expanded, MAX_PATH * 2);
    if (n == 0 || n > MAX_PATH * 2) return value;
    return expanded;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc == 2 ? argv[1] : L"";
    if (command != L"on" && command != L"off" && command != L"status") {
        std::fwprintf(stderr, L"usage: btstack on | off | status\n");
        return 2;
    }
    const std::wstring path = RegisteredLibrary();
    if (path.empty()) {
        std::wprintf(L"btstack: no \"SupportDLL\" registered\n");
        return 3;
    }
    std::wprintf(L"SupportDLL: %ls\n", path.c_str());
    nrv::UniqueModule library(::LoadLibraryW(path.c_str()));
    if (!library) {
        std::wprintf(L"btstack: cannot load it (error %lu)\n", ::GetLastError());
        return 3;
    }
    DWORD result = 0;
    if (command == L"status") {
        using IsRadioEnabled = DWORD(WINAPI*)(BOOL*);
        auto call = reinterpret_cast<IsRadioEnabled>(
            reinterpret_cast<void*>(::GetProcAddress(library.get(), "IsBluetoothRadioEnabled")));
        if (call == nullptr) {
            std::wprintf(L"btstack: it exports no IsBluetoothRadioEnabled\n");
            return 3;
        }
        BOOL enabled = FALSE;
        result = call(&enabled);
        std::wprintf(L"IsBluetoothRadioEnabled -> %lu, enabled %d\n", result, enabled ? 1 : 0);
    } else {
        using EnableRadio = DWORD(WINAPI*)(BOOL);
        auto call = reinterpret_cast<EnableRadio>(
            reinterpret_cast<void*>(::GetProcAddress(library.get(), "BluetoothEnableRadio")));
        if (call == nullptr) {
            std::wprintf(L"btstack: it exports no BluetoothEnableRadio\n");
            return 3;
        }
        const BOOL on = command == L"on";
        result = call(on);
        std::wprintf(L"BluetoothEnableRadio(%ls) -> %lu\n", on ? L"TRUE" : L"FALSE", result);
    }
    std::fflush(stdout);
    return result == 0 ? 0 : 1;
}
