// A package folder holding the installer program (in the x86 tree running
// under WOW64: driver folder "Drivers\x64"; in the x64 tree built for x64,
// where it sees 64-bit Windows as 32-bit Windows: "Drivers", never
// registered) and, on demand, a substitute
// dpinst.exe in its driver folder; runs the installer from there.
#pragma once

#include "RadioSupportKey.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace bttest {

using namespace testsupport;

#ifdef _WIN64
const wchar_t kDriverFolder[] = L"Drivers";
#else
const wchar_t kDriverFolder[] = L"Drivers\\x64";
#endif

class BtSetupProgram : public ::testing::Test {
protected:
    TempDir package;
    RadioSupportKey key;

    std::wstring DriverFolder() const { return package / kDriverFolder; }

    void SetUp() override {
        ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\btsetup.exe", package / L"btsetup.exe"));
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

}  // namespace bttest
