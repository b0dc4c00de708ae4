// btsimctl.exe: the simulated ACPI firmware device's control tool
// (`btsimctl help`).
#include <cstdio>
#include <string>
#include <vector>

#include "BtSimCtl.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string out;
    const int code = acpibt::RunCommand(args, &out);
    std::fputs(out.c_str(), code == 0 ? stdout : stderr);
    if (code == 2 && !args.empty()) {
        out.clear();
        acpibt::RunCommand({"help"}, &out);
        std::fputs(out.c_str(), stderr);
    }
    return code;
}
