// The install checks and registry rules over a scripted firmware, a virtual
// clock and an in-memory posture service key.
#include "FakeMachine.h"
#include "MachineConfig.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using posturetest::FakeMachine;
using posturetest::UseEnvironment;
using testsupport::TestLog;

namespace {

constexpr DWORD kQuanta = 0xFF50;
constexpr DWORD kCompal = 0xFF00;
constexpr DWORD kInhouse = 1;

class InstallChecks : public ::testing::Test {
protected:
    void SetUp() override {
        posture::ClearMachineTables();
        TestLog::Mark();
    }
    void TearDown() override { posture::ClearMachineTables(); }

    std::size_t Index(DWORD manufacturer) {
        return static_cast<std::size_t>(posture::ManufacturerIndex(manufacturer));
    }
    void Identify(DWORD manufacturer, DWORD machine) {
        fake.manufacturer = manufacturer;
        fake.machine = machine;
    }

    FakeMachine fake;
    UseEnvironment use{fake};
};

std::vector<std::string> Steps(std::initializer_list<const char*> steps) {
    return {steps.begin(), steps.end()};
}

}  // namespace

TEST(MachineIdentity, WordsOfTheReply) {
    const HciReadResult reply{0, 0xFF50, 0x1234};
    EXPECT_EQ(posture::IdentityFromReply(true, reply, posture::IdentityWord::Manufacturer),
              0xFF50u);
    EXPECT_EQ(posture::IdentityFromReply(true, reply, posture::IdentityWord::Machine), 0x1234u);
    EXPECT_EQ(posture::IdentityFromReply(false, reply, posture::IdentityWord::Machine), 0u);
    const HciReadResult unsupported{0x8000, 0xFF50, 0x1234};
    EXPECT_EQ(posture::IdentityFromReply(true, unsupported, posture::IdentityWord::Manufacturer),
              0x8000u);
    EXPECT_EQ(posture::IdentityFromReply(true, unsupported, posture::IdentityWord::Machine),
              0x8000u);
    const HciReadResult otherStatus{0x8001, 0xFF50, 0x1234};
    EXPECT_EQ(posture::IdentityFromReply(true, otherStatus, posture::IdentityWord::Machine),
              0x1234u)
        << "only 0x8000 exactly means not supported";
}

TEST(MachineIdentity, ManufacturerWords) {
    EXPECT_EQ(posture::ManufacturerIndex(0xFF50), 0);
    EXPECT_EQ(posture::ManufacturerIndex(0xFF40), 1);
    EXPECT_EQ(posture::ManufacturerIndex(0xFF00), 2);
    EXPECT_EQ(posture::ManufacturerIndex(0xFF10), 3);
    EXPECT_EQ(posture::ManufacturerIndex(0xFF70), 4);
    EXPECT_EQ(posture::ManufacturerIndex(1), 5);
    for (DWORD other : {0u, 0x8000u, 0xFF60u, 2u, 0xFF51u}) {
        EXPECT_EQ(posture::ManufacturerIndex(other), -1) << other;
    }
}

TEST_F(InstallChecks, EachWordIsItsOwnReadOfRegister0x96) {
    Identify(kQuanta, 0x21);
    EXPECT_EQ(GetMachineIdentity(posture::IdentityWord::Manufacturer), kQuanta);
    EXPECT_EQ(GetMachineIdentity(posture::IdentityWord::Machine), 0x21u);
    EXPECT_EQ(fake.steps, Steps({"read 0x96", "read 0x96"}));
    EXPECT_EQ(TestLog::Count("[TRC] (GetMachineIdentity): ENTER GetMachineIdentity"), 2);
}

TEST_F(InstallChecks, ConvertibleWaitsAndWritesTheTableValue) {
    ConvertibleTables[Index(kQuanta)][0x21] = 2;
    Identify(kQuanta, 0x21);
    EXPECT_EQ(CheckIsConvertible(), 0u);
    EXPECT_EQ(fake.steps, Steps({"sleep 50", "read 0x96", "sleep 50", "read 0x96", "sleep 50"}));
    EXPECT_EQ(fake.now, 150u);
    EXPECT_EQ(fake.values, (std::map<std::wstring, DWORD>{{L"Convertible", 2}}));
    EXPECT_EQ(TestLog::Count("[TRC] (CheckIsConvertible): ENTER CheckIsConvertible"), 1);
    EXPECT_EQ(TestLog::Count("[TRC] (PSVRegWrite_Convertible): ENTER PSVRegWrite_Convertible"), 1);
    EXPECT_EQ(TestLog::Count("[TRC] (CheckIsConvertible): LEAVE CheckIsConvertible"), 1);
}

TEST_F(InstallChecks, ConvertibleUsesOnlyTheTableOfTheManufacturer) {
    ConvertibleTables[Index(kCompal)][0x21] = 1;
    Identify(kQuanta, 0x21);
    CheckIsConvertible();
    EXPECT_TRUE(fake.values.empty());
    Identify(kCompal, 0x21);
    CheckIsConvertible();
    EXPECT_EQ(fake.values[L"Convertible"], 1u);
}

TEST_F(InstallChecks, InhouseManufacturerWordIsOne) {
    ConvertibleTables[Index(kInhouse)][0x7] = 1;
    Identify(kInhouse, 0x7);
    CheckIsConvertible();
    EXPECT_EQ(fake.values[L"Convertible"], 1u);
}

TEST_F(InstallChecks, UnknownManufacturerWritesNothing) {
    for (auto& table : ConvertibleTables) table[0x21] = 1;
    Identify(0xFF60, 0x21);
    CheckIsConvertible();
    EXPECT_TRUE(fake.values.empty());
    EXPECT_FALSE(fake.keyExists) << "not even the key is created";
    EXPECT_EQ(fake.steps, Steps({"sleep 50", "read 0x96", "sleep 50", "read 0x96", "sleep 50"}));
}

TEST_F(InstallChecks, UnknownMachineWritesNothing) {
    ConvertibleTables[Index(kQuanta)][0x21] = 1;
    Identify(kQuanta, 0x22);
    CheckIsConvertible();
    EXPECT_FALSE(fake.keyExists);
}

TEST_F(InstallChecks, PidVidWaitsRecordsAndWrites) {
    PidVidTable[kCompal][0x30] = 0x12345678;
    Identify(kCompal, 0x30);
    EXPECT_EQ(CheckIsPidVidKeyboard(), 0u);
    EXPECT_EQ(fake.steps, Steps({"sleep 50", "read 0x96", "sleep 50", "read 0x96"}));
    EXPECT_EQ(TestLog::Count("dwManufacture = 0xff00, dwMachine = 0x30"), 1);
    EXPECT_EQ(TestLog::Count("is PIDVID Keyboard PIDVID = 12345678"), 1);
    EXPECT_EQ(fake.values, (std::map<std::wstring, DWORD>{{L"KeyboardPidVid", 0x12345678}}));
}

TEST_F(InstallChecks, PidVidOfAnotherMachineOrManufacturerWritesNothing) {
    PidVidTable[kCompal][0x30] = 0x12345678;
    Identify(kCompal, 0x31);
    CheckIsPidVidKeyboard();
    Identify(kQuanta, 0x30);
    CheckIsPidVidKeyboard();
    EXPECT_FALSE(fake.keyExists);
    EXPECT_EQ(TestLog::Count("is PIDVID Keyboard"), 0);
    EXPECT_EQ(TestLog::Count("dwManufacture = 0xff50, dwMachine = 0x30"), 1);
}

TEST_F(InstallChecks, WorkaroundWaitsASecondBeforeAndAfter) {
    WorkaroundTable[kQuanta][0x40] = 1;
    Identify(kQuanta, 0x40);
    EXPECT_EQ(CheckIsWorkaround(), 0u);
    EXPECT_EQ(fake.steps,
              Steps({"sleep 1000", "read 0x96", "sleep 50", "read 0x96", "sleep 1000"}));
    EXPECT_EQ(fake.now, 2050u);
    EXPECT_EQ(TestLog::Count("Need add the workaround"), 1);
    EXPECT_EQ(fake.values, (std::map<std::wstring, DWORD>{{L"NoWorkaround", 1}}));
}

TEST_F(InstallChecks, WorkaroundNotListedWritesNothing) {
    WorkaroundTable[kQuanta][0x40] = 1;
    Identify(kQuanta, 0x41);
    CheckIsWorkaround();
    EXPECT_EQ(TestLog::Count("Need add the workaround"), 0);
    EXPECT_FALSE(fake.keyExists);
    EXPECT_EQ(fake.now, 2050u);
}

TEST_F(InstallChecks, FailedReadsMatchNothing) {
    // Tables that would match a reply of zeros, were zeros accepted.
    ConvertibleTables[Index(kQuanta)][0] = 1;
    PidVidTable[0][0] = 0x1111;
    WorkaroundTable[0][0] = 1;
    fake.readSucceeds = false;
    fake.RunInstallChecks();
    EXPECT_FALSE(fake.keyExists);
    EXPECT_EQ(TestLog::Count("dwManufacture = 0x0, dwMachine = 0x0"), 1);
}

TEST_F(InstallChecks, UnsupportedIdentityMatchesNothing) {
    // Even a file that lists the "not supported" word picks no model.
    PidVidTable[0x8000][0x8000] = 0x1111;
    WorkaroundTable[0x8000][0x8000] = 1;
    fake.status = 0x8000;
    Identify(0x8000, 0x8000);
    fake.RunInstallChecks();
    EXPECT_FALSE(fake.keyExists);
    EXPECT_EQ(TestLog::Count("Need add the workaround"), 0);
    EXPECT_EQ(TestLog::Count("is PIDVID Keyboard"), 0);
}

TEST_F(InstallChecks, UnsupportedStatusHidesTheWords) {
    WorkaroundTable[kQuanta][0x40] = 1;
    fake.status = 0x8000;
    Identify(kQuanta, 0x40);
    CheckIsWorkaround();
    EXPECT_FALSE(fake.keyExists);
}

TEST_F(InstallChecks, FirstInstallOnAListedMachine) {
    ConvertibleTables[Index(kQuanta)][0x50] = 1;
    PidVidTable[kQuanta][0x50] = 0xABCD1234;
    WorkaroundTable[kQuanta][0x50] = 1;
    Identify(kQuanta, 0x50);
    fake.RunInstallChecks();
    // The workaround writer created the key: the PID/VID writer of the same
    // install finds it and writes nothing.
    EXPECT_EQ(fake.values,
              (std::map<std::wstring, DWORD>{{L"NoWorkaround", 1}, {L"Convertible", 1}}));
    EXPECT_EQ(PSVRegRead_WorkAround(), 1u) << "1, so the service runs without the workaround";
    EXPECT_EQ(PSVRegRead_DWORD(L"KeyboardPidVid"), 0xFFFFFFFFu);
    EXPECT_EQ(fake.now, 2050u + 150u + 100u);
}

TEST_F(InstallChecks, FirstInstallWithOnlyAKeyboard) {
    PidVidTable[kQuanta][0x50] = 0xABCD1234;
    Identify(kQuanta, 0x50);
    fake.RunInstallChecks();
    EXPECT_EQ(fake.values, (std::map<std::wstring, DWORD>{{L"KeyboardPidVid", 0xABCD1234}}));
}

TEST_F(InstallChecks, SecondInstallRewritesOnlyConvertible) {
    ConvertibleTables[Index(kQuanta)][0x50] = 2;
    PidVidTable[kQuanta][0x50] = 0xABCD1234;
    WorkaroundTable[kQuanta][0x50] = 1;
    fake.keyExists = true;
    fake.values = {{L"NoWorkaround", 0}, {L"KeyboardPidVid", 0x1111}, {L"Convertible", 1}};
    Identify(kQuanta, 0x50);
    fake.RunInstallChecks();
    EXPECT_EQ(fake.values,
              (std::map<std::wstring, DWORD>{
                  {L"NoWorkaround", 0}, {L"KeyboardPidVid", 0x1111}, {L"Convertible", 2}}));
    EXPECT_EQ(fake.valueWrites, 1);
}

TEST_F(InstallChecks, WritersOnAKeyThatCannotBeCreated) {
    fake.keyFails = true;
    EXPECT_EQ(PSVRegWrite_Convertible(1), E_FAIL);
    EXPECT_EQ(PSVRegWrite_PIDVID(1), E_FAIL);
    EXPECT_EQ(PSVRegWrite_WorkAround(), E_FAIL);
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegWrite_Convertible): Error Code: 0x80004005"), 1);
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegWrite_PIDVID): Error Code: 0x80004005"), 1);
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegWrite_WorkAround): Error Code: 0x80004005"), 1);
}

TEST_F(InstallChecks, CreateOnlyWritersOnANewAndAnExistingKey) {
    EXPECT_EQ(PSVRegWrite_PIDVID(0x77), S_OK);
    EXPECT_EQ(PSVRegWrite_WorkAround(), S_OK) << "the key exists now";
    EXPECT_EQ(PSVRegWrite_Convertible(3), S_OK);
    EXPECT_EQ(PSVRegWrite_Convertible(1), S_OK);
    EXPECT_EQ(fake.values,
              (std::map<std::wstring, DWORD>{{L"KeyboardPidVid", 0x77}, {L"Convertible", 1}}));
}

TEST_F(InstallChecks, ReadersGiveMinusOneWithARecord) {
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu) << "no key";
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegRead_DWORD): Error Code: 0xffffffff"), 1);
    fake.keyExists = true;
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu) << "no value";
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegRead_DWORD): Error Code: 0xffffffff"), 2);
    fake.values[L"Convertible"] = 3;
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 3u);
    EXPECT_EQ(TestLog::Count("[TRC] (PSVRegRead_DWORD): ENTER PSVRegRead_DWORD"), 3);
}

TEST_F(InstallChecks, WorkaroundReaderWritesNoTraceRecords) {
    EXPECT_EQ(PSVRegRead_WorkAround(), 0xFFFFFFFFu);
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegRead_WorkAround): Error Code: 0xffffffff"), 1);
    fake.keyExists = true;
    fake.values[L"NoWorkaround"] = 0;
    EXPECT_EQ(PSVRegRead_WorkAround(), 0u);
    EXPECT_EQ(TestLog::Count("ENTER"), 0);
    EXPECT_EQ(TestLog::Count("LEAVE"), 0);
}
