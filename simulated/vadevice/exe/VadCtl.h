// vadctl's command line and output, free of I/O: Parse turns the arguments
// into the one control request to send, the Format functions turn answers
// into text.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "VadSimControl.h"

namespace vadctl {

// What to print after the request succeeded.
enum class Output { Nothing, Usage, RaiseResult, Log, Pending, Handles };

struct Action {
    ULONG code = 0;  // control code to send; 0 for help
    std::vector<unsigned char> input;
    Output output = Output::Nothing;
};

struct ParseResult {
    bool ok = false;
    Action action;
    std::string error;  // when !ok: what is wrong, for stderr
};

// args: the command line without the program name.
ParseResult Parse(const std::vector<std::string>& args);

// A 32-bit number, decimal or 0x hexadecimal.
bool ParseNumber(const std::string& text, ULONG* value);
// Four letters, digits or underscores, packed as the method request carries
// them.
bool ParseMethodName(const std::string& text, ULONG* name);

std::string Usage();
std::string OutcomeName(ULONG outcome);
std::string DeviceName(ULONG device);
std::string FormatLogEntry(const vadsim::LogEntry& entry);
std::string FormatRaise(const vadsim::RaiseResult& result);
std::string FormatPending(const vadsim::DeviceState& state);
std::string FormatHandles(const vadsim::DeviceState& state);

}  // namespace vadctl
