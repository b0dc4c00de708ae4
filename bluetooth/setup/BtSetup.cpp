// btsetup's three steps and their helpers.
#include "BtSetup.h"

#include "DevicePath.h"

#include <mbstring.h>
#include <setupapi.h>
#include <winioctl.h>

#include <cstdlib>
#include <cstring>

#include "RadioSwitchContract.h"

namespace btsetup {

// The structure sizes SetupAPI checks: 28 and 5 bytes in the 32-bit build.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);

namespace {

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// Looked up once, when the program starts.
const IsWow64ProcessFunction g_pfnIsWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
    reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32"), "IsWow64Process")));

// Appends text to the string in buffer; fails, leaving it unchanged, when
// the result would not fit.
bool Append(char* buffer, size_t capacity, const char* text) {
    const size_t used = std::strlen(buffer);
    const size_t length = std::strlen(text);
    if (used + length >= capacity) return false;
    std::memcpy(buffer + used, text, length + 1);
    return true;
}

// "SupportDLL" as read: absent, or its text, terminated; a value longer
// than the read size counts as present and unlike any path.
struct SupportDll {
    bool exists = false;
    bool tooLong = false;
    char text[c_nSupportDllReadSize + 1] = {};
};

SupportDll ReadSupportDll(HKEY key) {
    SupportDll value;
    DWORD size = c_nSupportDllReadSize;
    const LONG result = ::RegQueryValueExA(key, c_szSupportDllValue, nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(value.text), &size);
    if (result == ERROR_MORE_DATA) {
        value.exists = true;
        value.tooLong = true;
        value.text[0] = '\0';
    } else if (result == ERROR_SUCCESS) {
        value.exists = true;
        // A value stored without its terminator, or filling the whole read.
        value.text[size <= c_nSupportDllReadSize ? size : c_nSupportDllReadSize] = '\0';
    }
    return value;
}

nrv::UniqueHKey OpenRadioSupportKey() {
    nrv::UniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szRadioSupportKey, 0, c_nRadioSupportAccess,
                        key.put()) != ERROR_SUCCESS) {
        key.reset();
    }
    return key;
}

bool WriteSupportDll(HKEY key, const char* text) {
    return ::RegSetValueExA(key, c_szSupportDllValue, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

}  // namespace

bool CBtDevice::FindInterfacePath(const GUID& interfaceClass, char* path, size_t capacity) {
    nrv::UniqueDeviceInfoSet list(::SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list) return false;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!::SetupDiEnumDeviceInterfaces(list.get(), nullptr, &interfaceClass, 0, &interfaceData)) {
        return false;
    }
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailA(list.get(), &interfaceData, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
    nrv::UniqueLocalMemory buffer(::LocalAlloc(LMEM_ZEROINIT, size));
    if (!buffer) return false;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!::SetupDiGetDeviceInterfaceDetailA(list.get(), &interfaceData, detail, size, nullptr,
                                            nullptr)) {
        return false;
    }
    // The buffer was zero-filled: the path ends inside it.
    return btradio::CopyDevicePath(detail->DevicePath, path, capacity);
}

bool CBtDevice::OpenInterface(const GUID& interfaceClass) {
    Close();
    char path[c_nDevicePathCapacity] = {};
    if (FindInterfacePath(interfaceClass, path, sizeof path)) {
        m_hDevice.reset(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    }
    return IsOpen();
}

bool CRfSwBase::OpenRadioSwitch() {
    return OpenInterface(GUID_DEVINTERFACE_NRV_RADIO_SWITCH);
}

bool IsWow64() {
    BOOL wow64 = FALSE;
    return g_pfnIsWow64Process != nullptr && g_pfnIsWow64Process(::GetCurrentProcess(), &wow64) &&
           wow64;
}

bool GetProgramFolder(char* folder, size_t capacity) {
    char module[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    char drive[_MAX_DRIVE];
    char directory[_MAX_DIR];
    ::_splitpath(module, drive, directory, nullptr, nullptr);
    if (capacity == 0) return false;
    folder[0] = '\0';
    if (!Append(folder, capacity, drive)) return false;
    if (!Append(folder, capacity, directory)) {
        folder[0] = '\0';
        return false;
    }
    return true;
}

bool IsVistaOrLater() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    return ::GetVersionExA(&version) && version.dwMajorVersion > 5;
}

const char* DriverFolderFor(bool vistaOrLater, bool wow64) {
    if (vistaOrLater) return wow64 ? "Drivers\\x64" : "Drivers";
    return wow64 ? "DriversXP\\x64" : "DriversXP";
}

bool RunDriverSetup(bool wow64) {
    char folder[MAX_PATH];
    if (!GetProgramFolder(folder, sizeof folder)) return false;
    if (!Append(folder, sizeof folder, DriverFolderFor(IsVistaOrLater(), wow64))) {
        return false;
    }
    char exe[MAX_PATH];
    std::strcpy(exe, folder);
    if (!Append(exe, sizeof exe, "\\") || !Append(exe, sizeof exe, c_szDriverSetup)) return false;
    if (::GetFileAttributesA(exe) == INVALID_FILE_ATTRIBUTES) return false;

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information{};
    if (!::CreateProcessA(exe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                          &information)) {
        return false;
    }
    nrv::UniqueHandle process(information.hProcess);
    nrv::UniqueHandle thread(information.hThread);
    ::Sleep(1000);
    ::WaitForSingleObject(process.get(), INFINITE);
    return true;
}

bool RegisterSupportLibrary(bool wow64) {
    if (!wow64) return false;
    char path[MAX_PATH];
    if (!GetProgramFolder(path, sizeof path) || !Append(path, sizeof path, c_szSupportLibrary)) {
        return false;
    }
    const nrv::UniqueHKey key = OpenRadioSupportKey();
    if (!key) return false;
    const SupportDll current = ReadSupportDll(key.get());
    if (!current.exists) return false;
    if (!current.tooLong && ::_mbsicmp(reinterpret_cast<const unsigned char*>(current.text),
                                       reinterpret_cast<const unsigned char*>(path)) == 0) {
        return false;
    }
    return WriteSupportDll(key.get(), path);
}

bool CheckRadioSwitchDevice(CRfSwBase& device) {
    if (device.OpenRadioSwitch()) return false;
    device.Close();
    const nrv::UniqueHKey key = OpenRadioSupportKey();
    if (!key) return false;
    const SupportDll current = ReadSupportDll(key.get());
    if (!current.exists || (!current.tooLong && current.text[0] == '\0')) return false;
    return WriteSupportDll(key.get(), "");
}

}  // namespace btsetup
