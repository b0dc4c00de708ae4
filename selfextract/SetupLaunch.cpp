// Starting the package's setup program after extraction, waiting for it and
// cleaning up the extraction folder.
#include "Extractor.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

namespace sfx {
namespace {

void deleteFolder(const wchar_t* folder) {
    wchar_t from[kPathChars + 1] = {};
    std::wcsncpy(from, folder, kPathChars - 1);  // double zero at the end
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    ::SHFileOperationW(&operation);
}

}  // namespace

ResultCode launchFailure(ExtractorState& s, INT_PTR instance) {
    if (instance == SE_ERR_ACCESSDENIED) {
        // Declined elevation: for a deployment tool (SC) that is a cancel by
        // the user (the installer convention 1602), never a success.
        if (s.scmMode) s.successExitCode = ERROR_INSTALL_USEREXIT;
        return rc::Ok;
    }
    return instance > 32 || instance < 0 ? rc::LaunchFailed
                                         : rc::LaunchFailed + static_cast<ResultCode>(instance);
}

ResultCode runSetupCommand(ExtractorState& s) {
    const bool testOnly = s.testFlag && !s.testNotOnly;
    const bool folderWasNew = (s.folderKind & folderWasEmpty) != 0;
    // A folder the user named and that already held files is never wiped;
    // a test-only run then removes only the files it extracted.
    const bool deleteWholeFolder =
        folderWasNew && ((s.options & optAllowFolderDelete) != 0 || testOnly);
    const bool deleteNamedFiles = testOnly && !folderWasNew;

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_DOENVSUBST | SEE_MASK_NOASYNC |
                 SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE | SEE_MASK_NOZONECHECKS;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = s.commandVariant == 1 ? s.derivedCommand : s.command;
    info.lpParameters = s.parameters[0] != L'\0' ? s.parameters : nullptr;
    info.lpDirectory = s.folder;
    info.nShow = (s.options & optSilent) != 0 ? SW_HIDE : SW_SHOWDEFAULT;
    const BOOL ok = ::ShellExecuteExW(&info);
    const INT_PTR instance = reinterpret_cast<INT_PTR>(info.hInstApp);
    if (!ok || instance <= 32) {
        if (info.hProcess != nullptr) ::CloseHandle(info.hProcess);
        return launchFailure(s, instance);
    }
    if (info.hProcess == nullptr) return rc::Ok;
    // The wait ends when the process ends, whatever its exit code (a program
    // may end with 259 itself).
    DWORD exitCode = 0;
    for (;;) {
        const DWORD waited = ::WaitForSingleObject(info.hProcess, 1000);
        if (!::GetExitCodeProcess(info.hProcess, &exitCode)) {
            exitCode = 0;
            break;
        }
        if (waited == WAIT_OBJECT_0) break;
        if (waited == WAIT_FAILED) break;
    }
    ::CloseHandle(info.hProcess);
    s.successExitCode = static_cast<int32_t>(exitCode);
    if (deleteWholeFolder) {
        deleteFolder(s.folder);
    } else if (deleteNamedFiles) {
        for (int i = 0; i < s.namedFileCount; ++i) ::DeleteFileW(s.namedFiles[i]);
    }
    return rc::Ok;
}

}  // namespace sfx
