// Record layout: time stamps, prefix, message, the cut at 511 characters,
// and the hex dump lines.
#include "LogCore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <regex>
#include <thread>
#include <string>

using namespace dbglog;

namespace {

const LogSite kSite{L"C:\\src\\posture\\Sample.cpp", 10, L" (Run)", L"", LogLevel::Trace};

LogSettings Untimed() {
    LogSettings s;
    s.level = LogLevel::Trace;
    s.timeDateFormat = 0;
    return s;
}

struct Built {
    int result;
    std::wstring text;
};

Built Build(const LogSettings& settings, TimeStamper& stamper, const LogSite& site,
            const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    wchar_t out[kRecordChars];
    std::size_t length = 0;
    const int result = BuildRecord(settings, stamper, site, format, args, out, &length);
    va_end(args);
    EXPECT_EQ(length, wcslen(out));
    return {result, std::wstring(out, length)};
}

Built Build(const LogSettings& settings, const LogSite& site, const wchar_t* format,
            const wchar_t* value) {
    TimeStamper stamper;
    return Build(settings, stamper, site, format, value);
}

}  // namespace

TEST(LogRecord, PrefixAndMessageHaveTheFixedLayout) {
    const Built r = Build(Untimed(), kSite, L"ENTER %s", L"Run");
    EXPECT_EQ(r.text, L"Sample.cpp(10):  [TRC] (Run): ENTER Run\n");
    EXPECT_EQ(r.result, static_cast<int>(r.text.size()));
}

TEST(LogRecord, SourceFileFormatChoosesWholePathOrName) {
    LogSettings whole = Untimed();
    whole.fullSourcePath = true;
    EXPECT_EQ(Build(whole, kSite, L"%s", L"m").text,
              L"C:\\src\\posture\\Sample.cpp(10):  [TRC] (Run): m\n");

    const LogSite noBackslash{L"Plain.cpp", 7, L" (F)", L"", LogLevel::Error};
    EXPECT_EQ(Build(Untimed(), noBackslash, L"%s", L"m").text, L"Plain.cpp(7):  [ERR] (F): m\n");
}

TEST(LogRecord, EachLevelHasItsLabel) {
    const wchar_t* labels[] = {L"[ERR]", L"[WRN]", L"[INF]", L"[TRC]"};
    for (int level = 0; level < 4; ++level) {
        LogSite site = kSite;
        site.level = static_cast<LogLevel>(level);
        EXPECT_NE(Build(Untimed(), site, L"%s", L"m").text.find(labels[level]), std::wstring::npos)
            << level;
    }
}

TEST(LogRecord, PercentSignsInValuesAreWrittenLiterally) {
    EXPECT_EQ(Build(Untimed(), kSite, L"value %s", L"50%s off %d%n").text,
              L"Sample.cpp(10):  [TRC] (Run): value 50%s off %d%n\n");
}

TEST(LogRecord, LongMessageIsCutTo510CharactersAndALineFeed) {
    const std::wstring message(600, L'y');
    const Built r = Build(Untimed(), kSite, L"%s", message.c_str());
    EXPECT_EQ(r.result, 512);
    ASSERT_EQ(r.text.size(), 511u);
    EXPECT_EQ(r.text.back(), L'\n');
    EXPECT_EQ(r.text.find(L'\n'), 510u);
    EXPECT_EQ(r.text.substr(r.text.size() - 4), L"yyy\n");
}

TEST(LogRecord, RecordReaching511CharactersIsCutButOneShorterIsNot) {
    const std::wstring prefix = L"Sample.cpp(10):  [TRC] (Run): ";
    const std::wstring fits(510 - prefix.size(), L'z');  // record of 510 + line feed
    const Built ok = Build(Untimed(), kSite, L"%s", fits.c_str());
    EXPECT_EQ(ok.result, 511);
    EXPECT_EQ(ok.text, prefix + fits + L"\n");

    const std::wstring reaches(511 - prefix.size(), L'z');
    const Built cut = Build(Untimed(), kSite, L"%s", reaches.c_str());
    EXPECT_EQ(cut.result, 512);
    EXPECT_EQ(cut.text.size(), 511u);
}

TEST(LogRecord, OverlongPrefixIsCutAndTheRecordStillEndsInALineFeed) {
    const std::wstring file(700, L'f');
    const LogSite site{file.c_str(), 1, L" (F)", L"", LogLevel::Error};
    const Built r = Build(Untimed(), site, L"%s", L"message");
    EXPECT_EQ(r.result, 512);
    EXPECT_EQ(r.text, std::wstring(510, L'f') + L"\n");
}

TEST(LogRecord, TimeStampKinds) {
    LogSettings s = Untimed();
    s.timeDateFormat = 1;
    EXPECT_TRUE(std::regex_match(
        Build(s, kSite, L"%s", L"m").text,
        std::wregex(LR"(\d\d:\d\d:\d\d\.\d\d\d: Sample\.cpp\(10\):  \[TRC\] \(Run\): m\n)")));
    s.timeDateFormat = 2;
    EXPECT_TRUE(std::regex_match(
        Build(s, kSite, L"%s", L"m").text,
        std::wregex(LR"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d: Sample\.cpp.*\n)")));
}

TEST(LogRecord, TimeStampAndDateAgreeWithTheClock) {
    LogSettings s = Untimed();
    s.timeDateFormat = 2;
    // The clock read before and after the record: across an hour or a day
    // boundary the record agrees with one of them.
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    const std::wstring text = Build(s, kSite, L"%s", L"m").text;
    ::GetLocalTime(&after);
    const auto stamp = [](const SYSTEMTIME& t) {
        wchar_t expected[24];
        swprintf(expected, 24, L"%04d-%02d-%02d %02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour,
                 t.wMinute);
        return std::wstring(expected);
    };
    const std::wstring printed = text.substr(0, 16);
    EXPECT_TRUE(printed == stamp(before) || printed == stamp(after))
        << testing::PrintToString(text);
}

TEST(LogRecord, ElapsedStampStartsAtZeroAndGrows) {
    LogSettings s = Untimed();
    s.timeDateFormat = 3;
    TimeStamper stamper;
    const DWORD firstBefore = ::GetTickCount();
    const Built first = Build(s, stamper, kSite, L"%s", L"m");
    const DWORD firstAfter = ::GetTickCount();
    EXPECT_EQ(first.text.substr(0, 7), L"0.000: ");
    ::Sleep(1100);
    const DWORD laterBefore = ::GetTickCount();
    const Built later = Build(s, stamper, kSite, L"%s", L"m");
    const DWORD laterAfter = ::GetTickCount();
    // Whatever the machine stalled: the elapsed time lies between the
    // shortest and the longest span the two stamps can have been apart.
    std::wsmatch match;
    ASSERT_TRUE(std::regex_search(later.text, match, std::wregex(LR"(^(\d+)\.(\d\d\d): Sample)")))
        << testing::PrintToString(later.text);
    const DWORD elapsed =
        static_cast<DWORD>(std::stoul(match[1].str()) * 1000 + std::stoul(match[2].str()));
    EXPECT_GE(elapsed, laterBefore - firstAfter);
    EXPECT_LE(elapsed, laterAfter - firstBefore);
    EXPECT_GE(elapsed, 1000u) << "over a second slept";
}

TEST(LogRecord, ElapsedStampRacingThreadsShareOneBase) {
    // Two threads take the first stamp of a fresh stamper at once, many
    // times: neither may print more than the time the round took (a thread
    // that read the base before it was stored would print the tick count
    // itself, the machine's uptime).
    constexpr int kRounds = 2000;
    std::atomic<int> go{-1};
    std::atomic<int> done{0};
    std::unique_ptr<TimeStamper> stamper;
    wchar_t stamps[2][32];
    const auto take = [&](int which, int round) {
        while (go.load() != round) std::this_thread::yield();
        const std::size_t n = stamper->Append(3, stamps[which], 31);
        stamps[which][n] = L'\0';
        done.fetch_add(1);
    };
    std::thread other([&] {
        for (int round = 0; round < kRounds; ++round) take(1, round);
    });
    int bad = 0;
    for (int round = 0; round < kRounds; ++round) {
        stamper = std::make_unique<TimeStamper>();
        done.store(0);
        const DWORD before = ::GetTickCount();
        go.store(round);
        take(0, round);
        while (done.load() != 2) std::this_thread::yield();
        const DWORD span = ::GetTickCount() - before;
        for (const auto& stamp : stamps) {
            const double seconds = std::wcstod(stamp, nullptr);
            if (seconds * 1000 > span + 1 && ++bad <= 3)
                ADD_FAILURE() << "round " << round << ": "
                              << testing::PrintToString(std::wstring(stamp)) << " after " << span
                              << " ms";
        }
    }
    other.join();
    EXPECT_EQ(bad, 0);
}

TEST(LogRecord, ANulCharacterInTheMessageIsWrittenAsAQuestionMark) {
    // Through the common conversions and through the runtime's.
    TimeStamper stamper;
    const Built fast = Build(Untimed(), stamper, kSite, L"a%cb", 0);
    EXPECT_EQ(fast.text, L"Sample.cpp(10):  [TRC] (Run): a?b\n");
    const Built runtime = Build(Untimed(), stamper, kSite, L"a%2cb%.1f", 0, 1.5);
    EXPECT_EQ(runtime.text, L"Sample.cpp(10):  [TRC] (Run): a ?b1.5\n");
    // A record with text the runtime converts character by character keeps
    // its line feed.
    const Built wide = Build(Untimed(), stamper, kSite, L"\u4e2d%c.", 0);
    char bytes[kRecordChars * 4];
    const std::size_t n = ToLogBytes(wide.text.c_str(), wide.text.size(), TextConversion::Runtime,
                                     bytes, sizeof bytes);
    EXPECT_EQ(std::string(bytes, n), "Sample.cpp(10):  [TRC] (Run): ??.\n");
}

TEST(LogHexDump, TwentyBytesMakeTwoLines) {
    unsigned char data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>(i == 3 ? 0x7F : 0x41 + i);
    wchar_t line[96];
    FormatHexDumpLine(data, 0, 16, line);
    EXPECT_STREQ(line,
                 L" 0000 : 41 42 43 7F 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  : ABC.EFGHIJKLMNOP\n");
    FormatHexDumpLine(data, 16, 4, line);
    EXPECT_STREQ(line, (L" 0010 : 51 52 53 54 " + std::wstring(12 * 3 + 1, L' ') + L" : QRST" +
                        std::wstring(12, L' ') + L"\n")
                           .c_str());
}

TEST(LogHexDump, OffsetsHaveAtLeastFourDigits) {
    std::string data(0x10010, '\0');
    wchar_t line[96];
    FormatHexDumpLine(reinterpret_cast<const unsigned char*>(data.data()), 0x10000, 16, line);
    EXPECT_EQ(std::wstring(line).substr(0, 9), L" 10000 : ");
    FormatHexDumpLine(reinterpret_cast<const unsigned char*>(data.data()), 0xABC0, 16, line);
    EXPECT_EQ(std::wstring(line).substr(0, 8), L" ABC0 : ");
}

namespace {

int Ours(wchar_t* out, std::size_t room, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = FormatMessageText(out, room, format, args);
    va_end(args);
    return n;
}

int Runtime(wchar_t* out, std::size_t room, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(out, room, format, args);
    va_end(args);
    return n;
}

// FormatMessageText and the runtime's _vsnwprintf on the same arguments.
template <typename... Args>
void ExpectSameAsRuntime(std::size_t room, const wchar_t* format, Args... args) {
    wchar_t ours[600], theirs[600];
    const int n = Ours(ours, room, format, args...);
    const int m = Runtime(theirs, room, format, args...);
    EXPECT_EQ(n, m) << testing::PrintToString(std::wstring(format));
    if (n >= 0 && n == m) {
        EXPECT_EQ(std::wstring(ours, n), std::wstring(theirs, m))
            << testing::PrintToString(std::wstring(format));
    }
}

}  // namespace

TEST(LogMessage, FormatsLikeTheWindowsRuntime) {
    ExpectSameAsRuntime(500, L"plain text");
    ExpectSameAsRuntime(500, L"ENTER %s", L"ServiceMain");
    ExpectSameAsRuntime(500, L"Error Code: 0x%x", 0x80004005u);
    ExpectSameAsRuntime(500, L"%d %i %u %X %lx %ld", -42, 7, 4000000000u, 0xABCu, 0x1fu,
                        -2147483647 - 1);
    ExpectSameAsRuntime(500, L"%02X %03d %5d %05d %8x %-4d|", 0xAu, 7, -12, -12, 0xBEEFu, 3);
    ExpectSameAsRuntime(500, L"100%% %c%c", L'o', L'k');
    ExpectSameAsRuntime(500, L"%s and %s", static_cast<const wchar_t*>(nullptr), L"");
    ExpectSameAsRuntime(500, L"%10s|%.2s|%S", L"pad", L"cut", "narrow");
    ExpectSameAsRuntime(500, L"%I64d %lld %p", 1LL << 40, -5LL, reinterpret_cast<void*>(0x1234));
    ExpectSameAsRuntime(500, L"%.3f %g", 3.14159, 0.5);
    ExpectSameAsRuntime(500, L"trailing %");
}

TEST(LogMessage, ReportsWhetherTheTextFitsItsRoom) {
    ExpectSameAsRuntime(5, L"%s", L"12345");   // exactly the room: count, no terminator
    ExpectSameAsRuntime(5, L"%s", L"123456");  // one more: does not fit
    ExpectSameAsRuntime(3, L"ab%d", 12);
    ExpectSameAsRuntime(4, L"%d", -123);
    ExpectSameAsRuntime(1, L"%c", L'x');
}
