// The setup's command line and settings file: what the self-extractor passes
// and what a package's settings may say.
#include <windows.h>

#include <gtest/gtest.h>

#include "SetupCommand.h"
#include "SetupSettings.h"
#include "TestSupport.h"

using namespace pkgsetup;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

TEST(SetupCommandLine, ReadsEverySwitchTheExtractorPasses) {
    const ParseResult result = ParseSetupCommandLine(
        L"-test -g1 -h0 -wait 5 -s -a -scm -lng 1041 -log \"C:\\My Logs\\p.log.htm\" "
        L"-model \"X 1\" -pn \"\" -setup \"a \"\"quoted\"\" b\" -setupr \"r\"");
    ASSERT_TRUE(result.ok) << testsupport::Narrow(result.error);
    const SetupOptions& o = result.options;
    EXPECT_EQ(o.mode, SetupMode::Install);
    EXPECT_TRUE(o.testRun && o.silent && o.automatic && o.scm);
    EXPECT_EQ(o.gValue, 1);
    EXPECT_EQ(o.hValue, 0);
    EXPECT_EQ(o.waitSeconds, 5u);
    EXPECT_EQ(o.language, 1041u);
    EXPECT_EQ(o.logPath, L"C:\\My Logs\\p.log.htm");
    ASSERT_EQ(o.slots.size(), 4u);
    EXPECT_EQ(o.slots[1].second, L"");
    EXPECT_EQ(o.slots[2].first, L"setup");
    EXPECT_EQ(o.slots[2].second, L"a \"quoted\" b");

    EXPECT_EQ(ParseSetupCommandLine(L"").options.mode, SetupMode::Install);
    EXPECT_EQ(ParseSetupCommandLine(L"-TESTONLY").options.mode, SetupMode::TestOnly);
    EXPECT_EQ(ParseSetupCommandLine(L"/Uninstall /S").options.mode, SetupMode::Uninstall);
    EXPECT_EQ(ArgumentsOf(L"\"C:\\a b\\pkgsetup.exe\"  -s -a"), L"-s -a");
    EXPECT_EQ(ArgumentsOf(L"pkgsetup.exe -s"), L"-s");
}

TEST(SetupCommandLine, RefusesWhatItCannotRead) {
    for (const wchar_t* bad :
         {L"-x", L"s", L"-wait", L"-wait 3601", L"-wait -1", L"-lng 65536", L"-log", L"-log \"\"",
          L"-log \"open", L"-model \"a\"b", L"-uninstall -testonly"}) {
        EXPECT_FALSE(ParseSetupCommandLine(bad).ok) << testsupport::Narrow(bad);
    }
}

TEST(SetupSettingsFile, AcceptsOnlyNamesInsideTheFolders) {
    for (const wchar_t* good : {L"a.exe", L"Drivers\\x64\\nrvrfsw.inf", L"NORVALE\\Product"}) {
        EXPECT_TRUE(IsSafeRelativePath(good)) << testsupport::Narrow(good);
    }
    for (const wchar_t* bad : {L"", L"C:\\x", L"\\x", L"..\\x", L"a\\..\\..\\b", L"a\\\\b", L"a.",
                               L"a:b", L"a\\", L"x*"}) {
        EXPECT_FALSE(IsSafeRelativePath(bad)) << testsupport::Narrow(bad);
    }

    TempDir folder;
    const std::wstring path = folder / L"pkgsetupwb.exe.ini";
    EXPECT_FALSE(ReadSetupSettings(path).ok);  // missing
    WriteFileBytes(path,
                   "[Setup]\r\nTargetFolder=NORVALE\\Product\r\nRadioService=1\r\n"
                   "[Files]\r\nRadioSvc.exe=required\r\nDbgLog.ini=Optional\r\n"
                   "[Folders]\r\nDrivers=required\r\n");
    const SettingsResult result = ReadSetupSettings(path);
    ASSERT_TRUE(result.ok) << testsupport::Narrow(result.error);
    EXPECT_EQ(result.settings.targetFolder, L"NORVALE\\Product");
    EXPECT_TRUE(result.settings.radioService);
    EXPECT_FALSE(result.settings.postureService);
    ASSERT_EQ(result.settings.files.size(), 2u);
    EXPECT_FALSE(result.settings.files[1].required);
    ASSERT_EQ(result.settings.folders.size(), 1u);

    // A program the setup runs but does not install.
    WriteFileBytes(path,
                   "[Setup]\r\nTargetFolder=P\r\nDriver=1\r\n[Files]\r\nRadioSvc.exe=required\r\n");
    EXPECT_FALSE(ReadSetupSettings(path).ok);
    WriteFileBytes(
        path, "[Setup]\r\nTargetFolder=P\r\nDriver=yes\r\n[Files]\r\nbtsetup.exe=required\r\n");
    EXPECT_FALSE(ReadSetupSettings(path).ok);
    WriteFileBytes(path, "[Setup]\r\nTargetFolder=P\r\n[Files]\r\n");
    EXPECT_FALSE(ReadSetupSettings(path).ok);
    WriteFileBytes(path, "[Setup]\r\nTargetFolder=C:\\P\r\n[Files]\r\na=required\r\n");
    EXPECT_FALSE(ReadSetupSettings(path).ok);
}
