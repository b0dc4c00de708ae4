// A small program that logs like one of the package's programs: built once
// with a service's log defaults and once with the pen launcher's. It writes
// one record of each level, a traced call, a value holding a percent sign,
// a 600-character message and a 20-byte hex dump, all tagged with argv[1].
#include "DbgLog.h"

#include <string>

#if defined(LOGPROBE_PEN)
extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Trace, dbglog::Destination::Debugger, L"DbgLog.txt",
    dbglog::TextConversion::AnsiCodePage};
#else
extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Error, dbglog::Destination::SharedFile,
    L"%LocalAppData%\\NORVALE\\SYSKIT\\POSTURESVC.txt", dbglog::TextConversion::Runtime};
#endif

namespace {

void TracedCall(const wchar_t* tag) {
    DBGLOG_TRACE_FUNCTION(TracedCall);
    LOG_TRACE(L"probe %s inside", tag);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DBGLOG_FUNCTION_TAG(wmain);
    const wchar_t* tag = argc > 1 ? argv[1] : L"untagged";
    if (argc > 2) {  // probe TAG CODE: failure records with that last-error code
        ::SetLastError(static_cast<DWORD>(_wtoi(argv[2])));
        // A warning first: below a "Level" of 0 it writes neither record.
        ::LogPrintWithLastError(DBGLOG_SITE(LogLevel::Warning), L"probe %s warning failure", tag);
        LOG_ERROR_WITH_LAST_ERROR(L"probe %s failure", tag);
        return 0;
    }
    LOG_ERROR(L"probe %s error", tag);
    LOG_WARNING(L"probe %s warning", tag);
    LOG_INFO(L"probe %s info", tag);
    LOG_TRACE(L"probe %s trace", tag);
    TracedCall(tag);
    LOG_ERROR(L"probe %s value %s", tag, L"50%s off");
    const std::wstring longText(600, L'x');
    LOG_ERROR(L"%s", longText.c_str());
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(0x41 + i);
    LogHexDump(DBGLOG_SITE(LogLevel::Error), bytes, sizeof bytes);
    return 0;
}
