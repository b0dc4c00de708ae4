// The radio support library's Win32 side: the radio switch device found
// through SetupAPI (loaded by name for each search), opened for one call,
// and its requests sent overlapped and waited for.
#include "DevicePath.h"
#include "RadioSupport.h"
#include "UniqueHandle.h"

#include <setupapi.h>
#include <winioctl.h>

#include "RadioSwitchContract.h"

namespace btradio {

// The structure sizes SetupAPI checks: 28 and 5 bytes in the 32-bit build.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);

namespace {

using nrv::UniqueHandle;
using nrv::UniqueModule;

using GetClassDevsA = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using EnumDeviceInterfaces = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                           PSP_DEVICE_INTERFACE_DATA);
using DestroyDeviceInfoList = BOOL(WINAPI*)(HDEVINFO);
using GetDeviceInterfaceDetailA = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                PSP_DEVINFO_DATA);

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The device information list of the search, destroyed through the
// function the search looked up.
class DeviceList {
public:
    DeviceList(HDEVINFO list, DestroyDeviceInfoList destroy) : m_list(list), m_destroy(destroy) {}
    ~DeviceList() {
        if (m_list != INVALID_HANDLE_VALUE) m_destroy(m_list);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    HDEVINFO get() const { return m_list; }

private:
    HDEVINFO m_list;
    DestroyDeviceInfoList m_destroy;
};

// One request on an overlapped handle, waited for: TRUE when it succeeded.
bool Request(HANDLE device, DWORD code, void* output, DWORD outputSize) {
    UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD bytes = 0;
    if (::DeviceIoControl(device, code, nullptr, 0, output, outputSize, &bytes, &overlapped)) {
        return true;
    }
    return ::GetLastError() == ERROR_IO_PENDING &&
           ::GetOverlappedResult(device, &overlapped, &bytes, TRUE);
}

}  // namespace

bool FindRadioInterfacePath(char* path, size_t capacity) {
    UniqueModule setupapi(::LoadLibraryA("setupapi.dll"));
    if (!setupapi) return false;
    const auto getClassDevs = Lookup<GetClassDevsA>(setupapi.get(), "SetupDiGetClassDevsA");
    const auto enumInterfaces =
        Lookup<EnumDeviceInterfaces>(setupapi.get(), "SetupDiEnumDeviceInterfaces");
    const auto destroyList =
        Lookup<DestroyDeviceInfoList>(setupapi.get(), "SetupDiDestroyDeviceInfoList");
    const auto getDetail =
        Lookup<GetDeviceInterfaceDetailA>(setupapi.get(), "SetupDiGetDeviceInterfaceDetailA");
    if (!getClassDevs || !enumInterfaces || !destroyList || !getDetail) return false;

    const GUID& interfaceClass = GUID_DEVINTERFACE_NRV_RADIO_SWITCH;
    DeviceList list(
        getClassDevs(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
        destroyList);
    if (list.get() == INVALID_HANDLE_VALUE) return false;

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!enumInterfaces(list.get(), nullptr, &interfaceClass, 0, &interfaceData)) return false;

    DWORD size = 0;
    if (!getDetail(list.get(), &interfaceData, nullptr, 0, &size, nullptr) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
    nrv::UniqueLocalMemory buffer(::LocalAlloc(LMEM_ZEROINIT, size));
    if (!buffer) return false;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!getDetail(list.get(), &interfaceData, detail, size, nullptr, nullptr)) return false;
    // The buffer was zero-filled: the path ends inside it.
    return CopyDevicePath(detail->DevicePath, path, capacity);
}

HANDLE OpenRadioDevice() {
    char path[c_nDevicePathCapacity] = {};
    const char* name =
        FindRadioInterfacePath(path, sizeof path) ? path : NRV_RADIO_SWITCH_FALLBACK_PATH_A;
    return ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

int SendRadioControl(HANDLE device, DWORD code) {
    return Request(device, code, nullptr, 0) ? 0 : c_nRequestFailed;
}

int QueryRadioStatus(HANDLE device, BYTE* status) {
    if (device == INVALID_HANDLE_VALUE) return c_nInvalidHandle;
    return Request(device, IOCTL_RADIO_GET_STATUS, status, 1) ? 0 : c_nRequestFailed;
}

HANDLE Win32RadioPort::Open() {
    return OpenRadioDevice();
}
void Win32RadioPort::Close(HANDLE device) {
    ::CloseHandle(device);
}
int Win32RadioPort::SendControl(HANDLE device, DWORD code) {
    return SendRadioControl(device, code);
}
int Win32RadioPort::QueryStatus(HANDLE device, BYTE* status) {
    return QueryRadioStatus(device, status);
}
void Win32RadioPort::Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace btradio
