// The radio support library's decisions: how the Bluetooth stack's two calls
// turn into requests to the radio switch driver. They reach the device only
// through RadioPort; the library's exports use the Win32 port, tests a
// scripted one.
#pragma once

#include <windows.h>

#include <cstddef>

namespace btradio {

// Results of the device operations (0 is success).
constexpr int c_nInvalidHandle = -2;
constexpr int c_nRequestFailed = -3;

// Settle times of the switching sequences.
constexpr DWORD c_nRadioOnSettleMs = 2100;
constexpr DWORD c_nRadioOffSettleMs = 200;

class RadioPort {
public:
    virtual ~RadioPort() = default;
    // A handle on the radio switch device, or INVALID_HANDLE_VALUE.
    virtual HANDLE Open() = 0;
    virtual void Close(HANDLE device) = 0;
    // One request without buffers: 0, or c_nRequestFailed.
    virtual int SendControl(HANDLE device, DWORD code) = 0;
    // The radio status byte: 0, c_nRequestFailed, or c_nInvalidHandle.
    virtual int QueryStatus(HANDLE device, BYTE* status) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
};

// IOCTL_RADIO_ON, the settle time, IOCTL_RADIO_ATTACH.
int RadioOnSequence(RadioPort& port, HANDLE device);
// IOCTL_RADIO_DETACH, the settle time, IOCTL_RADIO_OFF.
int RadioOffSequence(RadioPort& port, HANDLE device);

// What the exports return: a Win32 error code.
DWORD EnableRadio(RadioPort& port, BOOL enable);
DWORD QueryRadioEnabled(RadioPort& port, BOOL* enabled);

// The Win32 side. The device is found through its interface class, or
// opened by its fallback name when no interface is present; unshared and
// overlapped. INVALID_HANDLE_VALUE when neither opens.
HANDLE OpenRadioDevice();
// One request without buffers on an overlapped handle, waited for.
int SendRadioControl(HANDLE device, DWORD code);
// IOCTL_RADIO_GET_STATUS into one byte, waited for.
int QueryRadioStatus(HANDLE device, BYTE* status);

class Win32RadioPort : public RadioPort {
public:
    HANDLE Open() override;
    void Close(HANDLE device) override;
    int SendControl(HANDLE device, DWORD code) override;
    int QueryStatus(HANDLE device, BYTE* status) override;
    void Sleep(DWORD milliseconds) override;
};

// Capacity of the device path buffer, in characters with the terminator.
constexpr size_t c_nDevicePathCapacity = 1024;

// The device path of the first present radio switch interface, through
// setupapi.dll loaded for this call only. False when there is none, or when
// the path does not fit (a cut path would name another device).
bool FindRadioInterfacePath(char* path, size_t capacity);

}  // namespace btradio
