// The radio support library's decisions over a RadioPort.
#include "RadioSupport.h"

#include <winioctl.h>

#include "RadioSwitchContract.h"

namespace btradio {

namespace {

// Closes the device handle of one call on every way out.
class DeviceScope {
public:
    DeviceScope(RadioPort& port, HANDLE device) : m_port(port), m_device(device) {}
    ~DeviceScope() { m_port.Close(m_device); }
    DeviceScope(const DeviceScope&) = delete;
    DeviceScope& operator=(const DeviceScope&) = delete;
    HANDLE get() const { return m_device; }

private:
    RadioPort& m_port;
    HANDLE m_device;
};

}  // namespace

int RadioOnSequence(RadioPort& port, HANDLE device) {
    if (device == INVALID_HANDLE_VALUE) return c_nInvalidHandle;
    const int result = port.SendControl(device, IOCTL_RADIO_ON);
    if (result != 0) return result;
    port.Sleep(c_nRadioOnSettleMs);
    return port.SendControl(device, IOCTL_RADIO_ATTACH);
}

int RadioOffSequence(RadioPort& port, HANDLE device) {
    if (device == INVALID_HANDLE_VALUE) return c_nInvalidHandle;
    const int result = port.SendControl(device, IOCTL_RADIO_DETACH);
    if (result != 0) return result;
    port.Sleep(c_nRadioOffSettleMs);
    return port.SendControl(device, IOCTL_RADIO_OFF);
}

DWORD EnableRadio(RadioPort& port, BOOL enable) {
    const HANDLE opened = port.Open();
    if (opened == INVALID_HANDLE_VALUE) return ERROR_OPEN_FAILED;
    DeviceScope device(port, opened);

    BYTE status = 0;
    if (port.QueryStatus(device.get(), &status) != 0) return ERROR_IO_DEVICE;

    if (enable) {
        if ((status & RADIO_STATUS_SWITCHED_ON) == 0) return ERROR_NOT_READY;
        if (status == RADIO_STATUS_ON_ATTACHED) return ERROR_SUCCESS;
        if (RadioOnSequence(port, device.get()) != 0) return ERROR_IO_DEVICE;
        if (port.QueryStatus(device.get(), &status) != 0) return ERROR_IO_DEVICE;
        return status == RADIO_STATUS_ON_ATTACHED ? ERROR_SUCCESS : ERROR_FUNCTION_FAILED;
    }

    if ((status & (RADIO_STATUS_ATTACHED | RADIO_STATUS_POWERED)) != 0 &&
        RadioOffSequence(port, device.get()) != 0) {
        return ERROR_IO_DEVICE;
    }
    return ERROR_SUCCESS;
}

DWORD QueryRadioEnabled(RadioPort& port, BOOL* enabled) {
    if (enabled == nullptr) return ERROR_INVALID_PARAMETER;
    const HANDLE opened = port.Open();
    if (opened == INVALID_HANDLE_VALUE) return ERROR_OPEN_FAILED;

    BYTE status = 0;
    int result = 0;
    {
        DeviceScope device(port, opened);
        result = port.QueryStatus(device.get(), &status);
    }
    if (result != 0) return ERROR_IO_DEVICE;
    *enabled = (status == RADIO_STATUS_ON_ATTACHED || status == RADIO_STATUS_ON_DETACHED) ? 1 : 0;
    return ERROR_SUCCESS;
}

}  // namespace btradio
