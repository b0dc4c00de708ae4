// The setup program's settings file "pkgsetupwb.exe.ini", beside it in the
// package: where it installs, which files and folders it copies and which
// of the installed programs it sets up.
//
//   [Setup]
//   TargetFolder=NORVALE\NORVALE System Driver   ; below Program Files (x86)
//   PostureService=1    ; POSTURESVC.exe /CHECK_AND_INSTALL, then start it
//   RadioService=1      ; RadioSvc.exe /INSTALL
//   Driver=1            ; btsetup.exe (dpinst.exe and "SupportDLL")
//   PenLauncher=1       ; start NrvPenNote.exe in the user's session
//   [Files]
//   POSTURESVC.exe=required   ; a file of the package folder: required or optional
//   [Folders]
//   Drivers=required          ; a folder of the package, copied with all it holds
#pragma once

#include <string>
#include <vector>

namespace pkgsetup {

inline constexpr wchar_t kSettingsName[] = L"pkgsetupwb.exe.ini";

struct SetupItem {
    std::wstring name;  // relative to the package folder and to the target folder
    bool required = true;
};

struct SetupSettings {
    std::wstring targetFolder;  // relative to Program Files (x86)
    bool postureService = false;
    bool radioService = false;
    bool driver = false;
    bool penLauncher = false;
    std::vector<SetupItem> files;
    std::vector<SetupItem> folders;
};

struct SettingsResult {
    bool ok = false;
    SetupSettings settings;
    std::wstring error;  // what is missing or wrong, for the log
};

// Reads and checks the settings file at path (GetPrivateProfileString).
SettingsResult ReadSetupSettings(const std::wstring& path);

// A name that stays inside the folder it is relative to: not empty, no
// drive, not rooted, no "." or ".." part, no character Windows refuses.
bool IsSafeRelativePath(const std::wstring& name);

}  // namespace pkgsetup
