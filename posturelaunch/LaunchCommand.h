// POSTURESVCINST's command line: which "net" command, if any, it runs.
#pragma once

namespace posturelaunch {

inline constexpr const wchar_t kServiceName[] = L"POSTURESVC";
inline constexpr const wchar_t kStartParameters[] = L"/C net start \"POSTURESVC\"";
inline constexpr const wchar_t kStopParameters[] = L"/C net stop \"POSTURESVC\"";

// The text after the program name, leading blanks removed. The program name
// ends at the first blank, or at its closing quote when it starts with one.
const wchar_t* CommandLineTail(const wchar_t* commandLine);

// The parameters for "cmd.exe": "/START" and "/STOP" exactly (whole text,
// case-sensitive); null for anything else.
const wchar_t* CmdParametersFor(const wchar_t* tail);

}  // namespace posturelaunch
