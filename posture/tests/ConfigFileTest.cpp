// ReadConfigFile on real INI files written by the tests, and on the sample
// configuration shipped beside the programs.
#include "FakeMachine.h"
#include "MachineConfig.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <random>

using posturetest::SetWorkPath;
using testsupport::TempDir;
using testsupport::TestLog;
using testsupport::WriteFileBytes;

namespace {

using Table = std::map<DWORD, DWORD>;
using NestedTable = std::map<DWORD, std::map<DWORD, DWORD>>;

const Table& Convertibles(DWORD manufacturer) {
    return ConvertibleTables[static_cast<std::size_t>(posture::ManufacturerIndex(manufacturer))];
}

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        posture::ClearMachineTables();
        SetWorkPath(dir.Path());
        TestLog::Mark();
    }
    void TearDown() override { posture::ClearMachineTables(); }

    void Read(const std::string& bytes) {
        WriteFileBytes(dir / L"POSTURESVC.ini", bytes);
        EXPECT_EQ(ReadConfigFile(), 0u);
    }
    static bool AllEmpty() {
        for (const auto& table : ConvertibleTables) {
            if (!table.empty()) return false;
        }
        return KbDockIds.empty() && PidVidTable.empty() && WorkaroundTable.empty();
    }

    TempDir dir;
};

}  // namespace

TEST_F(ConfigFile, MissingFileGivesTheAssertRecordAndEmptyTables) {
    EXPECT_EQ(ReadConfigFile(), 0u);
    EXPECT_EQ(TestLog::Count("[ERR] (ReadConfigFile): ASSERT( !allSections.empty() )"), 1);
    EXPECT_EQ(TestLog::Count("[INF] (ReadConfigFile): ENTER ReadConfigFile"), 1);
    EXPECT_EQ(TestLog::Count("[INF] (ReadConfigFile): LEAVE ReadConfigFile"), 1);
    EXPECT_EQ(TestLog::Count("Section:"), 0);
    EXPECT_TRUE(AllEmpty());
}

TEST_F(ConfigFile, FileWithoutSectionsIsLikeAMissingOne) {
    Read("MACHINE_ID=1\r\nCONVERTIBLE=1\r\n");
    EXPECT_EQ(TestLog::Count("ASSERT( !allSections.empty() )"), 1);
    EXPECT_TRUE(AllEmpty());
}

TEST_F(ConfigFile, EachSectionKind) {
    Read(
        "[CONVERTIBLE_QUANTA_A]\r\nMACHINE_ID=0x21\r\nCONVERTIBLE=1\r\n"
        "[KBDOCK_1]\r\nKBDOCK_ID=0x100\r\n"
        "[PIDVID_1]\r\nPIDVID=0x12345678\r\nMACHINE_ID=0x30\r\nMANUFACTURE_ID=0xFF00\r\n"
        "[WORKAROUND_1]\r\nMACHINE_ID=0x40\r\nMANUFACTURE_ID=0xFF40\r\n"
        "[OTHER]\r\nMACHINE_ID=5\r\nCONVERTIBLE=1\r\n");
    EXPECT_EQ(Convertibles(0xFF50), (Table{{0x21, 1}}));
    EXPECT_EQ(KbDockIds, (std::vector<DWORD>{0x100}));
    EXPECT_EQ(PidVidTable, (NestedTable{{0xFF00, {{0x30, 0x12345678}}}}));
    EXPECT_EQ(WorkaroundTable, (NestedTable{{0xFF40, {{0x40, 1}}}}));
    EXPECT_EQ(TestLog::Count("Section: "), 5);
    EXPECT_EQ(TestLog::Count("Section: OTHER."), 1);
    EXPECT_EQ(TestLog::Count("dwManufacture = ff00, dwMachine = 30, dwPidVid = 12345678"), 1);
    EXPECT_EQ(TestLog::Count("dwManufacture = ff40, dwMachine = 40"), 1);
}

TEST_F(ConfigFile, ValuesInEveryForm) {
    Read(
        "[KBDOCK_A]\r\nKBDOCK_ID=dword:1A\r\n"
        "[KBDOCK_B]\r\nKBDOCK_ID=0x1A\r\n"
        "[KBDOCK_C]\r\nKBDOCK_ID=26\r\n"
        "[KBDOCK_D]\r\nKBDOCK_ID=dword:FFFFFFFF\r\n"
        "[KBDOCK_E]\r\nKBDOCK_ID=nonsense\r\n"
        "[KBDOCK_F]\r\nKBDOCK_ID=0\r\n"
        "[KBDOCK_G]\r\nOTHER=3\r\n");
    EXPECT_EQ(KbDockIds, (std::vector<DWORD>{26, 26, 26, 0xFFFFFFFF}))
        << "unreadable, zero and missing ids add nothing";
}

TEST_F(ConfigFile, SectionMatchingTwoRowsFillsBoth) {
    Read("[CONVERTIBLE_KBDOCK_COMPAL_X]\r\nMACHINE_ID=0x22\r\nCONVERTIBLE=2\r\nKBDOCK_ID=0x55\r\n");
    EXPECT_EQ(Convertibles(0xFF00), (Table{{0x22, 2}}));
    EXPECT_EQ(KbDockIds, (std::vector<DWORD>{0x55}));
}

TEST_F(ConfigFile, ConvertibleNeedsATagAndBothValues) {
    Read(
        "[CONVERTIBLE_NOBODY]\r\nMACHINE_ID=0x22\r\nCONVERTIBLE=2\r\n"
        "[CONVERTIBLE_QUANTA_NOVALUE]\r\nMACHINE_ID=0x23\r\n"
        "[CONVERTIBLE_QUANTA_NOID]\r\nCONVERTIBLE=1\r\n"
        "[convertible_QUANTA_lower]\r\nMACHINE_ID=0x24\r\nCONVERTIBLE=1\r\n"
        "[CONVERTIBLE_quanta_lower]\r\nMACHINE_ID=0x25\r\nCONVERTIBLE=1\r\n");
    EXPECT_TRUE(AllEmpty());
    EXPECT_EQ(TestLog::Count("Section: "), 5);
}

TEST_F(ConfigFile, TagIsTheFirstOfTheListTheNameContains) {
    // INHOUSE_ comes before QUANTA_ in the name, QUANTA_ first in the list.
    Read(
        "[CONVERTIBLE_INHOUSE_QUANTA_1]\r\nMACHINE_ID=0x60\r\nCONVERTIBLE=1\r\n"
        "[XCONVERTIBLE_BYD_PEGATRON_2]\r\nMACHINE_ID=0x61\r\nCONVERTIBLE=1\r\n"
        "[CONVERTIBLE_INVENTEC_INHOUSE_3]\r\nMACHINE_ID=0x62\r\nCONVERTIBLE=1\r\n"
        "[CONVERTIBLE_BYD_4]\r\nMACHINE_ID=0x63\r\nCONVERTIBLE=1\r\n"
        "[INHOUSE_CONVERTIBLE_5]\r\nMACHINE_ID=0x64\r\nCONVERTIBLE=2\r\n");
    EXPECT_EQ(Convertibles(0xFF50), (Table{{0x60, 1}}));
    EXPECT_EQ(Convertibles(0xFF40), (Table{{0x61, 1}}));
    EXPECT_EQ(Convertibles(0xFF10), (Table{{0x62, 1}}));
    EXPECT_EQ(Convertibles(0xFF70), (Table{{0x63, 1}}));
    EXPECT_EQ(Convertibles(1), (Table{{0x64, 2}}));
    EXPECT_TRUE(Convertibles(0xFF00).empty());
}

TEST_F(ConfigFile, FirstOfTwoEqualMachineIdsWins) {
    Read(
        "[CONVERTIBLE_QUANTA_1]\r\nMACHINE_ID=0x70\r\nCONVERTIBLE=2\r\n"
        "[CONVERTIBLE_QUANTA_2]\r\nMACHINE_ID=0x70\r\nCONVERTIBLE=1\r\n"
        "[CONVERTIBLE_COMPAL_3]\r\nMACHINE_ID=0x70\r\nCONVERTIBLE=1\r\n");
    EXPECT_EQ(Convertibles(0xFF50), (Table{{0x70, 2}}));
    EXPECT_EQ(Convertibles(0xFF00), (Table{{0x70, 1}}));
}

TEST_F(ConfigFile, FirstPidVidSectionOfAManufacturerWins) {
    Read(
        "[PIDVID_1]\r\nPIDVID=0x11\r\nMACHINE_ID=0x30\r\nMANUFACTURE_ID=0xFF00\r\n"
        "[PIDVID_2]\r\nPIDVID=0x22\r\nMACHINE_ID=0x31\r\nMANUFACTURE_ID=0xFF00\r\n"
        "[PIDVID_3]\r\nPIDVID=0x33\r\nMACHINE_ID=0x30\r\nMANUFACTURE_ID=0xFF00\r\n"
        "[PIDVID_4]\r\nPIDVID=0x44\r\nMACHINE_ID=0x32\r\nMANUFACTURE_ID=0xFF50\r\n"
        "[PIDVID_5]\r\nPIDVID=0\r\nMACHINE_ID=0x33\r\nMANUFACTURE_ID=0xFF40\r\n");
    EXPECT_EQ(PidVidTable, (NestedTable{{0xFF00, {{0x30, 0x11}}}, {0xFF50, {{0x32, 0x44}}}}));
}

TEST_F(ConfigFile, FirstWorkaroundSectionOfAManufacturerWins) {
    Read(
        "[WORKAROUND_1]\r\nMACHINE_ID=0x40\r\nMANUFACTURE_ID=0xFF40\r\n"
        "[WORKAROUND_2]\r\nMACHINE_ID=0x41\r\nMANUFACTURE_ID=0xFF40\r\n"
        "[WORKAROUND_3]\r\nMACHINE_ID=0x42\r\n");
    EXPECT_EQ(WorkaroundTable, (NestedTable{{0xFF40, {{0x40, 1}}}}));
}

TEST_F(ConfigFile, KbDockIdsKeepFileOrderAndDuplicates) {
    Read(
        "[KBDOCK_3]\r\nKBDOCK_ID=3\r\n[KBDOCK_1]\r\nKBDOCK_ID=1\r\n[KBDOCK_3B]\r\nKBDOCK_ID=3\r\n");
    EXPECT_EQ(KbDockIds, (std::vector<DWORD>{3, 1, 3}));
}

TEST_F(ConfigFile, GarbageNeverCrashes) {
    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        std::string bytes;
        const int length = 1 + static_cast<int>(random() % 4000);
        for (int i = 0; i < length; ++i) {
            // Mostly characters that build INI structure.
            static constexpr char kAlphabet[] = "[]=\r\n;CONVERTIBLE_KBDOCK_PIDVID_0x1\"\\";
            bytes += (random() % 4 == 0) ? static_cast<char>(random() % 256)
                                         : kAlphabet[random() % (sizeof(kAlphabet) - 1)];
        }
        posture::ClearMachineTables();
        Read(bytes);
    }
    Read(std::string("\0\0\0[\0]\xff\xfe[CONVERTIBLE_QUANTA_", 26));
    SUCCEED();
}

TEST_F(ConfigFile, ThousandsOfSections) {
    std::string bytes;
    for (int i = 0; i < 2000; ++i) {
        const std::string n = std::to_string(i + 1);
        switch (i % 4) {
            case 0:
                bytes +=
                    "[CONVERTIBLE_QUANTA_" + n + "]\r\nMACHINE_ID=" + n + "\r\nCONVERTIBLE=1\r\n";
                break;
            case 1:
                bytes += "[KBDOCK_" + n + "]\r\nKBDOCK_ID=" + n + "\r\n";
                break;
            case 2:
                bytes += "[PIDVID_" + n + "]\r\nPIDVID=7\r\nMACHINE_ID=" + n +
                         "\r\nMANUFACTURE_ID=" + n + "\r\n";
                break;
            default:
                bytes += "[WORKAROUND_" + n + "]\r\nMACHINE_ID=1\r\nMANUFACTURE_ID=" + n + "\r\n";
                break;
        }
    }
    Read(bytes);
    EXPECT_EQ(Convertibles(0xFF50).size(), 500u);
    EXPECT_EQ(KbDockIds.size(), 500u);
    EXPECT_EQ(PidVidTable.size(), 500u);
    EXPECT_EQ(WorkaroundTable.size(), 500u);
    EXPECT_EQ(TestLog::Count("Section: "), 2000);
}

TEST_F(ConfigFile, VeryLongSectionNames) {
    const std::string name = "CONVERTIBLE_QUANTA_" + std::string(5000, 'X');
    Read("[" + name + "]\r\nMACHINE_ID=0x99\r\nCONVERTIBLE=1\r\n");
    SUCCEED();  // whatever the profile functions make of it, no crash
}

// The sample shipped beside the programs: every section kind.
TEST_F(ConfigFile, ShippedSample) {
    SetWorkPath(testsupport::ExeDirectory());
    ASSERT_TRUE(testsupport::FileExists(testsupport::ExeDirectory() + L"\\POSTURESVC.ini"));
    EXPECT_EQ(ReadConfigFile(), 0u);
    EXPECT_EQ(TestLog::Count("ASSERT"), 0);
    EXPECT_EQ(Convertibles(0xFF50), (Table{{0x0A01, 1}, {0x0A02, 2}}));
    EXPECT_EQ(Convertibles(0xFF40), (Table{{0x0B01, 1}}));
    EXPECT_EQ(Convertibles(0xFF00), (Table{{0x0C01, 2}}));
    EXPECT_EQ(Convertibles(0xFF10), (Table{{0x0D01, 1}}));
    EXPECT_EQ(Convertibles(0xFF70), (Table{{0x0E01, 1}}));
    EXPECT_EQ(Convertibles(1), (Table{{0x0F01, 1}}));
    EXPECT_EQ(KbDockIds, (std::vector<DWORD>{0x0300, 0x0301, 0x0302}));
    EXPECT_EQ(PidVidTable,
              (NestedTable{{0xFF00, {{0x0C10, 0x0A3F046D}}}, {0xFF50, {{0x0A10, 0x00071A2C}}}}));
    EXPECT_EQ(WorkaroundTable, (NestedTable{{0xFF40, {{0x0B20, 1}}}, {0xFF70, {{0x0E20, 1}}}}));
}
