// Text forms of the INI storage on inputs a file could hold: escapes, the
// number and byte forms, file names and the growing read.
#include "IniText.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <random>

using namespace storage::ini;

TEST(IniText, EscapedTextsReadBackUnchanged) {
    // Backslashes mixed with the escape letters are where a second pass over
    // the text would double what the first one wrote.
    std::mt19937 random(7);
    const std::wstring alphabet = L"\\ntvbrfa\n\t\v\b\r\f\a\"x";
    for (int round = 0; round < 2000; ++round) {
        std::wstring text(random() % 12, L' ');
        for (wchar_t& c : text) c = alphabet[random() % alphabet.size()];
        ASSERT_EQ(UnescapeText(EscapeText(text)), text) << round;
    }
    EXPECT_EQ(UnescapeText(L"\\\\n\\q"), L"\\n\\q");
    EXPECT_EQ(UnescapeText(L"ends\\"), L"ends\\");
}

TEST(IniText, NumbersAreReadLikeScanf) {
    const std::tuple<const wchar_t*, bool, DWORD> cases[] = {
        {L"-1", true, ~0u},
        {L"  +7 rest", true, 7},
        {L"dword:ffffffff", true, ~0u},
        {L"dword:", false, 0},
        {L"DWORD:1A", false, 0},
        {L"0x", false, 0},
        {L"dword:-1", true, ~0u},
        {L"- 5", false, 0},
        {L"dword:0x10", true, 16},
        {L"4294967297", true, 1},
        {L"99999999999999999999", true, 1661992959},
    };
    for (const auto& [text, ok, expected] : cases) {
        DWORD value = 12345;
        EXPECT_EQ(ParseDword(text, value), ok) << text;
        EXPECT_EQ(value, ok ? expected : 12345u) << text;
    }
}

TEST(IniText, BytesFollowHexAndCommas) {
    const std::tuple<const wchar_t*, bool, std::vector<BYTE>> cases[] = {
        {L"hex:", true, {}},
        {L"x hex:0a,0B", true, {10, 11}},
        {L"hex:0A;0B,0C", true, {11, 12}},  // a pair without a comma is skipped
        {L"hex:01,2", true, {1}},           // one character left
        {L"hex:01,", true, {1}},
        {L"hex:ZZ,01", true, {1}},  // no digits: nothing appended
        {L"HEX:01", false, {}},
    };
    for (const auto& [text, ok, expected] : cases) {
        std::vector<BYTE> bytes;
        EXPECT_EQ(ParseBinary(text, bytes), ok) << text;
        EXPECT_EQ(bytes, expected) << text;
    }
}

TEST(IniText, DriveAndUncPathsAreKeptOtherNamesLieBesideTheProgram) {
    const std::wstring exe = L"C:\\Program Files\\NORVALE\\svc.exe";
    EXPECT_EQ(ResolveFileName(L"D:x.ini", exe), L"D:x.ini");
    EXPECT_EQ(ResolveFileName(L"\\\\server\\x.ini", exe), L"\\\\server\\x.ini");
    EXPECT_EQ(ResolveFileName(L"\\\\", exe), L"C:\\Program Files\\NORVALE\\\\\\");
    EXPECT_EQ(ResolveFileName(L"sub\\x.ini", exe), L"C:\\Program Files\\NORVALE\\sub\\x.ini");
    EXPECT_EQ(ResolveFileName(L"x.ini", L"svc.exe"), L"");
}

TEST(IniText, GrowingReadDoublesUntilTheTextFitsAndStopsBeforeTheLimit) {
    std::vector<DWORD> sizes;
    std::wstring text;
    const auto fitsIn1024 = [&](wchar_t* buffer, DWORD size) -> DWORD {
        sizes.push_back(size);
        if (size < 1024) return size - 2;  // may have been cut
        std::wmemcpy(buffer, L"a\0b", 4);
        return 3;
    };
    EXPECT_EQ(ReadGrowing(fitsIn1024, text), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(sizes, (std::vector<DWORD>{256, 512, 1024}));
    EXPECT_EQ(SplitNameList(text), (std::vector<std::wstring>{L"a", L"b"}));

    const auto neverFits = [&](wchar_t*, DWORD size) -> DWORD {
        sizes.push_back(size);
        return size * 4;  // even a reader that reports more than the buffer holds
    };
    sizes.clear();
    EXPECT_EQ(ReadGrowing(neverFits, text, 4096), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(sizes, (std::vector<DWORD>{256, 512, 1024, 2048}));

    // With the real limit the last buffer is 0x20000000 characters, unless
    // memory runs out first (32-bit processes).
    sizes.clear();
    const DWORD error = ReadGrowing(neverFits, text);
    EXPECT_TRUE(error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_ENOUGH_MEMORY) << error;
    ASSERT_FALSE(sizes.empty());
    EXPECT_LE(sizes.back(), kReadLimitChars / 2);
    if (error == ERROR_INVALID_PARAMETER) {
        EXPECT_EQ(sizes.back(), kReadLimitChars / 2);
    }
}

TEST(IniText, AStartSizeThatCannotBeAllocatedFallsBackToTheSmallOne) {
    // Section lookups start at the size the last section list needed; when
    // that cannot be allocated the read starts small instead of failing.
    std::vector<DWORD> sizes;
    const auto read = [&](wchar_t* buffer, DWORD size) -> DWORD {
        sizes.push_back(size);
        std::wmemcpy(buffer, L"abc", 4);
        return 3;
    };
    std::wstring text;
    constexpr DWORD kHuge = 0xFFFFFFF0;  // 8 GiB of characters; more than a 32-bit process has
    EXPECT_EQ(ReadGrowing(read, text, 0xFFFFFFFF, kHuge), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(text, L"abc");
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizes, std::vector<DWORD>{kInitialReadChars});
    } else {
        // A 64-bit process may be given the address space.
        EXPECT_TRUE(sizes == std::vector<DWORD>{kInitialReadChars} ||
                    sizes == std::vector<DWORD>{kHuge});
    }
}
