// radioctl: scripts the simulated radio managers from outside the processes
// that use them, and prints what those processes called.
#include "RadioSimClient.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "radioctl COMMAND ...\n"
    "  install DLLPATH          register the three manager classes (32-bit view), new state\n"
    "  uninstall                remove the registrations and the state\n"
    "  status                   installed or not, live objects, advised sinks, clients\n"
    "  reset                    every manager registered with one instance, off; empty call log\n"
    "  register KIND yes|no     whether creating KIND's class succeeds\n"
    "  instances KIND N [STATE] N instances (GetCount answers N), each in STATE\n"
    "  radio KIND I STATE       set instance I's state without telling anyone\n"
    "  switch KIND I STATE      set it and call OnInstanceRadioChange on every advised sink\n"
    "  add KIND I | remove KIND I   call OnInstanceAdd / OnInstanceRemove on every sink\n"
    "  fail KIND METHOD [HR]    make METHOD fail with HR (default 0x80004005); METHOD none ends "
    "it\n"
    "  block KIND METHOD MS     make METHOD sleep MS first; MS 0 ends it\n"
    "  storm MASK COUNT STATE   COUNT changes per manager in MASK (1 wlan, 2 wwan, 4 bt),\n"
    "                           alternating on and off, the last one STATE\n"
    "  calls [FROM]             the call log from sequence FROM\n"
    "KIND: wlan wwan bt. STATE: on off hwoff or a number. METHOD: create GetRadioInstances\n"
    "GetCount GetAt QueryConnectionPointContainer FindConnectionPoint Advise GetRadioState\n"
    "Unadvise.\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "radioctl: %s\n", message.c_str());
    return 2;
}

bool Number(const std::string& text, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0') return false;
    *value = static_cast<long>(parsed);
    return true;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    if (command == "install") {
        if (args.size() != 2) return Fail("install DLLPATH");
        if (!radiosim::Install(Widen(args[1]))) return Fail("cannot install");
        std::puts("installed");
        return 0;
    }
    if (command == "uninstall") {
        if (!radiosim::Uninstall()) return Fail("cannot uninstall");
        std::puts("uninstalled");
        return 0;
    }
    radiosim::SimControl control;
    if (command == "status") {
        std::printf("installed %s\n", radiosim::Installed() ? "yes" : "no");
        if (!control.Open()) return 1;
        for (LONG kind = 0; kind < radiosim::kKindCount; ++kind) {
            const radiosim::ManagerScript& script = control.Manager(kind);
            std::printf("%s registered=%ld instances=%ld objects=%ld sinks=%ld notifications=%ld\n",
                        radiosim::KindName(kind).c_str(), script.registered, script.instanceCount,
                        script.liveObjects, script.advisedSinks, script.notifications);
        }
        std::printf("clients %u\n", static_cast<unsigned>(control.Clients().size()));
        return 0;
    }
    if (!control.Open()) return Fail("the simulated radio managers are not installed");
    if (command == "reset") {
        control.Reset();
        return 0;
    }
    if (command == "calls") {
        long from = 1;
        if (args.size() > 1 && !Number(args[1], &from)) return Fail("calls [FROM]");
        for (const radiosim::CallRecord& call : control.Calls(from)) {
            std::printf("%ld pid=%ld %s %s index=%ld result=0x%08lx\n", call.sequence,
                        call.processId, radiosim::KindName(call.kind).c_str(),
                        radiosim::MethodName(call.method).c_str(), call.index,
                        static_cast<unsigned long>(call.result));
        }
        return 0;
    }
    if (command == "storm") {
        long mask = 0, count = 0;
        const LONG state = args.size() == 4 ? radiosim::ParseRadioState(args[3]) : -1;
        if (args.size() != 4 || !Number(args[1], &mask) || !Number(args[2], &count) || state < 0)
            return Fail("storm MASK COUNT STATE");
        const int reached = control.Send({radiosim::kStorm, mask, 0, state, count}, 600000);
        std::printf("processes %d\n", reached);
        return reached < 0 ? 1 : 0;
    }
    if (args.size() < 2) return Fail("missing KIND");
    const LONG kind = radiosim::ParseKind(args[1]);
    if (kind < 0) return Fail("unknown KIND " + args[1]);
    if (command == "register" && args.size() == 3) {
        control.SetRegistered(kind, args[2] == "yes");
        return 0;
    }
    if (command == "instances" && (args.size() == 3 || args.size() == 4)) {
        long count = 0;
        const LONG state = args.size() == 4 ? radiosim::ParseRadioState(args[3]) : 1;
        if (!Number(args[2], &count) || count > radiosim::kMaxInstances || state < 0)
            return Fail("instances KIND N [STATE], N at most 8");
        control.SetInstances(kind, count, state);
        return 0;
    }
    if ((command == "radio" || command == "switch") && args.size() == 4) {
        long index = 0;
        const LONG state = radiosim::ParseRadioState(args[3]);
        if (!Number(args[2], &index) || index >= radiosim::kMaxInstances || state < 0)
            return Fail(command + " KIND I STATE");
        if (command == "radio") {
            control.SetRadio(kind, index, state);
            return 0;
        }
        const int reached = control.FireChange(kind, index, state);
        std::printf("processes %d\n", reached);
        return reached < 0 ? 1 : 0;
    }
    if ((command == "add" || command == "remove") && args.size() == 3) {
        long index = 0;
        if (!Number(args[2], &index)) return Fail(command + " KIND I");
        const LONG kindOfCommand = command == "add" ? radiosim::kFireAdd : radiosim::kFireRemove;
        const int reached = control.Send({kindOfCommand, kind, index, 0, 1});
        std::printf("processes %d\n", reached);
        return reached < 0 ? 1 : 0;
    }
    if (command == "fail" && (args.size() == 3 || args.size() == 4)) {
        const LONG method = radiosim::ParseMethod(args[2]);
        long result = static_cast<long>(E_FAIL);
        if ((method == radiosim::kMethodNone && args[2] != "none") ||
            (args.size() == 4 && !Number(args[3], &result)))
            return Fail("fail KIND METHOD [HR]");
        control.FailMethod(kind, method, static_cast<HRESULT>(result));
        return 0;
    }
    if (command == "block" && args.size() == 4) {
        const LONG method = radiosim::ParseMethod(args[2]);
        long ms = 0;
        if (method == radiosim::kMethodNone || !Number(args[3], &ms))
            return Fail("block KIND METHOD MS");
        control.BlockMethod(kind, method, static_cast<DWORD>(ms));
        return 0;
    }
    return Fail("unknown command or arguments: " + command + " (radioctl help)");
}
