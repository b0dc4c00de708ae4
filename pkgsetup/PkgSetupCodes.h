// Exit codes of the package's setup program (pkgsetup.exe, pkgsetupwb.exe).
// The self-extractor returns them as its own, so a deployment tool reads
// them too. 0 and 3010 are successes; every other code names the step that
// failed, and the log holds that step with its Windows error.
#pragma once

namespace pkgsetup {

enum ExitCode : unsigned long {
    kExitSuccess = 0,
    kExitBadCommandLine = 2,        // an unknown switch, a missing or bad value
    kExitSettingsInvalid = 3,       // pkgsetupwb.exe.ini missing or malformed
    kExitLibraryFailed = 4,         // DEDUZ45O.DLL missing, not loadable, or failing
    kExitTestFilesMissing = 5,      // -testonly: a file of the setup program is missing
    kExitCopyFailed = 6,            // a file could not be copied into the target folder
    kExitPostureInstallFailed = 7,  // "POSTURESVC.exe /CHECK_AND_INSTALL" did not install it
    kExitPostureStartFailed = 8,    // the posture service did not start
    kExitRadioInstallFailed = 9,    // "RadioSvc.exe /INSTALL" did not install and start it
    kExitDriverInstallFailed = 10,  // btsetup.exe failed or the driver is not in place
    kExitPenStartFailed = 11,       // NrvPenNote.exe could not be started
    kExitUninstallFailed = 12,      // a service, the driver or a file of the setup remains
    kExitNotElevated = 13,          // not run with administrator rights
    kExitEarlierStopFailed = 14,    // an earlier installation could not be stopped or removed
    kExitRebootRequired = 3010,     // ERROR_SUCCESS_REBOOT_REQUIRED: done, restart to finish
};

}  // namespace pkgsetup
