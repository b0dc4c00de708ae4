// btsetup with the radio switch device present: the real driver over the
// simulated ACPI firmware device.
#include "BtSetup.h"
#include "BtSetupPackage.h"

#include <gtest/gtest.h>

using namespace btsetup;
using bttest::BtSetupProgram;

namespace {

const std::string kOther = std::string("C:\\Old\\Other.dll") + '\0';

}  // namespace

TEST(BtSetupStepsWithDevice, PresentDeviceIsKeptOpenAndTheRegistrationUntouched) {
    bttest::RadioSupportKey key;
    key.Set(kOther);
    CRfSwBase device;
    EXPECT_FALSE(CheckRadioSwitchDevice(device));
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(key.Value(), kOther);
    // Opening again closes the first handle; the unshared open still succeeds.
    EXPECT_TRUE(device.OpenRadioSwitch());
}

TEST_F(BtSetupProgram, WithTheDevicePresentTheRegistrationStays) {
    key.Set(kOther);
    RunInstaller();
#ifdef _WIN64
    // As on 32-bit Windows: never pointed at the library.
    EXPECT_EQ(key.Value(), kOther);
#else
    EXPECT_EQ(key.Value(), testsupport::Narrow(package / L"NrvBtRadio64.dll") + '\0');
#endif
}
