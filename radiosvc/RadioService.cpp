// The radio service's host: command line, install and uninstall, service
// entry point, control handler, notify window. Every system call the tests
// replace goes through the radio environment.
#include "RadioService.h"

#include "DbgLog.h"
#include "RadioEnvironment.h"
#include "RadioManager.h"
#include "UniqueHandle.h"

#include <dbt.h>

#include <atomic>
#include <mutex>
#include <string>

using radio::CurrentRadioEnvironment;

namespace {

SERVICE_STATUS g_ServiceStatus = {
    SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, kRadioAcceptedControls, 0, 0, 0, 0};
SERVICE_STATUS_HANDLE g_hServiceStatus = nullptr;
wchar_t g_modulePath[MAX_PATH] = L"";
HINSTANCE g_hInstance = nullptr;

// Guards the stop request, the window's creation, the status reports and
// the end of ServiceMain, so that a stop never falls between the check and
// the window, and STOPPED is never reported before STOP_PENDING.
std::mutex g_stateLock;
HWND g_hNotifyWnd = nullptr;
bool g_stopRequested = false;  // a stop control arrived
bool g_finishing = false;      // ServiceMain is past its loop
nrv::UniqueHandle g_stopPendingReported(::CreateEventW(nullptr, TRUE, FALSE, nullptr));

std::atomic<HPOWERNOTIFY> g_hPowerNotify{nullptr};
std::atomic<HDEVNOTIFY> g_hDevNotifyBT1{nullptr};
std::atomic<HDEVNOTIFY> g_hDevNotifyBT2{nullptr};

// Callers hold g_stateLock.
void ReportStatusLocked(DWORD state, DWORD checkPoint, DWORD waitHint) {
    g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_ServiceStatus.dwControlsAccepted = kRadioAcceptedControls;
    g_ServiceStatus.dwWin32ExitCode = 0;
    g_ServiceStatus.dwServiceSpecificExitCode = 0;
    g_ServiceStatus.dwCurrentState = state;
    g_ServiceStatus.dwCheckPoint = checkPoint;
    g_ServiceStatus.dwWaitHint = waitHint;
    CurrentRadioEnvironment().ReportServiceStatus(g_hServiceStatus, g_ServiceStatus);
}

void ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHint) {
    std::lock_guard<std::mutex> lock(g_stateLock);
    ReportStatusLocked(state, checkPoint, waitHint);
}

void RegisterBluetoothNotification(std::atomic<HDEVNOTIFY>& handle, const GUID& interfaceClass) {
    DBGLOG_FUNCTION_TAG(ServiceMain);
    const HDEVNOTIFY notification =
        CurrentRadioEnvironment().RegisterInterfaceNotification(g_hServiceStatus, interfaceClass);
    const DWORD error = ::GetLastError();
    handle.store(notification);
    if (notification != nullptr) {
        LOG_TRACE(L"-----------------RegisterDeviceNotification SUCCESS--------------");
    } else {
        LOG_TRACE(L"-----------------RegisterDeviceNotification Failed--------------");
        LOG_TRACE(L"%s = %d", L"GetLastError()", static_cast<int>(error));
    }
}

// Drops the suspend/resume and device-interface registrations still held:
// the stop handler's records, or silently at the end of ServiceMain for what
// a stop did not find.
void DropNotifications(bool fromHandler) {
    DBGLOG_FUNCTION_TAG(HandlerEx);
    radio::RadioEnvironment& environment = CurrentRadioEnvironment();
    if (const HPOWERNOTIFY power = g_hPowerNotify.exchange(nullptr)) {
        if (fromHandler) LOG_TRACE(L"g_hPowerNotify != NULL");
        environment.UnregisterSuspendResume(power);
    } else if (fromHandler) {
        LOG_TRACE(L"g_hPowerNotify == NULL");
    }
    if (const HDEVNOTIFY bt1 = g_hDevNotifyBT1.exchange(nullptr)) {
        if (fromHandler) LOG_TRACE(L"g_hDevNotifyBT1 != NULL");
        environment.UnregisterInterfaceNotification(bt1);
    }
    if (const HDEVNOTIFY bt2 = g_hDevNotifyBT2.exchange(nullptr)) {
        if (fromHandler) LOG_TRACE(L"g_hDevNotifyBT2 != NULL");
        environment.UnregisterInterfaceNotification(bt2);
    }
}

void HandleStop() {
    DBGLOG_FUNCTION_TAG(HandlerEx);
    LOG_TRACE(L"-----------------SERVICE_CONTROL_STOP--------------");
    HWND window = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        // ServiceMain is ending by itself (its window could not be made) and
        // reports STOPPED without a stop pending.
        if (g_finishing) return;
        g_stopRequested = true;
        window = std::exchange(g_hNotifyWnd, nullptr);
    }
    if (window != nullptr) {
        LOG_TRACE(L"SendMessage WM_CLSOE");
        ::SendMessageW(window, WM_CLOSE, 0, 0);
    } else {
        LOG_TRACE(L"g_hNotifyWnd == NULL");
    }
    DropNotifications(true);
    RadioManagerControl().RMStop();
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        ReportStatusLocked(SERVICE_STOP_PENDING, 0, kRadioStopWaitHintMs);
    }
    ::SetEvent(g_stopPendingReported.get());
}

}  // namespace

void SetProgramIdentity(HINSTANCE instance) {
    g_hInstance = instance;
    const DWORD length = ::GetModuleFileNameW(nullptr, g_modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) g_modulePath[0] = L'\0';
}

void RunRadioCommandLine(const wchar_t* commandLine) {
    const std::wstring command = commandLine != nullptr ? commandLine : L"";
    if (command == L"/INSTALL") {
        InstallService(kRadioServiceName);
    } else if (command == L"/UNINSTALL") {
        UninstallService(kRadioServiceName);
    }
    wchar_t name[] = L"NRVRadioSvc";
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Outside the service control manager this fails; that is expected.
    ::StartServiceCtrlDispatcherW(table);
}

HRESULT InstallService(const wchar_t* serviceName) {
    DBGLOG_TRACE_FUNCTION(InstallService);
    nrv::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    const std::wstring commandLine = L"\"" + std::wstring(g_modulePath) + L"\"";
    nrv::UniqueServiceHandle created(::CreateServiceW(
        manager.get(), serviceName, serviceName, 0, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_IGNORE, commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!created) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    created.reset();
    nrv::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    SERVICE_STATUS status{};
    ::QueryServiceStatus(service.get(), &status);
    ::StartServiceW(service.get(), 0, nullptr);
    return S_OK;
}

HRESULT UninstallService(const wchar_t* serviceName) {
    DBGLOG_TRACE_FUNCTION(UninstallService);
    nrv::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    nrv::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS ignored{};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    }
    ::DeleteService(service.get());
    return S_OK;
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    DBGLOG_TRACE_FUNCTION(ServiceMain);
    radio::RadioEnvironment& environment = CurrentRadioEnvironment();
    CRadioManagerControl& control = RadioManagerControl();
    g_hServiceStatus = environment.RegisterControlHandler(HandlerEx);
    ReportStatus(SERVICE_START_PENDING, 1, kRadioStartWaitHintMs);
    ReportStatus(SERVICE_RUNNING, 0, 0);
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    control.InitRMControl();
    RegisterBluetoothNotification(g_hDevNotifyBT1, kBthportInterfaceClass);
    RegisterBluetoothNotification(g_hDevNotifyBT2, kRfcommInterfaceClass);
    control.Force3GPower();
    control.RMStart();

    NotifyWindowMain();

    // The loop has ended: by a stop, or because there is no window. The
    // radio work stops (a second RMStop is harmless) and both threads are
    // waited for, briefly: a radio manager that blocks inside a call keeps
    // its thread, which is then left behind with the managers and COM.
    const ULONGLONG start = ::GetTickCount64();
    control.RMStop();
    const ULONGLONG spent = ::GetTickCount64() - start;
    const DWORD left =
        spent < kRadioThreadsStopWaitMs ? static_cast<DWORD>(kRadioThreadsStopWaitMs - spent) : 0;
    const bool threadsEnded = control.WaitForThreads(left);
    if (!threadsEnded) LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(WAIT_TIMEOUT));

    bool stopRequested = false;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        g_finishing = true;
        stopRequested = g_stopRequested;
        g_hNotifyWnd = nullptr;
    }
    // STOPPED follows the handler's STOP_PENDING, never precedes it. Then the
    // handler, which reported it last thing, is given a moment to return: its
    // answer to the stop control is sent after it returns, and STOPPED lets
    // the process end.
    if (stopRequested &&
        ::WaitForSingleObject(g_stopPendingReported.get(), kStopPendingWaitMs) == WAIT_OBJECT_0) {
        ::Sleep(kControlReplyGraceMs);
    }
    DropNotifications(false);
    if (threadsEnded) {
        control.ReleaseManagers();
        if (SUCCEEDED(com)) ::CoUninitialize();
    }
    ReportStatus(SERVICE_STOPPED, 0, 0);
}

DWORD WINAPI HandlerEx(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/) {
    DBGLOG_FUNCTION_TAG(HandlerEx);
    switch (control) {
        case SERVICE_CONTROL_STOP:
            HandleStop();
            break;
        case SERVICE_CONTROL_INTERROGATE: {
            std::lock_guard<std::mutex> lock(g_stateLock);
            CurrentRadioEnvironment().ReportServiceStatus(g_hServiceStatus, g_ServiceStatus);
            break;
        }
        case SERVICE_CONTROL_DEVICEEVENT: {
            LOG_TRACE(L"-----------------SERVICE_CONTROL_DEVICEEVENT--------------");
            nrv::UniqueHandle event = CurrentRadioEnvironment().OpenChangeEvent();
            if (event) ::SetEvent(event.get());
            break;
        }
        default:
            break;
    }
    return NO_ERROR;
}

BOOL NotifyWindowMain() {
    DBGLOG_TRACE_FUNCTION(NotifyWindowMain);
    radio::RadioEnvironment& environment = CurrentRadioEnvironment();
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = g_hInstance;
    windowClass.lpszMenuName = L"";
    windowClass.lpszClassName = kNotifyWindowClass;
    ::RegisterClassExW(&windowClass);

    HWND window = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        // A stop that came first finds no window to close: the loop, which
        // nothing could end, does not start.
        if (g_stopRequested) {
            LOG_TRACE(L"g_hNotifyWnd == NULL");
            return FALSE;
        }
        window = environment.CreateNotifyWindow(g_hInstance);
        g_hNotifyWnd = window;
    }
    if (window == nullptr) {
        LOG_TRACE(L"g_hNotifyWnd == NULL");
        return FALSE;
    }
    const HPOWERNOTIFY power = environment.RegisterSuspendResume(window);
    g_hPowerNotify.store(power);
    LOG_TRACE(power != nullptr ? L"g_hPowerNotify != NULL" : L"g_hPowerNotify == NULL");
    LOG_TRACE(L"g_hNotifyWnd != NULL");
    ::ShowWindow(window, SW_HIDE);
    ::UpdateWindow(window);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::DestroyWindow(window);
    return TRUE;
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DBGLOG_FUNCTION_TAG(WndProc);
    switch (message) {
        case WM_CREATE:
            LOG_TRACE(L"WM_CREATE");
            break;
        case WM_CLOSE:
            LOG_TRACE(L"WM_CLOSE");
            ::PostQuitMessage(0);
            return 0;
        case WM_POWER:
            switch (wParam) {
                case PWR_SUSPENDREQUEST:
                    LOG_TRACE(L"WM_POWER::PWR_SUSPENDREQUEST");
                    break;
                case PWR_SUSPENDRESUME:
                    LOG_TRACE(L"WM_POWER::PWR_SUSPENDRESUME");
                    break;
                case PWR_CRITICALRESUME:
                    LOG_TRACE(L"WM_POWER::PWR_CRITICALRESUME");
                    break;
                default:
                    LOG_TRACE(L"WM_POWER::default");
                    break;
            }
            return 0;
        case WM_POWERBROADCAST:
            switch (wParam) {
                case PBT_APMQUERYSUSPEND:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMQUERYSUSPEND");
                    break;
                case PBT_APMQUERYSUSPENDFAILED:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMQUERYSUSPENDFAILED");
                    break;
                case PBT_APMSUSPEND:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMSUSPEND");
                    // The rebuild thread's current wait ends after its
                    // current 2-second sleep.
                    RadioManagerControl().SetWaitCounter(CRadioManagerControl::kWaitLimit);
                    break;
                case PBT_APMRESUMECRITICAL:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMRESUMECRITICAL");
                    break;
                case PBT_APMRESUMESUSPEND:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMRESUMESUSPEND");
                    break;
                case PBT_APMBATTERYLOW:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMBATTERYLOW");
                    break;
                case PBT_APMPOWERSTATUSCHANGE:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMPOWERSTATUSCHANGE");
                    break;
                case PBT_APMOEMEVENT:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMOEMEVENT");
                    break;
                case PBT_APMRESUMEAUTOMATIC:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_APMRESUMEAUTOMATIC");
                    break;
                case PBT_POWERSETTINGCHANGE:
                    LOG_TRACE(L"WM_POWERBROADCAST::PBT_POWERSETTINGCHANGE");
                    break;
                default:
                    LOG_TRACE(L"WM_POWERBROADCAST::default");
                    break;
            }
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

SERVICE_STATUS CurrentServiceStatus() {
    std::lock_guard<std::mutex> lock(g_stateLock);
    return g_ServiceStatus;
}

void ResetServiceHostForTest() {
    std::lock_guard<std::mutex> lock(g_stateLock);
    g_hNotifyWnd = nullptr;
    g_stopRequested = false;
    g_finishing = false;
    ::ResetEvent(g_stopPendingReported.get());
    g_ServiceStatus.dwCurrentState = SERVICE_STOPPED;
}
