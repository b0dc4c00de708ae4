// Debug log shared by every user-mode program of the package.
//
// One line of text per record, written to the destination chosen in
// "DbgLog.ini" beside the program's executable (section "LOG"). Logging never
// fails an operation and never changes the caller's last-error code.
//
// Typical use:
//
//     HRESULT Foo() {
//         DBGLOG_TRACE_FUNCTION(Foo);            // "ENTER Foo" ... "LEAVE Foo"
//         if (!Bar()) {
//             LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
//             return E_FAIL;
//         }
//         return S_OK;
//     }
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

enum class LogLevel : std::int32_t {
    Error = 0,    // "ERR"
    Warning = 1,  // "WRN"
    Info = 2,     // "INF"
    Trace = 3,    // "TRC"
};

// Where a record comes from; built on the stack at each call site.
struct LogSite {
    const wchar_t* file;       // source file as the compiler gives it
    int line;                  // source line
    const wchar_t* function;   // function tag: L" (Name)"
    const wchar_t* component;  // always L""
    LogLevel level;
};

// Writes one record. Returns its length including the line feed, 512 when
// the record was cut, 0 when no record was produced.
int LogPrint(const LogSite* site, const wchar_t* format, ...);

// LogPrint, then "Get Last Error:%d %s" with the thread's last-error code and
// its text (line end removed).
int LogPrintWithLastError(const LogSite* site, const wchar_t* format, ...);

// Dumps length bytes, 16 a line, with no time stamp, prefix or level test.
// Returns the last byte visited (data itself when length is 0), or null when
// data is null.
const unsigned char* LogHexDump(const LogSite* site, const void* data, std::size_t length);

// Text of the calling thread's last-error code, empty when the code is 0 or
// unknown. The buffer belongs to the calling thread and stays valid until its
// next call. Unless keepLineEnd, the string is cut at its last line feed.
const wchar_t* LastErrorText(bool keepLineEnd);

// "ENTER name" when constructed, "LEAVE name" on every way out of the scope.
class TraceScope {
public:
    TraceScope(const wchar_t* name, const LogSite* site);
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    const wchar_t* m_name;
    LogSite m_site;
};

namespace dbglog {

enum class Destination : int {
    None = 0,
    Debugger = 1,
    SharedFile = 2,
    FilePerRecord = 3,
    StandardError = 4,
};

// How a record's wide text becomes the bytes of a log file or stderr.
enum class TextConversion {
    Runtime,       // the C runtime's wide-to-multibyte conversion
    AnsiCodePage,  // the system ANSI code page, the runtime's when that fails
};

// The per-program part of the log: defaults of "Level", "Destination" and
// "LogFile", and the text conversion. Each program defines kProgramDefaults.
struct ProgramDefaults {
    LogLevel level;
    Destination destination;
    const wchar_t* logFile;
    TextConversion conversion;
};

extern const ProgramDefaults kProgramDefaults;

namespace detail {

// Source file names are given to records with backslashes, as on Windows.
template <std::size_t N>
struct WideSourceName {
    wchar_t text[N];
    consteval WideSourceName(const char (&name)[N]) : text{} {
        for (std::size_t i = 0; i < N; ++i) {
            text[i] =
                name[i] == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
        }
    }
};

template <WideSourceName Name>
inline constexpr const wchar_t* kSourceFile = Name.text;

inline const LogSite* SiteAddress(const LogSite& site) {
    return &site;
}

}  // namespace detail
}  // namespace dbglog

// Declares the function tag used by the LOG_ macros in this scope.
#define DBGLOG_FUNCTION_TAG(name) \
    [[maybe_unused]] static constexpr const wchar_t* dbglogFunctionTag = L" (" #name L")"

#define DBGLOG_SITE(level)                                                                     \
    ::dbglog::detail::SiteAddress(::LogSite{::dbglog::detail::kSourceFile<__FILE__>, __LINE__, \
                                            dbglogFunctionTag, L"", (level)})

// Tag plus "ENTER name"/"LEAVE name" records for the enclosing function.
#define DBGLOG_TRACE_FUNCTION(name) \
    DBGLOG_FUNCTION_TAG(name);      \
    ::TraceScope dbglogTraceScope_(L"" #name, DBGLOG_SITE(::LogLevel::Trace))

#define LOG_ERROR(...) ::LogPrint(DBGLOG_SITE(::LogLevel::Error), __VA_ARGS__)
#define LOG_WARNING(...) ::LogPrint(DBGLOG_SITE(::LogLevel::Warning), __VA_ARGS__)
#define LOG_INFO(...) ::LogPrint(DBGLOG_SITE(::LogLevel::Info), __VA_ARGS__)
#define LOG_TRACE(...) ::LogPrint(DBGLOG_SITE(::LogLevel::Trace), __VA_ARGS__)
#define LOG_ERROR_WITH_LAST_ERROR(...) \
    ::LogPrintWithLastError(DBGLOG_SITE(::LogLevel::Error), __VA_ARGS__)
