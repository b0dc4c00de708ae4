// The posture service key on the real registry (HKEY_LOCAL_MACHINE), with a
// scripted firmware and a virtual clock: the install checks' decisions as
// they land in the registry, and the readers. Each test starts and ends
// without the key.
#include "FakeMachine.h"
#include "MachineConfig.h"
#include "PostureKeyCleanup.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

using posturetest::FakeMachine;
using posturetest::UseEnvironment;
using testsupport::TestLog;

namespace {

// Scripted firmware and clock, the real key.
class RealKeyMachine : public FakeMachine {
public:
    std::unique_ptr<posture::PostureKey> CreatePostureKey(bool& created) override {
        return posture::Win32MachineEnvironment().CreatePostureKey(created);
    }
    std::unique_ptr<posture::PostureKey> OpenPostureKey() override {
        return posture::Win32MachineEnvironment().OpenPostureKey();
    }
};

using posturetest::DeletePostureKey;

bool KeyExists() {
    nrv::UniqueHKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPostureServiceKey, 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
}

// A value as stored: type and 4 bytes.
bool StoredDword(const wchar_t* name, DWORD& value, DWORD& type) {
    nrv::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPostureServiceKey, 0, KEY_READ, key.put()) != 0) {
        return false;
    }
    DWORD size = sizeof(value);
    return ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                              &size) == ERROR_SUCCESS &&
           size == sizeof(value);
}

void StoreRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    nrv::UniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPostureServiceKey, 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
}

class PostureRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        DeletePostureKey();
        ASSERT_FALSE(KeyExists());
        posture::ClearMachineTables();
        TestLog::Mark();
    }
    void TearDown() override {
        posture::ClearMachineTables();
        DeletePostureKey();
        EXPECT_FALSE(KeyExists());
    }
    void ExpectStored(const wchar_t* name, DWORD expected) {
        DWORD value = 0, type = 0;
        ASSERT_TRUE(StoredDword(name, value, type)) << testsupport::Narrow(name);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(value, expected) << testsupport::Narrow(name);
    }
    void ExpectAbsent(const wchar_t* name) {
        DWORD value = 0, type = 0;
        EXPECT_FALSE(StoredDword(name, value, type)) << testsupport::Narrow(name);
    }
    void ListModel(DWORD manufacturer, DWORD machine) {
        ConvertibleTables[static_cast<std::size_t>(posture::ManufacturerIndex(manufacturer))]
                         [machine] = 1;
        PidVidTable[manufacturer][machine] = 0x0A3F046D;
        WorkaroundTable[manufacturer][machine] = 1;
    }

    RealKeyMachine machine;
    UseEnvironment use{machine};
};

}  // namespace

TEST_F(PostureRegistry, WritersCreateTheKey) {
    EXPECT_EQ(PSVRegWrite_PIDVID(0x12345678), S_OK);
    ExpectStored(L"KeyboardPidVid", 0x12345678);
    EXPECT_EQ(PSVRegRead_DWORD(L"KeyboardPidVid"), 0x12345678u);
    EXPECT_EQ(PSVRegWrite_WorkAround(), S_OK);
    ExpectAbsent(L"NoWorkaround");
    EXPECT_EQ(PSVRegWrite_Convertible(2), S_OK);
    ExpectStored(L"Convertible", 2);
    EXPECT_EQ(PSVRegWrite_Convertible(1), S_OK);
    ExpectStored(L"Convertible", 1);
    EXPECT_EQ(TestLog::Count("[ERR]"), 0);
}

TEST_F(PostureRegistry, WorkaroundWriterOnANewKeyWritesOne) {
    EXPECT_EQ(PSVRegWrite_WorkAround(), S_OK);
    ExpectStored(L"NoWorkaround", 1);
    EXPECT_EQ(PSVRegRead_WorkAround(), 1u);
}

TEST_F(PostureRegistry, ReadersWithoutKeyOrValue) {
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu);
    EXPECT_EQ(PSVRegRead_WorkAround(), 0xFFFFFFFFu);
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegRead_DWORD): Error Code: 0xffffffff"), 1);
    EXPECT_EQ(TestLog::Count("[ERR] (PSVRegRead_WorkAround): Error Code: 0xffffffff"), 1);
    PSVRegWrite_Convertible(3);
    EXPECT_EQ(PSVRegRead_DWORD(L"DockRotation"), 0xFFFFFFFFu);
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 3u);
}

TEST_F(PostureRegistry, ReadersTakeFourBytesOfAnyType) {
    const DWORD binary = 0x01020304;
    StoreRaw(L"DockRotation", REG_BINARY, &binary, sizeof(binary));
    EXPECT_EQ(PSVRegRead_DWORD(L"DockRotation"), 0x01020304u);
    const BYTE one = 1;
    StoreRaw(L"NoWorkaround", REG_BINARY, &one, sizeof(one));
    EXPECT_EQ(PSVRegRead_WorkAround(), 1u) << "a shorter value leaves the rest zero";
    const wchar_t text[] = L"a long text value";
    StoreRaw(L"Convertible", REG_SZ, text, sizeof(text));
    EXPECT_EQ(PSVRegRead_DWORD(L"Convertible"), 0xFFFFFFFFu) << "longer than the buffer";
    const DWORD all = 0xFFFFFFFF;
    StoreRaw(L"KeyboardPidVid", REG_DWORD, &all, sizeof(all));
    EXPECT_EQ(PSVRegRead_DWORD(L"KeyboardPidVid"), 0xFFFFFFFFu);
}

TEST_F(PostureRegistry, FirstAndSecondInstallOnAListedMachine) {
    ListModel(0xFF50, 0x0A01);
    machine.manufacturer = 0xFF50;
    machine.machine = 0x0A01;
    machine.RunInstallChecks();
    ExpectStored(L"NoWorkaround", 1);
    ExpectStored(L"Convertible", 1);
    ExpectAbsent(L"KeyboardPidVid");  // the key existed by then
    EXPECT_EQ(TestLog::Count("Need add the workaround"), 1);
    EXPECT_EQ(TestLog::Count("is PIDVID Keyboard PIDVID = a3f046d"), 1);

    // Another model's values in the tables, the same key: only Convertible moves.
    posture::ClearMachineTables();
    ConvertibleTables[0][0x0A01] = 2;
    PidVidTable[0xFF50][0x0A01] = 0x11112222;
    WorkaroundTable[0xFF50][0x0A01] = 1;
    StoreRaw(L"NoWorkaround", REG_DWORD, "\0\0\0\0", 4);
    machine.RunInstallChecks();
    ExpectStored(L"NoWorkaround", 0);
    ExpectStored(L"Convertible", 2);
    ExpectAbsent(L"KeyboardPidVid");
    EXPECT_EQ(machine.now, 2u * (2050 + 150 + 100));
}

TEST_F(PostureRegistry, KeyboardModelWithoutWorkaround) {
    PidVidTable[0xFF00][0x0C10] = 0x0A3F046D;
    machine.manufacturer = 0xFF00;
    machine.machine = 0x0C10;
    machine.RunInstallChecks();
    ExpectStored(L"KeyboardPidVid", 0x0A3F046D);
    ExpectAbsent(L"Convertible");
    ExpectAbsent(L"NoWorkaround");
}

TEST_F(PostureRegistry, UnlistedOrUnreadableMachineLeavesNoKey) {
    ListModel(0xFF50, 0x0A01);
    machine.manufacturer = 0xFF50;
    machine.machine = 0x0A02;
    machine.RunInstallChecks();
    machine.readSucceeds = false;
    machine.RunInstallChecks();
    machine.readSucceeds = true;
    machine.status = 0x8000;
    machine.machine = 0x0A01;
    machine.RunInstallChecks();
    EXPECT_FALSE(KeyExists());
}

// The installed sample on the real registry: a listed keyboard model.
TEST_F(PostureRegistry, SampleConfigurationInstall) {
    posturetest::SetWorkPath(testsupport::ExeDirectory());
    ReadConfigFile();
    machine.manufacturer = 0xFF50;
    machine.machine = 0x0A10;
    machine.RunInstallChecks();
    ExpectStored(L"KeyboardPidVid", 0x00071A2C);
    ExpectAbsent(L"Convertible");
    ExpectAbsent(L"NoWorkaround");
}
