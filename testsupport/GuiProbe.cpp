// Exits with 0 when this process can create a window on the display, 1 when
// it cannot. The test run starts it until it succeeds, so that the desktop
// answers before any test with a window runs.
#include <windows.h>

int main() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"NrvGuiProbe";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                    nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return 1;
    ::DestroyWindow(window);
    return 0;
}
