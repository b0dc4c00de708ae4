// GoogleTest main of every test binary. The binary's own log records go,
// at every level, to a fresh file named by NRV_TEST_LOG, appended per record,
// so tests can read back what the code under test logged.
#include "DbgLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Trace, dbglog::Destination::FilePerRecord, L"%NRV_TEST_LOG%",
    dbglog::TextConversion::Runtime};

int main(int argc, char** argv) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring log =
        std::wstring(temp) + L"nrvtest-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    ::DeleteFileW(log.c_str());
    ::SetEnvironmentVariableW(L"NRV_TEST_LOG", log.c_str());

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    ::DeleteFileW(log.c_str());
    return result;
}
