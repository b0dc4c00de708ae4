// btsimctl's command line: scripts the simulated firmware device, raises its
// notifications, sends system power requests, unplugs and replugs it, sets
// the registry values the radio switch driver reads, and prints the log of
// every method evaluation.
#pragma once

#include <string>
#include <vector>

namespace acpibt {

// Runs one command; its output is appended to out. Returns the exit code:
// 0 done, 1 failed, 2 bad command line.
int RunCommand(const std::vector<std::string>& args, std::string* out);

}  // namespace acpibt
