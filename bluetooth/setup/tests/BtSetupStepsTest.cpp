// btsetup's registration steps on the real "Radio Support" key, run in this
// process: the program folder is this test binary's. The radio switch device
// is absent here (no driver is loaded for these tests).
#include "BtSetup.h"
#include "RadioSupportKey.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

using namespace btsetup;
using bttest::RadioSupportKey;

namespace {

std::string Terminated(const std::string& text) {
    return text + '\0';
}

class BtSetupSteps : public ::testing::Test {
protected:
    RadioSupportKey key;
    std::string library;  // what registration writes, terminator included

    void SetUp() override {
        char folder[MAX_PATH];
        ASSERT_TRUE(GetProgramFolder(folder, sizeof folder));
        library = Terminated(std::string(folder) + "NrvBtRadio64.dll");
        CRfSwBase probe;
        ASSERT_FALSE(probe.OpenRadioSwitch()) << "these tests need the radio switch device absent";
    }
};

}  // namespace

TEST_F(BtSetupSteps, ProgramFolderAndDriverFolders) {
    char folder[MAX_PATH];
    ASSERT_TRUE(GetProgramFolder(folder, sizeof folder));
    EXPECT_EQ(testsupport::Widen(folder), testsupport::ExeDirectory() + L"\\");
    char small[8];
    EXPECT_FALSE(GetProgramFolder(small, sizeof small));
    EXPECT_STREQ(DriverFolderFor(true, true), "Drivers\\x64");
    EXPECT_STREQ(DriverFolderFor(true, false), "Drivers");
    EXPECT_STREQ(DriverFolderFor(false, true), "DriversXP\\x64");
    EXPECT_STREQ(DriverFolderFor(false, false), "DriversXP");
    EXPECT_TRUE(IsVistaOrLater());
    EXPECT_EQ(IsWow64(), sizeof(void*) == 4);  // the prefix is 64-bit Windows
}

TEST_F(BtSetupSteps, RegistrationRewritesOnlyAnotherLibrary) {
    key.Set(Terminated("C:\\Old\\Other.dll"));
    EXPECT_FALSE(RegisterSupportLibrary(false)) << "32-bit Windows: never registered";
    EXPECT_EQ(key.Value(), Terminated("C:\\Old\\Other.dll"));

    EXPECT_TRUE(RegisterSupportLibrary(true));
    DWORD type = 0;
    EXPECT_EQ(key.Value(&type), library);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    // The same path in other letter case is left as it is.
    std::string upper = library;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    key.Set(upper);
    EXPECT_FALSE(RegisterSupportLibrary(true));
    EXPECT_EQ(key.Value(), upper);

    // Stored without its terminator: compared as the text it holds.
    key.Set(library.substr(0, library.size() - 1));
    EXPECT_FALSE(RegisterSupportLibrary(true));

    // A value that fills the whole read, or is longer, is another library.
    for (size_t length : {512u, 513u, 2000u}) {
        SCOPED_TRACE(length);
        key.Set(std::string(length, 'a'));
        EXPECT_TRUE(RegisterSupportLibrary(true));
        EXPECT_EQ(key.Value(), library);
    }
}

TEST_F(BtSetupSteps, NothingIsCreated) {
    key.DeleteValue();
    EXPECT_FALSE(RegisterSupportLibrary(true));
    CRfSwBase device;
    EXPECT_FALSE(CheckRadioSwitchDevice(device));
    EXPECT_FALSE(key.Value());

    key.DeleteKey();
    EXPECT_FALSE(RegisterSupportLibrary(true));
    EXPECT_FALSE(CheckRadioSwitchDevice(device));
    EXPECT_FALSE(RadioSupportKey::Exists());
}

TEST_F(BtSetupSteps, AbsentDeviceEmptiesTheRegistration) {
    CRfSwBase device;
    for (const std::string& found :
         {Terminated("C:\\Pkg\\NrvBtRadio64.dll"), std::string(600, 'a'), std::string(512, 'a')}) {
        key.Set(found);
        EXPECT_TRUE(CheckRadioSwitchDevice(device));
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(key.Value(), std::string(1, '\0'));
    }
    // Already empty: nothing is written.
    EXPECT_FALSE(CheckRadioSwitchDevice(device));
    EXPECT_EQ(key.Value(), std::string(1, '\0'));
}
