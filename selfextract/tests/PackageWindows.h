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
        struct Search {
            DWORD id;
            const wchar_t* caption;
            bool visible;
            HWND found;
        } search{m_id, caption, visible, nullptr};
        ::EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                auto* s = reinterpret_cast<Search*>(p);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                if (pid == s->id && windowMatches(w, s->caption, s->visible)) {
                    s->found = w;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
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
        struct Listing {
            DWORD id;
            std::string text;
        } listing{m_id, {}};
        ::EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                auto* l = reinterpret_cast<Listing*>(p);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                if (pid != l->id) return TRUE;
                wchar_t text[256] = {};
                ::GetWindowTextW(w, text, 256);
                l->text += " [" + testsupport::Narrow(text) +
                           (::IsWindowVisible(w) ? "" : ", hidden") + "]";
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&listing));
        return state + ", windows:" + (listing.text.empty() ? " none" : listing.text);
    }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// A control with this id below parent (the pages are children): one that is
// visible, or with onItsPage one whose own style is visible although its
// parents may be hidden.
inline HWND findControl(HWND parent, int id, bool onItsPage) {
    struct Search {
        int id;
        bool onItsPage;
        HWND found;
    } search{id, onItsPage, nullptr};
    ::EnumChildWindows(
        parent,
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            const bool visible = s->onItsPage
                                     ? (::GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != 0
                                     : ::IsWindowVisible(w) != FALSE;
            if (::GetDlgCtrlID(w) == s->id && visible) {
                s->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
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
