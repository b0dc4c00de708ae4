// POSTURESVCINST: starts ("/START") or stops ("/STOP") the posture service
// through "net", run by a hidden command interpreter. It does not wait for
// the outcome and always exits with 0.
#include "LaunchCommand.h"

#include <windows.h>
#include <shellapi.h>

int APIENTRY wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_UNICODE | SEE_MASK_NOASYNC;
    execute.hwnd = nullptr;
    execute.lpVerb = L"open";
    execute.lpFile = L"cmd.exe";
    execute.lpDirectory = nullptr;
    execute.nShow = SW_HIDE;

    const wchar_t* parameters =
        posturelaunch::CmdParametersFor(posturelaunch::CommandLineTail(::GetCommandLineW()));
    if (parameters != nullptr) {
        execute.lpParameters = parameters;
        ::ShellExecuteExW(&execute);
    }
    ::Sleep(1000);
    return 0;
}
