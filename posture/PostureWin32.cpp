// The posture service's system calls: SetupDi, indicator writes, system
// metrics, the value-added device, the keyboard list, events, threads and the
// service control manager.
#include "DbgLog.h"
#include "DockMonitor.h"
#include "MachineConfig.h"
#include "PostureService.h"

#include <setupapi.h>

#include <vector>

namespace posture {
namespace {

PostureEnvironment* g_environment = nullptr;  // null: the Win32 one
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

class Win32KeyboardList : public KeyboardList {
public:
    explicit Win32KeyboardList(nrv::UniqueHKey key) : m_key(std::move(key)) {}

    bool QueryCount(DWORD& count) override {
        DWORD size = sizeof(count);
        return ::RegQueryValueExW(m_key.get(), L"Count", nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(&count), &size) == ERROR_SUCCESS;
    }

    bool QueryInstancePath(const wchar_t* name, std::wstring& path) override {
        DWORD size = 0;
        if (::RegQueryValueExW(m_key.get(), name, nullptr, nullptr, nullptr, &size) !=
            ERROR_SUCCESS) {
            return false;
        }
        // One character more than asked, so a value stored without its
        // terminator still ends in one.
        std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
        DWORD read = size;
        if (::RegQueryValueExW(m_key.get(), name, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text.data()), &read) != ERROR_SUCCESS) {
            return false;
        }
        path.assign(text.data());
        return true;
    }

private:
    nrv::UniqueHKey m_key;
};

class Win32KeyboardWatch : public KeyboardWatch {
public:
    explicit Win32KeyboardWatch(nrv::UniqueHKey key) : m_key(std::move(key)) {}

private:
    nrv::UniqueHKey m_key;
};

DWORD WINAPI DockWorkerMain(void* parameter) {
    if (static_cast<DockWorker>(reinterpret_cast<INT_PTR>(parameter)) == DockWorker::PidVid) {
        DockStatusThread_PIDVID();
    } else {
        DockStatusThread();
    }
    return 0;
}

class Win32Environment : public PostureEnvironment {
public:
    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

    int GetSystemMetrics(int index) override { return ::GetSystemMetrics(index); }

    std::optional<std::wstring> FindDeviceInterface(const GUID& interfaceClass) override {
        return GetDevicePath(interfaceClass);
    }

    bool WriteIndicator(const std::wstring& path) override {
        nrv::UniqueFileHandle device(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!device) return false;
        const BYTE toggle = 0;
        DWORD written = 0;
        return ::WriteFile(device.get(), &toggle, sizeof toggle, &written, nullptr) != FALSE;
    }

    MethodOutcome EvaluateMethod(const char (&methodName)[5], ULONG& result) override {
        return EvaluateDeviceMethod(methodName, result);
    }

    bool EventDevicePresent() override {
        nrv::UniqueFileHandle device(::CreateFileW(vad::kEventDevicePath, GENERIC_READ,
                                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        return device.valid();
    }

    bool WaitFirmwareEvent(ULONG eventCode) override {
        CHwplgCtrlMgr manager;
        ULONG value = 0;
        return WaitDeviceEvent(manager, eventCode, value);
    }

    bool StartWorkaroundThread() override { return m_workaround.StartWorkaroundThread(); }

    void RunWorkaroundSequence() override {
        CHCISvr sequence;
        sequence.RunWorkaroundSequence();
    }

    std::unique_ptr<KeyboardList> OpenKeyboardList() override {
        nrv::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyboardListKey, 0, KEY_QUERY_VALUE, key.put()) !=
            ERROR_SUCCESS) {
            return nullptr;
        }
        return std::make_unique<Win32KeyboardList>(std::move(key));
    }

    std::unique_ptr<KeyboardWatch> WatchKeyboardList(HANDLE changeEvent) override {
        // A list that cannot be watched only ends the keyboard loop.
        nrv::UniqueHKey key;
        LSTATUS status =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyboardListKey, 0, KEY_NOTIFY, key.put());
        if (status == ERROR_SUCCESS) {
            status = ::RegNotifyChangeKeyValue(
                key.get(), TRUE,
                REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                    REG_NOTIFY_CHANGE_SECURITY,
                changeEvent, TRUE);
        }
        if (status != ERROR_SUCCESS) return nullptr;
        return std::make_unique<Win32KeyboardWatch>(std::move(key));
    }

    bool WaitForEvent(HANDLE event) override {
        return ::WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0;
    }

    void SignalEvent(HANDLE event) override { ::SetEvent(event); }

    void RegisterControlHandler() override {
        g_statusHandle = ::RegisterServiceCtrlHandlerExW(kServiceDisplayName, HandlerEx, nullptr);
    }

    void ReportServiceStatus(const SERVICE_STATUS& status) override {
        SERVICE_STATUS copy = status;
        ::SetServiceStatus(g_statusHandle, &copy);
    }

    nrv::UniqueHandle CreateServiceEvent(const wchar_t* name, bool manualReset) override {
        return nrv::UniqueHandle(::CreateEventW(nullptr, manualReset, FALSE, name));
    }

    bool DeleteService() override {
        const nrv::UniqueServiceHandle manager(
            ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const nrv::UniqueServiceHandle service(
            manager ? ::OpenServiceW(manager.get(), kServiceName, DELETE) : nullptr);
        if (!service) return false;
        ::DeleteService(service.get());  // its result is not examined
        return true;
    }

    bool StartDockWorker(DockWorker worker) override {
        const nrv::UniqueHandle thread(
            ::CreateThread(nullptr, 0, DockWorkerMain,
                           reinterpret_cast<void*>(static_cast<INT_PTR>(worker)), 0, nullptr));
        return thread.valid();
    }

private:
    // Its thread runs until the process ends, so the environment that holds
    // it is never destroyed (see Win32PostureEnvironment).
    CHCISvr m_workaround;
};

}  // namespace

PostureEnvironment& Win32PostureEnvironment() {
    // Never destroyed: the workaround thread and dock workers still use it
    // while the process runs its exit handlers.
    static Win32Environment* const environment = new Win32Environment;
    return *environment;
}

PostureEnvironment* SetPostureEnvironment(PostureEnvironment* environment) {
    return std::exchange(g_environment, environment);
}

PostureEnvironment& CurrentPostureEnvironment() {
    return g_environment != nullptr ? *g_environment : Win32PostureEnvironment();
}

}  // namespace posture

HRESULT InitWorkPath(HMODULE module) {
    DBGLOG_FUNCTION_TAG(InitWorkPath);
    ::TraceScope trace(L"InitWorkPath", DBGLOG_SITE(::LogLevel::Info));
    constexpr DWORD capacity = sizeof g_workPath / sizeof g_workPath[0];
    const DWORD length = ::GetModuleFileNameW(module, g_workPath, capacity);
    wchar_t* const fileStart =
        length == 0 || length >= capacity ? nullptr : std::wcsrchr(g_workPath, L'\\');
    if (fileStart == nullptr) {
        // A cut or missing path has no folder to take.
        g_workPath[0] = L'\0';
        LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    *fileStart = L'\0';
    return 1;
}

std::optional<std::wstring> GetDevicePath(const GUID& interfaceClass) {
    DBGLOG_TRACE_FUNCTION(GetDevicePath);
    nrv::UniqueDeviceInfoSet set(::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) {
        LOG_ERROR(L"Error Code: 0x%x", 0);
        return std::nullopt;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &interfaceClass, 0, &data))
        return std::nullopt;
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set.get(), &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return std::nullopt;
    std::vector<unsigned char> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (!::SetupDiGetDeviceInterfaceDetailW(set.get(), &data, detail, size, nullptr, nullptr))
        return std::nullopt;
    return std::wstring(detail->DevicePath);
}

HRESULT InstallService() {
    DBGLOG_TRACE_FUNCTION(InstallService);
    const nrv::UniqueServiceHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    wchar_t imagePath[1024 + 64];
    ::swprintf(imagePath, sizeof imagePath / sizeof imagePath[0], L"\"%ls\\%ls\"", g_workPath,
               kServiceExecutable);
    const nrv::UniqueServiceHandle service(
        ::CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, 0,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                         imagePath, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    return S_OK;
}

void RunServiceDispatcher() {
    DBGLOG_FUNCTION_TAG(wWinMain);  // a step of wWinMain
    static wchar_t name[] = L"NORVALE Posture Service";
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Outside the service control manager the call fails at once (1063):
    // that is how the program ends when started by hand or with a mistyped
    // switch, not a failure. Any other refusal leaves a started service
    // without its ServiceMain, and is recorded.
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(error));
    }
}
