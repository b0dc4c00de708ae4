#include "VadCtl.h"

#include <cstdio>
#include <cstring>

#include "VadNotebook.h"

namespace vadctl {

namespace {

template <typename T>
std::vector<unsigned char> Bytes(const T& value) {
    std::vector<unsigned char> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

// A count of opens or requests: a number, or "always".
bool ParseCount(const std::string& text, ULONG* count) {
    if (Lower(text) == "always") {
        *count = vadsim::kAlways;
        return true;
    }
    return ParseNumber(text, count);
}

bool ParseDevice(const std::string& text, ULONG* device) {
    const std::string name = Lower(text);
    for (ULONG id = 0; id < vadsim::kDeviceCount; ++id) {
        if (name == Lower(DeviceName(id))) {
            *device = id;
            return true;
        }
    }
    return false;
}

bool ParseRequestKind(const std::string& text, ULONG* kind) {
    const char* const names[] = {"register-read", "register-write", "method", "event"};
    for (ULONG i = 0; i < vadsim::kRequestKindCount; ++i) {
        if (Lower(text) == names[i]) {
            *kind = i;
            return true;
        }
    }
    return false;
}

struct Command {
    const char* name;
    std::size_t minArgs;
    std::size_t maxArgs;
    const char* arguments;  // for the usage text
    const char* help;
};

const Command kCommands[] = {
    {"reset", 0, 0, "", "back to the defaults; clears the log"},
    {"identity", 2, 2, "MANUFACTURER MACHINE", "register 0x96 answers these words (2 and 3)"},
    {"identity-unavailable", 0, 0, "", "register 0x96 answers status 0x8000"},
    {"register", 5, 5, "REG STATUS WORD2 WORD3 WORD4", "what a read of REG answers"},
    {"method", 2, 2, "NAME RESULT", "method NAME returns RESULT (at offset 24)"},
    {"method-fail", 1, 1, "NAME", "evaluating method NAME fails"},
    {"method-remove", 1, 1, "NAME", "method NAME is unknown"},
    {"polled", 3, 5, "COUNT WORD2 WORD4 [START [FINAL]]",
     "register 0xA6: COUNT polls answer not ready, then status FINAL with the words"},
    {"fail-open", 2, 2, "HWPLZ|HWPLD|HWPLG COUNT|always",
     "the next COUNT opens are refused (under Wine: their requests fail)"},
    {"absent", 1, 1, "HWPLZ|HWPLD|HWPLG", "the device's link is gone: opening it fails"},
    {"present", 1, 1, "HWPLZ|HWPLD|HWPLG", "the device's link is back"},
    {"fail-request", 2, 2, "register-read|register-write|method|event COUNT|always",
     "the next COUNT requests of that kind fail"},
    {"event-mode", 1, 2, "pend|at-once [VALUE]",
     "event waits pend until raised, or complete at once with VALUE"},
    {"raise", 2, 3, "CODE VALUE [queue]",
     "completes the waits for CODE with VALUE; queue: keep it for the next wait"},
    {"log", 0, 1, "[FROM]", "prints the opens and requests the devices saw"},
    {"pending", 0, 0, "", "prints the event waits pending, by code"},
    {"handles", 0, 0, "", "prints the open handles of each device"},
    {"indicators", 0, 0, "", "prints the posture indicators' states and write counts"},
    {"indicator-remove", 1, 1, "slate|dock",
     "the indicator's interface is no longer enumerated and its path no longer opens"},
    {"indicator-restore", 1, 1, "slate|dock", "the indicator's interface is back"},
    {"indicator-path", 1, 1, "slate|dock", "prints the device path enumeration finds"},
    {"indicators-install", 0, 0, "", "registers both indicators' device interfaces"},
    {"indicators-uninstall", 0, 0, "", "removes both indicators' device interfaces"},
    {"keyboards", 1, 3, "add VID PID|clear|list|remove",
     "the keyboard list under kbdclass\\Enum: add one (hexadecimal ids), empty it, print it, "
     "delete it"},
    {"help", 0, 0, "", "prints this text"},
};

}  // namespace

bool ParseNumber(const std::string& text, ULONG* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::size_t start = hex ? 2 : 0;
    if (text.size() == start || text.size() - start > (hex ? 8u : 10u)) return false;
    unsigned long long result = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * (hex ? 16 : 10) + digit;
    }
    if (result > 0xFFFFFFFFull) return false;
    *value = static_cast<ULONG>(result);
    return true;
}

bool ParseMethodName(const std::string& text, ULONG* name) {
    if (text.size() != 4) return false;
    ULONG packed = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = text[i];
        const bool ok =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
        packed |= static_cast<ULONG>(static_cast<unsigned char>(c)) << (8 * i);
    }
    *name = packed;
    return true;
}

bool ParseUsbId(const std::string& text, ULONG* id) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = prefixed ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 4) return false;
    return ParseNumber("0x" + digits, id);
}

ParseResult Parse(const std::vector<std::string>& args) {
    ParseResult result;
    if (args.empty()) {
        result.error = "no command";
        return result;
    }
    const std::string& name = args[0];
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (name == c.name) command = &c;
    }
    if (command == nullptr) {
        result.error = "unknown command '" + name + "'";
        return result;
    }
    const std::size_t count = args.size() - 1;
    if (count < command->minArgs || count > command->maxArgs) {
        result.error = std::string("usage: vadctl ") + command->name +
                       (*command->arguments ? " " : "") + command->arguments;
        return result;
    }

    // Numbers in args[first..]; the error names the first bad one.
    ULONG n[5] = {};
    auto numbers = [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i <= last && i < args.size(); ++i) {
            if (!ParseNumber(args[i], &n[i - first])) {
                result.error = "not a 32-bit number: '" + args[i] + "'";
                return false;
            }
        }
        return true;
    };
    auto method = [&](ULONG* packed) {
        if (ParseMethodName(args[1], packed)) return true;
        result.error = "not a method name (four letters or digits): '" + args[1] + "'";
        return false;
    };

    Action& action = result.action;
    if (name == "help") {
        action.output = Output::Usage;
    } else if (name == "reset") {
        action.code = IOCTL_VADSIM_RESET;
    } else if (name == "identity") {
        if (!numbers(1, 2)) return result;
        action.code = IOCTL_VADSIM_SET_REGISTER;
        action.input = Bytes(vadsim::RegisterScript{vadsim::kIdentityRegister, 0, {n[0], n[1], 0}});
    } else if (name == "identity-unavailable") {
        action.code = IOCTL_VADSIM_SET_REGISTER;
        action.input = Bytes(
            vadsim::RegisterScript{vadsim::kIdentityRegister, vad::kStatusNotAvailable, {0, 0, 0}});
    } else if (name == "register") {
        if (!numbers(1, 5)) return result;
        action.code = IOCTL_VADSIM_SET_REGISTER;
        action.input = Bytes(vadsim::RegisterScript{n[0], n[1], {n[2], n[3], n[4]}});
    } else if (name == "method" || name == "method-fail" || name == "method-remove") {
        ULONG packed = 0;
        if (!method(&packed)) return result;
        vadsim::MethodScript script = {packed, vadsim::kMethodResult, 0};
        if (name == "method") {
            if (!numbers(2, 2)) return result;
            script.result = n[0];
        } else {
            script.action = name == "method-fail" ? vadsim::kMethodFail : vadsim::kMethodRemove;
        }
        action.code = IOCTL_VADSIM_SET_METHOD;
        action.input = Bytes(script);
    } else if (name == "polled") {
        if (!numbers(1, count)) return result;
        action.code = IOCTL_VADSIM_SET_POLLED;
        action.input =
            Bytes(vadsim::PolledScript{vadsim::kPolledRegister, n[0], n[1], n[2], n[3], n[4]});
    } else if (name == "fail-open") {
        vadsim::FailOpen request;
        if (!ParseDevice(args[1], &request.device)) {
            result.error = "not a device (HWPLZ, HWPLD or HWPLG): '" + args[1] + "'";
            return result;
        }
        if (!ParseCount(args[2], &request.count)) {
            result.error = "not a count: '" + args[2] + "'";
            return result;
        }
        action.code = IOCTL_VADSIM_FAIL_OPEN;
        action.input = Bytes(request);
    } else if (name == "absent" || name == "present") {
        vadsim::Presence presence = {0, name == "present" ? 1ul : 0ul};
        if (!ParseDevice(args[1], &presence.device)) {
            result.error = "not a device (HWPLZ, HWPLD or HWPLG): '" + args[1] + "'";
            return result;
        }
        action.code = IOCTL_VADSIM_SET_PRESENCE;
        action.input = Bytes(presence);
    } else if (name == "fail-request") {
        vadsim::FailRequest request;
        if (!ParseRequestKind(args[1], &request.kind)) {
            result.error = "not a request kind (register-read, register-write, method, event): '" +
                           args[1] + "'";
            return result;
        }
        if (!ParseCount(args[2], &request.count)) {
            result.error = "not a count: '" + args[2] + "'";
            return result;
        }
        action.code = IOCTL_VADSIM_FAIL_REQUEST;
        action.input = Bytes(request);
    } else if (name == "event-mode") {
        vadsim::EventMode mode = {vadsim::kEventsPend, vad::kNoEvent};
        const std::string kind = Lower(args[1]);
        if (kind == "at-once") {
            mode.mode = vadsim::kEventsCompleteAtOnce;
            if (count == 2) {
                if (!numbers(2, 2)) return result;
                mode.value = n[0];
            }
        } else if (kind != "pend" || count != 1) {
            result.error = "usage: vadctl event-mode pend|at-once [VALUE]";
            return result;
        }
        action.code = IOCTL_VADSIM_SET_EVENT_MODE;
        action.input = Bytes(mode);
    } else if (name == "raise") {
        if (!numbers(1, 2)) return result;
        ULONG flags = 0;
        if (count == 3) {
            if (Lower(args[3]) != "queue") {
                result.error = "usage: vadctl raise CODE VALUE [queue]";
                return result;
            }
            flags = vadsim::kRaiseQueue;
        }
        action.code = IOCTL_VADSIM_RAISE_EVENT;
        action.input = Bytes(vadsim::RaiseEvent{n[0], n[1], flags});
        action.output = Output::RaiseResult;
    } else if (name == "log") {
        if (!numbers(1, count)) return result;
        action.code = IOCTL_VADSIM_READ_LOG;
        action.input = Bytes(vadsim::LogQuery{n[0]});
        action.output = Output::Log;
    } else if (name == "indicators") {
        action.code = IOCTL_VADSIM_QUERY_INDICATORS;
        action.output = Output::Indicators;
    } else if (name == "indicator-remove" || name == "indicator-restore" ||
               name == "indicator-path") {
        if (!vadsim::ParseIndicator(args[1], &action.indicator)) {
            result.error = "not an indicator (slate or dock): '" + args[1] + "'";
            return result;
        }
        if (name == "indicator-path") {
            action.local = Local::IndicatorPath;
            action.output = Output::Text;
        } else {
            const bool present = name == "indicator-restore";
            action.local = present ? Local::IndicatorLink : Local::IndicatorUnlink;
            action.code = IOCTL_VADSIM_SET_INDICATOR_PRESENCE;
            action.input = Bytes(vadsim::IndicatorPresence{action.indicator, present ? 1ul : 0ul});
        }
    } else if (name == "indicators-install" || name == "indicators-uninstall") {
        action.local =
            name == "indicators-install" ? Local::IndicatorsInstall : Local::IndicatorsUninstall;
    } else if (name == "keyboards") {
        const std::string verb = Lower(args[1]);
        const std::size_t expected = verb == "add" ? 3 : 1;
        if ((verb != "add" && verb != "clear" && verb != "list" && verb != "remove") ||
            count != expected) {
            result.error = "usage: vadctl keyboards add VID PID|clear|list|remove";
            return result;
        }
        if (verb == "add") {
            if (!ParseUsbId(args[2], &action.vendor) || !ParseUsbId(args[3], &action.product)) {
                result.error = "not a USB id (one to four hexadecimal digits): '" +
                               (ParseUsbId(args[2], &action.vendor) ? args[3] : args[2]) + "'";
                return result;
            }
            action.local = Local::KeyboardsAdd;
        } else if (verb == "clear") {
            action.local = Local::KeyboardsClear;
        } else if (verb == "list") {
            action.local = Local::KeyboardsList;
            action.output = Output::Text;
        } else {
            action.local = Local::KeyboardsRemove;
        }
    } else if (name == "pending" || name == "handles") {
        action.code = IOCTL_VADSIM_QUERY_STATE;
        action.output = name == "pending" ? Output::Pending : Output::Handles;
    }
    result.ok = true;
    return result;
}

std::string Usage() {
    std::string text =
        "vadctl: scripts the simulated value-added device (driver nrvvadsim).\n"
        "Numbers are decimal or 0x hexadecimal.\n\n";
    for (const Command& c : kCommands) {
        std::string line = std::string("  vadctl ") + c.name;
        if (*c.arguments) line += std::string(" ") + c.arguments;
        text += line + "\n      " + c.help + "\n";
    }
    return text;
}

std::string OutcomeName(ULONG outcome) {
    const char* const names[] = {
        "ok",           "pending",   "invalid-parameter", "buffer-too-small", "invalid-request",
        "device-error", "not-found", "sharing-violation", "not-ready"};
    if (outcome < sizeof names / sizeof names[0]) return names[outcome];
    return "outcome-" + std::to_string(outcome);
}

std::string DeviceName(ULONG device) {
    const char* const names[] = {"HWPLZ", "HWPLD", "HWPLG"};
    if (device < vadsim::kDeviceCount) return names[device];
    return "device-" + std::to_string(device);
}

std::string FormatLogEntry(const vadsim::LogEntry& entry) {
    char head[96];
    std::snprintf(head, sizeof head, "#%lu t=%lluus %s ", entry.sequence,
                  static_cast<unsigned long long>(entry.timeUs), DeviceName(entry.device).c_str());
    std::string line = head;
    switch (entry.kind) {
        case vadsim::kLogOpen:
            return line + "open " + OutcomeName(entry.outcome);
        case vadsim::kLogClose:
            return line + "close";
        case vadsim::kLogRequest:
            break;
        default:
            return line + "kind-" + std::to_string(entry.kind);
    }
    char text[64];
    std::snprintf(text, sizeof text, "request 0x%lx %s in=%lu out=%lu", entry.code,
                  OutcomeName(entry.outcome).c_str(), entry.inputLength, entry.outputLength);
    line += text;
    if (entry.outcome == vadsim::kOutcomeSuccess) line += " answer=" + Hex(entry.answer);
    const ULONG words = (entry.inputLength + 3) / 4 < 8 ? (entry.inputLength + 3) / 4 : 8;
    if (words != 0) line += " words=";
    for (ULONG i = 0; i < words; ++i) {
        if (i != 0) line += ',';
        line += Hex(entry.words[i]);
    }
    return line;
}

std::string FormatRaise(const vadsim::RaiseResult& result) {
    return "completed " + std::to_string(result.completed) + (result.queued ? " queued" : "") +
           "\n";
}

std::string FormatPending(const vadsim::DeviceState& state) {
    std::string text = "pending " + std::to_string(state.pendingWaits) + "\n";
    for (ULONG i = 0; i < state.codeCount && i < vadsim::kMaxReportedCodes; ++i) {
        text += "code " + Hex(state.pending[i].code) + " " +
                std::to_string(state.pending[i].count) + "\n";
    }
    text += "queued " + std::to_string(state.queuedEvents) + "\n";
    text += std::string("event-mode ") +
            (state.eventMode == vadsim::kEventsCompleteAtOnce ? "at-once" : "pend") + "\n";
    return text;
}

std::string FormatHandles(const vadsim::DeviceState& state) {
    std::string text;
    for (ULONG id = 0; id < vadsim::kDeviceCount; ++id) {
        text += DeviceName(id) + " " + std::to_string(state.openHandles[id]) +
                (state.absent[id] ? " absent" : "") + "\n";
    }
    return text;
}

std::string FormatIndicators(const vadsim::IndicatorState& state) {
    const char* const names[vadsim::kIndicatorCount][3] = {{"slate", "slate", "laptop"},
                                                           {"dock", "undocked", "docked"}};
    std::string text;
    for (ULONG i = 0; i < vadsim::kIndicatorCount; ++i) {
        text += std::string(names[i][0]) + " " + names[i][state.state[i] ? 2 : 1] +
                " writes=" + std::to_string(state.writes[i]) +
                " refused=" + std::to_string(state.refused[i]) +
                " handles=" + std::to_string(state.openHandles[i]) +
                (state.absent[i] ? " absent" : "") + "\n";
    }
    return text;
}

}  // namespace vadctl
