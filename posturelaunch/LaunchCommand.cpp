#include "LaunchCommand.h"

#include <cwchar>

namespace posturelaunch {

const wchar_t* CommandLineTail(const wchar_t* commandLine) {
    if (commandLine == nullptr) return L"";
    const wchar_t* p = commandLine;
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

const wchar_t* CmdParametersFor(const wchar_t* tail) {
    if (std::wcscmp(tail, L"/START") == 0) return kStartParameters;
    if (std::wcscmp(tail, L"/STOP") == 0) return kStopParameters;
    return nullptr;
}

}  // namespace posturelaunch
