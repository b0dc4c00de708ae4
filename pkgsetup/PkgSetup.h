// The package's setup program: installs the package's programs from the
// folder it runs in into Program Files (x86), sets up the two services, the
// driver and the pen launcher, replaces an earlier installation, removes
// everything again with "-uninstall", and checks the package in "-testonly".
#pragma once

#include <string>

#include "SetupCommand.h"

namespace pkgsetup {

// Runs the whole setup for the given command-line arguments from the package
// folder sourceFolder (the program's own folder, ending without a
// backslash). Returns the exit code (PkgSetupCodes.h); summary receives a
// short text for the user.
unsigned long RunSetup(const std::wstring& arguments, const std::wstring& sourceFolder,
                       std::wstring* summary);

}  // namespace pkgsetup
