#include "VadNotebook.h"

#include <setupapi.h>

#include <cwchar>

#include "UniqueHandle.h"

namespace vadsim {

namespace {

using nrv::UniqueDeviceInfoSet;

DWORD LastError() {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

std::wstring InterfaceKeyPath(ULONG indicator) {
    const IndicatorNames& names = kIndicatorNames[indicator];
    return std::wstring(kDeviceClassesKey) + L"\\" + names.classKey + L"\\" + names.interfaceKey;
}

std::wstring InstanceKeyPath(ULONG indicator) {
    return std::wstring(kEnumKey) + L"\\" + kIndicatorNames[indicator].instanceId;
}

// The instance's parent key ("...\Enum\ROOT\NRVSLATEINDICATOR").
std::wstring DeviceKeyPath(ULONG indicator) {
    std::wstring path = InstanceKeyPath(indicator);
    return path.substr(0, path.rfind(L'\\'));
}

// Deletes a key with everything below it; 0 also when it is not there.
DWORD DeleteTree(const std::wstring& path) {
    const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    const LSTATUS last = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return last == ERROR_SUCCESS || last == ERROR_FILE_NOT_FOUND ? 0 : static_cast<DWORD>(last);
}

// Deletes a key that holds no values and no subkeys; leaves it otherwise.
void DeleteIfEmpty(const std::wstring& path) {
    nrv::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 0, values = 0;
    if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                           &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    key.reset();
    if (subkeys == 0 && values == 0) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

DWORD ReadCount(HKEY key, DWORD* count) {
    DWORD type = 0, size = sizeof *count;
    *count = 0;
    const LSTATUS status =
        ::RegQueryValueExW(key, L"Count", nullptr, &type, reinterpret_cast<BYTE*>(count), &size);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    return type == REG_DWORD ? 0 : ERROR_INVALID_DATA;
}

DWORD WriteCount(HKEY key, DWORD count) {
    return static_cast<DWORD>(::RegSetValueExW(
        key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count));
}

DWORD OpenKeyboardList(REGSAM access, bool create, nrv::UniqueHKey* key) {
    const LSTATUS status =
        create ? ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyboardListKey, 0, nullptr, 0, access,
                                   nullptr, key->put(), nullptr)
               : ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyboardListKey, 0, access, key->put());
    return static_cast<DWORD>(status);
}

}  // namespace

const GUID& IndicatorGuid(ULONG indicator) {
    return indicator == kIndicatorDock ? kDockIndicatorGuid : kSlateIndicatorGuid;
}

bool ParseIndicator(const std::string& text, ULONG* indicator) {
    std::string lower;
    for (char c : text) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "slate") {
        *indicator = kIndicatorSlate;
    } else if (lower == "dock") {
        *indicator = kIndicatorDock;
    } else {
        return false;
    }
    return true;
}

DWORD InstallIndicator(ULONG indicator) {
    if (indicator >= kIndicatorCount) return ERROR_INVALID_PARAMETER;
    const GUID& guid = IndicatorGuid(indicator);
    UniqueDeviceInfoSet set(::SetupDiCreateDeviceInfoList(&guid, nullptr));
    if (!set) return LastError();
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    const wchar_t* id = kIndicatorNames[indicator].instanceId;
    if (!::SetupDiCreateDeviceInfoW(set.get(), id, &guid, nullptr, nullptr, 0, &device)) {
        const DWORD error = LastError();
        if (error != ERROR_DEVINST_ALREADY_EXISTS) return error;
        if (!::SetupDiOpenDeviceInfoW(set.get(), id, nullptr, 0, &device)) return LastError();
    } else if (!::SetupDiRegisterDeviceInfo(set.get(), &device, 0, nullptr, nullptr, nullptr)) {
        return LastError();
    }
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!::SetupDiCreateDeviceInterfaceW(set.get(), &device, &guid, nullptr, 0, &data)) {
        return LastError();
    }
    return SetIndicatorLinked(indicator, true);
}

DWORD UninstallIndicator(ULONG indicator) {
    if (indicator >= kIndicatorCount) return ERROR_INVALID_PARAMETER;
    const GUID& guid = IndicatorGuid(indicator);
    {
        UniqueDeviceInfoSet set(::SetupDiCreateDeviceInfoList(&guid, nullptr));
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (set && ::SetupDiOpenDeviceInfoW(set.get(), kIndicatorNames[indicator].instanceId,
                                            nullptr, 0, &device)) {
            SP_DEVICE_INTERFACE_DATA data = {};
            data.cbSize = sizeof data;
            for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set.get(), &device, &guid, i, &data);
                 ++i) {
                ::SetupDiRemoveDeviceInterface(set.get(), &data);
            }
            ::SetupDiRemoveDevice(set.get(), &device);
        }
    }
    // Whatever SetupDi left: the interface's key, the instance's keys, and
    // the class key when no other interface of the class is registered.
    DWORD result = DeleteTree(InterfaceKeyPath(indicator));
    const DWORD instance = DeleteTree(DeviceKeyPath(indicator));
    if (result == 0) result = instance;
    DeleteIfEmpty(std::wstring(kDeviceClassesKey) + L"\\" + kIndicatorNames[indicator].classKey);
    return result;
}

DWORD SetIndicatorLinked(ULONG indicator, bool linked) {
    if (indicator >= kIndicatorCount) return ERROR_INVALID_PARAMETER;
    nrv::UniqueHKey interfaceKey;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, InterfaceKeyPath(indicator).c_str(), 0,
                                     KEY_CREATE_SUB_KEY, interfaceKey.put());
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    nrv::UniqueHKey control;
    status = ::RegCreateKeyExW(interfaceKey.get(), L"#\\Control", 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, control.put(), nullptr);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    const DWORD value = linked ? 1 : 0;
    return static_cast<DWORD>(::RegSetValueExW(control.get(), L"Linked", 0, REG_DWORD,
                                               reinterpret_cast<const BYTE*>(&value),
                                               sizeof value));
}

std::wstring FindInterfacePath(const GUID& interfaceClass, DWORD* error) {
    DWORD ignored = 0;
    DWORD& result = error != nullptr ? *error : ignored;
    result = 0;
    UniqueDeviceInfoSet set(::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) {
        result = LastError();
        return {};
    }
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &interfaceClass, 0, &data)) {
        result = LastError();
        return {};
    }
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set.get(), &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        result = LastError();
        return {};
    }
    std::vector<unsigned char> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (!::SetupDiGetDeviceInterfaceDetailW(set.get(), &data, detail, size, nullptr, nullptr)) {
        result = LastError();
        return {};
    }
    return detail->DevicePath;
}

std::wstring KeyboardInstanceId(ULONG vendor, ULONG product, ULONG index) {
    wchar_t text[96];
    std::swprintf(text, sizeof text / sizeof text[0],
                  L"HID\\VID_%04lX&PID_%04lX\\7&2A5C%04lX&0&%04lu", vendor & 0xFFFF,
                  product & 0xFFFF, index & 0xFFFF, index);
    return text;
}

DWORD AddKeyboard(ULONG vendor, ULONG product) {
    nrv::UniqueHKey key;
    DWORD status = OpenKeyboardList(KEY_QUERY_VALUE | KEY_SET_VALUE, true, &key);
    if (status != 0) return status;
    DWORD count = 0;
    status = ReadCount(key.get(), &count);
    if (status != 0) return status;
    const std::wstring id = KeyboardInstanceId(vendor, product, count);
    const std::wstring name = std::to_wstring(count);
    status = static_cast<DWORD>(::RegSetValueExW(
        key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(id.c_str()),
        static_cast<DWORD>((id.size() + 1) * sizeof(wchar_t))));
    if (status != 0) return status;
    return WriteCount(key.get(), count + 1);
}

DWORD ClearKeyboards() {
    nrv::UniqueHKey key;
    DWORD status = OpenKeyboardList(KEY_QUERY_VALUE | KEY_SET_VALUE, true, &key);
    if (status != 0) return status;
    for (;;) {
        wchar_t name[256];
        DWORD length = sizeof name / sizeof name[0];
        // Values other than "Count" go; "Count" sorts wherever it may.
        DWORD index = 0;
        LSTATUS found;
        while ((found = ::RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr,
                                        nullptr)) == ERROR_SUCCESS &&
               std::wcscmp(name, L"Count") == 0) {
            ++index;
            length = sizeof name / sizeof name[0];
        }
        if (found == ERROR_NO_MORE_ITEMS) break;
        if (found != ERROR_SUCCESS) return static_cast<DWORD>(found);
        status = static_cast<DWORD>(::RegDeleteValueW(key.get(), name));
        if (status != 0) return status;
    }
    return WriteCount(key.get(), 0);
}

DWORD ListKeyboards(std::vector<std::wstring>* ids) {
    ids->clear();
    nrv::UniqueHKey key;
    DWORD status = OpenKeyboardList(KEY_QUERY_VALUE, false, &key);
    if (status != 0) return status;
    DWORD count = 0;
    status = ReadCount(key.get(), &count);
    if (status != 0) return status;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t id[512] = {};
        DWORD type = 0, size = sizeof id - sizeof(wchar_t);
        const std::wstring name = std::to_wstring(i);
        status = static_cast<DWORD>(::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                                                       reinterpret_cast<BYTE*>(id), &size));
        if (status != 0) return status;
        ids->push_back(id);
    }
    return 0;
}

DWORD RemoveKeyboardList() {
    const DWORD status = DeleteTree(kKeyboardListKey);
    DeleteIfEmpty(kKeyboardServiceKey);
    return status;
}

}  // namespace vadsim
