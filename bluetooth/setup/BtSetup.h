// btsetup: installs the radio switch driver package through "dpinst.exe",
// points the Bluetooth stack's "SupportDLL" at the radio support library
// beside the installer, and empties it when the radio switch device is
// missing. No window, no output, no log: every step ends quietly at its
// first failure and the next one runs anyway.
#pragma once

#include <windows.h>

#include <cstddef>

#include "UniqueHandle.h"

namespace btsetup {

// Where the Bluetooth stack looks for its radio support library.
constexpr char c_szRadioSupportKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio Support";
constexpr char c_szSupportDllValue[] = "SupportDLL";
constexpr char c_szSupportLibrary[] = "NrvBtRadio64.dll";
constexpr char c_szDriverSetup[] = "dpinst.exe";
// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY.
constexpr REGSAM c_nRadioSupportAccess = 0x2001F;
// Bytes of "SupportDLL" that are read; a longer value never matches.
constexpr DWORD c_nSupportDllReadSize = 512;
constexpr size_t c_nDevicePathCapacity = 1024;

// Owns one device handle.
class CBtDevice {
public:
    CBtDevice() = default;
    virtual ~CBtDevice() { Close(); }
    CBtDevice(const CBtDevice&) = delete;
    CBtDevice& operator=(const CBtDevice&) = delete;

    void Close() { m_hDevice.reset(); }
    bool IsOpen() const { return m_hDevice.valid(); }
    // The device path of the first present interface of the class; fails
    // when there is none or when it does not fit into capacity characters.
    bool FindInterfacePath(const GUID& interfaceClass, char* path, size_t capacity);
    // Closes what is open, then opens the first present interface of the
    // class, unshared. Whether a handle is now open.
    bool OpenInterface(const GUID& interfaceClass);

private:
    nrv::UniqueFileHandle m_hDevice;
};

// The radio switch device.
class CRfSwBase : public CBtDevice {
public:
    bool OpenRadioSwitch();
};

// Whether this 32-bit process runs on 64-bit Windows.
bool IsWow64();
// The program's own folder, ending in a backslash.
bool GetProgramFolder(char* folder, size_t capacity);
bool IsVistaOrLater();
// The driver package's folder below the program's folder.
const char* DriverFolderFor(bool vistaOrLater, bool wow64);

// The steps take the answer of IsWow64, asked once by the program.

// Starts the package's dpinst.exe in its own folder and waits for it; false
// when it was not started.
bool RunDriverSetup(bool wow64);
// On 64-bit Windows, rewrites an existing "SupportDLL" to the 64-bit
// library beside the program unless it names it already; true when it was
// written.
bool RegisterSupportLibrary(bool wow64);
// Empties an existing, non-empty "SupportDLL" when the radio switch device
// cannot be opened; true when it was written. device keeps the open handle.
bool CheckRadioSwitchDevice(CRfSwBase& device);

}  // namespace btsetup
