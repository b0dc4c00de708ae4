// The setup program end to end under Wine, on the simulated notebook: the
// value-added device (posture indicators), the radio managers and the ACPI
// radio switch device. The package folder is laid out from the build tree's
// programs as the extractor leaves it. The suite starts from a notebook
// whose radio switch device has no driver (dpinst /U) and puts the driver
// back at its end, as the "btsim" fixture had it.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BtSimClient.h"
#include "PkgSetupCodes.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

using namespace testsupport;
namespace reg = acpibt::registry;

namespace {

constexpr wchar_t kPostureKey[] =
    L"SOFTWARE\\NORVALE\\NORVALE System Driver\\NORVALE Posture Service";
constexpr wchar_t kNorvaleKey[] = L"SOFTWARE\\NORVALE";

const wchar_t* const kPrograms[] = {L"pkgsetup.exe",       L"pkgsetupwb.exe",  L"DEDUZ45O.DLL",
                                    L"pkgsetupwb.exe.ini", L"POSTURESVC.exe",  L"POSTURESVC.ini",
                                    L"POSTURESVCINST.exe", L"RadioSvc.exe",    L"NrvPenNote.exe",
                                    L"btsetup.exe",        L"NrvBtRadio64.dll"};
// The x64 btsetup looks for its driver package in "Drivers".
const wchar_t* const kDriverFiles[] = {L"dpinst.exe", L"nrvrfsw.inf", L"nrvrfsw.sys"};

std::wstring Windows() {
    wchar_t path[MAX_PATH] = {};
    ::GetSystemWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring Target() {
    wchar_t path[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"ProgramFiles(x86)", path, MAX_PATH);
    return std::wstring(path) + L"\\NORVALE\\NORVALE System Driver";
}

DWORD StateOf(const wchar_t* name) {
    const nrv::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const nrv::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    return service ? ServiceState(service.get()) : 0;
}

DWORD ProcessOf(const wchar_t* name) {
    const nrv::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const nrv::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    return service ? ServiceProcessId(service.get()) : 0;
}

// The process ids of the pen launchers running from the installed folder.
std::vector<DWORD> PenLaunchers() {
    std::vector<DWORD> ids;
    const nrv::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, L"NrvPenNote.exe") != 0) continue;
        const nrv::UniqueHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        wchar_t image[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            ::lstrcmpiW(image, (Target() + L"\\NrvPenNote.exe").c_str()) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

bool KeyExists(const wchar_t* key) {
    nrv::UniqueHKey handle;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, handle.put()) ==
           ERROR_SUCCESS;
}

void DeleteKey(const wchar_t* key) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
}

// dpinst.exe of the build tree run from a folder holding the driver package.
DWORD RunDpinst(const std::wstring& arguments) {
    TempDir folder;
    for (const wchar_t* file : kDriverFiles) {
        EXPECT_TRUE(CopyInto(ExeDirectory() + L"\\" + file, folder / file)) << Narrow(file);
    }
    ProcessOptions options;
    options.workingDirectory = folder.Path();
    options.timeoutMs = 120000;
    const ProcessResult result = RunProcess(folder / L"dpinst.exe", arguments, options);
    EXPECT_TRUE(result.started && !result.timedOut);
    return result.exitCode;
}

class PkgSetup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A notebook as it comes: the device is there, its driver is not.
        const DWORD removed = RunDpinst(L"/U nrvrfsw.inf /S");
        EXPECT_EQ(removed & 0x80000000u, 0u) << std::hex << removed;
        EXPECT_FALSE(FileExists(Windows() + L"\\system32\\drivers\\nrvrfsw.sys"));
        ASSERT_TRUE(WaitFor([] { return !acpibt::FindRadioInterface(); }, 10000))
            << "the radio switch driver is still loaded";
    }

    // The restart-time deletions the runs scheduled (of the loaded driver's
    // file, moved aside) are forgotten: this prefix is not restarted.
    static void ForgetPendingDeletions() {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE,
                             L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                             L"PendingFileRenameOperations");
    }

    static void TearDownTestSuite() {
        ForgetPendingDeletions();
        // The driver back, as the fixture left it for the tests after these.
        const DWORD installed = RunDpinst(L"/S /SE /SW");
        EXPECT_EQ(installed, 0x0101u) << std::hex << installed;
        EXPECT_TRUE(WaitFor([] { return acpibt::FindRadioInterface().has_value(); }, 30000));
        ::DeleteFileW((Windows() + L"\\DPINST.LOG").c_str());
    }

    // The log of a run without "-log" (a bad command line has none).
    static std::wstring DefaultLog() {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        return std::wstring(temp) + L"pkgsetup.log";
    }

    void SetUp() override {
        defaultLogExisted = FileExists(DefaultLog());
        ASSERT_FALSE(DirectoryExists(Target())) << "a setup is installed already";
        // What Windows' Bluetooth stack and hotkey driver have on the notebook.
        ASSERT_TRUE(reg::SetString(reg::kRadioSupport, L"SupportDLL",
                                   L"C:\\windows\\system32\\OtherRadio.dll"));
        ASSERT_TRUE(reg::CreateKey(reg::kKeyhubParameters));
    }

    void TearDown() override {
        if (!defaultLogExisted) ::DeleteFileW(DefaultLog().c_str());
        // Whatever a failed test left: the setup's own removal, then by hand.
        if (DirectoryExists(Target()) || StateOf(L"POSTURESVC") || StateOf(L"NRVRadioSvc")) {
            RunSetup(package, L"-uninstall -s");
        }
        const nrv::UniqueServiceHandle manager(
            ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        StopAndDeleteService(manager.get(), L"POSTURESVC");
        StopAndDeleteService(manager.get(), L"NRVRadioSvc");
        DeleteKey(kPostureKey);
        // Its parents, when they hold nothing else (a key with subkeys stays).
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NORVALE\\NORVALE System Driver",
                          KEY_WOW64_64KEY, 0);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kNorvaleKey, KEY_WOW64_64KEY, 0);
        reg::DeleteValue(reg::kDriverParameters, L"PkgSetupMark");
        reg::Clean();
    }

    // A package folder as the extractor leaves it.
    void LayOutPackage(const std::wstring& folder) {
        for (const wchar_t* file : kPrograms) {
            ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\" + file, folder + L"\\" + file))
                << Narrow(file);
        }
        ASSERT_TRUE(::CreateDirectoryW((folder + L"\\Drivers").c_str(), nullptr));
        for (const wchar_t* file : kDriverFiles) {
            ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\" + file, folder + L"\\Drivers\\" + file));
        }
        // The 32-bit library is built in the x86 tree only.
        ASSERT_TRUE(::WritePrivateProfileStringW(L"Files", L"NrvBtRadio.dll", L"optional",
                                                 (folder + L"\\pkgsetupwb.exe.ini").c_str()));
    }

    DWORD RunSetup(const std::wstring& folder, const std::wstring& arguments) {
        ProcessOptions options;
        options.workingDirectory = folder;
        options.timeoutMs = 240000;
        const ProcessResult result = RunProcess(folder + L"\\pkgsetupwb.exe", arguments, options);
        EXPECT_TRUE(result.started && !result.timedOut) << Narrow(arguments);
        return result.exitCode;
    }

    std::string Log() { return ReadFileBytes(logs / L"setup.log"); }

    bool defaultLogExisted = false;
    TempDir packageDir;
    TempDir logs;
    std::wstring package = packageDir.Path();
};

TEST_F(PkgSetup, InstallsUpgradesAndUninstalls) {
    LayOutPackage(package);
    const std::wstring log = logs / L"setup.log";

    // Install.
    ASSERT_EQ(RunSetup(package, L"-test -s -a -lng 1033 -log \"" + log + L"\""), 0u) << Log();
    for (const wchar_t* file : kPrograms) {
        if (std::wstring(file).rfind(L"pkgsetup", 0) == 0 ||
            file == std::wstring(L"DEDUZ45O.DLL")) {
            continue;  // the setup's own files stay in the package
        }
        EXPECT_TRUE(FileExists(Target() + L"\\" + file)) << Narrow(file);
        EXPECT_EQ(ReadFileBytes(Target() + L"\\" + file), ReadFileBytes(package + L"\\" + file));
    }
    for (const wchar_t* file : kDriverFiles) {
        EXPECT_TRUE(FileExists(Target() + L"\\Drivers\\" + file)) << Narrow(file);
    }
    EXPECT_EQ(StateOf(L"POSTURESVC"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(StateOf(L"NRVRadioSvc"), static_cast<DWORD>(SERVICE_RUNNING));
    // The driver came up above the device, through btsetup and dpinst.
    EXPECT_TRUE(WaitFor([] { return acpibt::FindRadioInterface().has_value(); }, 10000));
    EXPECT_TRUE(acpibt::WaitAndOpenRadio().valid());
    EXPECT_TRUE(FileExists(Windows() + L"\\system32\\drivers\\nrvrfsw.sys"));
    EXPECT_TRUE(FileExists(Windows() + L"\\inf\\nrvrfsw.inf"));
    // "SupportDLL" names the installed library (the x64 btsetup leaves it to
    // the driver, which repairs it at its start).
    const auto supportDll = reg::GetString(reg::kRadioSupport, L"SupportDLL");
    ASSERT_TRUE(supportDll.has_value());
    wchar_t expanded[MAX_PATH] = {};
    ::ExpandEnvironmentStringsW(supportDll->c_str(), expanded, MAX_PATH);
    EXPECT_EQ(::lstrcmpiW(expanded, (Target() + L"\\NrvBtRadio64.dll").c_str()), 0)
        << Narrow(*supportDll);
    // The log: every step, the run marked as a test, the language.
    const std::string text = Log();
    EXPECT_NE(text.find("test run"), std::string::npos) << text;
    EXPECT_NE(text.find("language 1033"), std::string::npos);
    EXPECT_NE(text.find("POSTURESVC running"), std::string::npos);
    EXPECT_NE(text.find("NRVRadioSvc installed and running"), std::string::npos);
    EXPECT_NE(text.find("end: exit code 0"), std::string::npos);
    EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
    // The radio service records the LED state; the posture checks their decisions.
    EXPECT_TRUE(WaitFor(
        [] { return reg::GetDword(reg::kKeyhubParameters, L"LEDSTATE").has_value(); }, 10000));

    // The pen launcher runs in this session.
    ASSERT_TRUE(WaitFor([] { return PenLaunchers().size() == 1; }, 10000));
    const DWORD penPid = PenLaunchers()[0];

    // Over itself: both services replaced and running again.
    const DWORD posturePid = ProcessOf(L"POSTURESVC");
    const DWORD radioPid = ProcessOf(L"NRVRadioSvc");
    ASSERT_TRUE(reg::SetDword(reg::kDriverParameters, L"PkgSetupMark", 7));
    // A decision of the posture checks (this machine's model needs none).
    {
        nrv::UniqueHKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPostureKey, 0, nullptr, 0,
                                    KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const DWORD one = 1;
        ASSERT_EQ(::RegSetValueExW(key.get(), L"NoWorkaround", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&one), sizeof one),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), 0u) << Log();
    EXPECT_EQ(StateOf(L"POSTURESVC"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(StateOf(L"NRVRadioSvc"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(ProcessOf(L"POSTURESVC"), posturePid);
    EXPECT_NE(ProcessOf(L"NRVRadioSvc"), radioPid);
    EXPECT_NE(Log().find("earlier installation"), std::string::npos);
    // The earlier pen launcher ended, a new one started.
    EXPECT_TRUE(WaitFor([&] {
        const std::vector<DWORD> ids = PenLaunchers();
        return ids.size() == 1 && ids[0] != penPid;
    }));
    EXPECT_TRUE(acpibt::FindRadioInterface().has_value());

    // Uninstall: what the setup installed is gone, what the system keeps stays.
    // Wine keeps the driver loaded once its device is gone: its file is
    // deleted at the next restart, which the setup reports.
    const DWORD uninstalled = RunSetup(package, L"-uninstall -s -log \"" + log + L"\"");
    ASSERT_TRUE(uninstalled == 0 || uninstalled == pkgsetup::kExitRebootRequired)
        << uninstalled << Log();
    EXPECT_EQ(StateOf(L"POSTURESVC"), 0u);
    EXPECT_EQ(StateOf(L"NRVRadioSvc"), 0u);
    // Wine keeps a driver loaded (and its service running) once its device
    // is gone: the service is then only marked for deletion, gone at the
    // restart the setup asks for.
    if (StateOf(L"nrvrfsw") != 0) {
        EXPECT_EQ(uninstalled, pkgsetup::kExitRebootRequired);
        const nrv::UniqueServiceHandle manager(
            ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const nrv::UniqueServiceHandle driver(::OpenServiceW(manager.get(), L"nrvrfsw", DELETE));
        ASSERT_TRUE(driver.valid());
        EXPECT_FALSE(::DeleteService(driver.get()));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
    EXPECT_TRUE(WaitFor([] { return !acpibt::FindRadioInterface(); }, 10000));
    EXPECT_FALSE(FileExists(Windows() + L"\\system32\\drivers\\nrvrfsw.sys"));
    EXPECT_FALSE(FileExists(Windows() + L"\\inf\\nrvrfsw.inf"));
    EXPECT_FALSE(DirectoryExists(Target()));
    EXPECT_TRUE(PenLaunchers().empty());
    EXPECT_EQ(reg::GetString(reg::kRadioSupport, L"SupportDLL"), std::wstring());
    EXPECT_TRUE(KeyExists(kPostureKey));
    EXPECT_TRUE(reg::GetDword(reg::kKeyhubParameters, L"LEDSTATE").has_value());
    EXPECT_EQ(reg::GetDword(reg::kDriverParameters, L"PkgSetupMark"), 7u);
}

TEST_F(PkgSetup, RefusesABrokenPackageWithoutInstallingAnything) {
    LayOutPackage(package);
    const std::wstring log = logs / L"setup.log";
    const std::wstring settings = package + L"\\pkgsetupwb.exe.ini";
    const std::string goodSettings = ReadFileBytes(settings);

    // A program missing from the package: nothing is touched.
    ASSERT_TRUE(::DeleteFileW((package + L"\\RadioSvc.exe").c_str()));
    EXPECT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), pkgsetup::kExitCopyFailed);
    EXPECT_NE(Log().find("missing file"), std::string::npos) << Log();
    EXPECT_FALSE(DirectoryExists(Target()));
    EXPECT_EQ(StateOf(L"POSTURESVC"), 0u);
    EXPECT_EQ(StateOf(L"NRVRadioSvc"), 0u);
    ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\RadioSvc.exe", package + L"\\RadioSvc.exe"));

    // Settings missing, then malformed.
    ASSERT_TRUE(::DeleteFileW(settings.c_str()));
    EXPECT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), pkgsetup::kExitSettingsInvalid);
    WriteFileBytes(settings, goodSettings);
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Setup", L"TargetFolder", L"..\\..\\Windows",
                                             settings.c_str()));
    EXPECT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), pkgsetup::kExitSettingsInvalid);
    WriteFileBytes(settings, goodSettings);
    ASSERT_TRUE(
        ::WritePrivateProfileStringW(L"Files", L"RadioSvc.exe", L"maybe", settings.c_str()));
    EXPECT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), pkgsetup::kExitSettingsInvalid);
    WriteFileBytes(settings, goodSettings);

    // The library missing.
    ASSERT_TRUE(::DeleteFileW((package + L"\\DEDUZ45O.DLL").c_str()));
    EXPECT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), pkgsetup::kExitLibraryFailed);

    // A bad command line.
    EXPECT_EQ(RunSetup(package, L"-s -frobnicate"), pkgsetup::kExitBadCommandLine);
    EXPECT_EQ(RunSetup(package, L"-s -log \"unclosed"), pkgsetup::kExitBadCommandLine);
    EXPECT_NE(ReadFileBytes(DefaultLog()).find("command line: FAILED"), std::string::npos);

    const std::string text = Log();
    EXPECT_NE(text.find("settings: FAILED"), std::string::npos) << text;
    EXPECT_NE(text.find("library: FAILED"), std::string::npos) << text;
    EXPECT_FALSE(DirectoryExists(Target()));
    EXPECT_EQ(StateOf(L"POSTURESVC"), 0u);
    EXPECT_EQ(StateOf(L"NRVRadioSvc"), 0u);
}

TEST_F(PkgSetup, AFailedStepRemovesWhatTheRunInstalled) {
    LayOutPackage(package);
    const std::wstring log = logs / L"setup.log";
    // A radio service program that installs nothing (the launcher ignores
    // "/INSTALL" and exits 0): the posture service is installed and running
    // by then, the files are in place.
    ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\POSTURESVCINST.exe", package + L"\\RadioSvc.exe"));
    EXPECT_EQ(RunSetup(package, L"-s -log \"" + log + L"\""), pkgsetup::kExitRadioInstallFailed);
    const std::string text = Log();
    EXPECT_NE(text.find("POSTURESVC running"), std::string::npos) << text;
    EXPECT_NE(text.find("radio service install: FAILED"), std::string::npos) << text;
    EXPECT_NE(text.find("roll back"), std::string::npos) << text;
    EXPECT_EQ(StateOf(L"POSTURESVC"), 0u);
    EXPECT_EQ(StateOf(L"NRVRadioSvc"), 0u);
    EXPECT_FALSE(DirectoryExists(Target()));
    EXPECT_FALSE(acpibt::FindRadioInterface().has_value()) << "btsetup ran after the failure";
}

TEST_F(PkgSetup, TestOnlyChecksTheSetupsFilesAndInstallsNothing) {
    // What the extractor's test-only mode extracts, and nothing else.
    for (const wchar_t* file :
         {L"pkgsetupwb.exe.ini", L"pkgsetup.exe", L"DEDUZ45O.DLL", L"pkgsetupwb.exe"}) {
        ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\" + file, package + L"\\" + file));
    }
    const std::wstring log = logs / L"setup.log";
    EXPECT_EQ(RunSetup(package, L"-testonly -s -log \"" + log + L"\""), 0u) << Log();
    EXPECT_NE(Log().find("nothing installed"), std::string::npos) << Log();
    EXPECT_FALSE(DirectoryExists(Target()));
    EXPECT_EQ(StateOf(L"POSTURESVC"), 0u);

    ASSERT_TRUE(::DeleteFileW((package + L"\\DEDUZ45O.DLL").c_str()));
    EXPECT_EQ(RunSetup(package, L"-testonly -s -log \"" + log + L"\""),
              pkgsetup::kExitTestFilesMissing);
}

}  // namespace
