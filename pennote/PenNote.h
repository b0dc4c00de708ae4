// The pen note launcher's decisions, apart from the system calls they use:
// when to arm, when a barrel-button press sends Windows+F20, and how a raw
// input report is checked before it reaches the HID parser.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>
#include <winternl.h>  // NTSTATUS, for the HID parser
extern "C" {           // the MinGW HID headers declare no C linkage of their own
#include <hidusage.h>
#include <hidpi.h>
#include <hidsdi.h>
}

#include <array>
#include <atomic>
#include <vector>

namespace pennote {

inline constexpr const wchar_t kLockScreen[] = L"LockApp.exe";
inline constexpr const wchar_t kNoteApp[] = L"onenoteim.exe";
inline constexpr const wchar_t kOwnNoteApp[] = L"quillnote.exe";

inline constexpr USAGE kDigitizerUsagePage = 0x0D;
inline constexpr USAGE kPenUsage = 0x02;
inline constexpr USAGE kDigitizerUsage = 0x01;
inline constexpr USAGE kBarrelSwitchUsage = 0x44;
inline constexpr DWORD kWatchIntervalMs = 200;
inline constexpr DWORD kPressSettleMs = 200;
inline constexpr ULONG kMaxUsages = 1000;

// Shared by the window thread and the watcher thread; each value is one
// 32-bit load or store.
struct PenNoteState {
    std::atomic<LONG> armed{1};
    std::atomic<LONG> lockScreenRunning{0};
    std::atomic<LONG> noteAppRunning{0};
    std::atomic<LONG> ownNoteAppRunning{0};
};

// What the launcher needs of Windows. The program uses the Win32 one; tests
// use fakes.
class PenNoteSystem {
public:
    virtual ~PenNoteSystem() = default;
    // Whether a process with this executable name runs (FindProcessByName).
    virtual bool FindProcessByName(const wchar_t* exeName) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    // Windows+F20 through four synthesized key events.
    virtual void SendNoteChord() = 0;
    // Size of the raw input, or (UINT)-1.
    virtual UINT RawInputSize(HRAWINPUT input) = 0;
    // Copies the raw input; bytes copied, or (UINT)-1.
    virtual UINT ReadRawInput(HRAWINPUT input, void* buffer, UINT size) = 0;
    // The raw-input device opened by its name; invalid on failure.
    virtual nrv::UniqueFileHandle OpenRawInputDevice(HANDLE rawDevice) = 0;
    // The usages pressed in one input report of the opened device.
    virtual NTSTATUS ReadUsages(HANDLE device, const BYTE* report, ULONG length,
                                std::vector<USAGE_AND_PAGE>& usages) = 0;
};

// Whether an executable name is the wanted one: the whole name, ignoring case.
bool ProcessNameMatches(const wchar_t* exeName, const wchar_t* wanted);

// The session a process runs in; false when it cannot be read.
using SessionOfProcess = bool (*)(DWORD processId, DWORD& session);

// Whether one process of the list counts as the wanted program: the name
// matches and it runs in the launcher's own session. A lock screen or note
// application of another user (fast user switching) is not on this desktop,
// so it neither arms the launcher nor keeps it armed; a process whose
// session cannot be read does not count.
bool ProcessCounts(const wchar_t* exeName, DWORD processId, const wchar_t* wanted, DWORD ownSession,
                   SessionOfProcess sessionOf);

// The previous check's findings, kept by the watcher between passes.
struct WatcherMemory {
    LONG lockScreen = 0;
    LONG noteApp = 0;
    LONG ownNoteApp = 0;
};

// One check of the process list: re-arms when the lock screen has just
// started or, while it runs, when a note application has just closed.
void WatcherPass(PenNoteState& state, WatcherMemory& memory, PenNoteSystem& system);

// Checks the process list every 200 ms until stop is set.
void RunWatcher(PenNoteState& state, PenNoteSystem& system, const std::atomic<bool>& stop);

// WM_INPUT is examined only while the lock screen runs and a chord may be sent.
bool ShouldExamineInput(const PenNoteState& state);

// The HID part of a raw input, checked against the size actually read.
struct HidInput {
    HANDLE device = nullptr;
    const BYTE* report = nullptr;  // the first report
    DWORD reportSize = 0;          // dwSizeHid
};

// S_OK when the input is a HID input whose reports lie within `size` bytes
// and whose first report has a non-zero second byte; E_FAIL otherwise.
HRESULT ParseHidInput(const BYTE* input, UINT size, HidInput& hid);

// Answers one WM_INPUT: a barrel-button press while the lock screen still
// runs 200 ms later sends the chord and disarms.
HRESULT OnPointer(HRAWINPUT input, PenNoteState& state, PenNoteSystem& system);

// The two raw-input registrations: pen and digitizer, delivered to the
// window even while it is hidden.
std::array<RAWINPUTDEVICE, 2> PenInputDevices(HWND target);

struct KeyEvent {
    BYTE virtualKey;
    BYTE scanCode;
    DWORD flags;
};

// Windows down, F20 down, F20 up, Windows up.
std::array<KeyEvent, 4> NoteChord();

}  // namespace pennote
