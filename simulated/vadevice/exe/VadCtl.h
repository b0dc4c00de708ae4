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
enum class Output { Nothing, Usage, RaiseResult, Log, Pending, Handles, Indicators, Text };

// What vadctl does itself, in the registry and through SetupDi, besides (or
// instead of) the control request.
enum class Local {
    None,
    IndicatorsInstall,    // registers both indicators' interfaces
    IndicatorsUninstall,  // removes them
    IndicatorUnlink,      // clears the interface's Linked flag (with the request)
    IndicatorLink,        // sets it (with the request)
    IndicatorPath,        // prints the path enumeration finds
    KeyboardsAdd,
    KeyboardsClear,
    KeyboardsList,
    KeyboardsRemove,
};

struct Action {
    ULONG code = 0;  // control code to send; 0: none
    std::vector<unsigned char> input;
    Output output = Output::Nothing;
    Local local = Local::None;
    ULONG indicator = 0;  // vadsim::IndicatorId
    ULONG vendor = 0;     // KeyboardsAdd
    ULONG product = 0;
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
// A USB vendor or product id: one to four hexadecimal digits, 0x optional.
bool ParseUsbId(const std::string& text, ULONG* id);

std::string Usage();
std::string OutcomeName(ULONG outcome);
std::string DeviceName(ULONG device);
std::string FormatLogEntry(const vadsim::LogEntry& entry);
std::string FormatRaise(const vadsim::RaiseResult& result);
std::string FormatPending(const vadsim::DeviceState& state);
std::string FormatHandles(const vadsim::DeviceState& state);
std::string FormatIndicators(const vadsim::IndicatorState& state);

}  // namespace vadctl
