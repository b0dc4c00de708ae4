// "DbgLog.ini": where it is looked for, how its values are read and which
// values fall back to the program's defaults.
#include "LogCore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace dbglog;
using testsupport::TempDir;

namespace {

const ProgramDefaults kService{LogLevel::Error, Destination::SharedFile, L"%LocalAppData%\\svc.txt",
                               TextConversion::Runtime};
const ProgramDefaults kPen{LogLevel::Trace, Destination::Debugger, L"DbgLog.txt",
                           TextConversion::AnsiCodePage};

RawLogSettings Raw(int level, int destination, int timeDate = 1) {
    return {level, destination, L"x.txt", 0, timeDate, 0};
}

}  // namespace

TEST(LogSettings, OutOfRangeValuesGiveTheProgramDefaults) {
    EXPECT_EQ(NormalizeSettings(Raw(9, 7), kService).level, LogLevel::Error);
    EXPECT_EQ(NormalizeSettings(Raw(9, 7), kService).destination, Destination::SharedFile);
    EXPECT_EQ(NormalizeSettings(Raw(9, 7), kPen).level, LogLevel::Trace);
    EXPECT_EQ(NormalizeSettings(Raw(9, 7), kPen).destination, Destination::Debugger);
    EXPECT_EQ(NormalizeSettings(Raw(-1, -1), kPen).destination, Destination::Debugger);
    EXPECT_EQ(NormalizeSettings(Raw(0, 0, 5), kPen).timeDateFormat, 1);
    EXPECT_EQ(NormalizeSettings(Raw(0, 0, -2), kPen).timeDateFormat, 1);
}

TEST(LogSettings, InRangeValuesAreKept) {
    for (int level = 0; level <= 3; ++level) {
        EXPECT_EQ(NormalizeSettings(Raw(level, 2), kPen).level, static_cast<LogLevel>(level));
    }
    for (int destination = 0; destination <= 4; ++destination) {
        EXPECT_EQ(NormalizeSettings(Raw(1, destination), kPen).destination,
                  static_cast<Destination>(destination));
    }
    for (int format = 0; format <= 3; ++format) {
        EXPECT_EQ(NormalizeSettings(Raw(1, 2, format), kPen).timeDateFormat, format);
    }
}

TEST(LogSettings, OnlyOneSelectsFullPathAndFlush) {
    RawLogSettings raw = Raw(0, 2);
    for (int value : {0, 2, -1, 1}) {
        raw.sourceFileFormat = value;
        raw.flush = value;
        EXPECT_EQ(NormalizeSettings(raw, kPen).fullSourcePath, value == 1);
        EXPECT_EQ(NormalizeSettings(raw, kPen).flush, value == 1);
    }
}

TEST(LogSettings, ReadsSectionLogOfARealFile) {
    TempDir dir;
    testsupport::WriteFileBytes(
        dir / L"DbgLog.ini",
        "[OTHER]\r\nLevel=1\r\n[LOG]\r\nLevel=2\r\nDestination=3\r\nLogFile=%TEMP%\\a.txt\r\n"
        "SourceFileFormat=1\r\nTimeDateFormat=0\r\nFlush=1\r\n");
    const LogSettings s = ReadLogSettings(dir / L"DbgLog.ini", kService);
    EXPECT_EQ(s.level, LogLevel::Info);
    EXPECT_EQ(s.destination, Destination::FilePerRecord);
    EXPECT_EQ(s.logFile, L"%TEMP%\\a.txt");
    EXPECT_TRUE(s.fullSourcePath);
    EXPECT_EQ(s.timeDateFormat, 0);
    EXPECT_TRUE(s.flush);
}

TEST(LogSettings, MissingFileOrKeysGiveDefaults) {
    TempDir dir;
    for (const std::wstring& path : {dir / L"DbgLog.ini", std::wstring()}) {
        const LogSettings s = ReadLogSettings(path, kService);
        EXPECT_EQ(s.level, LogLevel::Error);
        EXPECT_EQ(s.destination, Destination::SharedFile);
        EXPECT_EQ(s.logFile, kService.logFile);
        EXPECT_EQ(s.timeDateFormat, 1);
        EXPECT_FALSE(s.flush);
    }
    testsupport::WriteFileBytes(dir / L"DbgLog.ini", "[LOG]\r\nLevel=abc\r\n");
    EXPECT_EQ(ReadLogSettings(dir / L"DbgLog.ini", kPen).level, LogLevel::Error)
        << "no digits read as 0";
}

TEST(LogSettings, LogFileIsAtMost259Characters) {
    TempDir dir;
    testsupport::WriteFileBytes(dir / L"DbgLog.ini",
                                "[LOG]\r\nLogFile=" + std::string(400, 'a') + "\r\n");
    EXPECT_EQ(ReadLogSettings(dir / L"DbgLog.ini", kService).logFile, std::wstring(259, L'a'));
}

TEST(LogSettings, SettingsFileLiesBesideTheExecutable) {
    EXPECT_EQ(SettingsPathFor(L"C:\\Program Files\\NORVALE\\POSTURESVC.exe"),
              L"C:\\Program Files\\NORVALE\\DbgLog.ini");
    EXPECT_EQ(SettingsPathFor(L"C:\\tool.exe"), L"C:\\DbgLog.ini");
    EXPECT_EQ(SettingsPathFor(L""), L"");
}
