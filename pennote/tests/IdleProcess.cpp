// Stands in for another program in process-list tests: copied under the
// name wanted ("LockApp.exe", "onenoteim.exe", ...) and left idle until the
// test ends it.
#include <windows.h>

int main() {
    ::Sleep(INFINITE);
    return 0;
}
