// vadctl.exe: scripts the simulated value-added device from the command line.
// "vadctl help" lists the commands. Exit status: 0 done, 1 the device
// refused or is not there, 2 bad arguments.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "VadCtl.h"
#include "VadSimClient.h"

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "vadctl: %s\n", message.c_str());
    return 1;
}

std::string SystemError(DWORD error) {
    return "system error " + std::to_string(error);
}

int Run(const vadctl::Action& action) {
    vadsim::ControlChannel channel;
    if (!channel.Open()) {
        return Fail("cannot open \\\\.\\NrvVadSimControl (" + SystemError(channel.Error()) +
                    "): is the simulated device driver (service nrvvadsim) running?");
    }
    vadsim::DeviceState state = {};
    vadsim::RaiseResult raised = {};
    bool ok = false;
    switch (action.output) {
        case vadctl::Output::Log: {
            std::vector<vadsim::LogEntry> entries;
            ULONG from = 0;
            std::memcpy(&from, action.input.data(), sizeof from);
            if (!channel.ReadLog(&entries, from)) break;
            for (const vadsim::LogEntry& entry : entries) {
                std::printf("%s\n", vadctl::FormatLogEntry(entry).c_str());
            }
            return 0;
        }
        case vadctl::Output::Pending:
        case vadctl::Output::Handles:
            ok = channel.QueryState(&state);
            break;
        case vadctl::Output::RaiseResult:
            ok = channel.Send(action.code, action.input.data(),
                              static_cast<DWORD>(action.input.size()), &raised, sizeof raised);
            break;
        default:
            ok = channel.Send(action.code, action.input.empty() ? nullptr : action.input.data(),
                              static_cast<DWORD>(action.input.size()), nullptr, 0);
            break;
    }
    if (!ok) return Fail("the request failed (" + SystemError(channel.Error()) + ")");
    if (action.output == vadctl::Output::Pending) {
        std::printf("%s", vadctl::FormatPending(state).c_str());
    } else if (action.output == vadctl::Output::Handles) {
        std::printf("%s", vadctl::FormatHandles(state).c_str());
    } else if (action.output == vadctl::Output::RaiseResult) {
        std::printf("%s", vadctl::FormatRaise(raised).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const vadctl::ParseResult parsed = vadctl::Parse(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "vadctl: %s\n(vadctl help lists the commands)\n",
                     parsed.error.c_str());
        return 2;
    }
    if (parsed.action.output == vadctl::Output::Usage) {
        std::printf("%s", vadctl::Usage().c_str());
        return 0;
    }
    const int status = Run(parsed.action);
    std::fflush(stdout);
    return status;
}
