#include "DbgLog.h"

#include "LogCore.h"
#include "UniqueHandle.h"

#include <cstdarg>
#include <string>

using dbglog::ProcessLogger;

int LogPrint(const LogSite* site, const wchar_t* format, ...) {
    if (site == nullptr) return 0;
    dbglog::Logger& logger = ProcessLogger();
    if (!logger.Accepts(site->level)) return 0;  // nothing formatted
    va_list args;
    va_start(args, format);
    const int result = logger.Print(*site, format, args);
    va_end(args);
    return result;
}

int LogPrintWithLastError(const LogSite* site, const wchar_t* format, ...) {
    if (site == nullptr) return 0;
    dbglog::Logger& logger = ProcessLogger();
    if (!logger.Accepts(site->level)) return 0;
    va_list args;
    va_start(args, format);
    const int result = logger.Print(*site, format, args);
    va_end(args);
    // The record kept the last-error code, so both values are read now.
    const DWORD code = ::GetLastError();
    LogPrint(site, L"Get Last Error:%d %s", static_cast<int>(code), LastErrorText(false));
    return result;
}

const unsigned char* LogHexDump(const LogSite* /*site*/, const void* data, std::size_t length) {
    return ProcessLogger().HexDump(data, length);
}

const wchar_t* LastErrorText(bool keepLineEnd) {
    nrv::PreserveLastError
        keep;  // before the thread's buffer is first touched, which may change the code
    const DWORD code = keep.Saved();
    // One buffer per thread: the pen launcher logs failures from two threads.
    thread_local std::wstring text;
    text.clear();
    if (code != 0) {
        constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
        wchar_t* buffer = nullptr;
        DWORD length =
            ::FormatMessageW(kFlags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, LANG_NEUTRAL,
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        nrv::UniqueLocalMemory owned(buffer);
        if (length == 0) {
            nrv::UniqueModule netmsg(
                ::LoadLibraryExW(L"netmsg.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES));
            if (netmsg) {
                buffer = nullptr;
                length = ::FormatMessageW(kFlags | FORMAT_MESSAGE_FROM_HMODULE, netmsg.get(), code,
                                          MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                          reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
                owned.reset(buffer);
            }
        }
        if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    }
    if (!keepLineEnd) {
        const std::size_t lineFeed = text.rfind(L'\n');
        if (lineFeed != std::wstring::npos) text.resize(lineFeed);
    }
    return text.c_str();
}

TraceScope::TraceScope(const wchar_t* name, const LogSite* site) : m_name(name), m_site{} {
    if (site != nullptr) {
        m_site = *site;
        LogPrint(&m_site, L"ENTER %s", m_name);
    }
}

TraceScope::~TraceScope() {
    if (m_site.file != nullptr) LogPrint(&m_site, L"LEAVE %s", m_name);
}
