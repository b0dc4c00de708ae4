// pkgsetup.exe / pkgsetupwb.exe: the package's setup program, started by the
// self-extractor from the extraction folder.
#include <windows.h>

#include <string>

#include "PkgSetup.h"
#include "PkgSetupCodes.h"
#include "SetupCommand.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t module[MAX_PATH * 2];
    const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH * 2);
    std::wstring folder(module, length < MAX_PATH * 2 ? length : 0);
    folder = folder.substr(
        0, folder.find_last_of(L'\\') == std::wstring::npos ? 0 : folder.find_last_of(L'\\'));
    const std::wstring arguments = pkgsetup::ArgumentsOf(::GetCommandLineW());
    std::wstring summary;
    const unsigned long code = pkgsetup::RunSetup(arguments, folder, &summary);

    // "-s": nothing visible; "-a": nothing to answer either.
    const pkgsetup::ParseResult parsed = pkgsetup::ParseSetupCommandLine(arguments);
    const bool quiet = !parsed.ok ? arguments.find(L"-s") != std::wstring::npos ||
                                        arguments.find(L"-a") != std::wstring::npos
                                  : parsed.options.silent || parsed.options.automatic;
    if (!quiet) {
        ::MessageBoxW(
            nullptr, summary.c_str(), L"NORVALE System Driver",
            MB_OK | (code == pkgsetup::kExitSuccess || code == pkgsetup::kExitRebootRequired
                         ? MB_ICONINFORMATION
                         : MB_ICONERROR));
    }
    return static_cast<int>(code);
}
