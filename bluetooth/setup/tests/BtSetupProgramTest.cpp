// The installer program run from a package folder, with a substitute
// dpinst.exe in its driver folder. In the x86 tree it is btsetup.exe itself
// (64-bit Windows under WOW64: "Drivers\x64"); in the x64 tree the same
// program built for x64 sees 64-bit Windows as 32-bit Windows ("Drivers",
// never registered). The radio switch device is absent here.
#include "RadioSupportKey.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;
using bttest::RadioSupportKey;

namespace {

#ifdef _WIN64
const wchar_t kProgram[] = L"btsetup_native.exe";
const wchar_t kDriverFolder[] = L"Drivers";
#else
const wchar_t kProgram[] = L"btsetup.exe";
const wchar_t kDriverFolder[] = L"Drivers\\x64";
#endif

class BtSetupProgram : public ::testing::Test {
protected:
    TempDir package;
    RadioSupportKey key;

    std::wstring DriverFolder() const { return package / kDriverFolder; }

    void SetUp() override {
        ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\" + kProgram, package / L"btsetup.exe"));
    }

    void AddDriverSetup() {
        ASSERT_TRUE(::CreateDirectoryW((package / L"Drivers").c_str(), nullptr));
        ::CreateDirectoryW(DriverFolder().c_str(), nullptr);
        ASSERT_TRUE(
            CopyInto(ExeDirectory() + L"\\dpinst_double.exe", DriverFolder() + L"\\dpinst.exe"));
    }

    // Runs the installer from the package folder, started from elsewhere;
    // returns how long it ran, in milliseconds.
    ULONGLONG RunInstaller() {
        const ULONGLONG start = ::GetTickCount64();
        ProcessOptions options;
        options.workingDirectory = ExeDirectory();
        const ProcessResult result = RunProcess(package / L"btsetup.exe", L"", options);
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0u);
        return ::GetTickCount64() - start;
    }
};

}  // namespace

TEST_F(BtSetupProgram, RunsTheDriverSetupInItsFolderAndWaitsForIt) {
    AddDriverSetup();
    key.Set(std::string("C:\\Old\\Other.dll") + '\0');

    const ULONGLONG elapsed = RunInstaller();
    // The substitute's 1.5 s (the installer's own second runs meanwhile).
    EXPECT_GE(elapsed, 1500u);
    const std::vector<std::string> record =
        SplitLines(ReadFileBytes(DriverFolder() + L"\\dpinst-record.txt"));
    ASSERT_EQ(record.size(), 2u) << "dpinst.exe did not run, or was not waited for";
    EXPECT_EQ(record[0], "folder=" + Narrow(DriverFolder()));
    // Started without a command line of its own: the system gives it the
    // program's path (Wine quotes it).
    std::string command = record[1].substr(record[1].find('=') + 1);
    if (command.size() >= 2 && command.front() == '"' && command.back() == '"') {
        command = command.substr(1, command.size() - 2);
    }
    EXPECT_EQ(command, Narrow(DriverFolder() + L"\\dpinst.exe"));

    // Whatever registration did, the device is absent: the value is emptied.
    EXPECT_EQ(key.Value(), std::string(1, '\0'));
}

TEST_F(BtSetupProgram, WithoutDriverSetupTheRestStillRuns) {
    key.Set(std::string("C:\\Old\\Other.dll") + '\0');
    EXPECT_LT(RunInstaller(), 1000u) << "nothing to wait for";
    EXPECT_EQ(key.Value(), std::string(1, '\0'));

    // A driver folder without dpinst.exe is the same.
    ASSERT_TRUE(::CreateDirectoryW((package / L"Drivers").c_str(), nullptr));
    ::CreateDirectoryW(DriverFolder().c_str(), nullptr);
    key.Set(std::string("C:\\Old\\Other.dll") + '\0');
    RunInstaller();
    EXPECT_EQ(key.Value(), std::string(1, '\0'));
}

TEST_F(BtSetupProgram, NeverCreatesTheRegistration) {
    key.DeleteValue();
    RunInstaller();
    EXPECT_FALSE(key.Value());
    key.DeleteKey();
    RunInstaller();
    EXPECT_FALSE(RadioSupportKey::Exists());
}
