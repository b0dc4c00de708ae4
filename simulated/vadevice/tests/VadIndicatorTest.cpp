// The posture indicators and the keyboard list, as the posture service uses
// them: SetupDi enumeration of the two interface classes, one-byte writes to
// the device path found, RegNotifyChangeKeyValue on kbdclass\Enum; each
// change made through vadctl or the control channel.

#include <cwctype>

#include "TestSupport.h"
#include "VadDeviceSupport.h"
#include "VadNotebook.h"

using namespace vadtest;
using testsupport::ProcessResult;

namespace {

using ServiceHandle = nrv::UniqueServiceHandle;

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring PathOf(ULONG indicator) {
    return vadsim::FindInterfacePath(vadsim::IndicatorGuid(indicator));
}

// As the posture service toggles: opened for writing, without sharing, as an
// existing device.
nrv::UniqueFileHandle OpenForWriting(const std::wstring& path) {
    return nrv::UniqueFileHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

Result WriteBytes(HANDLE device, DWORD count) {
    const unsigned char bytes[4] = {};
    Result result;
    result.ok = ::WriteFile(device, bytes, count, &result.bytes, nullptr) != FALSE;
    if (!result.ok) result.error = ::GetLastError();
    return result;
}

class Indicators : public DeviceTest {
protected:
    void TearDown() override {
        for (ULONG i = 0; i < vadsim::kIndicatorCount; ++i) {
            control.SetIndicatorPresent(i, true);
            vadsim::SetIndicatorLinked(i, true);
        }
    }

    vadsim::IndicatorState Query() {
        vadsim::IndicatorState state = {};
        EXPECT_TRUE(control.QueryIndicators(&state)) << control.Error();
        return state;
    }

    std::string Ok(const std::wstring& args) {
        const ProcessResult result = RunVadctl(args);
        EXPECT_EQ(result.exitCode, 0u) << testsupport::Narrow(args) << ": " << result.standardError;
        return result.standardOutput;
    }
};

}  // namespace

TEST_F(Indicators, EnumerationFindsEachInterfaceAsPresent) {
    const struct {
        ULONG indicator;
        const wchar_t* path;
    } cases[] = {
        {vadsim::kIndicatorSlate,
         L"\\\\?\\root#nrvslateindicator#0000#{317fc439-3f77-41c8-b09e-08ad63272aa3}"},
        {vadsim::kIndicatorDock,
         L"\\\\?\\root#nrvdockindicator#0000#{a84e689b-0dce-493a-a164-acde05478fc3}"},
    };
    for (const auto& c : cases) {
        DWORD error = 0;
        const std::wstring path =
            vadsim::FindInterfacePath(vadsim::IndicatorGuid(c.indicator), &error);
        EXPECT_EQ(Lower(path), c.path) << error;
        EXPECT_EQ(Lower(testsupport::Widen(
                      Ok(L"indicator-path " + std::wstring(c.indicator ? L"dock" : L"slate")))),
                  std::wstring(c.path) + L"\n");
    }
}

TEST_F(Indicators, EachOneByteWriteTogglesAndIsCounted) {
    nrv::UniqueFileHandle slate = OpenForWriting(PathOf(vadsim::kIndicatorSlate));
    ASSERT_TRUE(slate) << ::GetLastError();
    for (int i = 0; i < 3; ++i) {
        const Result r = WriteBytes(slate.get(), 1);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.bytes, 1u);
    }
    vadsim::IndicatorState state = Query();
    EXPECT_EQ(state.state[vadsim::kIndicatorSlate], 1u);  // laptop
    EXPECT_EQ(state.writes[vadsim::kIndicatorSlate], 3u);
    EXPECT_EQ(state.openHandles[vadsim::kIndicatorSlate], 1u);
    EXPECT_EQ(state.writes[vadsim::kIndicatorDock], 0u);
    slate.reset();

    nrv::UniqueFileHandle dock = OpenForWriting(PathOf(vadsim::kIndicatorDock));
    ASSERT_TRUE(dock) << ::GetLastError();
    EXPECT_TRUE(WriteBytes(dock.get(), 1).ok);
    const Result twoBytes = WriteBytes(dock.get(), 2);  // not a toggle
    EXPECT_FALSE(twoBytes.ok);
    dock.reset();
    state = Query();
    EXPECT_EQ(state.state[vadsim::kIndicatorDock], 1u);
    EXPECT_EQ(state.writes[vadsim::kIndicatorDock], 1u);
    EXPECT_EQ(state.refused[vadsim::kIndicatorDock], 1u);
    EXPECT_EQ(state.openHandles[vadsim::kIndicatorSlate], 0u);

    EXPECT_EQ(Ok(L"indicators"),
              "slate laptop writes=3 refused=0 handles=0\n"
              "dock docked writes=1 refused=1 handles=0\n");
    Ok(L"reset");
    EXPECT_EQ(Ok(L"indicators"),
              "slate slate writes=0 refused=0 handles=0\n"
              "dock undocked writes=0 refused=0 handles=0\n");
}

// Wine hands out the second handle whatever IRP_MJ_CREATE answers; the
// device then fails its writes. On Windows the second CreateFile fails.
TEST_F(Indicators, ASecondConcurrentOpenersWritesFail) {
    const std::wstring path = PathOf(vadsim::kIndicatorSlate);
    nrv::UniqueFileHandle first = OpenForWriting(path);
    ASSERT_TRUE(first) << ::GetLastError();
    nrv::UniqueFileHandle second = OpenForWriting(path);
    if (second) {
        const Result r = WriteBytes(second.get(), 1);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_TRUE(WriteBytes(first.get(), 1).ok);
    vadsim::IndicatorState state = Query();
    EXPECT_EQ(state.writes[vadsim::kIndicatorSlate], 1u);
    EXPECT_EQ(state.openHandles[vadsim::kIndicatorSlate], 1u);
    first.reset();
    second.reset();

    nrv::UniqueFileHandle next = OpenForWriting(path);  // free again
    EXPECT_TRUE(WriteBytes(next.get(), 1).ok);
    EXPECT_EQ(Query().writes[vadsim::kIndicatorSlate], 2u);
}

TEST_F(Indicators, ARemovedInterfaceIsNotEnumeratedAndARestoredOneIs) {
    const std::wstring path = PathOf(vadsim::kIndicatorDock);
    ASSERT_FALSE(path.empty());
    Ok(L"indicator-remove dock");
    DWORD error = 0;
    EXPECT_EQ(vadsim::FindInterfacePath(vadsim::kDockIndicatorGuid, &error), L"");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_FALSE(OpenForWriting(path));  // a path found earlier no longer opens
    EXPECT_FALSE(PathOf(vadsim::kIndicatorSlate).empty());
    EXPECT_EQ(RunVadctl(L"indicator-path dock").exitCode, 1u);
    EXPECT_NE(Ok(L"indicators").find("dock undocked writes=0 refused=0 handles=0 absent"),
              std::string::npos);

    Ok(L"indicator-restore dock");
    EXPECT_EQ(PathOf(vadsim::kIndicatorDock), path);
    nrv::UniqueFileHandle dock = OpenForWriting(path);
    EXPECT_TRUE(WriteBytes(dock.get(), 1).ok);

    Ok(L"indicator-remove SLATE");
    EXPECT_EQ(PathOf(vadsim::kIndicatorSlate), L"");
    EXPECT_FALSE(PathOf(vadsim::kIndicatorDock).empty());
    Ok(L"indicator-restore slate");
    EXPECT_FALSE(PathOf(vadsim::kIndicatorSlate).empty());
}

namespace {

class KeyboardList : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RunVadctl(L"keyboards clear").exitCode, 0u); }
    void TearDown() override { RunVadctl(L"keyboards clear"); }

    // A notification armed as the posture service arms it: names,
    // attributes, values and security, the whole subtree.
    void Arm() {
        ASSERT_EQ(
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vadsim::kKeyboardListKey, 0, KEY_NOTIFY, key.put()),
            ERROR_SUCCESS);
        ::ResetEvent(changed.get());
        ASSERT_EQ(::RegNotifyChangeKeyValue(key.get(), TRUE, 0xF, changed.get(), TRUE),
                  ERROR_SUCCESS);
    }
    bool Notified() { return ::WaitForSingleObject(changed.get(), 5000) == WAIT_OBJECT_0; }

    DWORD Count() {
        DWORD count = 0xFFFF, size = sizeof count;
        EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, vadsim::kKeyboardListKey, L"Count",
                                 RRF_RT_REG_DWORD, nullptr, &count, &size),
                  ERROR_SUCCESS);
        return count;
    }
    std::wstring Value(const wchar_t* name) {
        wchar_t text[256] = {};
        DWORD size = sizeof text;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, vadsim::kKeyboardListKey, name, RRF_RT_REG_SZ,
                           nullptr, text, &size) != ERROR_SUCCESS) {
            return L"(none)";
        }
        return text;
    }

    nrv::UniqueHKey key;
    nrv::UniqueHandle changed{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

}  // namespace

TEST_F(KeyboardList, AddAndClearChangeTheListAndNotify) {
    EXPECT_EQ(Count(), 0u);
    Arm();
    ASSERT_EQ(RunVadctl(L"keyboards add 045e 07A9").exitCode, 0u);
    EXPECT_TRUE(Notified());
    EXPECT_EQ(Count(), 1u);
    const std::wstring first = Value(L"0");
    EXPECT_EQ(first.rfind(L"HID\\VID_045E&PID_07A9\\", 0), 0u) << testsupport::Narrow(first);

    Arm();
    ASSERT_EQ(RunVadctl(L"keyboards add 0x17EF 6047").exitCode, 0u);
    EXPECT_TRUE(Notified());
    EXPECT_EQ(Count(), 2u);
    EXPECT_NE(Value(L"1").find(L"VID_17EF&PID_6047"), std::wstring::npos);
    EXPECT_EQ(Value(L"0"), first);
    const ProcessResult list = RunVadctl(L"keyboards list");
    EXPECT_EQ(testsupport::SplitLines(list.standardOutput).size(), 2u) << list.standardOutput;

    Arm();
    ASSERT_EQ(RunVadctl(L"keyboards clear").exitCode, 0u);
    EXPECT_TRUE(Notified());
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(Value(L"0"), L"(none)");
    EXPECT_EQ(Value(L"1"), L"(none)");
}

TEST_F(KeyboardList, BadIdsChangeNothing) {
    Arm();
    for (const wchar_t* args : {L"keyboards add 12345 1", L"keyboards add 45e", L"keyboards wipe",
                                L"keyboards add xyz 1"}) {
        const ProcessResult result = RunVadctl(args);
        EXPECT_EQ(result.exitCode, 2u) << testsupport::Narrow(args);
    }
    EXPECT_EQ(::WaitForSingleObject(changed.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Count(), 0u);
}

// Runs only after the fixture's cleanup (the ctest test vadsim_absent): no
// interface, registry entry or service is left.
TEST(IndicatorsWithoutDriver, NothingIsLeftBehind) {
    for (ULONG i = 0; i < vadsim::kIndicatorCount; ++i) {
        DWORD error = 0;
        EXPECT_EQ(vadsim::FindInterfacePath(vadsim::IndicatorGuid(i), &error), L"");
        const vadsim::IndicatorNames& names = vadsim::kIndicatorNames[i];
        const std::wstring interfaceKey = std::wstring(vadsim::kDeviceClassesKey) + L"\\" +
                                          names.classKey + L"\\" + names.interfaceKey;
        const std::wstring instanceKey = std::wstring(vadsim::kEnumKey) + L"\\" + names.instanceId;
        const std::wstring deviceKey = instanceKey.substr(0, instanceKey.rfind(L'\\'));
        const std::wstring classKey =
            std::wstring(vadsim::kDeviceClassesKey) + L"\\" + names.classKey;
        for (const std::wstring& path : {interfaceKey, instanceKey, deviceKey, classKey}) {
            nrv::UniqueHKey key;
            EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()),
                      ERROR_FILE_NOT_FOUND)
                << testsupport::Narrow(path);
        }
    }
    nrv::UniqueHKey list;
    EXPECT_EQ(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vadsim::kKeyboardListKey, 0, KEY_READ, list.put()),
        ERROR_FILE_NOT_FOUND);

    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager);
    ServiceHandle service(
        ::OpenServiceW(manager.get(), vadsim::kServiceName, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(service);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}
