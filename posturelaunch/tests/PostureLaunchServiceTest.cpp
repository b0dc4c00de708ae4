// POSTURESVCINST against a real service named "POSTURESVC" in the service
// control manager, through Wine's own cmd and net.
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

using nrv::UniqueServiceHandle;

class PostureLauncher : public ::testing::Test {
protected:
    UniqueServiceHandle manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    UniqueServiceHandle service;

    void SetUp() override {
        ASSERT_TRUE(manager);
        RemoveService();
        const std::wstring binary = L"\"" + ExeDirectory() + L"\\standin_service.exe\"";
        service.reset(::CreateServiceW(manager.get(), L"POSTURESVC", L"POSTURESVC",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << ::GetLastError();
    }

    void TearDown() override {
        service.reset();
        RemoveService();
    }

    void RemoveService() { StopAndDeleteService(manager.get(), L"POSTURESVC"); }

    DWORD State() { return ServiceState(service.get()); }

    // Runs the launcher; it always exits 0 after about a second.
    void Launch(const std::wstring& arguments) {
        const ULONGLONG start = ::GetTickCount64();
        const ProcessResult result =
            RunProcess(ExeDirectory() + L"\\POSTURESVCINST.exe", arguments);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_GE(::GetTickCount64() - start, 990u);
    }
};

}  // namespace

TEST_F(PostureLauncher, StartsAndStopsTheServiceThroughNet) {
    ASSERT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED));
    Launch(L"/START");
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_RUNNING; }, 15000));
    Launch(L"/STOP");
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 15000));
}

TEST_F(PostureLauncher, OtherCommandLinesStartNothing) {
    for (const wchar_t* arguments : {L"/start", L"/START ", L"/START /STOP", L""}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(arguments)));
        Launch(arguments);
        ::Sleep(1500);  // long enough for cmd and net to have started it
        EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED));
    }
}
