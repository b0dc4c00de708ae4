// Raw input registration for a real window (needs a display).
#include "PenNoteWin32.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace pennote;
using testsupport::TestLog;

TEST(RawInput, RegistersPenAndDigitizerForTheWindow) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PenNoteRawInputTest";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0,
                                    10, 10, nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    TestLog::Mark();
    EXPECT_EQ(RegisterNofify(window), 1);
    EXPECT_EQ(TestLog::Count("(RegisterNofify): ENTER RegisterNofify"), 1);

    RAWINPUTDEVICE devices[8];
    UINT count = 8;
    const UINT n = ::GetRegisteredRawInputDevices(devices, &count, sizeof(RAWINPUTDEVICE));
    ASSERT_EQ(n, 2u);
    for (UINT i = 0; i < n; ++i) {
        EXPECT_EQ(devices[i].usUsagePage, 0x0D);
        EXPECT_EQ(devices[i].dwFlags, static_cast<DWORD>(RIDEV_INPUTSINK));
        EXPECT_EQ(devices[i].hwndTarget, window);
    }
    ::DestroyWindow(window);
}
