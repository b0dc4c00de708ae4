// vadctl.exe: scripts the simulated value-added device from the command line.
// "vadctl help" lists the commands. Exit status: 0 done, 1 the device
// refused or is not there, 2 bad arguments.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "VadCtl.h"
#include "VadNotebook.h"
#include "VadSimClient.h"

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "vadctl: %s\n", message.c_str());
    return 1;
}

std::string SystemError(DWORD error) {
    return "system error " + std::to_string(error);
}

// What vadctl does itself: SetupDi and the registry. Returns 0 or the
// system error; text gets what to print.
DWORD RunLocal(const vadctl::Action& action, std::string* text) {
    using vadctl::Local;
    switch (action.local) {
        case Local::IndicatorsInstall:
        case Local::IndicatorsUninstall: {
            DWORD result = 0;
            for (ULONG i = 0; i < vadsim::kIndicatorCount; ++i) {
                const DWORD error = action.local == Local::IndicatorsInstall
                                        ? vadsim::InstallIndicator(i)
                                        : vadsim::UninstallIndicator(i);
                if (result == 0) result = error;
            }
            return result;
        }
        case Local::IndicatorUnlink:
        case Local::IndicatorLink:
            return vadsim::SetIndicatorLinked(action.indicator,
                                              action.local == Local::IndicatorLink);
        case Local::IndicatorPath: {
            DWORD error = 0;
            const std::wstring path =
                vadsim::FindInterfacePath(vadsim::IndicatorGuid(action.indicator), &error);
            for (wchar_t c : path) *text += static_cast<char>(c < 0x80 ? c : '?');
            *text += "\n";
            return path.empty() ? error : 0;
        }
        case Local::KeyboardsAdd:
            return vadsim::AddKeyboard(action.vendor, action.product);
        case Local::KeyboardsClear:
            return vadsim::ClearKeyboards();
        case Local::KeyboardsList: {
            std::vector<std::wstring> ids;
            const DWORD error = vadsim::ListKeyboards(&ids);
            for (const std::wstring& id : ids) {
                for (wchar_t c : id) *text += static_cast<char>(c < 0x80 ? c : '?');
                *text += "\n";
            }
            return error;
        }
        case Local::KeyboardsRemove:
            return vadsim::RemoveKeyboardList();
        case Local::None:
            break;
    }
    return 0;
}

int Run(const vadctl::Action& action) {
    // Removing an interface: unlisted first, then its link goes; restoring:
    // the link first, then it is listed again.
    const bool localFirst = action.local != vadctl::Local::IndicatorLink;
    if (action.local != vadctl::Local::None && localFirst) {
        std::string text;
        const DWORD error = RunLocal(action, &text);
        if (error != 0) return Fail("failed (" + SystemError(error) + ")");
        std::printf("%s", text.c_str());
    }
    if (action.code == 0) return 0;
    vadsim::ControlChannel channel;
    if (!channel.Open()) {
        return Fail("cannot open \\\\.\\NrvVadSimControl (" + SystemError(channel.Error()) +
                    "): is the simulated device driver (service nrvvadsim) running?");
    }
    vadsim::DeviceState state = {};
    vadsim::IndicatorState indicators = {};
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
        case vadctl::Output::Indicators:
            ok = channel.QueryIndicators(&indicators);
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
    } else if (action.output == vadctl::Output::Indicators) {
        std::printf("%s", vadctl::FormatIndicators(indicators).c_str());
    }
    if (action.local != vadctl::Local::None && !localFirst) {
        std::string text;
        const DWORD error = RunLocal(action, &text);
        if (error != 0) return Fail("failed (" + SystemError(error) + ")");
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
