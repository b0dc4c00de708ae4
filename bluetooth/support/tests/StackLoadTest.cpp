// The library loaded the way the Windows Bluetooth stack loads it: the path
// read from "SupportDLL", LoadLibrary, GetProcAddress by the plain names.
// Here no radio switch device exists, neither as an interface nor under its
// fallback name.
#include "RadioSupportKey.h"
#include "StackHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using bttest::RadioSupportKey;
using bttest::StackHost;

TEST(StackLoad, WithoutTheDeviceEveryCallFailsToOpen) {
    RadioSupportKey key;
    StackHost stack(key);
    ASSERT_TRUE(stack.Loaded());

    BOOL enabled = 7;
    EXPECT_EQ(stack.IsEnabled(&enabled), static_cast<DWORD>(ERROR_OPEN_FAILED));
    EXPECT_EQ(enabled, 7);
    EXPECT_EQ(stack.IsEnabled(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(stack.DebugStrings().empty());

    EXPECT_EQ(stack.Enable(TRUE), static_cast<DWORD>(ERROR_OPEN_FAILED));
    EXPECT_EQ(stack.Enable(FALSE), static_cast<DWORD>(ERROR_OPEN_FAILED));
    EXPECT_EQ(stack.DebugStrings(), (std::vector<std::string>{"BluetoothEnableRadio() Called\n",
                                                              "BluetoothEnableRadio() Called\n"}));
}

// Run by with-fallback-name.sh: no interface, but "\\.\NrvACPI" opens (to a
// file that answers no radio switch request), so the calls get as far as
// the status request.
TEST(StackLoadFallback, WithoutAnInterfaceTheFallbackNameIsOpened) {
    RadioSupportKey key;
    StackHost stack(key);
    ASSERT_TRUE(stack.Loaded());
    BOOL enabled = 7;
    EXPECT_EQ(stack.IsEnabled(&enabled), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(enabled, 7);
    EXPECT_EQ(stack.Enable(TRUE), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(stack.Enable(FALSE), static_cast<DWORD>(ERROR_IO_DEVICE));
}
