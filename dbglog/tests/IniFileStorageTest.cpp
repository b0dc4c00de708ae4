// IniFileStorage on real INI files through the Windows profile functions:
// the value forms, the section tree, file names, and files no program wrote.
#include "Storage.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <random>

using storage::IniFileStorage;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

class IniFile : public ::testing::Test {
protected:
    IniFileStorage OpenWith(const std::string& bytes, const std::wstring& section) {
        WriteFileBytes(path, bytes);
        IniFileStorage storage;
        EXPECT_TRUE(storage.Open(path, section));
        return storage;
    }
    bool Holds(const std::string& text) {
        return ReadFileBytes(path).find(text) != std::string::npos;
    }

    TempDir dir;
    const std::wstring path = dir / L"config.ini";
};

std::vector<std::wstring> Names(std::initializer_list<const wchar_t*> names) {
    return {names.begin(), names.end()};
}

}  // namespace

TEST_F(IniFile, NumbersInEachForm) {
    IniFileStorage s = OpenWith(
        "[S]\r\na=dword:1A\r\nb=0x1A\r\nc=26\r\nd=0X1A\r\ne=none\r\nf=\"dword:1A\"\r\n", L"S");
    for (const wchar_t* key : {L"a", L"b", L"c", L"f"}) {
        DWORD value = 0;
        EXPECT_TRUE(s.GetDword(key, value)) << key;
        EXPECT_EQ(value, 26u) << key;
    }
    DWORD value = 9;
    EXPECT_TRUE(s.GetDword(L"d", value));
    EXPECT_EQ(value, 0u) << "0X is no prefix: decimal 0";
    EXPECT_FALSE(s.GetDword(L"e", value));
    EXPECT_FALSE(s.GetDword(L"missing", value));

    ASSERT_TRUE(s.SetDword(L"g", 0xFFFFFFFE));
    EXPECT_TRUE(Holds("g=-2\r\n"));
    EXPECT_TRUE(s.GetDword(L"g", value));
    EXPECT_EQ(value, 0xFFFFFFFEu);
}

TEST_F(IniFile, DefaultTextsAndQuotedKeyNamesAreFound) {
    IniFileStorage s = OpenWith(
        "[S]\r\nk1=DEFAULT_VALUE1\r\nk2=DEFAULT_VALUE2\r\n\"quoted\"=5\r\n\"q1\"=DEFAULT_"
        "VALUE1\r\n",
        L"S");
    const std::pair<const wchar_t*, const wchar_t*> found[] = {{L"k1", L"DEFAULT_VALUE1"},
                                                               {L"k2", L"DEFAULT_VALUE2"},
                                                               {L"quoted", L"5"},
                                                               {L"q1", L"DEFAULT_VALUE1"}};
    for (const auto& [key, expected] : found) {
        std::wstring value;
        EXPECT_TRUE(s.GetRawValue(key, value)) << key;
        EXPECT_EQ(value, expected) << key;
    }
    std::wstring value = L"unchanged";
    EXPECT_FALSE(s.GetRawValue(L"missing", value));
    EXPECT_EQ(value, L"unchanged");
}

TEST_F(IniFile, StringsAreWrittenEscapedInQuotesAndReadBack) {
    IniFileStorage s = OpenWith("[S]\r\nraw=C:\\new\\q\\\r\n", L"S");
    const std::wstring text = L"  line\nC:\\dir\t\"x\"\r\f\v\b\a  ";
    ASSERT_TRUE(s.SetString(L"t", text));
    EXPECT_TRUE(Holds("t=\"  line\\nC:\\\\dir\\t\"x\"\\r\\f\\v\\b\\a  \"\r\n"));
    std::wstring back;
    EXPECT_TRUE(s.GetString(L"t", back));
    EXPECT_EQ(back, text);

    ASSERT_TRUE(s.SetString(L"empty", L""));
    EXPECT_TRUE(s.GetString(L"empty", back));
    EXPECT_EQ(back, L"");

    EXPECT_TRUE(s.GetString(L"raw", back));
    EXPECT_EQ(back, L"C:\new\\q\\") << "a hand-written path is read with its escapes";
}

TEST_F(IniFile, BytesAreWrittenAsHexAndAppendedWhenRead) {
    IniFileStorage s = OpenWith("[S]\r\ntext=abc\r\n", L"S");
    ASSERT_TRUE(s.SetBinary(L"b", {1, 171, 255}));
    EXPECT_TRUE(Holds("b=hex:01,AB,FF\r\n"));
    std::vector<BYTE> bytes{7};
    EXPECT_TRUE(s.GetBinary(L"b", bytes));
    EXPECT_EQ(bytes, (std::vector<BYTE>{7, 1, 171, 255}));

    EXPECT_FALSE(s.SetBinary(L"none", {}));
    EXPECT_FALSE(Holds("none"));
    EXPECT_FALSE(s.GetBinary(L"text", bytes));
    EXPECT_FALSE(s.GetBinary(L"missing", bytes));
}

TEST_F(IniFile, SectionsExistThroughTheirDescendantsAndListDirectChildren) {
    IniFileStorage s = OpenWith("[A\\B]\r\n[A\\B\\C]\r\n[a\\D]\r\n[AB\\E]\r\n", L"A");
    EXPECT_EQ(IniFileStorage::SectionNames(path), Names({L"A\\B", L"A\\B\\C", L"a\\D", L"AB\\E"}));
    std::vector<std::wstring> names{L"kept"};
    EXPECT_TRUE(s.GetChildNames(names));
    EXPECT_EQ(names, Names({L"kept", L"B", L"D"}));

    const auto child = s.OpenChild(L"b");
    ASSERT_TRUE(child);
    names.clear();
    EXPECT_TRUE(child->GetChildNames(names));
    EXPECT_EQ(names, Names({L"C"}));
    EXPECT_FALSE(s.OpenChild(L"Z"));

    IniFileStorage closed;
    EXPECT_FALSE(closed.Open(path, L"X"));
    EXPECT_FALSE(closed.Open(path, L"A\\"));
    EXPECT_FALSE(closed.Open(dir / L"absent.ini", L"A"));
    EXPECT_FALSE(closed.IsOpen());
}

TEST_F(IniFile, CreateWritesOnlyAMissingSectionAndLeavesItEmpty) {
    IniFileStorage s;
    ASSERT_TRUE(s.Create(path, L"New"));
    const auto child = s.CreateChild(L"Kid");
    ASSERT_TRUE(child);
    ASSERT_TRUE(s.Create(path, L"new"));
    EXPECT_EQ(IniFileStorage::SectionNames(path), Names({L"New", L"New\\Kid"}));
    std::vector<std::wstring> keys;
    EXPECT_TRUE(child->GetKeyNames(keys));
    EXPECT_TRUE(keys.empty());
    EXPECT_TRUE(child->SetDword(L"v", 3));
    EXPECT_TRUE(Holds("[New\\Kid]\r\nv=3\r\n"));
}

TEST_F(IniFile, DeleteChildRemovesTheWholeSubtree) {
    IniFileStorage s =
        OpenWith("[A]\r\n[A\\B]\r\nk=1\r\n[A\\B\\C]\r\n[a\\b\\D]\r\n[A\\BC]\r\n[X]\r\n", L"A");
    EXPECT_TRUE(s.DeleteChild(L"B"));
    EXPECT_EQ(IniFileStorage::SectionNames(path), Names({L"A", L"A\\BC", L"X"}));
}

TEST_F(IniFile, KeyNamesValueDeletionAndSharedWrites) {
    IniFileStorage s = OpenWith("[S]\r\nz=1\r\n;c=3\r\na=2\r\n", L"S");
    std::vector<std::wstring> keys;
    EXPECT_TRUE(s.GetKeyNames(keys));
    EXPECT_EQ(keys, Names({L"z", L"a"}));
    EXPECT_TRUE(s.DeleteValue(L"z"));
    keys.clear();
    EXPECT_TRUE(s.GetKeyNames(keys));
    EXPECT_EQ(keys, Names({L"a"}));

    IniFileStorage other;
    ASSERT_TRUE(other.Open(path, L"S"));
    ASSERT_TRUE(other.SetDword(L"n", 5));
    DWORD value = 0;
    EXPECT_TRUE(s.GetDword(L"n", value));
    EXPECT_EQ(value, 5u);
}

TEST_F(IniFile, AClosedStorageTouchesNoFile) {
    IniFileStorage s = OpenWith("[S]\r\nk=1\r\n", L"S");
    s.Close();
    EXPECT_TRUE(!s.IsOpen() && s.file.empty() && s.section.empty());
    DWORD value = 0;
    EXPECT_FALSE(s.GetDword(L"k", value));
    EXPECT_FALSE(s.SetDword(L"k", 2));
    EXPECT_FALSE(s.DeleteChild(L""));
    EXPECT_FALSE(s.CreateChild(L"x"));
    EXPECT_EQ(ReadFileBytes(path), "[S]\r\nk=1\r\n");
}

TEST(IniFileStorage, RelativeNameLiesBesideTheExecutable) {
    const std::wstring name = L"nrvstorage-" + std::to_wstring(::GetCurrentProcessId()) + L".ini";
    const std::wstring full = testsupport::ExeDirectory() + L"\\" + name;
    struct Remove {
        std::wstring path;
        ~Remove() { ::DeleteFileW(path.c_str()); }
    } remove{full};
    WriteFileBytes(full, "[S]\r\nk=7\r\n");

    IniFileStorage s;
    ASSERT_TRUE(s.Open(name, L"S"));
    EXPECT_EQ(s.file, full);
    EXPECT_EQ(storage::ReadDword(IniFileStorage::MakeIniStorage(name, L"S"), L"k"), 7u);
}

// Files no program wrote: whatever they hold, reads end and the well-formed
// parts stay readable.
TEST_F(IniFile, GarbageBytesAreSurvived) {
    std::mt19937 random(1234);
    const std::string prefixes[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
    for (int round = 0; round < 8; ++round) {
        const std::string& prefix = prefixes[round % 4];
        std::string bytes = prefix;
        for (int i = 0; i < 16384; ++i) bytes += static_cast<char>(random() % 256);
        bytes += "\r\n[Good]\r\nValue=dword:1A\r\n";
        WriteFileBytes(path, bytes);

        for (const std::wstring& section : IniFileStorage::SectionNames(path)) {
            IniFileStorage s;
            if (!s.Open(path, section)) continue;
            std::vector<std::wstring> names;
            s.GetChildNames(names);
            names.clear();
            s.GetKeyNames(names);
            for (const std::wstring& key : names) {
                DWORD value = 0;
                std::vector<BYTE> bytesRead;
                s.GetDword(key, value);
                s.GetBinary(key, bytesRead);
            }
        }
        if (prefix.size() != 2) {  // text that is not UTF-16
            EXPECT_EQ(storage::ReadDword(IniFileStorage::MakeIniStorage(path, L"Good"), L"Value"),
                      26u)
                << round;
        }
    }
}

TEST_F(IniFile, VeryLongLinesAndAValueOverAMegabyte) {
    std::string value;
    for (int i = 0; value.size() < 1536 * 1024; ++i) value += std::to_string(i) + ",";
    const std::string longKey(70000, 'k');
    IniFileStorage s =
        OpenWith("[S]\r\n" + std::string(300000, 'x') + "\r\n[" + std::string(100000, 'y') +
                     "\r\n" + longKey + "=1\r\nbig=" + value + "\r\nlast=dword:1A\r\n",
                 L"S");
    std::wstring read;
    EXPECT_TRUE(s.GetString(L"big", read));
    EXPECT_EQ(read, testsupport::Widen(value));
    std::vector<std::wstring> keys;
    EXPECT_TRUE(s.GetKeyNames(keys));
    EXPECT_EQ(keys, (std::vector<std::wstring>{std::wstring(70000, L'k'), L"big", L"last"}));
    EXPECT_EQ(storage::ReadDword(IniFileStorage::MakeIniStorage(path, L"S"), L"last"), 26u);

    const std::wstring text(1200 * 1024, L'\n');
    ASSERT_TRUE(s.SetString(L"written", text));
    EXPECT_TRUE(s.GetString(L"written", read));
    EXPECT_EQ(read, text);
}

TEST_F(IniFile, ThousandsOfSections) {
    std::string bytes;
    for (int i = 0; i < 5000; ++i)
        bytes += "[P\\C" + std::to_string(i) + "]\r\nv=" + std::to_string(i) + "\r\n";
    IniFileStorage s = OpenWith(bytes, L"P");
    EXPECT_EQ(IniFileStorage::SectionNames(path).size(), 5000u);
    std::vector<std::wstring> names;
    EXPECT_TRUE(s.GetChildNames(names));
    ASSERT_EQ(names.size(), 5000u);
    EXPECT_EQ(names.front(), L"C0");
    EXPECT_EQ(names.back(), L"C4999");
    const auto last = s.OpenChild(L"c4999");
    ASSERT_TRUE(last);
    DWORD value = 0;
    EXPECT_TRUE(last->GetDword(L"v", value));
    EXPECT_EQ(value, 4999u);
}
