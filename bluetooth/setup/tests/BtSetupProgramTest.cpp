// The installer program run from a package folder, with a substitute
// dpinst.exe in its driver folder. The radio switch device is absent here.
#include "BtSetupPackage.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;
using bttest::BtSetupProgram;
using bttest::RadioSupportKey;

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
