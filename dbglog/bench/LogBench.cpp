// Cost of the debug log under the conditions the programs run in:
//  1. a record below the "Level" threshold (nothing formatted);
//  2. a record written to the shared log file, against a plain fwrite of the
//     same bytes to a file opened the same way.
// Prints nanoseconds per call, the best of many short rounds; the record and
// the plain fwrite rounds alternate, so both see the same machine.
#include "DbgLog.h"
#include "LogCore.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <cstdio>
#include <string>

extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Error, dbglog::Destination::SharedFile, L"%TEMP%\\dbglog_bench_shared.txt",
    dbglog::TextConversion::Runtime};

namespace {

double NowNs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart);
}

template <typename Body>
double NsPerCall(int iterations, Body body) {
    const double start = NowNs();
    for (int i = 0; i < iterations; ++i) body(i);
    return (NowNs() - start) / iterations;
}

template <typename Body>
double BestNsPerCall(int iterations, Body body) {
    double best = 1e300;
    for (int round = 0; round < 15; ++round) best = std::min(best, NsPerCall(iterations, body));
    return best;
}

}  // namespace

int wmain() {
    DBGLOG_FUNCTION_TAG(Bench);
    const auto& settings = dbglog::ProcessLogger().Settings();
    if (settings.destination != dbglog::Destination::SharedFile ||
        settings.level != LogLevel::Error) {
        std::fwprintf(stderr, L"remove the DbgLog.ini beside the benchmark first\n");
        return 1;
    }

    const double skipped =
        BestNsPerCall(2000000, [](int i) { LOG_TRACE(L"ENTER %s %d", L"Skipped", i); });

    const double written = BestNsPerCall(200000, [](int i) {
        LOG_ERROR(L"Error Code: 0x%x in %s", 0x80004005 + (i & 1), L"Bench");
    });

    // The same bytes through a plain fwrite on a stream opened like the shared file.
    wchar_t record[dbglog::kRecordChars];
    std::size_t length = 0;
    dbglog::TimeStamper stamper;
    const LogSite site = *DBGLOG_SITE(LogLevel::Error);
    auto build = [&](const wchar_t* format, ...) {
        va_list args;
        va_start(args, format);
        dbglog::BuildRecord(settings, stamper, site, format, args, record, &length);
        va_end(args);
    };
    build(L"Error Code: 0x%x in %s", 0x80004005, L"Bench");
    char bytes[dbglog::kRecordChars * 4];
    const std::size_t n =
        dbglog::ToLogBytes(record, length, dbglog::TextConversion::Runtime, bytes, sizeof bytes);
    nrv::UniqueStream plain(dbglog::OpenLogFile(L"%TEMP%\\dbglog_bench_plain.txt", L"w"));
    if (!plain) return 1;
    const double fwriteNs =
        BestNsPerCall(200000, [&](int) { std::fwrite(bytes, 1, n, plain.get()); });

    // Where a written record's time goes, part by part.
    const double clockNs = BestNsPerCall(200000, [](int) {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
    });
    const double counterNs = BestNsPerCall(200000, [](int) {
        LARGE_INTEGER counter;
        ::QueryPerformanceCounter(&counter);
    });
    const double stampNs = BestNsPerCall(200000, [&](int) {
        wchar_t text[48];
        stamper.Append(1, text, 48);
    });
    const double tickNs = BestNsPerCall(200000, [](int) { (void)::GetTickCount(); });
    dbglog::LogSettings untimed = settings;
    untimed.timeDateFormat = 0;
    const auto buildWith = [&](const dbglog::LogSettings& with, int i) {
        const auto call = [&](const wchar_t* format, ...) {
            va_list args;
            va_start(args, format);
            dbglog::BuildRecord(with, stamper, site, format, args, record, &length);
            va_end(args);
        };
        call(L"Error Code: 0x%x in %s", 0x80004005 + (i & 1), L"Bench");
    };
    const double buildStampedNs = BestNsPerCall(200000, [&](int i) { buildWith(settings, i); });
    const double buildUntimedNs = BestNsPerCall(200000, [&](int i) { buildWith(untimed, i); });
    buildWith(settings, 0);
    const double bytesNs = BestNsPerCall(200000, [&](int) {
        dbglog::ToLogBytes(record, length, dbglog::TextConversion::Runtime, bytes, sizeof bytes);
    });

    std::printf("record below the level threshold : %8.2f ns\n", skipped);
    std::printf("record written to the shared file: %8.1f ns (%zu bytes)\n", written, n);
    std::printf("plain fwrite of the same bytes   : %8.1f ns\n", fwriteNs);
    std::printf("written record / plain fwrite    : %8.2f x\n", written / fwriteNs);
    std::printf(
        "  of which: clock read           : %8.1f ns (performance counter %.1f ns, tick count %.1f "
        "ns)\n",
        clockNs, counterNs, tickNs);
    std::printf("  record text with its time stamp: %8.1f ns (without the stamp %.1f ns)\n",
                buildStampedNs, buildUntimedNs);
    std::printf("  time stamp alone               : %8.1f ns\n", stampNs);
    std::printf("  wide text to bytes             : %8.1f ns\n", bytesNs);
    std::printf("  the rest (call, level test, fwrite): %5.1f ns\n",
                written - buildStampedNs - bytesNs);
    return 0;
}
