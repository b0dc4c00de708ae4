// The start-up sequence: description, switches, folder, scan, then one of
// the three modes (verify only, test-only, the dialog run), and the exit code.
#include "Extractor.h"

#include <shellapi.h>

namespace sfx {
namespace {

ExtractorState g_state;

}  // namespace

bool restrictDllSearch() {
    // A package is usually started from a downloads folder: no library may
    // come from the program's own folder or the current one.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                   ::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    ::SetDllDirectoryW(L"");
    return setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

int runExtractor(HINSTANCE instance) {
    ExtractorState& s = g_state;
    initState(s, instance, ::GetUserDefaultUILanguage());

    ResultCode code = readDescription(s);
    if (code == rc::Ok) {
        int argc = 0;
        wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
        if (argv == nullptr) {
            code = rc::SplitFailed;
        } else {
            if (argc >= 2) code = parseCommandLine(s, argc, argv, ::GetCommandLineW());
            ::LocalFree(argv);
        }
        if (code == rc::Ok) code = prepareSetup(s);
    } else if (s.folder[0] == L'\0') {
        // Without a description the entries go where an unnamed package's
        // would: the default temporary folder.
        resolveExtractionFolder(s, L"");
    }
    const ResultCode scan = scanArchive(s);
    if (code == rc::Ok) code = scan;

    if (s.verifyOnly) {
        closeArchive();
        return code == rc::Ok ? 0 : negativeDisplayed(code);
    }

    if (s.testFlag && !s.testNotOnly) {
        if (code == rc::Ok) code = extractNamed(s);
        if (code == rc::Ok) code = runSetupCommand(s);
        closeArchive();
        return code == rc::Ok ? s.successExitCode : negativeDisplayed(code);
    }

    if (!checkDiskSpace(s, s.folder) && code == rc::Ok) code = rc::DiskSpace;
    s.dialogResult = code;
    bool runModeless = (s.options & optSilent) != 0;
    if (!runModeless && runMainDialogModal(s) == -1) {
        if (code == rc::Ok) code = rc::MainDialog;
        s.dialogResult = code;
        runModeless = true;
    }
    if (runModeless) {
        if (s.dialogResult == rc::MainDialog) s.dialogResult = rc::Ok;
        if (code == rc::MainDialog) code = rc::Ok;
        if (!(s.dialogResult != rc::Ok && (s.options & optSilent) != 0)) runMainDialogModeless(s);
    }

    ResultCode result = s.dialogResult;
    if (result == rc::RunCommandNow && (s.options & optRunCommand) != 0) {
        result = runSetupCommand(s);
        if (result != rc::Ok && (s.options & (optAuto | optSilent)) == 0) {
            showErrorBox(s, negativeDisplayed(result));
        }
    } else if (result == rc::RunCommandNow) {
        result = rc::Ok;
    }
    closeArchive();
    return processExitCode(s, code != rc::Ok ? code : result);
}

}  // namespace sfx
