// DEDUZ45O.DLL loaded as the setup loads it: the digest, the verified copy
// and the copy over a file in use.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "SetupLibrary.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

using namespace testsupport;

namespace {

class SetupLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        library.reset(::LoadLibraryW((ExeDirectory() + L"\\DEDUZ45O.DLL").c_str()));
        ASSERT_TRUE(library.valid()) << ::GetLastError();
        copy = reinterpret_cast<DzCopyVerifiedFunction>(
            reinterpret_cast<void*>(::GetProcAddress(library.get(), "DzCopyVerified")));
        digest = reinterpret_cast<DzFileDigestFunction>(
            reinterpret_cast<void*>(::GetProcAddress(library.get(), "DzFileDigest")));
        ASSERT_NE(copy, nullptr);
        ASSERT_NE(digest, nullptr);
    }

    nrv::UniqueModule library;
    DzCopyVerifiedFunction copy = nullptr;
    DzFileDigestFunction digest = nullptr;
    TempDir folder;
};

TEST_F(SetupLibrary, DigestIsTheZipCrc) {
    WriteFileBytes(folder / L"check.txt", "123456789");
    DWORD crc = 0;
    ULONGLONG size = 0;
    ASSERT_EQ(digest((folder / L"check.txt").c_str(), &crc, &size), 0u);
    EXPECT_EQ(crc, 0xCBF43926u);
    EXPECT_EQ(size, 9u);
    // More than one read (64 KiB) of data.
    WriteFileBytes(folder / L"big.bin", std::string(200000, 'a'));
    ASSERT_EQ(digest((folder / L"big.bin").c_str(), &crc, &size), 0u);
    EXPECT_EQ(size, 200000u);
    EXPECT_EQ(digest((folder / L"none").c_str(), &crc, &size),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SetupLibrary, CopiesReplacesAndLeavesNoTemporaryFile) {
    std::string content(150000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    WriteFileBytes(folder / L"source.bin", content);
    WriteFileBytes(folder / L"target.bin", "old");
    ASSERT_TRUE(::SetFileAttributesW((folder / L"source.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(copy((folder / L"source.bin").c_str(), (folder / L"target.bin").c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(folder / L"target.bin"), content);
    // Not read-only: the next setup can replace it.
    EXPECT_EQ(::GetFileAttributesW((folder / L"target.bin").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_FALSE(FileExists(folder / L"target.bin.~0"));
    ::SetFileAttributesW((folder / L"source.bin").c_str(), FILE_ATTRIBUTE_NORMAL);

    // A missing source: the target is unchanged, nothing is left.
    EXPECT_EQ(copy((folder / L"none").c_str(), (folder / L"target.bin").c_str()),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadFileBytes(folder / L"target.bin"), content);
    EXPECT_FALSE(FileExists(folder / L"target.bin.~0"));
    EXPECT_EQ(copy(nullptr, L"x"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SetupLibrary, ATargetInUseIsReplacedAtTheRestart) {
    WriteFileBytes(folder / L"source.bin", "new");
    WriteFileBytes(folder / L"target.bin", "old");
    {
        // Held open without sharing delete, as a running program's image is.
        const nrv::UniqueFileHandle held(::CreateFileW((folder / L"target.bin").c_str(),
                                                       GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                       OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(copy((folder / L"source.bin").c_str(), (folder / L"target.bin").c_str()),
                  static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED));
    }
    EXPECT_EQ(ReadFileBytes(folder / L"target.bin"), "old");
    // The checked copy waits beside it, named in the restart's renames.
    EXPECT_EQ(ReadFileBytes(folder / L"target.bin.~0"), "new");
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    std::wstring renames(4096, L'\0');
    DWORD size = static_cast<DWORD>(renames.size() * sizeof(wchar_t));
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations",
                             RRF_RT_REG_MULTI_SZ, nullptr, renames.data(), &size),
              ERROR_SUCCESS);
    EXPECT_NE(renames.find(L"target.bin.~0"), std::wstring::npos);
    // This prefix is not restarted: the rename is forgotten again.
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations");
}

}  // namespace
