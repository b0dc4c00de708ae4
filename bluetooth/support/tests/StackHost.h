// Plays the Windows Bluetooth stack for the tests: registers the library of
// this tree (NrvBtRadio.dll in x86, NrvBtRadio64.dll in x64) in
// "SupportDLL", loads it from the path read back from there, looks up its two
// exports by their plain names, and collects the debug strings it writes.
#pragma once

#include "RadioSupportKey.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <mutex>
#include <utility>
#include <string>
#include <vector>

namespace bttest {

class StackHost {
public:
    using EnableRadio = DWORD(WINAPI*)(BOOL);
    using IsRadioEnabled = DWORD(WINAPI*)(BOOL*);

    explicit StackHost(RadioSupportKey& key) {
#ifdef _WIN64
        const wchar_t* name = L"\\NrvBtRadio64.dll";
#else
        const wchar_t* name = L"\\NrvBtRadio.dll";
#endif
        key.Set(testsupport::Narrow(testsupport::ExeDirectory() + name) + '\0');
        const auto path = key.Value();
        if (!path) return;
        m_library.reset(::LoadLibraryA(path->c_str()));
        if (!m_library) return;
        m_enable = reinterpret_cast<EnableRadio>(
            reinterpret_cast<void*>(::GetProcAddress(m_library.get(), "BluetoothEnableRadio")));
        m_isEnabled = reinterpret_cast<IsRadioEnabled>(
            reinterpret_cast<void*>(::GetProcAddress(m_library.get(), "IsBluetoothRadioEnabled")));
        m_handler = ::AddVectoredExceptionHandler(1, &StackHost::OnException);
    }
    ~StackHost() {
        if (m_handler) ::RemoveVectoredExceptionHandler(m_handler);
    }
    StackHost(const StackHost&) = delete;
    StackHost& operator=(const StackHost&) = delete;

    bool Loaded() const {
        return m_enable && m_isEnabled;
    }
    DWORD Enable(BOOL enable) const {
        return m_enable(enable);
    }
    DWORD IsEnabled(BOOL* enabled) const {
        return m_isEnabled(enabled);
    }

    // What the library wrote with OutputDebugStringA since the last call.
    std::vector<std::string> DebugStrings() {
        std::lock_guard lock(Mutex());
        return std::exchange(Strings(), {});
    }

private:
    nrv::UniqueModule m_library;
    EnableRadio m_enable = nullptr;
    IsRadioEnabled m_isEnabled = nullptr;
    void* m_handler = nullptr;

    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string>& Strings() {
        static std::vector<std::string> strings;
        return strings;
    }
    // OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the length and the
    // text; passed on, it goes to a debugger as usual.
    static LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
            std::lock_guard lock(Mutex());
            Strings().emplace_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
};

}  // namespace bttest
