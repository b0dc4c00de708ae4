// User-mode side of the simulated ACPI firmware device, for btsimctl and the
// tests: its control channel, the radio switch driver's device interface,
// and the registry values the driver reads.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <optional>
#include <string>
#include <vector>

#include "AcpiBtSimControl.h"
#include "RadioSwitchContract.h"
#include "UniqueHandle.h"

namespace acpibt {

class ControlChannel {
public:
    // Opens the bus device; Open() is false when the bus driver is not loaded.
    ControlChannel();
    bool Open() const { return m_device.valid(); }
    DWORD Error() const { return m_error; }

    bool Send(ULONG code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
              DWORD* returned = nullptr);

    bool Reset();
    bool SetStatus(ULONG statusByte);
    bool SetRlst(ULONG value);
    bool SetScript(const Script& script);
    bool Fail(ULONG method, LONG status, ULONG count = 0xFFFFFFFF);
    // Raises a notification; *taken tells whether a callback received it.
    bool Notify(ULONG code, ULONG* taken = nullptr);
    // Sends IRP_MN_SET_POWER for a system state down the device's stack.
    bool SystemPower(ULONG state, LONG* status = nullptr);
    // Unplug returns once the stack has been removed.
    bool SetPresent(bool present);
    // Plugs the device in and waits until its stack has been started. The
    // radio switch driver enables its interface when the device is added and
    // Wine lists it at once, so a request can reach the driver before its
    // start: what such a request changes (the Bluetooth flag) is what the
    // start then acts on. The driver forwards the start after its own start
    // work and before it starts a power-on thread.
    bool PlugAndWaitForStart(DWORD timeoutMs = 10000);
    bool QueryState(State* state);
    bool ReadLog(std::vector<LogEntry>* entries);
    bool ClearLog();

private:
    nrv::UniqueFileHandle m_device;
    DWORD m_error = 0;
};

// The path of the first present interface of the radio switch class, or
// nothing.
std::optional<std::wstring> FindRadioInterface();

// One of the driver's I/O controls on a handle to its interface.
struct RadioResult {
    bool ok = false;
    DWORD error = 0;     // GetLastError when !ok
    DWORD returned = 0;  // bytes reported
    UCHAR status = 0;    // the byte of IOCTL_RADIO_GET_STATUS
};
RadioResult RadioControl(HANDLE device, ULONG code, DWORD outputLength = 0);
nrv::UniqueFileHandle OpenRadio(bool overlapped = false);
// OpenRadio, tried again for up to timeoutMs: Wine lists a newly enabled
// interface a moment before its path opens.
nrv::UniqueFileHandle WaitAndOpenRadio(bool overlapped = false, DWORD timeoutMs = 5000);

const char* MethodName(ULONG method);
// "BTST" -> kBTST; kUnknownMethod when it names none.
ULONG MethodIndex(const std::string& name);
// One line of the log: "<ms> BTST ok 0xC1", "<ms> notify 0x90 taken", ...
std::string FormatLogEntry(const LogEntry& entry, ULONGLONG originUs);

// The registry values the driver reads and writes (64-bit view of HKLM).
namespace registry {
inline constexpr const wchar_t kDriverParameters[] =
    L"SYSTEM\\CurrentControlSet\\Services\\nrvrfsw\\Parameters";
inline constexpr const wchar_t kKeyhub[] = L"SYSTEM\\CurrentControlSet\\Services\\keyhub";
inline constexpr const wchar_t kKeyhubParameters[] =
    L"SYSTEM\\CurrentControlSet\\Services\\keyhub\\Parameters";
inline constexpr const wchar_t kUsbService[] = L"SYSTEM\\CurrentControlSet\\Services\\Nrvrfusb";
inline constexpr const wchar_t kUsbEnum[] = L"SYSTEM\\CurrentControlSet\\Services\\Nrvrfusb\\Enum";
inline constexpr const wchar_t kVendorKey[] = L"SOFTWARE\\Wow6432Node\\NORVALE\\BluetoothStack";
inline constexpr const wchar_t kBluetoothStack[] =
    L"SOFTWARE\\Wow6432Node\\NORVALE\\BluetoothStack\\V1.0";
inline constexpr const wchar_t kBthport[] = L"SYSTEM\\CurrentControlSet\\Services\\BTHPORT";
inline constexpr const wchar_t kRadioSupport[] =
    L"SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio Support";

bool SetDword(const wchar_t* key, const wchar_t* name, DWORD value);
bool SetBinary(const wchar_t* key, const wchar_t* name, const std::vector<BYTE>& bytes);
bool SetString(const wchar_t* key, const wchar_t* name, const std::wstring& text);
bool DeleteValue(const wchar_t* key, const wchar_t* name);
bool CreateKey(const wchar_t* key);
bool DeleteTree(const wchar_t* key);  // true also when it does not exist
bool KeyExists(const wchar_t* key);
std::optional<DWORD> GetDword(const wchar_t* key, const wchar_t* name);
std::optional<std::vector<BYTE>> GetBinary(const wchar_t* key, const wchar_t* name);
std::optional<std::wstring> GetString(const wchar_t* key, const wchar_t* name);
// Removes every key the tests and btsimctl create beside the driver's own
// (keyhub, Nrvrfusb, the BluetoothStack key, BTHPORT) and the values under
// the driver's Parameters key.
bool Clean();
}  // namespace registry

}  // namespace acpibt
