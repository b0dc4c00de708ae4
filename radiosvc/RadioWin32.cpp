// The radio service's system calls: COM, the named change event, the
// value-added device, the registry, the service control manager and the
// notify window.
#include "DbgLog.h"
#include "RadioEnvironment.h"
#include "RadioManager.h"
#include "RadioService.h"
#include "RegConfig.h"
#include "VadChannel.h"

#include <dbt.h>

namespace radio {
namespace {

RadioEnvironment* g_environment = nullptr;  // null: the Win32 one

class ShciChannel : public RegisterChannel {
public:
    void WriteRegister56(ULONG value2, ULONG value3) override {
        m_shci.Exchange(vad::kFunctionWrite, 0x56, value2, value3, 0, 0);
    }

private:
    SHCI m_shci;  // opens "\\.\HWPLZ" now, closes it with the channel
};

class Win32Environment : public RadioEnvironment {
public:
    HRESULT CreateRadioManager(const CLSID& classId, IMediaRadioManager** manager) override {
        return ::CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaRadioManager,
                                  reinterpret_cast<void**>(manager));
    }

    bool SleepUnlessWoken(DWORD milliseconds, HANDLE wake) override {
        if (wake == nullptr) {
            ::Sleep(milliseconds);
            return false;
        }
        return ::WaitForSingleObject(wake, milliseconds) == WAIT_OBJECT_0;
    }

    nrv::UniqueHandle OpenChangeEvent() override {
        return nrv::UniqueHandle(::CreateEventW(nullptr, FALSE, FALSE, kRadioChangeEventName));
    }

    std::unique_ptr<RegisterChannel> OpenRegisterChannel() override {
        return std::make_unique<ShciChannel>();
    }

    HRESULT StoreLedState(DWORD value) override {
        RegConfigAccess access;
        HRESULT hr = access.Open(HKEY_LOCAL_MACHINE, kLedStateKey, KEY_ALL_ACCESS);
        if (FAILED(hr)) return hr;
        // The key is closed when access goes, on every path.
        return access.SetValue(kLedStateValue, REG_DWORD, value);
    }

    SERVICE_STATUS_HANDLE RegisterControlHandler(LPHANDLER_FUNCTION_EX handler) override {
        return ::RegisterServiceCtrlHandlerExW(kRadioServiceName, handler, nullptr);
    }

    void ReportServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) override {
        SERVICE_STATUS copy = status;
        ::SetServiceStatus(handle, &copy);
    }

    HDEVNOTIFY RegisterInterfaceNotification(SERVICE_STATUS_HANDLE recipient,
                                             const GUID& interfaceClass) override {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = interfaceClass;
        return ::RegisterDeviceNotificationW(recipient, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    }

    void UnregisterInterfaceNotification(HDEVNOTIFY notification) override {
        ::UnregisterDeviceNotification(notification);
    }

    HWND CreateNotifyWindow(HINSTANCE instance) override {
        return ::CreateWindowExW(0, kNotifyWindowClass, kNotifyWindowTitle, WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance,
                                 nullptr);
    }

    HPOWERNOTIFY RegisterSuspendResume(HWND window) override {
        return ::RegisterSuspendResumeNotification(window, DEVICE_NOTIFY_WINDOW_HANDLE);
    }

    void UnregisterSuspendResume(HPOWERNOTIFY notification) override {
        ::UnregisterSuspendResumeNotification(notification);
    }
};

}  // namespace

RadioEnvironment& Win32RadioEnvironment() {
    static Win32Environment environment;
    return environment;
}

RadioEnvironment* SetRadioEnvironment(RadioEnvironment* environment) {
    RadioEnvironment* before = g_environment;
    g_environment = environment;
    return before;
}

RadioEnvironment& CurrentRadioEnvironment() {
    return g_environment != nullptr ? *g_environment : Win32RadioEnvironment();
}

}  // namespace radio
