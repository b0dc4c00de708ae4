// RadioSvc.exe: the radio-management service and its own installer.
#include "DbgLog.h"
#include "RadioService.h"

#include <windows.h>

extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Error, dbglog::Destination::SharedFile,
    L"%LocalAppData%\\NORVALE\\SYSKIT\\RadioSvc.txt", dbglog::TextConversion::Runtime};

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPWSTR commandLine, int /*show*/) {
    DBGLOG_TRACE_FUNCTION(wWinMain);
    SetProgramIdentity(instance);
    RunRadioCommandLine(commandLine);
    return 0;
}
