#include "LogCore.h"

#include "UniqueHandle.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

namespace dbglog {
namespace {

const wchar_t* const kLevelLabels[] = {L"ERR", L"WRN", L"INF", L"TRC"};

const wchar_t* LevelLabel(LogLevel level) {
    const int index = static_cast<int>(level);
    return index >= 0 && index < 4 ? kLevelLabels[index] : L"";
}

// Appends text into a fixed buffer, cutting at the end of the space left.
class Appender {
public:
    Appender(wchar_t* out, std::size_t room) : m_out(out), m_room(room) {}

    void Text(const wchar_t* text) { Text(text, std::wcslen(text)); }
    void Text(const wchar_t* text, std::size_t length) {
        const std::size_t fits = m_room - m_used < length ? m_room - m_used : length;
        std::wmemcpy(m_out + m_used, text, fits);
        m_used += fits;
        m_wanted += length;
    }
    void Char(wchar_t c) {
        ++m_wanted;
        if (m_used < m_room) m_out[m_used++] = c;
    }
    void Decimal(int value, int minDigits = 1) {
        const unsigned magnitude =
            value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
        if (value < 0) Char(L'-');
        Unsigned(magnitude, minDigits);
    }
    void Unsigned(unsigned value, int minDigits = 1) {
        wchar_t digits[12];
        int n = 0;
        do {
            digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n < minDigits) digits[n++] = L'0';
        while (n > 0) Char(digits[--n]);
    }
    std::size_t Used() const { return m_used; }
    // Characters asked for, written or not.
    std::size_t Wanted() const { return m_wanted; }

private:
    wchar_t* m_out;
    std::size_t m_room;
    std::size_t m_used = 0;
    std::size_t m_wanted = 0;
};

const wchar_t* SourceName(const wchar_t* file, bool fullPath) {
    if (file == nullptr) return L"";
    if (fullPath) return file;
    const wchar_t* slash = std::wcsrchr(file, L'\\');
    return slash != nullptr ? slash + 1 : file;
}

std::wstring DirectoryOf(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

LogSettings NormalizeSettings(const RawLogSettings& raw, const ProgramDefaults& defaults) {
    LogSettings s;
    s.level = raw.level >= 0 && raw.level <= 3 ? static_cast<LogLevel>(raw.level) : defaults.level;
    s.destination = raw.destination >= 0 && raw.destination <= 4
                        ? static_cast<Destination>(raw.destination)
                        : defaults.destination;
    s.logFile = raw.logFile;
    s.fullSourcePath = raw.sourceFileFormat == 1;
    s.timeDateFormat = raw.timeDateFormat >= 0 && raw.timeDateFormat <= 3 ? raw.timeDateFormat : 1;
    s.flush = raw.flush == 1;
    return s;
}

LogSettings ReadLogSettings(const std::wstring& iniPath, const ProgramDefaults& defaults) {
    RawLogSettings raw{static_cast<int>(defaults.level),
                       static_cast<int>(defaults.destination),
                       defaults.logFile,
                       0,
                       1,
                       0};
    if (!iniPath.empty()) {
        const wchar_t* ini = iniPath.c_str();
        const auto readInt = [ini](const wchar_t* key, int fallback) {
            return static_cast<int>(::GetPrivateProfileIntW(L"LOG", key, fallback, ini));
        };
        raw.level = readInt(L"Level", raw.level);
        raw.destination = readInt(L"Destination", raw.destination);
        raw.sourceFileFormat = readInt(L"SourceFileFormat", raw.sourceFileFormat);
        raw.timeDateFormat = readInt(L"TimeDateFormat", raw.timeDateFormat);
        raw.flush = readInt(L"Flush", raw.flush);
        wchar_t logFile[kLogFileChars] = {};
        ::GetPrivateProfileStringW(L"LOG", L"LogFile", defaults.logFile, logFile, kLogFileChars,
                                   ini);
        raw.logFile = logFile;
    }
    return NormalizeSettings(raw, defaults);
}

std::wstring SettingsPathFor(const std::wstring& exePath) {
    if (exePath.empty()) return {};
    wchar_t drive[_MAX_DRIVE] = {};
    std::vector<wchar_t> dir(exePath.size() + 1);
    if (_wsplitpath_s(exePath.c_str(), drive, _MAX_DRIVE, dir.data(), dir.size(), nullptr, 0,
                      nullptr, 0) != 0) {
        return {};
    }
    return std::wstring(drive) + dir.data() + L"DbgLog.ini";
}

FILE* OpenLogFile(const std::wstring& configuredPath, const wchar_t* mode) {
    wchar_t path[kLogFileChars];
    const DWORD n = ::ExpandEnvironmentStringsW(configuredPath.c_str(), path, kLogFileChars);
    if (n == 0 || n > kLogFileChars || path[0] == L'\0') return nullptr;

    if (FILE* file = _wfopen(path, mode)) return file;
    if (_doserrno != ERROR_PATH_NOT_FOUND) return nullptr;

    // Only the file's own directory is created; its parent must exist.
    const std::wstring directory = DirectoryOf(path);
    if (!directory.empty()) ::CreateDirectoryW(directory.c_str(), nullptr);
    return _wfopen(path, mode);
}

std::size_t TimeStamper::Append(int format, wchar_t* out, std::size_t room) {
    if (format == 3) {
        const DWORD now = ::GetTickCount();
        ULONGLONG base = m_elapsedBase.load(std::memory_order_acquire);
        if (base == 0) {
            // The first stamp of the process: the one that stores its tick
            // wins; a thread that lost the race takes the winner's.
            const ULONGLONG mine = kElapsedStarted | now;
            base = m_elapsedBase.compare_exchange_strong(base, mine, std::memory_order_acq_rel)
                       ? mine
                       : base;
        }
        const DWORD elapsed = now - static_cast<DWORD>(base);
        Appender a(out, room);
        a.Unsigned(elapsed / 1000);
        a.Char(L'.');
        a.Unsigned(elapsed % 1000, 3);
        a.Text(L": ");
        return a.Used();
    }
    if (format == 1 || format == 2) return AppendClock(format == 2, out, room);
    return 0;
}

std::size_t TimeStamper::AppendClock(bool withDate, wchar_t* out, std::size_t room) {
    constexpr ULONGLONG kTicksPerSecond = 10000000;
    constexpr ULONGLONG kTicksPerMillisecond = 10000;
    FILETIME utc;
    ::GetSystemTimeAsFileTime(&utc);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;

    // The second's text, when another record of this second formatted it.
    wchar_t clock[kClockChars];
    std::size_t clockLength = 0;
    bool cached = false;
    unsigned milliseconds = 0;
    const unsigned before = m_cacheSequence.load(std::memory_order_acquire);
    if ((before & 1) == 0) {
        const ULONGLONG start = m_cachedStart.load(std::memory_order_relaxed);
        if (ticks >= start && ticks - start < kTicksPerSecond &&
            m_cachedWithDate.load(std::memory_order_relaxed) == withDate) {
            clockLength = m_cachedLength.load(std::memory_order_relaxed);
            if (clockLength > kClockChars) clockLength = 0;
            for (std::size_t i = 0; i < clockLength; ++i)
                clock[i] = m_cachedText[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            cached = m_cacheSequence.load(std::memory_order_relaxed) == before;
            // Within the second: a 32-bit division, not a 64-bit one.
            milliseconds = static_cast<unsigned>(static_cast<DWORD>(ticks - start) /
                                                 static_cast<DWORD>(kTicksPerMillisecond));
        }
    }

    if (!cached) {
        // A new second: the local time with its time zone rules, formatted
        // with the user's locale.
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        milliseconds = now.wMilliseconds;
        int date = 0;
        if (withDate) {
            date = ::GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now, L"yyyy-MM-dd ", clock, 12);
            if (date > 0) --date;  // the count includes the terminator
        }
        int time = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, L"HH:mm:ss", clock + date,
                                    static_cast<int>(kClockChars) - date);
        if (time > 0) --time;
        clockLength = static_cast<std::size_t>(date + time);
        const ULONGLONG second = ticks / kTicksPerSecond;
        FILETIME stamped;
        ::GetSystemTimeAsFileTime(&stamped);
        const ULONGLONG stampedSecond =
            ((static_cast<ULONGLONG>(stamped.dwHighDateTime) << 32) | stamped.dwLowDateTime) /
            kTicksPerSecond;
        // Kept only when the second did not turn while it was formatted, and
        // only by one writer at a time; a record that finds another writer
        // at work just uses its own text.
        unsigned sequence = m_cacheSequence.load(std::memory_order_relaxed);
        if (stampedSecond == second && (sequence & 1) == 0 &&
            m_cacheSequence.compare_exchange_strong(sequence, sequence + 1,
                                                    std::memory_order_relaxed)) {
            std::atomic_thread_fence(std::memory_order_release);
            m_cachedStart.store(second * kTicksPerSecond, std::memory_order_relaxed);
            m_cachedWithDate.store(withDate, std::memory_order_relaxed);
            m_cachedLength.store(static_cast<unsigned>(clockLength), std::memory_order_relaxed);
            for (std::size_t i = 0; i < clockLength; ++i)
                m_cachedText[i].store(clock[i], std::memory_order_relaxed);
            m_cacheSequence.store(sequence + 2, std::memory_order_release);
        }
    }

    Appender a(out, room);
    a.Text(clock, clockLength);
    a.Char(L'.');
    a.Unsigned(milliseconds, 3);
    a.Text(L": ");
    return a.Used();
}

namespace {

// A character a record cannot carry: a NUL inside the message would end the
// debugger's text there and put a raw NUL into a file.
constexpr wchar_t kUnwritable = L'?';

// One conversion of the fast path; false when it needs the runtime.
bool FormatConversion(wchar_t conversion, bool zeroPad, int width, va_list& args, Appender& a) {
    wchar_t digits[24];
    int n = 0;
    bool negative = false;
    switch (conversion) {
        case L's': {
            if (width != 0) return false;
            const wchar_t* text = va_arg(args, const wchar_t*);
            a.Text(text != nullptr ? text : L"(null)");
            return true;
        }
        case L'c': {
            if (width != 0) return false;
            const wchar_t c = static_cast<wchar_t>(va_arg(args, int));
            a.Char(c != L'\0' ? c : kUnwritable);
            return true;
        }
        case L'd':
        case L'i': {
            const int value = va_arg(args, int);
            negative = value < 0;
            unsigned magnitude =
                negative ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
            do {
                digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude != 0);
            break;
        }
        case L'u': {
            unsigned value = va_arg(args, unsigned);
            do {
                digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
                value /= 10;
            } while (value != 0);
            break;
        }
        case L'x':
        case L'X': {
            const wchar_t* hex = conversion == L'x' ? L"0123456789abcdef" : L"0123456789ABCDEF";
            unsigned value = va_arg(args, unsigned);
            do {
                digits[n++] = hex[value & 0xF];
                value >>= 4;
            } while (value != 0);
            break;
        }
        default:
            return false;
    }
    const int length = n + (negative ? 1 : 0);
    if (!zeroPad) {
        for (int pad = length; pad < width; ++pad) a.Char(L' ');
    }
    if (negative) a.Char(L'-');
    if (zeroPad) {
        for (int pad = length; pad < width; ++pad) a.Char(L'0');
    }
    while (n > 0) a.Char(digits[--n]);
    return true;
}

}  // namespace

int FormatMessageText(wchar_t* out, std::size_t room, const wchar_t* format, va_list args) {
    va_list work;
    va_copy(work, args);
    Appender a(out, room);
    bool fast = true;
    for (const wchar_t* p = format; fast && *p != L'\0'; ++p) {
        if (*p != L'%') {
            const wchar_t* run = p;  // literal text up to the next conversion
            while (p[1] != L'\0' && p[1] != L'%') ++p;
            a.Text(run, static_cast<std::size_t>(p - run + 1));
            continue;
        }
        ++p;
        if (*p == L'%') {
            a.Char(L'%');
            continue;
        }
        const bool zeroPad = *p == L'0';
        if (zeroPad) ++p;
        int width = 0;
        while (*p >= L'0' && *p <= L'9' && width < 1000) width = width * 10 + (*p++ - L'0');
        if (*p == L'l') ++p;
        fast = *p != L'\0' && width < 1000 && FormatConversion(*p, zeroPad, width, work, a);
    }
    va_end(work);
    if (!fast) {
        // A text that does not fit fills the whole room before it is cut.
        const int n = _vsnwprintf(out, room, format, args);
        const std::size_t written = n >= 0 ? static_cast<std::size_t>(n) : room;
        std::replace(out, out + written, L'\0', kUnwritable);
        return n;
    }
    return a.Wanted() <= room ? static_cast<int>(a.Wanted()) : -1;
}

int BuildRecord(const LogSettings& settings, TimeStamper& stamper, const LogSite& site,
                const wchar_t* format, va_list args, wchar_t* out, std::size_t* length) {
    std::size_t used = stamper.Append(settings.timeDateFormat, out, kRecordChars);

    // "%s(%d): %s [%s]%s: " - file, line, component, level label, function tag.
    Appender prefix(out + used, kRecordChars - used);
    prefix.Text(SourceName(site.file, settings.fullSourcePath));
    prefix.Char(L'(');
    prefix.Decimal(site.line);
    prefix.Text(L"): ");
    prefix.Text(site.component != nullptr ? site.component : L"");
    prefix.Text(L" [");
    prefix.Text(LevelLabel(site.level));
    prefix.Char(L']');
    prefix.Text(site.function != nullptr ? site.function : L"");
    prefix.Text(L": ");
    used += prefix.Used();

    const std::size_t room = kRecordChars - used;
    const int n = room > 0 ? FormatMessageText(out + used, room, format, args) : -1;
    if (n < 0 || used + static_cast<std::size_t>(n) >= kRecordChars - 1) {
        out[kRecordChars - 2] = L'\n';
        out[kRecordChars - 1] = L'\0';
        *length = kRecordChars - 1;
        return static_cast<int>(kRecordChars);
    }
    used += static_cast<std::size_t>(n);
    out[used++] = L'\n';
    out[used] = L'\0';
    *length = used;
    return static_cast<int>(used);
}

std::size_t FormatHexDumpLine(const unsigned char* data, std::size_t offset, std::size_t count,
                              wchar_t* out) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::size_t n = 0;
    out[n++] = L' ';
    int digits = 4;  // "%04X": four digits at least, all of them when more
    while (digits < static_cast<int>(sizeof offset * 2) && (offset >> (digits * 4)) != 0) ++digits;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out[n++] = kHex[(offset >> shift) & 0xF];
    out[n++] = L' ';
    out[n++] = L':';
    out[n++] = L' ';
    for (std::size_t column = 0; column < 16; ++column) {
        if (column < count) {
            const unsigned char byte = data[offset + column];
            out[n++] = kHex[byte >> 4];
            out[n++] = kHex[byte & 0xF];
        } else {
            out[n++] = L' ';
            out[n++] = L' ';
        }
        out[n++] = L' ';
        if (column == 7) out[n++] = L' ';
    }
    out[n++] = L' ';
    out[n++] = L':';
    out[n++] = L' ';
    for (std::size_t column = 0; column < 16; ++column) {
        if (column < count) {
            const unsigned char byte = data[offset + column];
            out[n++] = byte >= 32 && byte <= 126 ? static_cast<wchar_t>(byte) : L'.';
        } else {
            out[n++] = L' ';
        }
    }
    out[n++] = L'\n';
    out[n] = L'\0';
    return n;
}

std::size_t ToLogBytes(const wchar_t* text, std::size_t length, TextConversion conversion,
                       char* out, std::size_t room) {
    // Every ANSI code page and the runtime's own conversion keep ASCII as it
    // is. Both loops below run without early exits, so they vectorise.
    const std::size_t limit = length < room ? length : room;
    wchar_t seen = 0;
    for (std::size_t i = 0; i < limit; ++i) seen |= text[i];
    if (seen < 0x80) {
        for (std::size_t i = 0; i < limit; ++i) out[i] = static_cast<char>(text[i]);
        return limit;
    }

    if (conversion == TextConversion::AnsiCodePage) {
        const int n = ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out,
                                            static_cast<int>(room), nullptr, nullptr);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const std::size_t n = std::wcstombs(out, text, room);
    if (n != static_cast<std::size_t>(-1)) return n;

    // A character the runtime cannot convert stands as '?', so the rest of
    // the record, its line feed included, is kept.
    std::size_t used = 0;
    char multibyte[8];
    for (std::size_t i = 0; i < length; ++i) {
        int k = std::wctomb(multibyte, text[i]);
        if (k < 0 || k > static_cast<int>(sizeof multibyte)) {
            multibyte[0] = '?';
            k = 1;
        }
        if (used + static_cast<std::size_t>(k) > room) break;
        std::memcpy(out + used, multibyte, static_cast<std::size_t>(k));
        used += static_cast<std::size_t>(k);
    }
    return used;
}

void SharedLogFile::Write(const std::wstring& path, bool flush, const char* bytes,
                          std::size_t length) {
    int state = m_state.load(std::memory_order_acquire);
    if (state == Unopened) {
        ::AcquireSRWLockExclusive(&m_lock);
        if (m_state.load(std::memory_order_relaxed) == Unopened) {
            m_file = OpenLogFile(path, L"w");
            m_state.store(m_file != nullptr ? Open : Failed, std::memory_order_release);
        }
        state = m_state.load(std::memory_order_relaxed);
        ::ReleaseSRWLockExclusive(&m_lock);
    }
    if (state != Open) return;
    std::fwrite(bytes, 1, length, m_file);  // one call: the stream's lock keeps the record whole
    if (flush) std::fflush(m_file);
}

void SharedLogFile::Flush() {
    if (m_state.load(std::memory_order_acquire) == Open) std::fflush(m_file);
}

void SharedLogFile::Close() {
    ::AcquireSRWLockExclusive(&m_lock);
    if (m_state.load(std::memory_order_relaxed) == Open) std::fclose(m_file);
    m_file = nullptr;
    m_state.store(Closed, std::memory_order_release);
    ::ReleaseSRWLockExclusive(&m_lock);
}

Logger::Logger(LogSettings settings, TextConversion conversion)
    : m_settings(std::move(settings)), m_conversion(conversion) {}

Logger::~Logger() {
    m_shared.Close();
}

int Logger::Print(const LogSite& site, const wchar_t* format, va_list args) {
    if (!Accepts(site.level) || format == nullptr) return 0;
    nrv::PreserveLastError keep;
    wchar_t record[kRecordChars];
    std::size_t length = 0;
    const int result = BuildRecord(m_settings, m_stamper, site, format, args, record, &length);
    Write(record, length);
    return result;
}

const unsigned char* Logger::HexDump(const void* data, std::size_t length) {
    if (data == nullptr) return nullptr;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (length == 0) return bytes;
    if (m_settings.destination != Destination::None) {
        nrv::PreserveLastError keep;
        wchar_t line[96];
        for (std::size_t offset = 0; offset < length; offset += 16) {
            const std::size_t count = length - offset < 16 ? length - offset : 16;
            Write(line, FormatHexDumpLine(bytes, offset, count, line));
        }
    }
    return bytes + length - 1;
}

void Logger::Write(const wchar_t* text, std::size_t length) {
    switch (m_settings.destination) {
        case Destination::None:
            return;
        case Destination::Debugger:
            ::OutputDebugStringW(text);
            return;
        default:
            break;
    }
    char bytes[kRecordChars * 4];
    const std::size_t n = ToLogBytes(text, length, m_conversion, bytes, sizeof bytes);
    switch (m_settings.destination) {
        case Destination::SharedFile:
            m_shared.Write(m_settings.logFile, m_settings.flush, bytes, n);
            break;
        case Destination::FilePerRecord: {
            nrv::UniqueStream file(OpenLogFile(m_settings.logFile, L"a"));
            if (file) std::fwrite(bytes, 1, n, file.get());
            break;
        }
        case Destination::StandardError:
            std::fwrite(bytes, 1, n, stderr);
            break;
        default:
            break;
    }
}

namespace {

constinit std::atomic<Logger*> g_processLogger{nullptr};

Logger& BuildProcessLogger() {
    // Built once and never destroyed, so records written while the process
    // exits find it intact. The exit handler flushes the shared file; its
    // handle is closed with the process, so a thread still logging during
    // exit never writes to a closed stream.
    static Logger* const logger = [] {
        alignas(Logger) static unsigned char storage[sizeof(Logger)];
        auto* created =
            new (storage) Logger(ReadLogSettings(SettingsPathFor(ModulePath()), kProgramDefaults),
                                 kProgramDefaults.conversion);
        std::atexit([] { ProcessLogger().FlushSharedFile(); });
        return created;
    }();
    g_processLogger.store(logger, std::memory_order_release);
    return *logger;
}

}  // namespace

Logger& ProcessLogger() {
    if (Logger* logger = g_processLogger.load(std::memory_order_acquire)) return *logger;
    // Reading the settings and the one-time initialisation itself may change
    // the caller's last-error code, which a failure record still needs.
    nrv::PreserveLastError keep;
    return BuildProcessLogger();
}

}  // namespace dbglog
