// The debug log's machinery behind LogPrint and friends: settings, record
// building and destinations. The process-wide log is one Logger built from
// "DbgLog.ini"; tests build their own with explicit settings.
#pragma once

#include "DbgLog.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace dbglog {

inline constexpr std::size_t kRecordChars = 512;  // record buffer, terminator included
inline constexpr std::size_t kLogFileChars = 260;

struct LogSettings {
    LogLevel level = LogLevel::Error;
    Destination destination = Destination::SharedFile;
    std::wstring logFile;
    bool fullSourcePath = false;  // "SourceFileFormat" = 1
    int timeDateFormat = 1;       // 0 none, 1 time, 2 date and time, 3 elapsed
    bool flush = false;
};

// Values as read from the settings file, before validation.
struct RawLogSettings {
    int level;
    int destination;
    std::wstring logFile;
    int sourceFileFormat;
    int timeDateFormat;
    int flush;
};

// Applies the accepted ranges: anything out of range becomes the default.
LogSettings NormalizeSettings(const RawLogSettings& raw, const ProgramDefaults& defaults);

// Reads section "LOG" of iniPath with the profile functions; an empty path
// or a missing file gives the defaults.
LogSettings ReadLogSettings(const std::wstring& iniPath, const ProgramDefaults& defaults);

// "DbgLog.ini" in the directory of exePath; empty when exePath is empty.
std::wstring SettingsPathFor(const std::wstring& exePath);

// Opens the log file: environment variables expanded, the file's own
// directory created once when the path was not found. Null on failure.
FILE* OpenLogFile(const std::wstring& configuredPath, const wchar_t* mode);

// Time stamps of "TimeDateFormat" 1 to 3. The formatted time of day is
// reused while the second has not changed.
class TimeStamper {
public:
    // Appends the stamp at out; returns the characters written.
    std::size_t Append(int format, wchar_t* out, std::size_t room);

private:
    std::size_t AppendClock(bool withDate, wchar_t* out, std::size_t room);

    // The tick of the first elapsed stamp, published in one store with a
    // flag above its 32 bits: a thread that sees the flag sees the base.
    // Zero until the first stamp.
    static constexpr ULONGLONG kElapsedStarted = 1ULL << 32;
    std::atomic<ULONGLONG> m_elapsedBase{0};
    // The local time of day (and date) of one UTC second, shared by every
    // thread through a sequence count (odd while it is rewritten): a reader
    // copies it and keeps the copy only when the count did not move. Time
    // zone offsets are whole minutes, so seconds and milliseconds are the
    // same in local time and in UTC.
    static constexpr std::size_t kClockChars = 24;
    std::atomic<unsigned> m_cacheSequence{0};
    std::atomic<ULONGLONG> m_cachedStart{~0ULL};  // UTC ticks (100 ns) of the second's start
    std::atomic<bool> m_cachedWithDate{false};
    std::atomic<unsigned> m_cachedLength{0};
    std::atomic<wchar_t> m_cachedText[kClockChars]{};
};

// The caller's message: wide printf semantics of the Windows runtime (%s
// takes a wide string). The common conversions (%s %c %d %i %u %x %X with
// '0' and width) are formatted here; anything else goes to _vsnwprintf.
// Writes at most room characters; returns their count, or -1 when the text
// does not fit. No terminator is added.
int FormatMessageText(wchar_t* out, std::size_t room, const wchar_t* format, va_list args);

// Builds the record text into out (kRecordChars wide characters). Returns
// what LogPrint returns; *length receives the text length without terminator.
int BuildRecord(const LogSettings& settings, TimeStamper& stamper, const LogSite& site,
                const wchar_t* format, va_list args, wchar_t* out, std::size_t* length);

// One line of a hex dump: the 16 bytes at data[offset...], of which `count`
// exist. Returns the line's length (line feed included).
std::size_t FormatHexDumpLine(const unsigned char* data, std::size_t offset, std::size_t count,
                              wchar_t* out);

// The wide text as the 8-bit bytes written to a file or stderr.
std::size_t ToLogBytes(const wchar_t* text, std::size_t length, TextConversion conversion,
                       char* out, std::size_t room);

// The log file opened with mode "w" at the first record that needs it. If
// that one open fails, later records are dropped. Writers need no lock of
// their own: the stream's lock keeps each record whole.
class SharedLogFile {
public:
    void Write(const std::wstring& path, bool flush, const char* bytes, std::size_t length);
    void Flush();
    // Only once no other thread writes; later records are dropped.
    void Close();

private:
    enum State : int { Unopened, Open, Failed, Closed };
    std::atomic<int> m_state{Unopened};
    SRWLOCK m_lock = SRWLOCK_INIT;  // taken to open and to close
    FILE* m_file = nullptr;
};

class Logger {
public:
    Logger(LogSettings settings, TextConversion conversion);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    ~Logger();

    const LogSettings& Settings() const { return m_settings; }

    bool Accepts(LogLevel level) const {
        return m_settings.destination != Destination::None &&
               static_cast<int>(level) <= static_cast<int>(m_settings.level);
    }

    int Print(const LogSite& site, const wchar_t* format, va_list args);
    const unsigned char* HexDump(const void* data, std::size_t length);

    void FlushSharedFile() { m_shared.Flush(); }
    // Closes the shared log file; later destination-2 records are dropped.
    // Only once no other thread logs through this logger.
    void CloseSharedFile() { m_shared.Close(); }

private:
    void Write(const wchar_t* text, std::size_t length);

    LogSettings m_settings;
    TextConversion m_conversion;
    TimeStamper m_stamper;
    SharedLogFile m_shared;
};

// The process's log, set up from "DbgLog.ini" and kProgramDefaults at first
// use; its shared file is flushed by an exit handler and closed with the
// process.
Logger& ProcessLogger();

}  // namespace dbglog
