// POSTURESVC.exe: the posture service and its own installer.
#include "DbgLog.h"
#include "MachineConfig.h"
#include "PostureService.h"

#include <windows.h>

extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Error, dbglog::Destination::SharedFile,
    L"%LocalAppData%\\NORVALE\\SYSKIT\\POSTURESVC.txt", dbglog::TextConversion::Runtime};

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR commandLine,
                    int /*show*/) {
    DBGLOG_TRACE_FUNCTION(wWinMain);
    InitWorkPath(nullptr);
    ReadConfigFile();
    return RunCommandLine(commandLine);
}
