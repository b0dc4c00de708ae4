#include "BtSimClient.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace acpibt {

ControlChannel::ControlChannel() {
    m_device.reset(::CreateFileW(kControlDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!m_device.valid()) m_error = ::GetLastError();
}

bool ControlChannel::Send(ULONG code, const void* input, DWORD inputLength, void* output,
                          DWORD outputLength, DWORD* returned) {
    DWORD bytes = 0;
    if (!m_device.valid() ||
        !::DeviceIoControl(m_device.get(), code, const_cast<void*>(input), inputLength, output,
                           outputLength, &bytes, nullptr)) {
        m_error = m_device.valid() ? ::GetLastError() : m_error;
        return false;
    }
    if (returned != nullptr) *returned = bytes;
    return true;
}

bool ControlChannel::Reset() {
    return Send(IOCTL_ACPIBT_RESET, nullptr, 0, nullptr, 0);
}

bool ControlChannel::SetStatus(ULONG statusByte) {
    return Send(IOCTL_ACPIBT_SET_STATUS, &statusByte, sizeof statusByte, nullptr, 0);
}

bool ControlChannel::SetRlst(ULONG value) {
    return Send(IOCTL_ACPIBT_SET_RLST, &value, sizeof value, nullptr, 0);
}

bool ControlChannel::SetScript(const Script& script) {
    return Send(IOCTL_ACPIBT_SET_SCRIPT, &script, sizeof script, nullptr, 0);
}

bool ControlChannel::Fail(ULONG method, LONG status, ULONG count) {
    const Failure failure = {method, status, count};
    return Send(IOCTL_ACPIBT_SET_FAILURE, &failure, sizeof failure, nullptr, 0);
}

bool ControlChannel::Notify(ULONG code, ULONG* taken) {
    ULONG result = 0;
    if (!Send(IOCTL_ACPIBT_NOTIFY, &code, sizeof code, &result, sizeof result)) return false;
    if (taken != nullptr) *taken = result;
    return true;
}

bool ControlChannel::SystemPower(ULONG state, LONG* status) {
    const PowerRequest request = {state};
    PowerReply reply = {};
    if (!Send(IOCTL_ACPIBT_SYSTEM_POWER, &request, sizeof request, &reply, sizeof reply)) {
        return false;
    }
    if (status != nullptr) *status = reply.status;
    return true;
}

bool ControlChannel::SetPresent(bool present) {
    ULONG word = present ? 1 : 0;
    return Send(IOCTL_ACPIBT_SET_PRESENT, &word, sizeof word, nullptr, 0);
}

bool ControlChannel::PlugAndWaitForStart(DWORD timeoutMs) {
    if (!SetPresent(true)) return false;
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        State state = {};
        if (QueryState(&state) && state.started == 1 && FindRadioInterface().has_value()) {
            return true;
        }
        if (::GetTickCount64() >= end) return false;
        ::Sleep(20);
    }
}

bool ControlChannel::QueryState(State* state) {
    return Send(IOCTL_ACPIBT_QUERY_STATE, nullptr, 0, state, sizeof *state);
}

bool ControlChannel::ReadLog(std::vector<LogEntry>* entries) {
    entries->clear();
    LogReply reply;
    for (;;) {
        LogRead request = {static_cast<unsigned long>(entries->size())};
        if (!Send(IOCTL_ACPIBT_READ_LOG, &request, sizeof request, &reply, sizeof reply)) {
            return false;
        }
        entries->insert(entries->end(), reply.entries, reply.entries + reply.count);
        if (reply.count == 0) return true;
    }
}

bool ControlChannel::ClearLog() {
    return Send(IOCTL_ACPIBT_CLEAR_LOG, nullptr, 0, nullptr, 0);
}

std::optional<std::wstring> FindRadioInterface() {
    const GUID guid = GUID_DEVINTERFACE_NRV_RADIO_SWITCH;
    HDEVINFO list =
        ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return std::nullopt;
    nrv::UniqueDeviceInfoSet owner(list);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(list, nullptr, &guid, 0, &data)) return std::nullopt;
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return std::nullopt;
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(list, &data, detail, size, nullptr, nullptr)) {
        return std::nullopt;
    }
    return std::wstring(detail->DevicePath);
}

nrv::UniqueFileHandle OpenRadio(bool overlapped) {
    nrv::UniqueFileHandle handle;
    const auto path = FindRadioInterface();
    if (!path) return handle;
    handle.reset(::CreateFileW(path->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr));
    return handle;
}

nrv::UniqueFileHandle WaitAndOpenRadio(bool overlapped, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        nrv::UniqueFileHandle handle = OpenRadio(overlapped);
        if (handle.valid() || ::GetTickCount64() >= end) return handle;
        ::Sleep(20);
    }
}

RadioResult RadioControl(HANDLE device, ULONG code, DWORD outputLength) {
    RadioResult result;
    UCHAR buffer[16] = {};
    DWORD returned = 0;
    result.ok = ::DeviceIoControl(device, code, nullptr, 0, outputLength ? buffer : nullptr,
                                  outputLength, &returned, nullptr) != FALSE;
    if (!result.ok) result.error = ::GetLastError();
    result.returned = returned;
    result.status = buffer[0];
    return result;
}

const char* MethodName(ULONG method) {
    return kMethodNames[method < kMethodCount ? method : kUnknownMethod];
}

ULONG MethodIndex(const std::string& name) {
    for (ULONG i = 0; i < kMethodCount; ++i) {
        if (name == kMethodNames[i]) return i;
    }
    return kUnknownMethod;
}

std::string FormatLogEntry(const LogEntry& entry, ULONGLONG originUs) {
    char line[160];
    const double ms = (entry.timeUs - originUs) / 1000.0;
    switch (entry.kind) {
        case kEventMethod:
            std::snprintf(line, sizeof line, "%10.1f %s %s 0x%02lX", ms, MethodName(entry.code),
                          entry.status >= 0 ? "ok" : "failed", entry.value);
            if (entry.status < 0) {
                std::snprintf(line, sizeof line, "%10.1f %s failed 0x%08lX", ms,
                              MethodName(entry.code), static_cast<unsigned long>(entry.status));
            }
            break;
        case kEventNotify:
            std::snprintf(line, sizeof line, "%10.1f notify 0x%02lX %s", ms, entry.code,
                          entry.value ? "taken" : "no callback");
            break;
        case kEventPower:
            std::snprintf(line, sizeof line, "%10.1f power S%lu status 0x%08lX", ms,
                          entry.code == 1 ? 0 : entry.code - 1,
                          static_cast<unsigned long>(entry.status));
            break;
        case kEventPnp:
            std::snprintf(line, sizeof line, "%10.1f pnp 0x%02lX status 0x%08lX", ms, entry.code,
                          static_cast<unsigned long>(entry.status));
            break;
        case kEventPresence:
            std::snprintf(line, sizeof line, "%10.1f %s", ms, entry.code ? "plugged" : "unplugged");
            break;
        default:
            std::snprintf(line, sizeof line, "%10.1f event %lu", ms, entry.kind);
            break;
    }
    return line;
}

namespace registry {

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

bool SetValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    nrv::UniqueHKey handle;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                          handle.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegSetValueExW(handle.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

std::optional<std::vector<BYTE>> GetValue(const wchar_t* key, const wchar_t* name, DWORD* type) {
    nrv::UniqueHKey handle;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | kView, handle.put()) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD size = 0;
    if (::RegQueryValueExW(handle.get(), name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<BYTE> data(size);
    if (::RegQueryValueExW(handle.get(), name, nullptr, type, data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(size);
    return data;
}

}  // namespace

bool SetDword(const wchar_t* key, const wchar_t* name, DWORD value) {
    return SetValue(key, name, REG_DWORD, &value, sizeof value);
}

bool SetBinary(const wchar_t* key, const wchar_t* name, const std::vector<BYTE>& bytes) {
    return SetValue(key, name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
}

bool SetString(const wchar_t* key, const wchar_t* name, const std::wstring& text) {
    return SetValue(key, name, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool DeleteValue(const wchar_t* key, const wchar_t* name) {
    nrv::UniqueHKey handle;
    const LONG opened =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE | kView, handle.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    const LONG deleted = ::RegDeleteValueW(handle.get(), name);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool CreateKey(const wchar_t* key) {
    nrv::UniqueHKey handle;
    return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_READ | kView, nullptr,
                             handle.put(), nullptr) == ERROR_SUCCESS;
}

bool DeleteTree(const wchar_t* key) {
    nrv::UniqueHKey handle;
    const LONG opened =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS | kView, handle.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    if (::RegDeleteTreeW(handle.get(), nullptr) != ERROR_SUCCESS) return false;
    handle.reset();
    const LONG deleted = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, kView, 0);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool KeyExists(const wchar_t* key) {
    nrv::UniqueHKey handle;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | kView, handle.put()) ==
           ERROR_SUCCESS;
}

std::optional<DWORD> GetDword(const wchar_t* key, const wchar_t* name) {
    DWORD type = 0;
    const auto data = GetValue(key, name, &type);
    if (!data || type != REG_DWORD || data->size() != sizeof(DWORD)) return std::nullopt;
    DWORD value;
    std::memcpy(&value, data->data(), sizeof value);
    return value;
}

std::optional<std::vector<BYTE>> GetBinary(const wchar_t* key, const wchar_t* name) {
    DWORD type = 0;
    auto data = GetValue(key, name, &type);
    if (!data || type != REG_BINARY) return std::nullopt;
    return data;
}

std::optional<std::wstring> GetString(const wchar_t* key, const wchar_t* name) {
    DWORD type = 0;
    const auto data = GetValue(key, name, &type);
    if (!data || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    std::wstring text(reinterpret_cast<const wchar_t*>(data->data()), data->size() / 2);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

bool Clean() {
    bool ok = DeleteTree(kKeyhub) && DeleteTree(kUsbService) && DeleteTree(kBluetoothStack) &&
              DeleteTree(kBthport);
    // The vendor key when the BluetoothStack key was its only content.
    ok = DeleteTree(kVendorKey) && ok;
    ok = DeleteTree(L"SOFTWARE\\Wow6432Node\\NORVALE") && ok;
    for (const wchar_t* name :
         {L"DebugLevel", L"Bluetooth", L"UnplugFail", L"PowerOnDelay", L"RadioManagerPath",
          L"RadioManagerDLLx64", L"DontRepairRadioManagerDLL", L"QuickPowerOn"}) {
        ok = DeleteValue(kDriverParameters, name) && ok;
    }
    return ok;
}

}  // namespace registry

}  // namespace acpibt
