// The service's decisions: the command line, the run mode, the event loops
// and the control handler. Every system call goes through the posture
// environment.
#include "PostureService.h"

#include "DbgLog.h"
#include "DockMonitor.h"
#include "MachineConfig.h"

#include <mutex>

using posture::CurrentPostureEnvironment;
using posture::DockWorker;

SERVICE_STATUS ServiceStatus = {
    SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, kAcceptedControls, 0, 0, 0, 0};
DWORD g_keyboardPidVid = 0xFFFFFFFF;
bool g_DockRotation = false;
bool g_isConvertible = false;
bool g_isReverseDockConvertible = false;
bool g_isWorkaround = false;
std::atomic<bool> g_isSuspend{false};
std::atomic<LONG> g_isStopRequested{0};
ULONG ulNotifyCodeSvc = c_nNotifyCode_DockingEvent;
std::optional<std::wstring> g_slateIndicatorPath;
std::optional<std::wstring> g_dockIndicatorPath;
std::atomic<HANDLE> g_hStopEvent{nullptr};
std::atomic<HANDLE> g_hDockEvent{nullptr};
std::atomic<HANDLE> g_hKbdChangeEvent{nullptr};

namespace {

constexpr DWORD kNotPresent = 0xFFFFFFFF;

// ServiceMain and HandlerEx report from two threads.
std::mutex g_statusLock;

// Guards the shared events between the control handler, which signals them,
// and ServiceMain, which closes them: a handle is signalled only while it is
// still the service's own, never a value the system has since given to
// another object.
std::mutex g_eventLock;

void PublishEvent(std::atomic<HANDLE>& shared, HANDLE event) {
    std::lock_guard<std::mutex> lock(g_eventLock);
    shared.store(event);
}

// Takes the event out of the handler's reach; the caller closes it afterwards.
void WithdrawEvent(std::atomic<HANDLE>& shared) {
    PublishEvent(shared, nullptr);
}

}  // namespace

nrv::UniqueHandle HoldDockEvent() {
    std::lock_guard<std::mutex> lock(g_eventLock);
    const HANDLE event = g_hDockEvent.load();
    if (event == nullptr) {
        ::SetLastError(ERROR_SUCCESS);
        return nrv::UniqueHandle();
    }
    HANDLE held = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), event, ::GetCurrentProcess(), &held, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return nrv::UniqueHandle();
    return nrv::UniqueHandle(held);
}

namespace {

void ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHint) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwControlsAccepted = kAcceptedControls;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwCheckPoint = checkPoint;
    ServiceStatus.dwWaitHint = waitHint;
    CurrentPostureEnvironment().ReportServiceStatus(ServiceStatus);
}

void ReportCurrentStatus() {
    std::lock_guard<std::mutex> lock(g_statusLock);
    CurrentPostureEnvironment().ReportServiceStatus(ServiceStatus);
}

// Records carry the tag of the caller (ServiceMain or HandlerEx).
void StartWorker(DockWorker worker, const wchar_t* dbglogFunctionTag) {
    if (!CurrentPostureEnvironment().StartDockWorker(worker))
        LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
}

void FindIndicators() {
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();
    g_dockIndicatorPath = environment.FindDeviceInterface(DOCK_INDICATOR_GUID);
    g_slateIndicatorPath = environment.FindDeviceInterface(SLATE_INDICATOR_GUID);
}

// Reads the install's decisions into the flags.
void ReadStandardModeFlags() {
    DBGLOG_FUNCTION_TAG(ServiceMain);  // a step of ServiceMain
    g_DockRotation = PSVRegRead_DWORD(L"DockRotation") == 1;
    LOG_TRACE(g_DockRotation ? L"g_DockRotation = true" : L"g_DockRotation = false");

    const DWORD convertible = PSVRegRead_DWORD(L"Convertible");
    g_isReverseDockConvertible = convertible == 2;
    g_isConvertible = convertible == 1;
    if (g_isReverseDockConvertible) {
        LOG_TRACE(L"g_isReverseDockConvertible = true");
    } else if (g_isConvertible) {
        LOG_TRACE(L"g_isConvertible = true");
    } else {
        LOG_TRACE(L"g_isConvertible = false,g_isReverseDockConvertible = false");
    }
}

void ChooseNotifyCode() {
    DBGLOG_FUNCTION_TAG(ServiceMain);  // a step of ServiceMain
    if (g_isConvertible) {
        ulNotifyCodeSvc = c_nNotifyCode_ConvertibleEvent;
        LOG_TRACE(L"ulNotifyCodeSvc = c_nNotifyCode_ConvertibleEvent");
    } else if (g_isReverseDockConvertible) {
        ulNotifyCodeSvc = c_nNotifyCode_PLSTEvent;
        LOG_TRACE(L"ulNotifyCodeSvc = c_nNotifyCode_PLSTEvent");
    } else {
        ulNotifyCodeSvc = c_nNotifyCode_DockingEvent;
        LOG_TRACE(L"ulNotifyCodeSvc = c_nNotifyCode_DockingEvent");
    }
}

void StandardMode() {
    DBGLOG_FUNCTION_TAG(ServiceMain);  // a step of ServiceMain
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();
    ReadStandardModeFlags();
    if (!g_DockRotation) StartWorker(DockWorker::Standard, dbglogFunctionTag);

    g_isWorkaround = PSVRegRead_WorkAround() == 0;
    if (g_isWorkaround) {
        LOG_TRACE(L"g_isWorkaround = true");
        if (!environment.StartWorkaroundThread()) LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
    } else {
        LOG_TRACE(L"g_isWorkaround = false");
    }

    ReportStatus(SERVICE_RUNNING, 0, 0);
    ChooseNotifyCode();

    for (;;) {
        // Dock rotation locked and no workaround: nothing for the service to do.
        if (!g_isWorkaround && g_DockRotation) break;
        // The stop event ends a wait; the flag also ends the loop should the
        // event be missing.
        if (g_isStopRequested.load() != 0) break;
        if (!environment.EventDevicePresent()) break;
        if (!environment.WaitFirmwareEvent(ulNotifyCodeSvc)) break;
        if (!g_DockRotation && !g_isSuspend.load())
            StartWorker(DockWorker::Standard, dbglogFunctionTag);
    }
    ReportStatus(SERVICE_STOPPED, 0, 0);
}

void KeyboardMode() {
    DBGLOG_FUNCTION_TAG(ServiceMain);  // a step of ServiceMain
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();
    StartWorker(DockWorker::PidVid, dbglogFunctionTag);
    ReportStatus(SERVICE_RUNNING, 0, 0);
    nrv::UniqueHandle changeEvent = environment.CreateServiceEvent(nullptr, false);
    PublishEvent(g_hKbdChangeEvent, changeEvent.get());

    while (changeEvent) {
        // A stop that came before the event existed could not signal it.
        if (g_isStopRequested.load() != 0) {
            LOG_TRACE(L"Exit");
            break;
        }
        std::unique_ptr<posture::KeyboardWatch> watch =
            environment.WatchKeyboardList(changeEvent.get());
        if (!watch) break;
        if (!environment.WaitForEvent(changeEvent.get())) break;
        if (g_isStopRequested.load() != 0) {
            LOG_TRACE(L"Exit");
            break;
        }
        StartWorker(DockWorker::PidVid, dbglogFunctionTag);
    }
    ReportStatus(SERVICE_STOPPED, 0, 0);
    WithdrawEvent(g_hKbdChangeEvent);
}

}  // namespace

HRESULT CommandCheck() {
    DBGLOG_TRACE_FUNCTION(CommandCheck);
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();
    const bool slate = environment.FindDeviceInterface(SLATE_INDICATOR_GUID).has_value();
    const bool dock = environment.FindDeviceInterface(DOCK_INDICATOR_GUID).has_value();
    if (slate || dock) return S_OK;
    LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
    return E_FAIL;
}

void RestoreIndicators() {
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();
    FindIndicators();
    if (environment.GetSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0)
        ToggleDockStateUntilDone(SLATE_INDICATOR_GUID);
    if (environment.GetSystemMetrics(SM_SYSTEMDOCKED) != 0)
        ToggleDockStateUntilDone(DOCK_INDICATOR_GUID);
}

HRESULT UninstallService() {
    DBGLOG_TRACE_FUNCTION(UninstallService);
    if (!CurrentPostureEnvironment().DeleteService()) {
        LOG_ERROR(L"Error Code: 0x%x", E_POINTER);
        return E_POINTER;
    }
    RestoreIndicators();
    return S_OK;
}

int RunCommandLine(const wchar_t* arguments) {
    DBGLOG_FUNCTION_TAG(wWinMain);  // a step of wWinMain
    const std::wstring command = arguments != nullptr ? arguments : L"";
    const bool checkFirst = command == L"/CHECK" || command == L"/CHECK_AND_INSTALL" ||
                            command == L"/CHECK_AND_UNINSTALL";
    if (checkFirst) {
        if (CommandCheck() != S_OK) {
            LOG_ERROR(L"Error Code: 0x%x", kNotPresent);
            return -1;
        }
        if (command == L"/CHECK_AND_INSTALL") {
            CheckIsWorkaround();
            CheckIsConvertible();
            CheckIsPidVidKeyboard();
            InstallService();
        } else if (command == L"/CHECK_AND_UNINSTALL") {
            UninstallService();
        }
        return 1;
    }
    if (command == L"/INSTALL") {
        InstallService();
        return 0;
    }
    if (command == L"/UNINSTALL") {
        UninstallService();
        return 0;
    }
    RunServiceDispatcher();
    return 0;
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    DBGLOG_TRACE_FUNCTION(ServiceMain);
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();
    environment.RegisterControlHandler();
    ReportStatus(SERVICE_START_PENDING, 1, kStartWaitHintMs);

    nrv::UniqueHandle stopEvent = environment.CreateServiceEvent(kServiceStopEventName, true);
    if (stopEvent) ::ResetEvent(stopEvent.get());
    PublishEvent(g_hStopEvent, stopEvent.get());

    FindIndicators();

    nrv::UniqueHandle dockEvent = environment.CreateServiceEvent(kDockEventName, false);
    if (dockEvent) ::SetEvent(dockEvent.get());
    PublishEvent(g_hDockEvent, dockEvent.get());

    g_keyboardPidVid = PSVRegRead_DWORD(L"KeyboardPidVid");
    if (g_keyboardPidVid != kNotPresent) {
        KeyboardMode();
    } else {
        StandardMode();
    }

    // A control still being handled finishes with the events before they go.
    WithdrawEvent(g_hDockEvent);
    WithdrawEvent(g_hStopEvent);
}

DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, void* /*eventData*/, void* /*context*/) {
    DBGLOG_TRACE_FUNCTION(HandlerEx);
    LOG_TRACE(L"%s = %d", L"dwControl", static_cast<int>(control));
    switch (control) {
        case SERVICE_CONTROL_STOP: {
            std::lock_guard<std::mutex> lock(g_eventLock);
            ReportStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
            g_isStopRequested.store(1);
            posture::PostureEnvironment& environment = CurrentPostureEnvironment();
            if (const HANDLE changeEvent = g_hKbdChangeEvent.load())
                environment.SignalEvent(changeEvent);
            if (const HANDLE stopEvent = g_hStopEvent.load()) environment.SignalEvent(stopEvent);
            break;
        }
        case SERVICE_CONTROL_INTERROGATE:
            ReportCurrentStatus();
            break;
        case SERVICE_CONTROL_POWEREVENT:
            if (eventType == PBT_APMRESUMEAUTOMATIC) {
                LOG_TRACE(L"POSTURESVC__PBT_APMRESUMEAUTOMATIC__SERVICE_CONTROL_POWEREVENT");
                if (!g_DockRotation) {
                    StartWorker(DockWorker::Standard, dbglogFunctionTag);
                } else {
                    LOG_TRACE(L"POSTURESVC::No Create Lock Rotation Thread from Resume");
                }
                if (g_isWorkaround) {
                    LOG_TRACE(L"POSTURESVC::Resume with Workaround");
                    CurrentPostureEnvironment().RunWorkaroundSequence();
                } else {
                    LOG_TRACE(L"POSTURESVC::Resume with no workaround");
                }
            } else if (eventType == PBT_APMSUSPEND) {
                LOG_TRACE(L"POSTURESVC__PBT_APMSUSPEND__SERVICE_CONTROL_POWEREVENT");
                if (!g_isConvertible && !g_isReverseDockConvertible && !g_isWorkaround)
                    g_isSuspend.store(true);
                if (GetMachineIdentity(posture::IdentityWord::Machine) == kSuspendDeferredMachine) {
                    LOG_TRACE(L"match machine id, set g_isSuspend=TRUE when suspend");
                    g_isSuspend.store(true);
                }
            }
            break;
        default:
            break;
    }
    return NO_ERROR;
}
