// The setup program's steps.
#include "PkgSetup.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <vector>

#include "PkgSetupCodes.h"
#include "SetupLibrary.h"
#include "SetupLog.h"
#include "SetupSettings.h"
#include "UniqueHandle.h"

namespace pkgsetup {

namespace {

constexpr wchar_t kPostureService[] = L"POSTURESVC";
constexpr wchar_t kRadioService[] = L"NRVRadioSvc";
constexpr wchar_t kDriverService[] = L"nrvrfsw";
constexpr wchar_t kDriverInf[] = L"nrvrfsw.inf";
constexpr wchar_t kDriverFile[] = L"nrvrfsw.sys";
constexpr wchar_t kPenLauncher[] = L"NrvPenNote.exe";
constexpr wchar_t kRadioSupportKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio Support";
constexpr DWORD kProgramTimeoutMs = 120000;
constexpr DWORD kServiceTimeoutMs = 30000;
// dpinst's exit code: the high bit means a package failed to install.
constexpr DWORD kDpinstFailureBit = 0x80000000u;
constexpr DWORD kDpinstRebootBit = 0x40000000u;

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') return folder + name;
    return folder + L"\\" + name;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    ::wsprintfW(text, L"0x%08X", value);
    return text;
}

std::wstring Parent(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Creates folder and each missing parent.
DWORD CreateFolders(const std::wstring& folder) {
    if (IsFolder(folder)) return ERROR_SUCCESS;
    const std::wstring parent = Parent(folder);
    if (!parent.empty() && parent.size() > 2) {
        const DWORD error = CreateFolders(parent);
        if (error != ERROR_SUCCESS) return error;
    }
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

bool IsWow64Process() {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

class Setup {
public:
    Setup(const SetupOptions& options, const std::wstring& sourceFolder, SetupLog& log)
        : m_options(options), m_source(sourceFolder), m_log(log) {}

    unsigned long Run();

private:
    unsigned long RunInstall();
    unsigned long RunUninstall();
    unsigned long RunTestOnly();

    unsigned long ReadSettings();
    unsigned long LoadLibrary();
    unsigned long ResolveTarget();
    bool CheckElevated();

    // Install steps.
    unsigned long CheckPackage();
    unsigned long RemoveEarlier();
    unsigned long CopyFiles();
    DWORD CopyFolder(const std::wstring& from, const std::wstring& to);
    DWORD CopyOne(const std::wstring& from, const std::wstring& to);
    unsigned long InstallPosture();
    unsigned long InstallRadio();
    unsigned long InstallDriver();
    unsigned long StartPenLauncher();

    // Removal steps, shared by the uninstall, the upgrade and a failed install.
    bool StopPenLaunchers();
    bool RemovePostureService();
    bool RemoveRadioService();
    bool RemoveDriver();
    void ClearSupportDll();
    bool RemoveFiles();
    DWORD DeleteTree(const std::wstring& folder);
    void RollBack();

    // Programs and services.
    bool RunProgram(const std::wstring& step, const std::wstring& exe,
                    const std::wstring& arguments, DWORD* exitCode);
    bool ServiceExists(const wchar_t* name);
    bool StopService(const wchar_t* name);
    bool WaitForServiceGone(const wchar_t* name);
    bool MarkedForDeletion(const wchar_t* name);
    DWORD WaitForServiceState(SC_HANDLE service, DWORD from, DWORD timeoutMs);
    std::wstring InstalledOrPackaged(const std::wstring& name) const;
    std::wstring DriverFolderOf(const std::wstring& base) const;
    std::wstring SystemDriverPath() const;

    const SetupOptions& m_options;
    std::wstring m_source;
    SetupLog& m_log;
    SetupSettings m_settings;
    std::wstring m_target;
    nrv::UniqueModule m_library;
    DzCopyVerifiedFunction m_copyVerified = nullptr;
    DzFileDigestFunction m_fileDigest = nullptr;
    nrv::UniqueServiceHandle m_manager;
    bool m_rebootNeeded = false;
    bool m_targetExisted = false;
    bool m_driverStepRan = false;
};

unsigned long Setup::Run() {
    switch (m_options.mode) {
        case SetupMode::TestOnly:
            return RunTestOnly();
        case SetupMode::Uninstall:
            return RunUninstall();
        case SetupMode::Install:
            break;
    }
    return RunInstall();
}

unsigned long Setup::ReadSettings() {
    const std::wstring path = Join(m_source, kSettingsName);
    const SettingsResult result = ReadSetupSettings(path);
    if (!result.ok) {
        m_log.Failure(L"settings", result.error, ::GetLastError());
        return kExitSettingsInvalid;
    }
    m_settings = result.settings;
    m_log.Write(L"settings", path + L": target " + m_settings.targetFolder + L", " +
                                 std::to_wstring(m_settings.files.size()) + L" files, " +
                                 std::to_wstring(m_settings.folders.size()) +
                                 L" folders; posture service " +
                                 (m_settings.postureService ? L"1" : L"0") + L", radio service " +
                                 (m_settings.radioService ? L"1" : L"0") + L", driver " +
                                 (m_settings.driver ? L"1" : L"0") + L", pen launcher " +
                                 (m_settings.penLauncher ? L"1" : L"0"));
    return kExitSuccess;
}

unsigned long Setup::LoadLibrary() {
    const std::wstring path = Join(m_source, kLibraryName);
    if (!IsFile(path)) {
        m_log.Failure(L"library", L"missing " + path, ERROR_FILE_NOT_FOUND);
        return kExitLibraryFailed;
    }
    m_library.reset(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!m_library) {
        m_log.Failure(L"library", L"cannot load " + path, ::GetLastError());
        return kExitLibraryFailed;
    }
    m_copyVerified = reinterpret_cast<DzCopyVerifiedFunction>(
        reinterpret_cast<void*>(::GetProcAddress(m_library.get(), kCopyVerifiedExport)));
    m_fileDigest = reinterpret_cast<DzFileDigestFunction>(
        reinterpret_cast<void*>(::GetProcAddress(m_library.get(), kFileDigestExport)));
    if (m_copyVerified == nullptr || m_fileDigest == nullptr) {
        m_log.Failure(L"library", path + L" lacks DzCopyVerified or DzFileDigest",
                      ERROR_PROC_NOT_FOUND);
        return kExitLibraryFailed;
    }
    // The library reads the settings file it was shipped with.
    DWORD crc = 0;
    ULONGLONG size = 0;
    const DWORD error = m_fileDigest(Join(m_source, kSettingsName).c_str(), &crc, &size);
    if (error != ERROR_SUCCESS) {
        m_log.Failure(L"library", L"DzFileDigest of the settings file failed", error);
        return kExitLibraryFailed;
    }
    m_log.Write(L"library", path + L" loaded; settings file " + std::to_wstring(size) +
                                L" bytes, CRC-32 " + Hex(crc));
    return kExitSuccess;
}

unsigned long Setup::ResolveTarget() {
    std::wstring base;
    PWSTR known = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFilesX86, 0, nullptr, &known))) {
        base = known;
    }
    ::CoTaskMemFree(known);
    if (base.empty()) {
        for (const wchar_t* variable : {L"ProgramFiles(x86)", L"ProgramFiles"}) {
            wchar_t value[MAX_PATH];
            const DWORD length = ::GetEnvironmentVariableW(variable, value, MAX_PATH);
            if (length != 0 && length < MAX_PATH) {
                base = value;
                break;
            }
        }
    }
    if (base.empty()) {
        m_log.Failure(L"target", L"Program Files (x86) cannot be found", ERROR_PATH_NOT_FOUND);
        return kExitCopyFailed;
    }
    m_target = Join(base, m_settings.targetFolder);
    m_targetExisted = Exists(m_target);
    m_log.Write(L"target", m_target + (m_targetExisted ? L" (exists)" : L" (new)"));
    return kExitSuccess;
}

bool Setup::CheckElevated() {
    m_manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!m_manager) {
        m_log.Failure(L"rights", L"the service control manager refuses full access",
                      ::GetLastError());
        return false;
    }
    m_log.Write(L"rights", L"administrator");
    return true;
}

// --- install -------------------------------------------------------------

unsigned long Setup::RunInstall() {
    unsigned long code = ReadSettings();
    if (code == kExitSuccess) code = LoadLibrary();
    if (code == kExitSuccess && !CheckElevated()) code = kExitNotElevated;
    if (code == kExitSuccess) code = ResolveTarget();
    if (code == kExitSuccess) code = CheckPackage();
    if (code != kExitSuccess) return code;  // nothing changed yet

    code = RemoveEarlier();
    if (code != kExitSuccess) return code;
    code = CopyFiles();
    if (code == kExitSuccess && m_settings.postureService) code = InstallPosture();
    if (code == kExitSuccess && m_settings.radioService) code = InstallRadio();
    if (code == kExitSuccess && m_settings.driver) code = InstallDriver();
    if (code == kExitSuccess && m_settings.penLauncher) code = StartPenLauncher();
    if (code != kExitSuccess) {
        RollBack();
        return code;
    }
    return m_rebootNeeded ? kExitRebootRequired : kExitSuccess;
}

unsigned long Setup::CheckPackage() {
    for (const SetupItem& file : m_settings.files) {
        const std::wstring path = Join(m_source, file.name);
        if (file.required && !IsFile(path)) {
            m_log.Failure(L"package", L"missing file " + path, ERROR_FILE_NOT_FOUND);
            return kExitCopyFailed;
        }
    }
    for (const SetupItem& folder : m_settings.folders) {
        const std::wstring path = Join(m_source, folder.name);
        if (folder.required && !IsFolder(path)) {
            m_log.Failure(L"package", L"missing folder " + path, ERROR_PATH_NOT_FOUND);
            return kExitCopyFailed;
        }
    }
    m_log.Write(L"package", L"every required file and folder is in " + m_source);
    return kExitSuccess;
}

unsigned long Setup::RemoveEarlier() {
    const bool posture = ServiceExists(kPostureService);
    const bool radio = ServiceExists(kRadioService);
    if (!m_targetExisted && !posture && !radio) return kExitSuccess;
    m_log.Write(L"earlier installation", L"found: stopping it before the files are replaced");
    bool ok = StopPenLaunchers();
    if (posture) ok = RemovePostureService() && ok;
    if (radio) ok = RemoveRadioService() && ok;
    return ok ? kExitSuccess : kExitEarlierStopFailed;
}

DWORD Setup::CopyOne(const std::wstring& from, const std::wstring& to) {
    const DWORD error = m_copyVerified(from.c_str(), to.c_str());
    if (error == ERROR_SUCCESS_REBOOT_REQUIRED) {
        m_rebootNeeded = true;
        m_log.Write(L"copy", to + L" is in use: replaced at the next restart");
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS) m_log.Failure(L"copy", from + L" -> " + to, error);
    return error;
}

DWORD Setup::CopyFolder(const std::wstring& from, const std::wstring& to) {
    DWORD error = CreateFolders(to);
    if (error != ERROR_SUCCESS) {
        m_log.Failure(L"copy", L"cannot create " + to, error);
        return error;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(Join(from, L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return ERROR_SUCCESS;  // an empty folder
    struct FindCloser {
        HANDLE handle;
        ~FindCloser() { ::FindClose(handle); }
    } closer{find};
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            error = CopyFolder(Join(from, name), Join(to, name));
        } else {
            error = CopyOne(Join(from, name), Join(to, name));
        }
        if (error != ERROR_SUCCESS) return error;
    } while (::FindNextFileW(find, &data));
    return ERROR_SUCCESS;
}

unsigned long Setup::CopyFiles() {
    DWORD error = CreateFolders(m_target);
    if (error != ERROR_SUCCESS) {
        m_log.Failure(L"copy", L"cannot create " + m_target, error);
        return kExitCopyFailed;
    }
    unsigned copied = 0;
    for (const SetupItem& file : m_settings.files) {
        const std::wstring from = Join(m_source, file.name);
        if (!file.required && !IsFile(from)) {
            m_log.Write(L"copy", file.name + L" is optional and not in the package");
            continue;
        }
        const std::wstring to = Join(m_target, file.name);
        error = CreateFolders(Parent(to));
        if (error == ERROR_SUCCESS) error = CopyOne(from, to);
        if (error != ERROR_SUCCESS) return kExitCopyFailed;
        ++copied;
    }
    for (const SetupItem& folder : m_settings.folders) {
        const std::wstring from = Join(m_source, folder.name);
        if (!folder.required && !IsFolder(from)) {
            m_log.Write(L"copy", folder.name + L" is optional and not in the package");
            continue;
        }
        if (CopyFolder(from, Join(m_target, folder.name)) != ERROR_SUCCESS) return kExitCopyFailed;
        ++copied;
    }
    m_log.Write(L"copy", std::to_wstring(copied) + L" files and folders copied and verified into " +
                             m_target);
    return kExitSuccess;
}

unsigned long Setup::InstallPosture() {
    DWORD exitCode = 0;
    const std::wstring exe = Join(m_target, L"POSTURESVC.exe");
    if (!RunProgram(L"posture service install", exe, L"/CHECK_AND_INSTALL", &exitCode)) {
        return kExitPostureInstallFailed;
    }
    // 1: checked and installed; -1: this machine has none of the indicators.
    if (exitCode != 1 || !ServiceExists(kPostureService)) {
        m_log.Failure(L"posture service install",
                      L"POSTURESVC.exe /CHECK_AND_INSTALL ended with " + Hex(exitCode) +
                          (ServiceExists(kPostureService) ? L"" : L" and installed no service"),
                      ERROR_SERVICE_DOES_NOT_EXIST);
        return kExitPostureInstallFailed;
    }
    m_log.Write(L"posture service install", L"POSTURESVC installed");

    const nrv::UniqueServiceHandle service(
        ::OpenServiceW(m_manager.get(), kPostureService, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service || !::StartServiceW(service.get(), 0, nullptr)) {
        m_log.Failure(L"posture service start", L"POSTURESVC does not start", ::GetLastError());
        return kExitPostureStartFailed;
    }
    const DWORD state =
        WaitForServiceState(service.get(), SERVICE_START_PENDING, kServiceTimeoutMs);
    SERVICE_STATUS status{};
    if (state == SERVICE_STOPPED && ::QueryServiceStatus(service.get(), &status) &&
        status.dwWin32ExitCode == NO_ERROR) {
        // A model with its rotation locked and no workaround needs no
        // service: it ends itself at once, and does so at each boot.
        m_log.Write(L"posture service start",
                    L"POSTURESVC started and ended itself: this model needs no posture service");
        return kExitSuccess;
    }
    if (state != SERVICE_RUNNING) {
        m_log.Failure(L"posture service start",
                      L"POSTURESVC is in state " + std::to_wstring(state) + L", not running",
                      ERROR_SERVICE_REQUEST_TIMEOUT);
        return kExitPostureStartFailed;
    }
    m_log.Write(L"posture service start", L"POSTURESVC running");
    return kExitSuccess;
}

unsigned long Setup::InstallRadio() {
    DWORD exitCode = 0;
    if (!RunProgram(L"radio service install", Join(m_target, L"RadioSvc.exe"), L"/INSTALL",
                    &exitCode)) {
        return kExitRadioInstallFailed;
    }
    const nrv::UniqueServiceHandle service(
        ::OpenServiceW(m_manager.get(), kRadioService, SERVICE_QUERY_STATUS));
    if (!service) {
        m_log.Failure(
            L"radio service install",
            L"RadioSvc.exe /INSTALL ended with " + Hex(exitCode) + L" and installed no service",
            ::GetLastError());
        return kExitRadioInstallFailed;
    }
    // The install starts it.
    const DWORD state = WaitForServiceState(service.get(), SERVICE_STOPPED, kServiceTimeoutMs);
    const DWORD final =
        state == SERVICE_START_PENDING
            ? WaitForServiceState(service.get(), SERVICE_START_PENDING, kServiceTimeoutMs)
            : state;
    if (final != SERVICE_RUNNING) {
        m_log.Failure(L"radio service install",
                      L"NRVRadioSvc is in state " + std::to_wstring(final) + L", not running",
                      ERROR_SERVICE_REQUEST_TIMEOUT);
        return kExitRadioInstallFailed;
    }
    m_log.Write(L"radio service install", L"NRVRadioSvc installed and running");
    return kExitSuccess;
}

unsigned long Setup::InstallDriver() {
    m_driverStepRan = true;
    DWORD exitCode = 0;
    if (!RunProgram(L"driver install", Join(m_target, L"btsetup.exe"), L"", &exitCode)) {
        return kExitDriverInstallFailed;
    }
    if (exitCode != 0) {
        m_log.Failure(L"driver install", L"btsetup.exe ended with " + Hex(exitCode),
                      ERROR_GEN_FAILURE);
        return kExitDriverInstallFailed;
    }
    const std::wstring driver = SystemDriverPath();
    if (!IsFile(driver)) {
        m_log.Failure(L"driver install", L"the driver is not in place: no " + driver,
                      ERROR_FILE_NOT_FOUND);
        return kExitDriverInstallFailed;
    }
    std::wstring supportDll = L"(no value)";
    nrv::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRadioSupportKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        key.put()) == ERROR_SUCCESS) {
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        if (::RegQueryValueExW(key.get(), L"SupportDLL", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS) {
            supportDll = L"\"" + std::wstring(value) + L"\"";
        }
    }
    m_log.Write(L"driver install", driver + L" in place; SupportDLL " + supportDll);
    return kExitSuccess;
}

unsigned long Setup::StartPenLauncher() {
    const std::wstring exe = Join(m_target, kPenLauncher);
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information{};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          m_target.c_str(), &startup, &information)) {
        m_log.Failure(L"pen launcher", L"cannot start " + exe, ::GetLastError());
        return kExitPenStartFailed;
    }
    const nrv::UniqueHandle process(information.hProcess);
    const nrv::UniqueHandle thread(information.hThread);
    m_log.Write(L"pen launcher",
                exe + L" started, process " + std::to_wstring(information.dwProcessId));
    return kExitSuccess;
}

// --- uninstall -----------------------------------------------------------

unsigned long Setup::RunUninstall() {
    unsigned long code = ReadSettings();
    if (code == kExitSuccess && !CheckElevated()) code = kExitNotElevated;
    if (code == kExitSuccess) code = ResolveTarget();
    if (code != kExitSuccess) return code;
    bool ok = StopPenLaunchers();
    if (ServiceExists(kPostureService)) ok = RemovePostureService() && ok;
    if (ServiceExists(kRadioService)) ok = RemoveRadioService() && ok;
    if (m_settings.driver) ok = RemoveDriver() && ok;
    ok = RemoveFiles() && ok;
    if (!ok) return kExitUninstallFailed;
    m_log.Write(L"uninstall", L"done");
    return m_rebootNeeded ? kExitRebootRequired : kExitSuccess;
}

void Setup::RollBack() {
    m_log.Write(L"roll back", L"removing what this setup installed");
    StopPenLaunchers();
    if (ServiceExists(kPostureService)) RemovePostureService();
    if (ServiceExists(kRadioService)) RemoveRadioService();
    // The driver only when this run installed it: one that was there before
    // (from another package) stays.
    if (m_driverStepRan) RemoveDriver();
    RemoveFiles();
}

bool Setup::StopPenLaunchers() {
    const nrv::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
        m_log.Failure(L"pen launcher", L"cannot list the processes", ::GetLastError());
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool ok = true;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, kPenLauncher) != 0) continue;
        const nrv::UniqueHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                          FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (!::QueryFullProcessImageNameW(process.get(), 0, image, &size)) continue;
        // Only the launcher this setup installed.
        if (::lstrcmpiW(Parent(image).c_str(), m_target.c_str()) != 0) continue;
        if (!::TerminateProcess(process.get(), 0) ||
            ::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
            m_log.Failure(L"pen launcher",
                          L"cannot end process " + std::to_wstring(entry.th32ProcessID),
                          ::GetLastError());
            ok = false;
            continue;
        }
        m_log.Write(L"pen launcher", L"ended process " + std::to_wstring(entry.th32ProcessID));
    }
    return ok;
}

bool Setup::RemovePostureService() {
    if (!StopService(kPostureService)) return false;
    const std::wstring exe = InstalledOrPackaged(L"POSTURESVC.exe");
    DWORD exitCode = 0;
    if (!RunProgram(L"posture service removal", exe, L"/CHECK_AND_UNINSTALL", &exitCode)) {
        return false;
    }
    if (exitCode != 1) {
        // -1: the machine check failed, so nothing was removed; the plain
        // removal does not check.
        m_log.Write(L"posture service removal",
                    L"/CHECK_AND_UNINSTALL ended with " + Hex(exitCode) + L": /UNINSTALL");
        if (!RunProgram(L"posture service removal", exe, L"/UNINSTALL", &exitCode)) return false;
    }
    if (!WaitForServiceGone(kPostureService)) {
        m_log.Failure(L"posture service removal", L"POSTURESVC is still installed",
                      ERROR_SERVICE_EXISTS);
        return false;
    }
    m_log.Write(L"posture service removal", L"POSTURESVC removed");
    return true;
}

bool Setup::RemoveRadioService() {
    if (!StopService(kRadioService)) return false;
    DWORD exitCode = 0;
    if (!RunProgram(L"radio service removal", InstalledOrPackaged(L"RadioSvc.exe"), L"/UNINSTALL",
                    &exitCode)) {
        return false;
    }
    if (!WaitForServiceGone(kRadioService)) {
        m_log.Failure(L"radio service removal", L"NRVRadioSvc is still installed",
                      ERROR_SERVICE_EXISTS);
        return false;
    }
    m_log.Write(L"radio service removal", L"NRVRadioSvc removed");
    return true;
}

bool Setup::RemoveDriver() {
    // btsetup has no removal: the driver package goes through dpinst's /U.
    std::wstring folder = DriverFolderOf(m_target);
    if (folder.empty()) folder = DriverFolderOf(m_source);
    if (folder.empty()) {
        m_log.Failure(L"driver removal", L"no dpinst.exe in " + m_target + L" or " + m_source,
                      ERROR_FILE_NOT_FOUND);
        return false;
    }
    DWORD exitCode = 0;
    if (!RunProgram(L"driver removal", Join(folder, L"dpinst.exe"),
                    L"/U \"" + Join(folder, kDriverInf) + L"\" /S", &exitCode)) {
        return false;
    }
    if (exitCode & kDpinstFailureBit) {
        m_log.Failure(L"driver removal", L"dpinst.exe /U ended with " + Hex(exitCode),
                      ERROR_GEN_FAILURE);
        return false;
    }
    if (exitCode & kDpinstRebootBit) m_rebootNeeded = true;
    if (!WaitForServiceGone(kDriverService) && !MarkedForDeletion(kDriverService)) {
        m_log.Failure(L"driver removal", L"the nrvrfsw service remains", ERROR_SERVICE_EXISTS);
        return false;
    }
    if (IsFile(SystemDriverPath())) {
        m_log.Failure(L"driver removal", L"the driver file remains: " + SystemDriverPath(),
                      ERROR_FILE_EXISTS);
        return false;
    }
    ClearSupportDll();
    m_log.Write(L"driver removal",
                L"driver package removed (dpinst.exe ended with " + Hex(exitCode) + L")");
    return true;
}

// An existing "SupportDLL" that names the installed library is emptied; one
// naming another library is left alone, and the value is never created or
// deleted (the Bluetooth stack owns it).
void Setup::ClearSupportDll() {
    nrv::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRadioSupportKey, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                        key.put()) != ERROR_SUCCESS) {
        return;
    }
    wchar_t value[1024] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"SupportDLL", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS) {
        return;
    }
    wchar_t expanded[1024] = {};
    if (::ExpandEnvironmentStringsW(value, expanded, 1024) == 0) return;
    bool ours = false;
    for (const wchar_t* library : {L"NrvBtRadio64.dll", L"NrvBtRadio.dll"}) {
        ours = ours || ::lstrcmpiW(expanded, Join(m_target, library).c_str()) == 0;
    }
    if (!ours) return;
    const wchar_t empty[] = L"";
    const LONG result = ::RegSetValueExW(key.get(), L"SupportDLL", 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(empty), sizeof empty);
    if (result == ERROR_SUCCESS) {
        m_log.Write(L"driver removal", L"SupportDLL named the installed library: emptied");
    } else {
        m_log.Failure(L"driver removal", L"cannot empty SupportDLL", static_cast<DWORD>(result));
    }
}

DWORD Setup::DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(Join(folder, L"*").c_str(), &data);
    DWORD result = ERROR_SUCCESS;
    if (find != INVALID_HANDLE_VALUE) {
        struct FindCloser {
            HANDLE handle;
            ~FindCloser() { ::FindClose(handle); }
        } closer{find};
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = Join(folder, name);
            DWORD error = ERROR_SUCCESS;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                error = DeleteTree(path);
            } else {
                if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
                    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                }
                if (!::DeleteFileW(path.c_str())) {
                    error = ::GetLastError();
                    if (::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
                        m_log.Write(L"file removal",
                                    path + L" is in use: removed at the next restart");
                        m_rebootNeeded = true;
                        error = ERROR_SUCCESS;
                    } else {
                        m_log.Failure(L"file removal", L"cannot delete " + path, error);
                    }
                }
            }
            if (error != ERROR_SUCCESS && result == ERROR_SUCCESS) result = error;
        } while (::FindNextFileW(find, &data));
    }
    if (!::RemoveDirectoryW(folder.c_str())) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return result;
        if (m_rebootNeeded && ::MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            return result;
        }
        if (result == ERROR_SUCCESS) result = error;
    }
    return result;
}

bool Setup::RemoveFiles() {
    if (!Exists(m_target)) {
        m_log.Write(L"file removal", m_target + L" is not there");
        return true;
    }
    const DWORD error = DeleteTree(m_target);
    if (error != ERROR_SUCCESS) {
        m_log.Failure(L"file removal", L"cannot remove " + m_target, error);
        return false;
    }
    // The company folder above, when this product was all it held.
    const std::wstring parent = Parent(m_target);
    if (Parent(m_settings.targetFolder).size() == 0) {
        // The target is directly below Program Files (x86): nothing above is ours.
    } else if (::RemoveDirectoryW(parent.c_str())) {
        m_log.Write(L"file removal", parent + L" was empty: removed");
    }
    m_log.Write(L"file removal", m_target + L" removed");
    return true;
}

// --- test-only -----------------------------------------------------------

unsigned long Setup::RunTestOnly() {
    // What the extractor's test-only mode extracts.
    const wchar_t* names[] = {kSettingsName, L"pkgsetup.exe", kLibraryName, L"pkgsetupwb.exe"};
    for (const wchar_t* name : names) {
        const std::wstring path = Join(m_source, name);
        if (!IsFile(path)) {
            m_log.Failure(L"test only", L"missing " + path, ERROR_FILE_NOT_FOUND);
            return kExitTestFilesMissing;
        }
    }
    unsigned long code = ReadSettings();
    if (code == kExitSuccess) code = LoadLibrary();
    if (code != kExitSuccess) return code;
    for (const wchar_t* name : names) {
        DWORD crc = 0;
        ULONGLONG size = 0;
        const DWORD error = m_fileDigest(Join(m_source, name).c_str(), &crc, &size);
        if (error != ERROR_SUCCESS) {
            m_log.Failure(L"test only", std::wstring(L"cannot read ") + name, error);
            return kExitLibraryFailed;
        }
        m_log.Write(L"test only", std::wstring(name) + L": " + std::to_wstring(size) +
                                      L" bytes, CRC-32 " + Hex(crc));
    }
    m_log.Write(L"test only", L"the setup's files are complete; nothing installed");
    return kExitSuccess;
}

// --- programs and services ----------------------------------------------

bool Setup::RunProgram(const std::wstring& step, const std::wstring& exe,
                       const std::wstring& arguments, DWORD* exitCode) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION information{};
    const std::wstring folder = Parent(exe);
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &information)) {
        m_log.Failure(step, L"cannot start " + commandLine, ::GetLastError());
        return false;
    }
    const nrv::UniqueHandle process(information.hProcess);
    const nrv::UniqueHandle thread(information.hThread);
    if (::WaitForSingleObject(process.get(), kProgramTimeoutMs) != WAIT_OBJECT_0) {
        m_log.Failure(step,
                      commandLine + L" did not end within " +
                          std::to_wstring(kProgramTimeoutMs / 1000) + L" s",
                      WAIT_TIMEOUT);
        ::TerminateProcess(process.get(), ERROR_TIMEOUT);
        return false;
    }
    if (!::GetExitCodeProcess(process.get(), exitCode)) {
        m_log.Failure(step, L"no exit code from " + commandLine, ::GetLastError());
        return false;
    }
    m_log.Write(step, commandLine + L" ended with " + Hex(*exitCode));
    return true;
}

bool Setup::ServiceExists(const wchar_t* name) {
    const nrv::UniqueServiceHandle service(
        ::OpenServiceW(m_manager.get(), name, SERVICE_QUERY_STATUS));
    return service.valid();
}

DWORD Setup::WaitForServiceState(SC_HANDLE service, DWORD from, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    SERVICE_STATUS status{};
    for (;;) {
        if (!::QueryServiceStatus(service, &status)) return 0;
        if (status.dwCurrentState != from || ::GetTickCount64() >= end)
            return status.dwCurrentState;
        ::Sleep(100);
    }
}

bool Setup::StopService(const wchar_t* name) {
    const nrv::UniqueServiceHandle service(
        ::OpenServiceW(m_manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        m_log.Failure(L"service stop", std::wstring(L"cannot open ") + name, error);
        return false;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        m_log.Failure(L"service stop", std::wstring(L"cannot query ") + name, ::GetLastError());
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    const nrv::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    SERVICE_STATUS stopStatus{};
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &stopStatus) &&
        ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        m_log.Failure(L"service stop", std::wstring(L"cannot stop ") + name, ::GetLastError());
        return false;
    }
    const ULONGLONG end = ::GetTickCount64() + kServiceTimeoutMs;
    SERVICE_STATUS now{};
    while (::QueryServiceStatus(service.get(), &now) && now.dwCurrentState != SERVICE_STOPPED &&
           ::GetTickCount64() < end) {
        ::Sleep(100);
    }
    if (now.dwCurrentState != SERVICE_STOPPED) {
        m_log.Failure(L"service stop", std::wstring(name) + L" does not stop",
                      ERROR_SERVICE_REQUEST_TIMEOUT);
        return false;
    }
    // Its program file is free only once the process has ended.
    if (process) ::WaitForSingleObject(process.get(), 10000);
    m_log.Write(L"service stop", std::wstring(name) + L" stopped");
    return true;
}

// A service whose driver is still loaded is deleted once it is unloaded, at
// the latest at the next restart.
bool Setup::MarkedForDeletion(const wchar_t* name) {
    const nrv::UniqueServiceHandle service(::OpenServiceW(m_manager.get(), name, DELETE));
    if (!service) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (::DeleteService(service.get())) {
        m_log.Write(L"service removal", std::wstring(name) + L" deleted");
        return true;
    }
    if (::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) return false;
    m_log.Write(L"service removal",
                std::wstring(name) + L" is marked for deletion: gone at the next restart");
    m_rebootNeeded = true;
    return true;
}

bool Setup::WaitForServiceGone(const wchar_t* name) {
    for (int i = 0; i < 100; ++i) {
        if (!ServiceExists(name)) return true;
        ::Sleep(100);
    }
    return false;
}

std::wstring Setup::InstalledOrPackaged(const std::wstring& name) const {
    const std::wstring installed = Join(m_target, name);
    return IsFile(installed) ? installed : Join(m_source, name);
}

// The folder of dpinst.exe below base, as btsetup chooses it on this system.
std::wstring Setup::DriverFolderOf(const std::wstring& base) const {
    const bool x64System = IsWow64Process() || sizeof(void*) == 8;
    for (const wchar_t* folder : {L"Drivers\\x64", L"Drivers"}) {
        if (!x64System && std::wstring(folder) == L"Drivers\\x64") continue;
        const std::wstring path = Join(base, folder);
        if (IsFile(Join(path, L"dpinst.exe"))) return path;
    }
    return {};
}

std::wstring Setup::SystemDriverPath() const {
    wchar_t windows[MAX_PATH] = {};
    ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    // A 32-bit program on 64-bit Windows sees the 64-bit system folder as Sysnative.
    return Join(windows, IsWow64Process() ? L"Sysnative\\drivers\\" : L"System32\\drivers\\") +
           kDriverFile;
}

}  // namespace

unsigned long RunSetup(const std::wstring& arguments, const std::wstring& sourceFolder,
                       std::wstring* summary) {
    const ParseResult parsed = ParseSetupCommandLine(arguments);
    std::wstring logPath;
    if (parsed.ok && parsed.options.logPath) {
        wchar_t expanded[MAX_PATH * 2] = {};
        const DWORD length =
            ::ExpandEnvironmentStringsW(parsed.options.logPath->c_str(), expanded, MAX_PATH * 2);
        logPath = length != 0 && length <= MAX_PATH * 2 ? expanded : *parsed.options.logPath;
    } else {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        logPath = Join(length != 0 ? temp : sourceFolder, L"pkgsetup.log");
    }
    SetupLog log(logPath);
    log.Write(L"start", L"pkgsetup " + arguments + L" (package folder " + sourceFolder + L")");
    if (!parsed.ok) {
        log.Failure(L"command line", parsed.error, ERROR_INVALID_PARAMETER);
        *summary = L"The setup's command line is not valid: " + parsed.error;
        return kExitBadCommandLine;
    }
    const SetupOptions& options = parsed.options;
    std::wstring details = options.mode == SetupMode::Uninstall  ? L"mode uninstall"
                           : options.mode == SetupMode::TestOnly ? L"mode test-only"
                                                                 : L"mode install";
    if (options.testRun) details += L", test run";
    if (options.silent) details += L", silent";
    if (options.automatic) details += L", automatic";
    if (options.scm) details += L", deployment tool";
    if (options.gValue >= 0) details += L", g" + std::to_wstring(options.gValue);
    if (options.hValue >= 0) details += L", h" + std::to_wstring(options.hValue);
    if (options.waitSeconds) details += L", wait " + std::to_wstring(options.waitSeconds) + L" s";
    if (options.language) details += L", language " + std::to_wstring(*options.language);
    for (const auto& [name, value] : options.slots)
        details += L", " + name + L" \"" + value + L"\"";
    log.Write(L"command line", details);

    if (options.waitSeconds != 0) ::Sleep(options.waitSeconds * 1000);
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    unsigned long code = kExitSuccess;
    {
        Setup setup(options, sourceFolder, log);
        code = setup.Run();
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    log.Write(L"end", L"exit code " + std::to_wstring(code));
    switch (code) {
        case kExitSuccess:
            *summary = options.mode == SetupMode::Uninstall ? L"NORVALE System Driver was removed."
                       : options.mode == SetupMode::TestOnly
                           ? L"The setup's files are complete."
                           : L"NORVALE System Driver was installed.";
            break;
        case kExitRebootRequired:
            *summary = L"Restart Windows to finish the setup.";
            break;
        default:
            *summary = L"The setup failed (code " + std::to_wstring(code) + L"). Its log is " +
                       log.Path() + L".";
            break;
    }
    return code;
}

}  // namespace pkgsetup
