// selfextract.exe itself in the modes without a window: verify only and
// test-only (with a substitute setup program), and the library search.
#include "PackageFixture.h"

using namespace sfxtest;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

struct Program : ::testing::Test {
    TempDir temp;
    std::wstring source = temp / L"source";
    std::wstring package = temp / L"pkg.exe";
    std::wstring record = temp / L"record.txt";

    // The files a test-only run needs, and one it must leave in the archive.
    void SetUp() override {
        ::CreateDirectoryW(source.c_str(), nullptr);
        const std::wstring setup = testsupport::ExeDirectory() + L"\\sxsetup.exe";
        ASSERT_TRUE(::CopyFileW(setup.c_str(), (source + L"\\pkgsetup.exe").c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(setup.c_str(), (source + L"\\pkgsetupwb.exe").c_str(), FALSE));
        WriteFileBytes(source + L"\\pkgsetupwb.exe.ini", "[setup]\r\n");
        WriteFileBytes(source + L"\\extra.dll", "extra");
        WriteFileBytes(source + L"\\DEDUZ45O.DLL", "dll");
        WriteFileBytes(source + L"\\big.bin", std::string(300000, 'b'));
        sfx::DescriptionText text;
        text.command = L"pkgsetup.exe";
        text.extraFile = L"extra.dll";
        buildPackage(source, package, text);
    }
    testsupport::ProcessResult run(const std::wstring& args, const std::wstring& exitCode = L"0") {
        testsupport::ProcessOptions options;
        options.environment[L"NRV_SETUP_RECORD"] = record;
        options.environment[L"NRV_SETUP_EXIT"] = exitCode;
        options.timeoutMs = 60000;
        return testsupport::RunProcess(package, args, options);
    }
    std::vector<std::string> recorded() { return testsupport::SplitLines(ReadFileBytes(record)); }
};

TEST_F(Program, TestOnlyInANewFolderRunsTheSetupAndRemovesTheFolder) {
    const std::wstring folder = temp / L"new folder";
    const auto result = run(L"/TESTONLY \"/D" + folder + L"\" /G1", L"7");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 7u);
    const auto lines = recorded();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("-testonly -g1"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], testsupport::Narrow(folder));
    EXPECT_EQ(lines[2], testsupport::Narrow(folder + L"\\pkgsetupwb.exe"));
    for (const char* name :
         {"pkgsetup.exe", "pkgsetupwb.exe", "pkgsetupwb.exe.ini", "extra.dll", "DEDUZ45O.DLL"})
        EXPECT_NE(lines[3].find(name), std::string::npos) << name;
    EXPECT_EQ(lines[3].find("big.bin"), std::string::npos);
    EXPECT_FALSE(testsupport::DirectoryExists(folder));
}

TEST_F(Program, TestOnlyInAFolderThatHeldFilesRemovesOnlyWhatItExtracted) {
    const std::wstring folder = temp / L"Documents";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileBytes(folder + L"\\mine.txt", "keep me");
    const auto result = run(L"/TESTONLY /D" + folder, L"3");
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(ReadFileBytes(folder + L"\\mine.txt"), "keep me");
    EXPECT_EQ(filesUnder(folder), std::vector<std::wstring>{L"mine.txt"});
}

TEST_F(Program, TheWaitEndsWhenTheSetupEndsWithCode259) {
    const auto result = run(L"/TESTONLY /D" + (temp / L"x"), L"259");
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 259u);
}

TEST_F(Program, VerifyOnlyAndMissingFilesGiveTheNegativeDisplayedNumber) {
    EXPECT_EQ(run(L"/V").exitCode, 0u);
    EXPECT_FALSE(FileExists(record));
    // The test-only list names a file the archive lacks: -117 (0x210000D9).
    ::DeleteFileW((source + L"\\DEDUZ45O.DLL").c_str());
    sfx::DescriptionText text;
    text.command = L"pkgsetup.exe";
    sfxpack::PackageReport report;
    buildPackage(source, package, text, false, &report);
    EXPECT_EQ(static_cast<int>(run(L"/TESTONLY /D" + (temp / L"y")).exitCode), -117);
    EXPECT_FALSE(FileExists(record));
    // The program with its description but no archive: -114 (0x210000D6).
    WriteFileBytes(package, ReadFileBytes(package).substr(0, report.imageBytes));
    EXPECT_EQ(static_cast<int>(run(L"/V").exitCode), -114);
}

TEST(LibrarySearch, APlantedLibraryBesideTheProgramIsNotLoaded) {
    TempDir downloads;
    const std::wstring bin = testsupport::ExeDirectory();
    ASSERT_TRUE(::CopyFileW((bin + L"\\sxdllprobe.exe").c_str(), (downloads / L"probe.exe").c_str(),
                            FALSE));
    ASSERT_TRUE(::CopyFileW((bin + L"\\sxplanted.dll").c_str(),
                            (downloads / L"sxplanted.dll").c_str(), FALSE));
    // Without the restriction the library beside the program is taken...
    EXPECT_EQ(testsupport::RunProcess(downloads / L"probe.exe", L"").exitCode, 1u);
    // ...with it, only the system folder counts.
    EXPECT_EQ(testsupport::RunProcess(downloads / L"probe.exe", L"--restrict").exitCode, 0u);
}

}  // namespace
