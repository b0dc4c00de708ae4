#include "PenNote.h"

#include "DbgLog.h"

#include <cstddef>
#include <cstring>

namespace pennote {

bool ProcessNameMatches(const wchar_t* exeName, const wchar_t* wanted) {
    return ::CompareStringOrdinal(exeName, -1, wanted, -1, TRUE) == CSTR_EQUAL;
}

bool ProcessCounts(const wchar_t* exeName, DWORD processId, const wchar_t* wanted, DWORD ownSession,
                   SessionOfProcess sessionOf) {
    if (!ProcessNameMatches(exeName, wanted)) return false;
    DWORD session = 0;
    return sessionOf(processId, session) && session == ownSession;
}

void WatcherPass(PenNoteState& state, WatcherMemory& memory, PenNoteSystem& system) {
    const LONG lock = system.FindProcessByName(kLockScreen) ? 1 : 0;
    state.lockScreenRunning.store(lock);
    if (lock == 1 && memory.lockScreen == 0)
        state.armed.store(1);  // the lock screen has just started

    if (lock == 1) {
        const LONG note = system.FindProcessByName(kNoteApp) ? 1 : 0;
        state.noteAppRunning.store(note);
        if (note == 0 && memory.noteApp == 1) state.armed.store(1);  // a note app has just closed
        memory.noteApp = note;

        const LONG ownNote = system.FindProcessByName(kOwnNoteApp) ? 1 : 0;
        state.ownNoteAppRunning.store(ownNote);
        if (ownNote == 0 && memory.ownNoteApp == 1) state.armed.store(1);
        memory.ownNoteApp = ownNote;
    }
    memory.lockScreen = lock;
}

void RunWatcher(PenNoteState& state, PenNoteSystem& system, const std::atomic<bool>& stop) {
    WatcherMemory memory;
    while (!stop.load()) {
        WatcherPass(state, memory, system);
        system.Sleep(kWatchIntervalMs);
    }
}

bool ShouldExamineInput(const PenNoteState& state) {
    return state.lockScreenRunning.load() != 0 && state.armed.load() == 1;
}

HRESULT ParseHidInput(const BYTE* input, UINT size, HidInput& hid) {
    constexpr std::size_t kReportsOffset = offsetof(RAWINPUT, data.hid.bRawData);
    if (input == nullptr || size < kReportsOffset) return E_FAIL;
    RAWINPUTHEADER header;
    RAWHID counts;
    std::memcpy(&header, input, sizeof header);
    std::memcpy(&counts, input + offsetof(RAWINPUT, data.hid), offsetof(RAWHID, bRawData));
    if (header.dwType != RIM_TYPEHID) return E_FAIL;
    // Every report must lie within the bytes actually read, and the first
    // one must hold a second byte.
    const unsigned long long reports =
        static_cast<unsigned long long>(counts.dwSizeHid) * counts.dwCount;
    if (counts.dwSizeHid < 2 || counts.dwCount == 0 || reports > size - kReportsOffset)
        return E_FAIL;
    const BYTE* report = input + kReportsOffset;
    if (report[1] == 0) return E_FAIL;
    hid.device = header.hDevice;
    hid.report = report;
    hid.reportSize = counts.dwSizeHid;
    return S_OK;
}

HRESULT OnPointer(HRAWINPUT input, PenNoteState& state, PenNoteSystem& system) {
    DBGLOG_TRACE_FUNCTION(OnPointer);
    const UINT size = system.RawInputSize(input);
    if (size == static_cast<UINT>(-1) || size == 0) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    std::vector<BYTE> buffer(size);
    const UINT read = system.ReadRawInput(input, buffer.data(), size);
    if (read == static_cast<UINT>(-1) || read > size) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    HidInput hid;
    if (FAILED(ParseHidInput(buffer.data(), read, hid))) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    nrv::UniqueFileHandle device = system.OpenRawInputDevice(hid.device);
    if (!device) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    std::vector<USAGE_AND_PAGE> usages;
    const NTSTATUS status = system.ReadUsages(device.get(), hid.report, hid.reportSize, usages);
    if (status != HIDP_STATUS_SUCCESS) {
        LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    for (const USAGE_AND_PAGE& usage : usages) {
        LOG_TRACE(L"OnPointer::DIGITIZER_USAGE_PAGE");
        if (usage.UsagePage != kDigitizerUsagePage || usage.Usage != kBarrelSwitchUsage) continue;
        // A press that unlocks the machine ends the lock screen within
        // moments; only a lock screen still up afterwards gets the chord.
        system.Sleep(kPressSettleMs);
        if (system.FindProcessByName(kLockScreen)) {
            LOG_TRACE(L"OnPointer::Win+F20");
            system.SendNoteChord();
            state.armed.store(0);
        }
    }
    return S_OK;
}

std::array<RAWINPUTDEVICE, 2> PenInputDevices(HWND target) {
    return {{{kDigitizerUsagePage, kPenUsage, RIDEV_INPUTSINK, target},
             {kDigitizerUsagePage, kDigitizerUsage, RIDEV_INPUTSINK, target}}};
}

std::array<KeyEvent, 4> NoteChord() {
    return {{{VK_LWIN, VK_LWIN, 0},
             {VK_F20, VK_F20, 0},
             {VK_F20, VK_F20, KEYEVENTF_KEYUP},
             {VK_LWIN, VK_LWIN, KEYEVENTF_KEYUP}}};
}

}  // namespace pennote
