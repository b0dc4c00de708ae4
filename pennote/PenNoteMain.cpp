// NrvPenNote: a hidden window in the user's session that watches the pen's
// barrel button while the lock screen is up and answers a press with
// Windows+F20, which starts note taking.
#include "DbgLog.h"
#include "PenNoteWin32.h"
#include "resource.h"

#include <windows.h>

#include <atomic>

extern const dbglog::ProgramDefaults dbglog::kProgramDefaults = {
    LogLevel::Trace, dbglog::Destination::Debugger, L"DbgLog.txt",
    dbglog::TextConversion::AnsiCodePage};

namespace {

constexpr int kMaxLoadString = 100;

wchar_t g_szTitle[kMaxLoadString];
wchar_t g_szWindowClass[kMaxLoadString];
pennote::PenNoteState g_state;
pennote::Win32PenNoteSystem g_system;
std::atomic<bool> g_stopWatcher{false};  // never set: the watcher ends with the process

DWORD WINAPI WatcherThread(void*) {
    pennote::RunWatcher(g_state, g_system, g_stopWatcher);
    return 0;
}

}  // namespace

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            DBGLOG_FUNCTION_TAG(WndProc);
            pennote::RegisterNofify(window);
            nrv::UniqueHandle watcher(
                ::CreateThread(nullptr, 0, WatcherThread, nullptr, 0, nullptr));
            if (!watcher)
                LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x",
                                          HRESULT_FROM_WIN32(::GetLastError()));
            break;  // the thread runs on without its handle
        }
        case WM_DESTROY:
            ::PostQuitMessage(0);
            break;
        case WM_INPUT:
            if (pennote::ShouldExamineInput(g_state)) {
                pennote::OnPointer(reinterpret_cast<HRAWINPUT>(lParam), g_state, g_system);
            }
            break;
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

int APIENTRY wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    DBGLOG_FUNCTION_TAG(wWinMain);
    ::LoadStringW(instance, IDS_APP_TITLE, g_szTitle, kMaxLoadString);
    ::LoadStringW(instance, IDC_NRVPENNOTE, g_szWindowClass, kMaxLoadString);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_NRVPENNOTE));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_NRVPENNOTE);
    windowClass.lpszClassName = g_szWindowClass;
    windowClass.hIconSm = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    ::RegisterClassExW(&windowClass);

    HWND window =
        ::CreateWindowExW(0, g_szWindowClass, g_szTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                          CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
        return 0;
    }
    ::ShowWindow(window, SW_HIDE);
    ::UpdateWindow(window);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
