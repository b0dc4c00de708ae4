// Which command lines start or stop the service.
#include "LaunchCommand.h"

#include <gtest/gtest.h>

using namespace posturelaunch;

namespace {
const wchar_t* ParametersFor(const wchar_t* commandLine) {
    return CmdParametersFor(CommandLineTail(commandLine));
}
}  // namespace

TEST(LaunchCommand, OnlyTheExactSwitchesRunNet) {
    EXPECT_STREQ(ParametersFor(L"POSTURESVCINST.exe /START"), L"/C net start \"POSTURESVC\"");
    EXPECT_STREQ(ParametersFor(L"POSTURESVCINST.exe /STOP"), L"/C net stop \"POSTURESVC\"");
    EXPECT_STREQ(ParametersFor(L"POSTURESVCINST.exe    /STOP"), kStopParameters)
        << "leading blanks go";
    EXPECT_STREQ(ParametersFor(L"\"C:\\Program Files\\NORVALE\\POSTURESVCINST.exe\" /START"),
                 kStartParameters);
    EXPECT_STREQ(ParametersFor(L"\"C:\\Program Files\\x.exe\"/START"), kStartParameters);

    for (const wchar_t* ignored :
         {L"POSTURESVCINST.exe /start", L"POSTURESVCINST.exe /START ",
          L"POSTURESVCINST.exe /START /STOP", L"POSTURESVCINST.exe", L"POSTURESVCINST.exe   ",
          L"POSTURESVCINST.exe START", L"\"unterminated /START", L""}) {
        EXPECT_EQ(ParametersFor(ignored), nullptr) << testing::PrintToString(std::wstring(ignored));
    }
    EXPECT_EQ(ParametersFor(nullptr), nullptr);
}

TEST(LaunchCommand, TheProgramNameEndsAtItsBlankOrClosingQuote) {
    EXPECT_STREQ(CommandLineTail(L"a.exe  x y"), L"x y");
    EXPECT_STREQ(CommandLineTail(L"\"a b.exe\" x"), L"x");
    EXPECT_STREQ(CommandLineTail(L"a.exe"), L"");
}
