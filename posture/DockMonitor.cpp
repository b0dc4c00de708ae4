// The dock workers, the state queries and the indicator writes. Every system
// call goes through the posture environment.
#include "DockMonitor.h"

#include "DbgLog.h"
#include "MachineConfig.h"
#include "PostureService.h"

#include <algorithm>
#include <cwctype>
#include <string>

using posture::CurrentPostureEnvironment;
using posture::DockWorker;

namespace {

bool IsNoState(DockState state) {
    return state == kDockNoState || state == 255;
}

bool SlateModeReported() {
    return CurrentPostureEnvironment().GetSystemMetrics(SM_CONVERTIBLESLATEMODE) == 0;
}

bool DockedReported() {
    return CurrentPostureEnvironment().GetSystemMetrics(SM_SYSTEMDOCKED) != 0;
}

}  // namespace

// A query that cannot open the device records it; a failed call only gives
// no state.
#define EVALUATE_OR_RETURN(name, result)                                                        \
    do {                                                                                        \
        const MethodOutcome outcome = CurrentPostureEnvironment().EvaluateMethod(name, result); \
        if (outcome == MethodOutcome::DeviceUnavailable)                                        \
            LOG_ERROR(L"Error Code: 0x%x", static_cast<DWORD>(kDockNoState));                   \
        if (outcome != MethodOutcome::Succeeded) return kDockNoState;                           \
    } while (false)

DockState GetCurrentDockStatus() {
    DBGLOG_TRACE_FUNCTION(GetCurrentDockStatus);
    ULONG id = 0;
    EVALUATE_OR_RETURN("VCID", id);
    if (id == 0) {
        LOG_TRACE(L"POSTURESVC_GetCurrentDockStatus\tUndocked");
        return kDockUndocked;
    }
    if (id == kCradleDockId) {
        LOG_TRACE(L"POSTURESVC_GetCurrentDockStatus\tCradle is connected");
        return kDockCradle;
    }
    if (std::find(KbDockIds.begin(), KbDockIds.end(), id) != KbDockIds.end()) {
        LOG_TRACE(L"POSTURESVC_GetCurrentDockStatus\tKBDock is connected");
        return kDockKeyboard;
    }
    return kDockNoState;
}

DockState GetCurrentPanelStatus() {
    DBGLOG_TRACE_FUNCTION(GetCurrentPanelStatus);
    ULONG result = 0;
    EVALUATE_OR_RETURN("CTST", result);
    switch (result & 0xFF) {
        case 0:
            return kDockKeyboard;
        case 1:
            return kDockUndocked;
        default:
            return kDockNoState;
    }
}

DockState GetCurrentPLSTStatus() {
    DBGLOG_TRACE_FUNCTION(GetCurrentPLSTStatus);
    ULONG result = 0;
    EVALUATE_OR_RETURN("PLST", result);
    switch (result & 0xFF) {
        case 0:
            LOG_TRACE(L"POSTURESVC::Clamshell (Close)");
            return kDockKeyboard;
        case 1:
            LOG_TRACE(L"POSTURESVC::Tablet (Close)");
            return kDockUndocked;
        case 2:
            LOG_TRACE(L"POSTURESVC:: Clamshell (Open)");
            return kDockKeyboard;
        case 3:
            LOG_TRACE(L"POSTURESVC::Flip (Open)");
            return kDockCradle;
        case 4:
            LOG_TRACE(L"POSTURESVC:: Tablet (Undock)");
            return kDockUndocked;
        default:
            return kDockNoState;
    }
}

#undef EVALUATE_OR_RETURN

DockState GetCurrentKeyboardStatus() {
    DBGLOG_TRACE_FUNCTION(GetCurrentKeyboardStatus);
    const DWORD failed = static_cast<DWORD>(kDockNoState);
    std::unique_ptr<posture::KeyboardList> list = CurrentPostureEnvironment().OpenKeyboardList();
    DWORD count = 0;
    if (!list || !list->QueryCount(count)) {
        LOG_ERROR(L"Error Code: 0x%x", failed);
        return kDockNoState;
    }
    wchar_t pattern[32];
    ::swprintf(pattern, 32, L"VID_%04x&PID_%04x", g_keyboardPidVid & 0xFFFF,
               g_keyboardPidVid >> 16);
    for (wchar_t* c = pattern; *c != L'\0'; ++c) *c = static_cast<wchar_t>(std::towupper(*c));

    DockState state = kDockNoState;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t name[16];
        ::swprintf(name, 16, L"%d", static_cast<int>(i));
        std::wstring path;
        if (!list->QueryInstancePath(name, path)) {
            LOG_ERROR(L"Error Code: 0x%x", failed);
            return kDockNoState;
        }
        LOG_TRACE(L"regString = %s strPidVid =%s", path.c_str(), pattern);
        if (path.find(pattern) != std::wstring::npos) {
            state = kDockKeyboard;
            break;
        }
        state = kDockUndocked;
    }
    return state;
}

HRESULT ToggleDockState(const GUID& indicator) {
    DBGLOG_TRACE_FUNCTION(ToggleDockState);
    const std::optional<std::wstring>* path = nullptr;
    if (::IsEqualGUID(indicator, DOCK_INDICATOR_GUID)) path = &g_dockIndicatorPath;
    if (::IsEqualGUID(indicator, SLATE_INDICATOR_GUID)) path = &g_slateIndicatorPath;
    if (path == nullptr || !path->has_value() ||
        !CurrentPostureEnvironment().WriteIndicator(**path)) {
        LOG_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    return S_OK;
}

bool ToggleDockStateUntilDone(const GUID& indicator) {
    DBGLOG_TRACE_FUNCTION(ToggleDockStateUntilDone);
    for (int attempt = 0; attempt < kToggleTries; ++attempt) {
        if (ToggleDockState(indicator) == S_OK) return true;
        CurrentPostureEnvironment().Sleep(kTogglePauseMs);
    }
    return false;
}

namespace {

DockState QueryState(DockWorker worker) {
    if (worker == DockWorker::PidVid) return GetCurrentKeyboardStatus();
    if (g_isConvertible) return GetCurrentPanelStatus();
    if (g_isReverseDockConvertible) return GetCurrentPLSTStatus();
    return GetCurrentDockStatus();
}

// Both worker bodies; their records carry the tag of the thread function.
void RunDockWorker(DockWorker worker) {
    const bool pidVid = worker == DockWorker::PidVid;
    const wchar_t* const dbglogFunctionTag =
        pidVid ? L" (DockStatusThread_PIDVID)" : L" (DockStatusThread)";
    posture::PostureEnvironment& environment = CurrentPostureEnvironment();

    if (g_hDockEvent.load() == nullptr) return;
    const nrv::UniqueHandle token = HoldDockEvent();
    if (!token) {
        // Withdrawn meanwhile: the service is stopping.
        if (::GetLastError() != ERROR_SUCCESS)
            LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
        return;
    }
    // The dock event is auto-reset: the wait that ends takes the signal.
    if (!environment.WaitForEvent(token.get())) {
        LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
        return;
    }
    LOG_TRACE(pidVid ? L"POSTURESVC_DockStatusThread_PIDVID_PassedWaitForSingleObject"
                     : L"POSTURESVC_DockStatusThread_PassedWaitForSingleObject");

    const bool resuming = g_isSuspend.load();
    if (!pidVid) {
        if (resuming) {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_ResumeFromSuspend 1st");
            environment.Sleep(kResumeSettleMs);
        } else {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_StandardDocking");
        }
    }

    DockState state = kDockNoState;
    for (int attempt = 0; attempt < kQueryTries; ++attempt) {
        state = QueryState(worker);
        if (state != kDockNoState) break;
        environment.Sleep(kQueryPauseMs);
    }
    LOG_TRACE(L"POSTURESVC_DockStatusThread_FinishGetCurrentDockStatusLoop");

    if (IsNoState(state)) {
        LOG_TRACE(L"POSTURESVC_DockStatusThread_Failed GetCurrentDockStatus");
    } else if (state == kDockUndocked) {
        LOG_TRACE(L"POSTURESVC_DockStatusThread_ToggleDockState_Disconnect");
        if (!SlateModeReported()) {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_ToggleDockState_KBDock");
            ToggleDockStateUntilDone(SLATE_INDICATOR_GUID);
        }
        if (DockedReported()) {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_ToggleDockState_CradleDock");
            ToggleDockStateUntilDone(DOCK_INDICATOR_GUID);
        }
    } else {
        if (state == kDockKeyboard) {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_Connect_KBDock");
            if (SlateModeReported()) {
                LOG_TRACE(L"POSTURESVC_DockStatusThread_ToggleDockState_KBDock");
                ToggleDockStateUntilDone(SLATE_INDICATOR_GUID);
            }
        } else if (state == kDockCradle) {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_Connect_CradleDock");
            if (!SlateModeReported()) {
                LOG_TRACE(L"POSTURESVC_DockStatusThread_ToggleDockState_KBDock");
                ToggleDockStateUntilDone(SLATE_INDICATOR_GUID);
            }
        } else {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_Connect_OtherDock");
        }
        if (!DockedReported()) {
            LOG_TRACE(L"POSTURESVC_DockStatusThread_ToggleDockState_CradleDock");
            ToggleDockStateUntilDone(DOCK_INDICATOR_GUID);
        }
    }

    // Only the suspend this worker resumed from ends here: one that began
    // while it ran is left for the worker of its resume.
    if (resuming) {
        LOG_TRACE(L"POSTURESVC_DockStatusThread_ResumeFromSuspend 2nd");
        g_isSuspend.store(false);
        environment.Sleep(kResumeAfterMs);
    }
    ::SetEvent(token.get());
}

}  // namespace

void DockStatusThread() {
    DBGLOG_TRACE_FUNCTION(DockStatusThread);
    RunDockWorker(DockWorker::Standard);
}

void DockStatusThread_PIDVID() {
    DBGLOG_TRACE_FUNCTION(DockStatusThread_PIDVID);
    RunDockWorker(DockWorker::PidVid);
}
