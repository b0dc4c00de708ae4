// The setup program's command line: the parameters the self-extractor
// passes ("-test", "-testonly", "-g0"/"-g1", "-h0"/"-h1", "-wait N", "-s",
// "-a", "-scm", "-lng N" and the quoted slots "-log", "-model", "-pn",
// "-id", "-is", "-wbt", "-setup", "-setupr") and the setup's own
// "-uninstall". No UI, no I/O: parsed and checked here, acted on elsewhere.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pkgsetup {

enum class SetupMode { Install, Uninstall, TestOnly };

struct SetupOptions {
    SetupMode mode = SetupMode::Install;
    bool testRun = false;  // "-test": a normal run that says in its log that it is a test
    int gValue = -1;       // "-g0"/"-g1"; -1 when not given
    int hValue = -1;       // "-h0"/"-h1"
    unsigned waitSeconds = 0;
    bool silent = false;     // "-s": nothing visible at all
    bool automatic = false;  // "-a": no questions
    bool scm = false;        // "-scm": deployment-tool mode
    std::optional<unsigned> language;
    std::optional<std::wstring> logPath;
    // The other quoted slots, by name ("model", "pn", "id", "is", "wbt",
    // "setup", "setupr"), in the order given: logged, not acted on.
    std::vector<std::pair<std::wstring, std::wstring>> slots;
};

struct ParseResult {
    bool ok = false;
    SetupOptions options;
    std::wstring error;  // what was wrong, for the log
};

// The longest wait "-wait" accepts, in seconds.
inline constexpr unsigned kMaxWaitSeconds = 3600;

// arguments: the command line after the program's name. Switches are
// case-insensitive; a quoted value ends at a lone double quote, and two
// double quotes inside it stand for one.
ParseResult ParseSetupCommandLine(const std::wstring& arguments);

// The arguments of a full command line (the program's name, quoted or not,
// and the blanks after it removed).
std::wstring ArgumentsOf(const std::wstring& commandLine);

}  // namespace pkgsetup
