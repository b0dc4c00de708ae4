// The state record's start values, the message of each result code and the
// exit-code rule.
#include <cstring>

#include "Extractor.h"

namespace sfx {

void initState(ExtractorState& state, HINSTANCE instance, LANGID userLanguage) {
    std::memset(&state, 0, sizeof(state));
    state.instance = instance;
    state.successExitCode = rc::InitialSuccessExit;
    state.testNotOnly = 1;
    selectLanguage(state, userLanguage);
}

UINT messageIdFor(ResultCode code) {
    if (code == rc::Ok) return 119;
    if ((code >= 0x210000C9 && code <= 0x210000CB) || code == 0x210000CE) return 126;
    if (code == 0x210000CF) return 125;
    if (code >= 0x2100011B && code <= 0x2100011D) return 125;
    if (code >= rc::LaunchFailed && code <= rc::LaunchFailed + 32) return 131;
    if (code >= rc::LogPath && code <= rc::DiskSpace) return 121;
    switch (code) {
        case rc::ExePath:
        case rc::OpenArchive:
            return 125;
        case rc::WalkArchive:
        case rc::OpenEntry:
        case rc::ReadEntry:
            return 126;
        case rc::NoEntries:
            return 124;
        case rc::Cancelled:
            return 130;
        case rc::CreateFolder:
            return 127;
        case rc::CreateFile:
        case rc::WriteFile:
            return 128;
        case rc::CrcMismatch:
            return 129;
        case rc::DescriptionMissing:
        case rc::DescriptionMalformed:
            return 123;
        default:
            return 120;
    }
}

int32_t displayedNumber(ResultCode code) {
    return code > rc::DisplayBase ? code - rc::DisplayBase : code;
}

int32_t negativeDisplayed(ResultCode code) {
    int32_t c = displayedNumber(code);
    return c > 0 ? -c : c;
}

int32_t processExitCode(const ExtractorState& state, ResultCode code) {
    const int32_t c = negativeDisplayed(code);
    if (c == 0) return state.successExitCode;
    return state.scmMode ? 1604 : c;
}

}  // namespace sfx
