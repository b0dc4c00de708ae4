#include "BtSimCtl.h"

#include <cstdio>
#include <cstdlib>

#include "BtSimClient.h"

namespace acpibt {

namespace {

const char kUsage[] =
    "usage: btsimctl COMMAND [ARGS]\n"
    "  state                          what the device reports, its counts and presence\n"
    "  reset                          module, scripts, failures and log back to start\n"
    "  set-status HEX                 switch (0x01), attached (0x40), powered (0x80) bits\n"
    "  set-rlst N                     what RLST answers\n"
    "  script POWERMS ATTACHMS [powernever] [attachnever] [rlstnever] [delay=MS]\n"
    "  fail METHOD STATUSHEX [COUNT]  METHOD fails with STATUS (0 clears), COUNT times\n"
    "  notify HEX                     raises notification 0x80 or 0x90\n"
    "  power s3|s4|s0                 a system power request down the stack\n"
    "  unplug | plug                  reports the device gone (waits for removal) or back\n"
    "  log [clear]                    every evaluation, notification and request, in ms\n"
    "  interface                      the radio switch interface's path (exit 1: none)\n"
    "  wait-interface present|absent [MS]\n"
    "  radio get|on|off|attach|detach the driver's I/O controls\n"
    "  reg ledstate N|delete          keyhub\\Parameters LEDSTATE\n"
    "  reg usbcount N|delete          Nrvrfusb\\Enum Count\n"
    "  reg btstack on|off             the BluetoothStack\\V1.0 key\n"
    "  reg supportdll TEXT|delete     BTHPORT Radio Support SupportDLL\n"
    "  reg param NAME dword N|binary HEX|sz TEXT|delete   nrvrfsw\\Parameters\n"
    "  reg clean                      removes all of the above\n";

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

bool Number(const std::string& text, unsigned long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

void Print(std::string* out, const char* format, unsigned long a = 0, unsigned long b = 0) {
    char line[256];
    std::snprintf(line, sizeof line, format, a, b);
    *out += line;
}

int Fail(std::string* out, const char* what, unsigned long error) {
    char line[200];
    std::snprintf(line, sizeof line, "btsimctl: %s failed (error %lu)\n", what, error);
    *out += line;
    return 1;
}

int PrintState(ControlChannel& channel, std::string* out) {
    acpibt::State state = {};
    if (!channel.QueryState(&state)) return Fail(out, "state", channel.Error());
    Print(out, "present %lu, pdo %lu", state.present, state.pdoExists);
    Print(out, ", started %lu, callback %lu", state.started, state.callbacks);
    Print(out, ", interface references %lu, removals %lu\n", state.interfaceRefs, state.removals);
    Print(out, "status 0x%02lX, rlst %lu\n", state.statusByte, state.rlst);
    Print(out, "evaluations %lu, log entries %lu\n", state.evaluations, state.logCount);
    for (ULONG i = 0; i < kMethodCount; ++i) {
        *out += kMethodNames[i];
        Print(out, " %lu", state.counts[i]);
        *out += i + 1 < kMethodCount ? ", " : "\n";
    }
    return 0;
}

int Log(ControlChannel& channel, const std::vector<std::string>& args, std::string* out) {
    if (args.size() > 1 && args[1] == "clear") {
        return channel.ClearLog() ? 0 : Fail(out, "log clear", channel.Error());
    }
    std::vector<LogEntry> entries;
    if (!channel.ReadLog(&entries)) return Fail(out, "log", channel.Error());
    const ULONGLONG origin = entries.empty() ? 0 : entries.front().timeUs;
    for (const LogEntry& entry : entries) *out += FormatLogEntry(entry, origin) + "\n";
    return 0;
}

int Radio(const std::vector<std::string>& args, std::string* out) {
    if (args.size() != 2) return 2;
    struct Control {
        const char* name;
        ULONG code;
    };
    const Control controls[] = {{"get", IOCTL_RADIO_GET_STATUS},
                                {"on", IOCTL_RADIO_ON},
                                {"off", IOCTL_RADIO_OFF},
                                {"attach", IOCTL_RADIO_ATTACH},
                                {"detach", IOCTL_RADIO_DETACH}};
    for (const Control& control : controls) {
        if (args[1] != control.name) continue;
        nrv::UniqueFileHandle device = OpenRadio();
        if (!device.valid()) return Fail(out, "opening the radio switch", ::GetLastError());
        const RadioResult result =
            RadioControl(device.get(), control.code, control.code == IOCTL_RADIO_GET_STATUS);
        if (!result.ok) return Fail(out, control.name, result.error);
        if (control.code == IOCTL_RADIO_GET_STATUS) Print(out, "0x%02lX\n", result.status);
        return 0;
    }
    return 2;
}

int Registry(const std::vector<std::string>& args, std::string* out) {
    using namespace registry;
    if (args.size() == 2 && args[1] == "clean") return Clean() ? 0 : Fail(out, "reg clean", 0);
    if (args.size() < 3) return 2;
    const std::string& what = args[1];
    const std::string& value = args[2];
    unsigned long number = 0;
    bool ok = false;
    if (what == "ledstate" || what == "usbcount") {
        const wchar_t* key = what == "ledstate" ? kKeyhubParameters : kUsbEnum;
        const wchar_t* name = what == "ledstate" ? L"LEDSTATE" : L"Count";
        if (value == "delete") {
            ok = DeleteTree(what == "ledstate" ? kKeyhub : kUsbService);
        } else if (Number(value, &number)) {
            ok = SetDword(key, name, number);
        } else {
            return 2;
        }
    } else if (what == "btstack") {
        if (value != "on" && value != "off") return 2;
        ok = value == "on" ? CreateKey(kBluetoothStack) : DeleteTree(kBluetoothStack);
    } else if (what == "supportdll") {
        ok = value == "delete" ? DeleteTree(kBthport)
                               : SetString(kRadioSupport, L"SupportDLL", Wide(value));
    } else if (what == "param") {
        const std::wstring name = Wide(value);
        if (args.size() == 4 && args[3] == "delete") {
            ok = DeleteValue(kDriverParameters, name.c_str());
        } else if (args.size() == 5 && args[3] == "dword" && Number(args[4], &number)) {
            ok = SetDword(kDriverParameters, name.c_str(), number);
        } else if (args.size() == 5 && args[3] == "sz") {
            ok = SetString(kDriverParameters, name.c_str(), Wide(args[4]));
        } else if (args.size() == 5 && args[3] == "binary" && args[4].size() % 2 == 0) {
            std::vector<BYTE> bytes;
            for (size_t i = 0; i < args[4].size(); i += 2) {
                if (!Number("0x" + args[4].substr(i, 2), &number)) return 2;
                bytes.push_back(static_cast<BYTE>(number));
            }
            ok = SetBinary(kDriverParameters, name.c_str(), bytes);
        } else {
            return 2;
        }
    } else {
        return 2;
    }
    return ok ? 0 : Fail(out, "reg", ::GetLastError());
}

int WaitInterface(const std::vector<std::string>& args, std::string* out) {
    if (args.size() < 2 || (args[1] != "present" && args[1] != "absent")) return 2;
    unsigned long timeoutMs = 10000;
    if (args.size() > 2 && !Number(args[2], &timeoutMs)) return 2;
    const bool wanted = args[1] == "present";
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (FindRadioInterface().has_value() == wanted) return 0;
        if (::GetTickCount64() >= end) break;
        ::Sleep(50);
    }
    *out += "btsimctl: the radio switch interface is not " + args[1] + "\n";
    return 1;
}

}  // namespace

int RunCommand(const std::vector<std::string>& args, std::string* out) {
    if (args.empty() || args[0] == "help") {
        *out += kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    if (command == "reg") return Registry(args, out);
    if (command == "radio") return Radio(args, out);
    if (command == "wait-interface") return WaitInterface(args, out);
    if (command == "interface") {
        const auto path = FindRadioInterface();
        if (!path) {
            *out += "btsimctl: no radio switch interface\n";
            return 1;
        }
        *out += std::string(path->begin(), path->end()) + "\n";
        return 0;
    }

    ControlChannel channel;
    if (!channel.Open()) return Fail(out, "opening \\\\.\\NrvAcpiBtSim", channel.Error());
    unsigned long a = 0, b = 0;
    if (command == "state") return PrintState(channel, out);
    if (command == "log") return Log(channel, args, out);
    if (command == "reset" && args.size() == 1) {
        return channel.Reset() ? 0 : Fail(out, "reset", channel.Error());
    }
    if (command == "set-status" && args.size() == 2 && Number(args[1], &a)) {
        return channel.SetStatus(a) ? 0 : Fail(out, "set-status", channel.Error());
    }
    if (command == "set-rlst" && args.size() == 2 && Number(args[1], &a)) {
        return channel.SetRlst(a) ? 0 : Fail(out, "set-rlst", channel.Error());
    }
    if (command == "script" && args.size() >= 3 && Number(args[1], &a) && Number(args[2], &b)) {
        Script script = {a, b, 0, 0, 0, 0};
        for (size_t i = 3; i < args.size(); ++i) {
            unsigned long delay = 0;
            if (args[i] == "powernever") {
                script.powerNever = 1;
            } else if (args[i] == "attachnever") {
                script.attachNever = 1;
            } else if (args[i] == "rlstnever") {
                script.rlstNeverOne = 1;
            } else if (args[i].rfind("delay=", 0) == 0 && Number(args[i].substr(6), &delay)) {
                script.methodDelayMs = delay;
            } else {
                return 2;
            }
        }
        return channel.SetScript(script) ? 0 : Fail(out, "script", channel.Error());
    }
    if (command == "fail" && (args.size() == 3 || args.size() == 4) && Number(args[2], &a)) {
        const ULONG method = MethodIndex(args[1]);
        unsigned long count = 0xFFFFFFFF;
        if (method == kUnknownMethod || (args.size() == 4 && !Number(args[3], &count))) return 2;
        return channel.Fail(method, static_cast<LONG>(a), count)
                   ? 0
                   : Fail(out, "fail", channel.Error());
    }
    if (command == "notify" && args.size() == 2 && Number(args[1], &a)) {
        ULONG taken = 0;
        if (!channel.Notify(a, &taken)) return Fail(out, "notify", channel.Error());
        *out += taken ? "taken\n" : "no callback registered\n";
        return 0;
    }
    if (command == "power" && args.size() == 2) {
        const ULONG state = args[1] == "s0" ? 1 : args[1] == "s3" ? 4 : args[1] == "s4" ? 5 : 0;
        if (state == 0) return 2;
        LONG status = 0;
        if (!channel.SystemPower(state, &status)) return Fail(out, "power", channel.Error());
        Print(out, "status 0x%08lX\n", static_cast<unsigned long>(status));
        return status >= 0 ? 0 : 1;
    }
    if ((command == "unplug" || command == "plug") && args.size() == 1) {
        return channel.SetPresent(command == "plug") ? 0
                                                     : Fail(out, command.c_str(), channel.Error());
    }
    return 2;
}

}  // namespace acpibt
