// dpinst.exe for the simulated notebook: installs and removes the driver
// packages (INF files) of its folder the way Windows' Driver Package
// Installer does, done the way Wine can. Wine's Plug and Play manager picks a
// function driver only from an INF in C:\windows\inf, and only when a device
// is enumerated: so the package is copied there, the driver file beside it
// and into system32\drivers, and each matching device is enumerated again
// through the simulated ACPI bus (unplugged and plugged back). Never meant
// for a real machine.
//
//   dpinst.exe [/PATH folder] [/S] [/SE] [/SW] [/SA] [/Q] [/F] [/LM] [/C]
//   dpinst.exe /U inf-path [/S] [/D] ...
//
// Exit code as dpinst's: 0xWWXXYYZZ, WW flags (0x80 a package failed, 0x40
// restart needed), XX packages that failed, YY packages put into the driver
// store (or removed with /U), ZZ packages installed on a device.
#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winioctl.h>

#include <cwctype>
#include <string>
#include <vector>

#include "AcpiBtSimControl.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kFailedFlag = 0x80000000u;
constexpr DWORD kRebootFlag = 0x40000000u;
constexpr DWORD kDeviceIdChars = 200;
bool g_rebootNeeded = false;

struct Log {
    nrv::UniqueFileHandle file;
    void Write(const std::wstring& text) {
        if (!file) return;
        std::string line;
        for (wchar_t c : text) line.push_back(c < 128 ? static_cast<char>(c) : '?');
        line += "\r\n";
        DWORD written = 0;
        ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
};
Log g_log;

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') return folder + name;
    return folder + L"\\" + name;
}

std::wstring FileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Folder(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring WindowsFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetSystemWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring InfFolder() {
    return Join(WindowsFolder(), L"inf");
}

std::wstring DriversFolder() {
    return Join(WindowsFolder(), L"system32\\drivers");
}

// What a driver package says about itself.
struct Package {
    std::wstring infPath;
    std::vector<std::wstring> hardwareIds;
    std::vector<std::wstring> files;     // [SourceDisksFiles]
    std::vector<std::wstring> services;  // AddService names
};

std::wstring Field(INFCONTEXT* context, DWORD index) {
    wchar_t text[512] = {};
    if (!::SetupGetStringFieldW(context, index, text, 512, nullptr)) return {};
    return text;
}

bool ReadPackage(const std::wstring& infPath, Package* package) {
    UINT errorLine = 0;
    const HINF inf = ::SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) return false;
    package->infPath = infPath;
    INFCONTEXT line;
    std::vector<std::wstring> installSections;
    // [Manufacturer]: name = models-section, decorations; [models.decoration]
    // lines: description = install-section, hardware ids.
    for (BOOL more = ::SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &line); more;
         more = ::SetupFindNextLine(&line, &line)) {
        const std::wstring models = Field(&line, 1);
        std::vector<std::wstring> sections{models};
        for (DWORD i = 2; i <= ::SetupGetFieldCount(&line); ++i) {
            sections.push_back(models + L"." + Field(&line, i));
        }
        for (const std::wstring& section : sections) {
            INFCONTEXT model;
            for (BOOL found = ::SetupFindFirstLineW(inf, section.c_str(), nullptr, &model); found;
                 found = ::SetupFindNextLine(&model, &model)) {
                installSections.push_back(Field(&model, 1));
                for (DWORD i = 2; i <= ::SetupGetFieldCount(&model); ++i) {
                    package->hardwareIds.push_back(Field(&model, i));
                }
            }
        }
    }
    for (BOOL more = ::SetupFindFirstLineW(inf, L"SourceDisksFiles", nullptr, &line); more;
         more = ::SetupFindNextLine(&line, &line)) {
        wchar_t key[MAX_PATH] = {};
        if (::SetupGetStringFieldW(&line, 0, key, MAX_PATH, nullptr)) package->files.push_back(key);
    }
    for (const std::wstring& install : installSections) {
        for (const wchar_t* suffix : {L".NT.Services", L".Services", L".NTamd64.Services"}) {
            INFCONTEXT service;
            for (BOOL found = ::SetupFindFirstLineW(inf, (install + suffix).c_str(), L"AddService",
                                                    &service);
                 found; found = ::SetupFindNextMatchLineW(&service, L"AddService", &service)) {
                package->services.push_back(Field(&service, 1));
            }
        }
    }
    ::SetupCloseInfFile(inf);
    return !package->hardwareIds.empty();
}

bool SameContents(const std::wstring& a, const std::wstring& b) {
    nrv::UniqueFileHandle first(::CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    nrv::UniqueFileHandle second(::CreateFileW(b.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    if (!first || !second) return false;
    std::string x(65536, '\0');
    std::string y(65536, '\0');
    for (;;) {
        DWORD readX = 0;
        DWORD readY = 0;
        if (!::ReadFile(first.get(), x.data(), 65536, &readX, nullptr) ||
            !::ReadFile(second.get(), y.data(), 65536, &readY, nullptr) || readX != readY) {
            return false;
        }
        if (readX == 0) return true;
        if (x.compare(0, readX, y, 0, readY) != 0) return false;
    }
}

// Copies unless an identical file is there already (a loaded driver's file
// cannot be replaced, and need not be).
bool Put(const std::wstring& from, const std::wstring& to) {
    if (SameContents(from, to)) return true;
    if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    g_log.Write(L"cannot copy " + from + L" to " + to + L": " + std::to_wstring(::GetLastError()));
    return false;
}

// The simulated ACPI bus's control channel: present on the simulated notebook only.
bool Replug(bool plugBack) {
    nrv::UniqueFileHandle bus(::CreateFileW(acpibt::kControlDevicePath,
                                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            0, nullptr));
    if (!bus) return false;
    DWORD returned = 0;
    ULONG present = 0;
    if (!::DeviceIoControl(bus.get(), IOCTL_ACPIBT_SET_PRESENT, &present, sizeof present, nullptr,
                           0, &returned, nullptr)) {
        return false;
    }
    if (!plugBack) return true;
    present = 1;
    return ::DeviceIoControl(bus.get(), IOCTL_ACPIBT_SET_PRESENT, &present, sizeof present, nullptr,
                             0, &returned, nullptr) != FALSE;
}

bool PlugBack() {
    nrv::UniqueFileHandle bus(::CreateFileW(acpibt::kControlDevicePath,
                                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            0, nullptr));
    if (!bus) return false;
    DWORD returned = 0;
    ULONG present = 1;
    return ::DeviceIoControl(bus.get(), IOCTL_ACPIBT_SET_PRESENT, &present, sizeof present, nullptr,
                             0, &returned, nullptr) != FALSE;
}

// Each present device with one of the package's hardware ids: its instance
// id and the service that drives it (empty when none).
struct Device {
    std::wstring instanceId;
    std::wstring service;
};

std::vector<Device> MatchingDevices(const Package& package) {
    std::vector<Device> devices;
    nrv::UniqueDeviceInfoSet set(
        ::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!set) return devices;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
        wchar_t ids[2048] = {};
        if (!::SetupDiGetDeviceRegistryPropertyW(set.get(), &data, SPDRP_HARDWAREID, nullptr,
                                                 reinterpret_cast<BYTE*>(ids), sizeof ids - 4,
                                                 nullptr)) {
            continue;
        }
        bool matches = false;
        for (const wchar_t* id = ids; *id; id += ::lstrlenW(id) + 1) {
            for (const std::wstring& wanted : package.hardwareIds) {
                matches = matches || ::lstrcmpiW(id, wanted.c_str()) == 0;
            }
        }
        if (!matches) continue;
        Device device;
        wchar_t instance[kDeviceIdChars] = {};
        ::SetupDiGetDeviceInstanceIdW(set.get(), &data, instance, kDeviceIdChars, nullptr);
        device.instanceId = instance;
        wchar_t service[256] = {};
        if (::SetupDiGetDeviceRegistryPropertyW(set.get(), &data, SPDRP_SERVICE, nullptr,
                                                reinterpret_cast<BYTE*>(service),
                                                sizeof service - 2, nullptr)) {
            device.service = service;
        }
        devices.push_back(device);
    }
    return devices;
}

bool Driven(const Device& device, const Package& package) {
    for (const std::wstring& service : package.services) {
        if (::lstrcmpiW(device.service.c_str(), service.c_str()) == 0) return true;
    }
    return false;
}

// Installs one package: 0x0100 into the store, plus 1 for each device that
// now runs its driver; kFailedFlag | 0x010000 on failure.
DWORD Install(const std::wstring& infPath) {
    Package package;
    if (!ReadPackage(infPath, &package)) {
        g_log.Write(L"not a driver package: " + infPath);
        return kFailedFlag | 0x010000;
    }
    const std::wstring folder = Folder(infPath);
    bool ok = Put(infPath, Join(InfFolder(), FileName(infPath)));
    for (const std::wstring& file : package.files) {
        // Wine copies the driver from the INF's own folder; the service's
        // binary is in system32\drivers.
        ok = ok && Put(Join(folder, file), Join(InfFolder(), file)) &&
             Put(Join(folder, file), Join(DriversFolder(), file));
    }
    if (!ok) return kFailedFlag | 0x010000;
    g_log.Write(L"package " + FileName(infPath) + L" in " + InfFolder());

    DWORD installed = 0;
    for (const Device& device : MatchingDevices(package)) {
        if (Driven(device, package)) {
            g_log.Write(device.instanceId + L" already runs " + device.service);
            ++installed;
            continue;
        }
        // Enumerated again, the device is matched against the INF.
        if (!Replug(true)) {
            g_log.Write(L"cannot enumerate " + device.instanceId + L" again: " +
                        std::to_wstring(::GetLastError()));
            return kFailedFlag | 0x010100;
        }
        bool up = false;
        for (int i = 0; i < 300 && !up; ++i) {
            for (const Device& now : MatchingDevices(package)) {
                up = up || (now.instanceId == device.instanceId && Driven(now, package));
            }
            if (!up) ::Sleep(100);
        }
        if (!up) {
            g_log.Write(device.instanceId + L" did not get its driver");
            return kFailedFlag | 0x010100;
        }
        g_log.Write(device.instanceId + L" runs the package's driver");
        ++installed;
    }
    return 0x0100 | installed;
}

void DeleteValueTree(HKEY root, const std::wstring& key) {
    ::RegDeleteTreeW(root, key.c_str());
    ::RegDeleteKeyExW(root, key.c_str(), KEY_WOW64_64KEY, 0);
}

// The class keys whose InfPath names this package.
void DeleteClassKeys(const std::wstring& infName) {
    const std::wstring classes = L"SYSTEM\\CurrentControlSet\\Control\\Class";
    nrv::UniqueHKey root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, classes.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                        root.put()) != ERROR_SUCCESS) {
        return;
    }
    std::vector<std::wstring> doomed;
    wchar_t guid[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (::RegEnumKeyExW(root.get(), i, guid, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        nrv::UniqueHKey classKey;
        if (::RegOpenKeyExW(root.get(), guid, 0, KEY_READ | KEY_WOW64_64KEY, classKey.put()) !=
            ERROR_SUCCESS) {
            continue;
        }
        wchar_t sub[256];
        for (DWORD j = 0;; ++j) {
            DWORD subLength = 256;
            if (::RegEnumKeyExW(classKey.get(), j, sub, &subLength, nullptr, nullptr, nullptr,
                                nullptr) != ERROR_SUCCESS) {
                break;
            }
            wchar_t inf[MAX_PATH] = {};
            DWORD size = sizeof inf - 2;
            if (::RegGetValueW(classKey.get(), sub, L"InfPath", RRF_RT_REG_SZ, nullptr, inf,
                               &size) == ERROR_SUCCESS &&
                ::lstrcmpiW(inf, infName.c_str()) == 0) {
                doomed.push_back(classes + L"\\" + guid + L"\\" + sub);
            }
        }
    }
    for (const std::wstring& key : doomed) DeleteValueTree(HKEY_LOCAL_MACHINE, key);
}

bool StopAndDeleteService(const std::wstring& name) {
    nrv::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return false;
    nrv::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100; ++i) {
        if (!::QueryServiceStatus(service.get(), &status) ||
            status.dwCurrentState == SERVICE_STOPPED) {
            break;
        }
        ::Sleep(100);
    }
    if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        g_log.Write(L"cannot delete service " + name + L": " + std::to_wstring(::GetLastError()));
        return false;
    }
    return true;
}

struct SavedValue {
    std::wstring name;
    DWORD type = 0;
    std::string data;
};

std::wstring ParametersKey(const std::wstring& service) {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + service + L"\\Parameters";
}

std::vector<SavedValue> SaveParameters(const std::wstring& service) {
    std::vector<SavedValue> values;
    nrv::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKey(service).c_str(), 0,
                        KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        std::string data(65536, '\0');
        DWORD size = 65536;
        DWORD type = 0;
        if (::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type,
                            reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
            break;
        }
        data.resize(size);
        values.push_back({name, type, data});
    }
    values.push_back({});  // the key itself existed
    return values;
}

void RestoreParameters(const std::wstring& service, const std::vector<SavedValue>& values) {
    if (values.empty()) return;
    nrv::UniqueHKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKey(service).c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS) {
        g_log.Write(L"cannot keep the settings of " + service);
        return;
    }
    for (const SavedValue& value : values) {
        if (value.type == 0 && value.name.empty()) continue;
        ::RegSetValueExW(key.get(), value.name.c_str(), 0, value.type,
                         reinterpret_cast<const BYTE*>(value.data.data()),
                         static_cast<DWORD>(value.data.size()));
    }
}

// Removes one package: its devices lose the driver (unplugged, their
// installation forgotten, plugged back without it), the services, the
// driver files and the INF copy go. The driver's Parameters key stays: its
// settings are the machine's, kept for the next installation.
DWORD Uninstall(const std::wstring& infPath) {
    Package package;
    const std::wstring infName = FileName(infPath);
    const std::wstring installed = Join(InfFolder(), infName);
    if (!ReadPackage(installed, &package) && !ReadPackage(infPath, &package)) {
        g_log.Write(L"package " + infName + L" is not installed");
        return 0;
    }
    const std::vector<Device> devices = MatchingDevices(package);
    const bool unplugged = !devices.empty() && Replug(false);
    for (const Device& device : devices) {
        DeleteValueTree(HKEY_LOCAL_MACHINE,
                        L"SYSTEM\\CurrentControlSet\\Enum\\" + device.instanceId);
    }
    DeleteClassKeys(infName);
    bool ok = true;
    for (const std::wstring& service : package.services) {
        // The driver's settings outlive it, for the next installation.
        const std::vector<SavedValue> settings = SaveParameters(service);
        ok = StopAndDeleteService(service) && ok;
        RestoreParameters(service, settings);
    }
    for (const std::wstring& file : package.files) {
        ::DeleteFileW(Join(InfFolder(), file).c_str());
        const std::wstring driver = Join(DriversFolder(), file);
        if (::DeleteFileW(driver.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND) continue;
        // A driver still loaded (Wine keeps a driver loaded once its last
        // device is gone) cannot be deleted: it is moved aside and deleted
        // at the next restart.
        const std::wstring aside = driver + L".removed";
        ::DeleteFileW(aside.c_str());
        if (::MoveFileExW(driver.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            ::MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            g_log.Write(driver + L" is loaded: deleted at the next restart");
            g_rebootNeeded = true;
        } else {
            g_log.Write(L"cannot delete " + driver + L": " + std::to_wstring(::GetLastError()));
            ok = false;
        }
    }
    ::DeleteFileW(installed.c_str());
    std::wstring pnf = installed.substr(0, installed.size() - 4) + L".pnf";
    ::DeleteFileW(pnf.c_str());
    if (unplugged) PlugBack();
    g_log.Write(L"package " + infName + (ok ? L" removed" : L" not wholly removed"));
    if (!ok) return kFailedFlag | 0x010000;
    return g_rebootNeeded ? kRebootFlag | 0x0100 : 0x0100;
}

std::vector<std::wstring> Arguments() {
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(argv[i]);
    ::LocalFree(argv);
    return arguments;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::vector<std::wstring> arguments = Arguments();
    std::wstring folder;
    std::wstring uninstall;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring name = Lower(arguments[i]);
        if ((name == L"/u" || name == L"/path") && i + 1 < arguments.size()) {
            (name == L"/u" ? uninstall : folder) = arguments[++i];
        } else if (name == L"/u" || name == L"/path") {
            return static_cast<int>(kFailedFlag);
        }
        // /S /SE /SW /SA /Q /F /LM /C /D: quiet and forced is all this one does.
    }
    if (folder.empty()) {
        wchar_t current[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, current);
        folder = current;
    }
    // Its log, where dpinst keeps one: %SystemRoot%\DPINST.LOG.
    g_log.file.reset(::CreateFileW(Join(WindowsFolder(), L"DPINST.LOG").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                   nullptr));
    g_log.Write(L"dpinst (simulated notebook) " + std::wstring(::GetCommandLineW()));
    DWORD result = 0;
    if (!uninstall.empty()) {
        result = Uninstall(uninstall);
    } else {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW(Join(folder, L"*.inf").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const DWORD one = Install(Join(folder, data.cFileName));
                result = (result & 0xC0000000u) | (one & 0xC0000000u) |
                         (((result & 0xFFFFFF) + (one & 0xFFFFFF)) & 0xFFFFFF);
            } while (::FindNextFileW(find, &data));
            ::FindClose(find);
        }
    }
    g_log.Write(L"exit code " + std::to_wstring(result));
    return static_cast<int>(result);
}
