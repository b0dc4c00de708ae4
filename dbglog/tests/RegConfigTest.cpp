// RegConfigAccess on the real registry, in a key of its own under
// HKEY_CURRENT_USER\Software\NrvTest, and the records it logs.
#include "RegConfig.h"
#include "RegConfigDetail.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using testsupport::TestLog;

namespace {

constexpr char kCloseHandleError[] = "[ERR] (RegConfigAccess::Close): Error Code: 0x80070006";

class RegConfig : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        path = L"Software\\NrvTest\\storage-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(counter++);
        nrv::UniqueHKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        TestLog::Mark();
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\NrvTest");  // when no other test uses it
    }
    bool ReadValue(const wchar_t* name, DWORD& type, DWORD& value, DWORD& size) {
        nrv::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) != 0) {
            return false;
        }
        size = sizeof(value);
        return ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                  &size) == ERROR_SUCCESS;
    }

    std::wstring path;
};

}  // namespace

TEST_F(RegConfig, WritesAFourByteValueAndClosesQuietly) {
    {
        RegConfigAccess access;
        ASSERT_EQ(access.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS), S_OK);
        EXPECT_EQ(access.SetValue(L"LEDSTATE", REG_DWORD, 1), S_OK);
        DWORD type = 0, value = 0, size = 0;
        ASSERT_TRUE(ReadValue(L"LEDSTATE", type, value, size));
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(value, 1u);
        EXPECT_EQ(access.Close(), S_OK);
        EXPECT_FALSE(access.IsOpen());
        EXPECT_EQ(TestLog::Count("RegConfigAccess::"), 0);
    }
    EXPECT_EQ(TestLog::Count(kCloseHandleError), 1) << "destroyed after Close";
}

TEST_F(RegConfig, DestroyedUnopenedWritesOneHandleError) {
    { RegConfigAccess access; }
    EXPECT_EQ(TestLog::Count("RegConfig.cpp("), 1);
    EXPECT_EQ(TestLog::Count(kCloseHandleError), 1);
}

TEST_F(RegConfig, OpenRefusalsAndFailures) {
    RegConfigAccess access;
    ASSERT_EQ(access.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS), S_OK);
    EXPECT_EQ(access.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS), E_HANDLE);
    EXPECT_EQ(TestLog::Count("[ERR] (RegConfigAccess::Open): Error Code: 0x80070006"), 1);
    EXPECT_EQ(access.SetValue(L"v", REG_DWORD, 2), S_OK) << "the first key stays open";

    RegConfigAccess other;
    EXPECT_EQ(other.Open(HKEY_CURRENT_USER, nullptr, KEY_READ), E_POINTER);
    EXPECT_EQ(TestLog::Count("[ERR] (RegConfigAccess::Open): Error Code: 0x80004003"), 1);
    const std::wstring missing = path + L"\\missing";
    EXPECT_EQ(other.Open(HKEY_CURRENT_USER, missing.c_str(), KEY_READ),
              static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(TestLog::Count("[WRN] (RegConfigAccess::Open): Open " + testsupport::Narrow(missing) +
                             " failed, 80070002"),
              1);
    EXPECT_FALSE(other.IsOpen());
}

TEST_F(RegConfig, WritesWithoutAKeyOrWithoutTheRightAreLogged) {
    RegConfigAccess access;
    EXPECT_EQ(access.SetValue(L"v", REG_DWORD, 1), E_HANDLE);
    EXPECT_EQ(TestLog::Count("[ERR] (RegConfigAccess::SetValue): Error Code: 0x80070006"), 1);

    ASSERT_EQ(access.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ), S_OK);
    EXPECT_EQ(access.SetValue(L"v", REG_DWORD, 1), E_ACCESSDENIED);
    EXPECT_EQ(TestLog::Count("[ERR] (RegConfigAccess::SetValue): Error Code: 0x80070005"), 1);
    DWORD type = 0, value = 0, size = 0;
    EXPECT_FALSE(ReadValue(L"v", type, value, size));
}

namespace {

// Sees every close of RegConfigAccess; fails while failing is set.
std::vector<HKEY> g_closes;
bool g_closeFails = false;

LONG WINAPI RecordingClose(HKEY key) {
    g_closes.push_back(key);
    return g_closeFails ? ERROR_INVALID_HANDLE : ::RegCloseKey(key);
}

}  // namespace

TEST_F(RegConfig, AKeyIsClosedAtMostOnceAfterItsLastTry) {
    const auto previous = std::exchange(dbglog::detail::g_regCloseKey, RecordingClose);
    g_closes.clear();
    HKEY held = nullptr;
    {
        RegConfigAccess access;
        ASSERT_EQ(access.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS), S_OK);
        g_closeFails = true;
        EXPECT_EQ(access.Close(), static_cast<HRESULT>(0x80070006));
        EXPECT_TRUE(access.IsOpen()) << "a key that fails to close stays held";
        ASSERT_EQ(g_closes.size(), 1u);
        held = g_closes[0];
    }
    // The destructor tries once more and then forgets the key: nothing
    // closes that handle value a third time.
    EXPECT_EQ(g_closes, (std::vector<HKEY>{held, held}));
    EXPECT_EQ(TestLog::Count(kCloseHandleError), 2);
    g_closeFails = false;
    EXPECT_EQ(::RegCloseKey(held), ERROR_SUCCESS) << "still open: the fake never closed it";

    // A key that closes is closed once, and never again by its destructor.
    g_closes.clear();
    {
        RegConfigAccess access;
        ASSERT_EQ(access.Open(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS), S_OK);
        EXPECT_EQ(access.Close(), S_OK);
    }
    EXPECT_EQ(g_closes.size(), 1u);
    dbglog::detail::g_regCloseKey = previous;
}

TEST(RegConfigErrors, RegistryCodesBecomeHResults) {
    EXPECT_EQ(HResultFromRegistryError(ERROR_SUCCESS), S_OK);
    EXPECT_EQ(HResultFromRegistryError(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(HResultFromRegistryError(0x12345), static_cast<HRESULT>(0x80072345));
    EXPECT_EQ(HResultFromRegistryError(-5), -5);
}
