// selfextract.exe meeting a write that fails, started by write-failure.sh:
// a full disk (a 1 MiB filesystem mounted for the run, NRV_SMALL_DISK) and a
// file-size limit on the process (write() fails with EFBIG,
// NRV_FILE_SIZE_LIMIT). Either way the entry being written is removed, the
// run ends with 0x210000DF (-123) and no later entry is extracted; the files
// before it stay. A run with its window shows the failure on its page.
#include <cstdlib>

#include "PackageFixture.h"
#include "PackageWindows.h"

using testsupport::TempDir;

namespace {

struct WriteFailure : ::testing::Test {
    TempDir temp;
    std::wstring package = temp / L"pkg.exe";

    void SetUp() override { makePackage(package, sfx::optSilent | sfx::optOverwrite); }
    // The builder's program and description in front of an archive whose
    // 12 MB entry packs into a few KB: past the disk and the size limit, while
    // every file the test itself writes stays far below them.
    void makePackage(const std::wstring& path, uint8_t options) {
        const std::wstring source = temp / L"source";
        ::CreateDirectoryW(source.c_str(), nullptr);
        testsupport::WriteFileBytes(source + L"\\1-first.txt", "first");
        sfx::DescriptionText text;
        text.options = options;
        sfxpack::PackageReport report;
        sfxtest::buildPackage(source, path, text, false, &report);
        const std::string image = testsupport::ReadFileBytes(path).substr(0, report.imageBytes);
        testsupport::WriteFileBytes(
            path,
            image + sfxtest::zipOf({sfxtest::ZipEntry{"1-first.txt", "first"},
                                    sfxtest::ZipEntry{"2-big.bin", std::string(12000000, 'z')},
                                    sfxtest::ZipEntry{"3-last.txt", "last"}}));
    }
    void expectStoppedAtTheFailedEntry(const std::wstring& folder) {
        testsupport::ProcessOptions options;
        options.timeoutMs = 120000;
        const auto result = testsupport::RunProcess(package, L"/S \"/D" + folder + L"\"", options);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(static_cast<int>(result.exitCode), -123);
        EXPECT_EQ(sfxtest::filesUnder(folder), std::vector<std::wstring>{L"1-first.txt"});
    }
};

TEST_F(WriteFailure, AFullDiskRemovesThePartialFileAndEndsTheRun) {
    const wchar_t* disk = _wgetenv(L"NRV_SMALL_DISK");
    if (disk == nullptr) GTEST_SKIP() << "no small filesystem; run through write-failure.sh";
    const std::wstring folder = std::wstring(disk) + L"\\out";
    expectStoppedAtTheFailedEntry(folder);
    ::DeleteFileW((folder + L"\\1-first.txt").c_str());
    ::RemoveDirectoryW(folder.c_str());
}

TEST_F(WriteFailure, AWriteErrorRemovesThePartialFileAndEndsTheRun) {
    if (_wgetenv(L"NRV_FILE_SIZE_LIMIT") == nullptr)
        GTEST_SKIP() << "no file-size limit; run through write-failure.sh";
    expectStoppedAtTheFailedEntry(temp / L"out");
}

// A run the user watches (/A: it starts without a click and closes by
// itself) shows the failure on its progress page in the text for a file that
// cannot be written, with the code's number, and ends with that code.
TEST_F(WriteFailure, AWatchedRunShowsTheWriteErrorOnItsPage) {
    if (_wgetenv(L"NRV_FILE_SIZE_LIMIT") == nullptr)
        GTEST_SKIP() << "no file-size limit; run through write-failure.sh";
    const std::wstring watched = temp / L"watched.exe", folder = temp / L"out";
    makePackage(watched, sfx::optOverwrite);
    sfxtest::PackageRun run(watched, L"/A \"/D" + folder + L"\"");
    const HWND main = run.window(sfxtest::kCaption, 30000);
    ASSERT_NE(main, nullptr) << run.describe();
    std::wstring shown;
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            shown = sfxtest::textOf(sfxtest::control(main, 1017));
            return !shown.empty();
        },
        60000))
        << run.describe();
    EXPECT_EQ(shown, L"Error occurred in creating file. \r\n[123]");
    EXPECT_EQ(static_cast<int>(run.exitCode()), -123);
    EXPECT_EQ(sfxtest::filesUnder(folder), std::vector<std::wstring>{L"1-first.txt"});
}

}  // namespace
