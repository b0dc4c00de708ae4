#include "PenNoteWin32.h"

#include "DbgLog.h"

#include <tlhelp32.h>

namespace pennote {
namespace {

constexpr UINT kDeviceNameChars = 100;

// Preparsed HID data, returned to hid.dll when done.
class PreparsedData {
public:
    explicit PreparsedData(HANDLE device) {
        if (!::HidD_GetPreparsedData(device, &m_data)) m_data = nullptr;
    }
    ~PreparsedData() {
        if (m_data != nullptr) ::HidD_FreePreparsedData(m_data);
    }
    PreparsedData(const PreparsedData&) = delete;
    PreparsedData& operator=(const PreparsedData&) = delete;
    PHIDP_PREPARSED_DATA get() const { return m_data; }

private:
    PHIDP_PREPARSED_DATA m_data = nullptr;
};

bool SessionOf(DWORD processId, DWORD& session) {
    return ::ProcessIdToSessionId(processId, &session) != FALSE;
}

}  // namespace

int FindProcessByName(const wchar_t* exeName) {
    DBGLOG_TRACE_FUNCTION(FindProcessByName);
    nrv::UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", 0);
        return 0;
    }
    // Only processes of this session: the chord goes to this desktop.
    DWORD ownSession = 0;
    if (!SessionOf(::GetCurrentProcessId(), ownSession)) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (ProcessCounts(entry.szExeFile, entry.th32ProcessID, exeName, ownSession, SessionOf))
            return 1;
    }
    return 0;
}

int RegisterNofify(HWND window) {
    DBGLOG_TRACE_FUNCTION(RegisterNofify);
    const auto devices = PenInputDevices(window);
    ::RegisterRawInputDevices(devices.data(), static_cast<UINT>(devices.size()),
                              sizeof(RAWINPUTDEVICE));
    return 1;
}

bool Win32PenNoteSystem::FindProcessByName(const wchar_t* exeName) {
    return pennote::FindProcessByName(exeName) != 0;
}

void Win32PenNoteSystem::Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

void Win32PenNoteSystem::SendNoteChord() {
    for (const KeyEvent& key : NoteChord())
        ::keybd_event(key.virtualKey, key.scanCode, key.flags, 0);
}

UINT Win32PenNoteSystem::RawInputSize(HRAWINPUT input) {
    UINT size = 0;
    if (::GetRawInputData(input, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0)
        return static_cast<UINT>(-1);
    return size;
}

UINT Win32PenNoteSystem::ReadRawInput(HRAWINPUT input, void* buffer, UINT size) {
    return ::GetRawInputData(input, RID_INPUT, buffer, &size, sizeof(RAWINPUTHEADER));
}

nrv::UniqueFileHandle Win32PenNoteSystem::OpenRawInputDevice(HANDLE rawDevice) {
    wchar_t name[kDeviceNameChars] = {};
    UINT chars = kDeviceNameChars;
    const UINT result = ::GetRawInputDeviceInfoW(rawDevice, RIDI_DEVICENAME, name, &chars);
    if (static_cast<int>(result) <= 0) return {};
    return nrv::UniqueFileHandle(::CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
}

NTSTATUS Win32PenNoteSystem::ReadUsages(HANDLE device, const BYTE* report, ULONG length,
                                        std::vector<USAGE_AND_PAGE>& usages) {
    PreparsedData preparsed(device);
    if (preparsed.get() == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    usages.resize(kMaxUsages);
    ULONG count = kMaxUsages;
    // The parser takes a writable report; hand it a copy.
    std::vector<CHAR> copy(report, report + length);
    const NTSTATUS status = ::HidP_GetUsagesEx(HidP_Input, 0, usages.data(), &count,
                                               preparsed.get(), copy.data(), length);
    usages.resize(status == HIDP_STATUS_SUCCESS ? count : 0);
    return status;
}

}  // namespace pennote
