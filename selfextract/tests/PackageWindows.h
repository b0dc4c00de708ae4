// The real package run as a process of its own, and its windows found and
// read from outside as a user would see them: top-level windows by caption,
// controls on the pages by id, their texts, and button presses.
#pragma once

#include <windows.h>

#include <cwchar>
#include <map>
#include <string>

#include "TestSupport.h"

namespace sfxtest {

// The main dialog's caption.
constexpr const wchar_t* kCaption = L"NORVALE Archive Extractor";

// Whether w is a window with this caption (any caption when it is null),
// and visible unless visible is false.
inline bool windowMatches(HWND w, const wchar_t* caption, bool visible) {
    wchar_t text[256] = {};
    ::GetWindowTextW(w, text, 256);
    return (!visible || ::IsWindowVisible(w)) &&
           (caption == nullptr || std::wcscmp(text, caption) == 0);
}

// Window enumerations that call visit(w) for each window until it returns
// false: top-level windows, the windows below parent, a thread's top-level
// windows.
template <typename Visit>
BOOL CALLBACK visitWindow(HWND w, LPARAM visit) {
    return (*reinterpret_cast<Visit*>(visit))(w) ? TRUE : FALSE;
}
template <typename Visit>
void forEachTopLevelWindow(Visit visit) {
    ::EnumWindows(visitWindow<Visit>, reinterpret_cast<LPARAM>(&visit));
}
template <typename Visit>
void forEachChildWindow(HWND parent, Visit visit) {
    ::EnumChildWindows(parent, visitWindow<Visit>, reinterpret_cast<LPARAM>(&visit));
}
template <typename Visit>
void forEachThreadWindow(DWORD threadId, Visit visit) {
    ::EnumThreadWindows(threadId, visitWindow<Visit>, reinterpret_cast<LPARAM>(&visit));
}

inline DWORD processOf(HWND w) {
    DWORD id = 0;
    ::GetWindowThreadProcessId(w, &id);
    return id;
}

// The package started as a process of its own.
class PackageRun {
public:
    PackageRun(const std::wstring& exe, const std::wstring& args,
               const std::map<std::wstring, std::wstring>& env = {}) {
        for (const auto& [name, value] : env)
            ::SetEnvironmentVariableW(name.c_str(), value.c_str());
        std::wstring line = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi)) {
            m_process = pi.hProcess;
            m_id = pi.dwProcessId;
            ::CloseHandle(pi.hThread);
        }
        for (const auto& entry : env) ::SetEnvironmentVariableW(entry.first.c_str(), nullptr);
    }
    ~PackageRun() {
        if (m_process != nullptr) {
            if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(m_process, 1);
            ::WaitForSingleObject(m_process, 5000);
            ::CloseHandle(m_process);
        }
    }
    bool started() const { return m_process != nullptr; }
    // The exit code, or 0xDEAD when it does not end within timeoutMs.
    DWORD exitCode(DWORD timeoutMs = 30000) {
        if (::WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return 0xDEAD;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        return code;
    }
    bool running() const { return ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    // A top-level window of this process with this caption (visible or not).
    HWND window(const wchar_t* caption, DWORD timeoutMs = 15000, bool visible = true) {
        HWND found = nullptr;
        testsupport::WaitFor(
            [&] {
                found = findWindow(caption, visible);
                return found != nullptr;
            },
            timeoutMs);
        return found;
    }
    HWND findWindow(const wchar_t* caption, bool visible) {
        HWND found = nullptr;
        forEachTopLevelWindow([&](HWND w) {
            if (processOf(w) != m_id || !windowMatches(w, caption, visible)) return true;
            found = w;
            return false;
        });
        return found;
    }
    // What the run is doing, for a test that misses its window: running or
    // ended with its code, and the captions of its top-level windows.
    std::string describe() const {
        std::string state = "not started";
        if (m_process != nullptr) {
            DWORD code = STILL_ACTIVE;
            ::GetExitCodeProcess(m_process, &code);
            state = running() ? "running" : "ended with " + std::to_string(code);
        }
        std::string listing;
        forEachTopLevelWindow([&](HWND w) {
            if (processOf(w) != m_id) return true;
            wchar_t text[256] = {};
            ::GetWindowTextW(w, text, 256);
            listing +=
                " [" + testsupport::Narrow(text) + (::IsWindowVisible(w) ? "" : ", hidden") + "]";
            return true;
        });
        return state + ", windows:" + (listing.empty() ? " none" : listing);
    }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// A control with this id below parent (the pages are children): one that is
// visible, or with onItsPage one whose own style is visible although its
// parents may be hidden.
inline HWND findControl(HWND parent, int id, bool onItsPage) {
    HWND found = nullptr;
    forEachChildWindow(parent, [&](HWND w) {
        const bool visible = onItsPage ? (::GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != 0
                                       : ::IsWindowVisible(w) != FALSE;
        if (::GetDlgCtrlID(w) != id || !visible) return true;
        found = w;
        return false;
    });
    return found;
}

// A visible control with this id anywhere below parent.
inline HWND control(HWND parent, int id) {
    return findControl(parent, id, false);
}

inline std::wstring textOf(HWND w) {
    wchar_t text[600] = {};
    if (w != nullptr)
        ::SendMessageTimeoutW(w, WM_GETTEXT, 600, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                              2000, nullptr);
    return text;
}

// Presses button id of dialog as a click would.
inline void press(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

}  // namespace sfxtest
