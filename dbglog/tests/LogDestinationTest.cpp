// Destinations with real files: the shared file, the file opened per record,
// the open-retry rule, the text conversion, concurrent writers.
#include "LogCore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace dbglog;
using testsupport::ReadFileBytes;
using testsupport::SplitLines;
using testsupport::TempDir;

namespace {

LogSettings FileSettings(Destination destination, const std::wstring& file) {
    LogSettings s;
    s.level = LogLevel::Trace;
    s.destination = destination;
    s.logFile = file;
    s.timeDateFormat = 0;
    return s;
}

const LogSite kSite{L"Dest.cpp", 5, L" (Test)", L"", LogLevel::Info};

int Print(Logger& logger, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = logger.Print(kSite, format, args);
    va_end(args);
    return result;
}

}  // namespace

TEST(LogDestination, SharedFileStartsEmptyAndEndsLinesWithCrLf) {
    TempDir dir;
    testsupport::WriteFileBytes(dir / L"log.txt", "old contents\r\n");
    {
        Logger logger(FileSettings(Destination::SharedFile, dir / L"log.txt"),
                      TextConversion::Runtime);
        EXPECT_GT(Print(logger, L"one %d", 1), 0);
        Print(logger, L"two");
    }
    EXPECT_EQ(ReadFileBytes(dir / L"log.txt"),
              "Dest.cpp(5):  [INF] (Test): one 1\r\nDest.cpp(5):  [INF] (Test): two\r\n");
}

TEST(LogDestination, FlushMakesEachRecordVisibleAtOnce) {
    TempDir dir;
    LogSettings s = FileSettings(Destination::SharedFile, dir / L"log.txt");
    s.flush = true;
    Logger logger(s, TextConversion::Runtime);
    Print(logger, L"visible");
    EXPECT_EQ(ReadFileBytes(dir / L"log.txt"), "Dest.cpp(5):  [INF] (Test): visible\r\n");
}

TEST(LogDestination, FailedSharedOpenDropsRecordsForTheLifeOfTheLogger) {
    TempDir dir;
    const std::wstring file = dir / L"a\\b\\log.txt";
    Logger logger(FileSettings(Destination::SharedFile, file), TextConversion::Runtime);
    Print(logger, L"dropped");
    ::CreateDirectoryW((dir / L"a").c_str(), nullptr);
    ::CreateDirectoryW((dir / L"a\\b").c_str(), nullptr);
    Print(logger, L"also dropped");
    logger.CloseSharedFile();
    EXPECT_FALSE(testsupport::FileExists(file));
}

TEST(LogDestination, FilePerRecordAppendsAndReopensEachTime) {
    TempDir dir;
    testsupport::WriteFileBytes(dir / L"log.txt", "kept\r\n");
    Logger logger(FileSettings(Destination::FilePerRecord, dir / L"log.txt"),
                  TextConversion::Runtime);
    Print(logger, L"first");
    // Closed between records: another program may move it away.
    ASSERT_TRUE(::MoveFileW((dir / L"log.txt").c_str(), (dir / L"moved.txt").c_str()));
    Print(logger, L"second");
    EXPECT_EQ(ReadFileBytes(dir / L"moved.txt"), "kept\r\nDest.cpp(5):  [INF] (Test): first\r\n");
    EXPECT_EQ(ReadFileBytes(dir / L"log.txt"), "Dest.cpp(5):  [INF] (Test): second\r\n");
}

TEST(LogDestination, MissingDirectoryIsCreatedOnlyOneLevelDeep) {
    TempDir dir;
    FILE* oneLevel = OpenLogFile(dir / L"new\\log.txt", L"a");
    ASSERT_NE(oneLevel, nullptr);
    std::fclose(oneLevel);
    EXPECT_TRUE(testsupport::FileExists(dir / L"new\\log.txt"));

    EXPECT_EQ(OpenLogFile(dir / L"x\\y\\log.txt", L"a"), nullptr);
    EXPECT_FALSE(testsupport::DirectoryExists(dir / L"x"));
}

TEST(LogDestination, EnvironmentVariablesInTheLogFileAreExpanded) {
    TempDir dir;
    ::SetEnvironmentVariableW(L"NRV_LOG_DIR_TEST", dir.Path().c_str());
    Logger logger(FileSettings(Destination::FilePerRecord, L"%NRV_LOG_DIR_TEST%\\env.txt"),
                  TextConversion::Runtime);
    Print(logger, L"expanded");
    EXPECT_NE(ReadFileBytes(dir / L"env.txt").find("expanded"), std::string::npos);
}

TEST(LogDestination, DestinationNoneWritesNothingNotEvenHexDumps) {
    TempDir dir;
    Logger logger(FileSettings(Destination::None, dir / L"log.txt"), TextConversion::Runtime);
    EXPECT_EQ(Print(logger, L"nothing"), 0);
    const unsigned char bytes[3] = {1, 2, 3};
    EXPECT_EQ(logger.HexDump(bytes, 3), bytes + 2);
    EXPECT_FALSE(testsupport::FileExists(dir / L"log.txt"));
}

TEST(LogDestination, LevelAboveTheThresholdIsNotWrittenButHexDumpIs) {
    TempDir dir;
    LogSettings s = FileSettings(Destination::FilePerRecord, dir / L"log.txt");
    s.level = LogLevel::Error;
    Logger logger(s, TextConversion::Runtime);
    EXPECT_EQ(Print(logger, L"info record"), 0);
    const unsigned char bytes[17] = {'a'};
    EXPECT_EQ(logger.HexDump(bytes, 17), bytes + 16);
    EXPECT_EQ(logger.HexDump(nullptr, 17), nullptr);
    EXPECT_EQ(logger.HexDump(bytes, 0), bytes);
    const auto lines = SplitLines(ReadFileBytes(dir / L"log.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 8), " 0000 : ");
    EXPECT_EQ(lines[1].substr(0, 8), " 0010 : ");
}

TEST(LogDestination, TextConversionKeepsEveryRecordWhole) {
    char out[64];
    // U+00E9 is 0xE9 in the ANSI code page of an English system.
    if (::GetACP() == 1252) {
        const std::size_t n =
            ToLogBytes(L"caf\u00e9\n", 5, TextConversion::AnsiCodePage, out, sizeof out);
        EXPECT_EQ(std::string(out, n), "caf\xe9\n");
    }
    // A character the runtime cannot convert stands as '?', and the line feed stays.
    const std::size_t n = ToLogBytes(L"a\u4e2db\n", 4, TextConversion::Runtime, out, sizeof out);
    EXPECT_EQ(std::string(out, n), "a?b\n");
    EXPECT_EQ(ToLogBytes(L"plain", 5, TextConversion::Runtime, out, sizeof out), 5u);
}

TEST(LogDestination, ConcurrentWritersKeepRecordsWhole) {
    TempDir dir;
    {
        Logger logger(FileSettings(Destination::SharedFile, dir / L"log.txt"),
                      TextConversion::Runtime);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < 250; ++i)
                    Print(logger, L"thread %d record %d %s", t, i, L"abcdefghijklmnop");
            });
        }
        for (auto& thread : threads) thread.join();
    }
    const auto lines = SplitLines(ReadFileBytes(dir / L"log.txt"));
    ASSERT_EQ(lines.size(), 1000u);
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind("Dest.cpp(5):  [INF] (Test): thread ", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 16), "abcdefghijklmnop") << line;
    }
}
