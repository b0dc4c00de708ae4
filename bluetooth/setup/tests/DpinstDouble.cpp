// Stands in for the Driver Package Installer in btsetup's tests: after a
// while (so that a caller that does not wait is caught), it records its
// current folder and command line in "dpinst-record.txt" beside itself.
#include <windows.h>

#include <cstdio>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    ::Sleep(1500);
    char record[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, record, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    char* slash = std::strrchr(record, '\\');
    if (slash == nullptr || slash - record + sizeof "\\dpinst-record.txt" > MAX_PATH) return 1;
    std::strcpy(slash, "\\dpinst-record.txt");
    char folder[MAX_PATH];
    if (::GetCurrentDirectoryA(MAX_PATH, folder) == 0) return 1;
    FILE* file = std::fopen(record, "wb");
    if (file == nullptr) return 1;
    std::fprintf(file, "folder=%s\ncommand=%s\n", folder, ::GetCommandLineA());
    std::fclose(file);
    return 0;
}
