// The pen note launcher's system layer: process snapshots, raw input, the
// HID parser of hid.dll and synthesized key presses.
#pragma once

#include "PenNote.h"

namespace pennote {

// 1 when a running process has exeName as its executable name (whole name,
// any case), 0 otherwise; a failed snapshot counts as not found.
int FindProcessByName(const wchar_t* exeName);

// Registers the pen and digitizer raw input for the window. Always 1: a
// failed registration leaves the program running without input.
int RegisterNofify(HWND window);

class Win32PenNoteSystem final : public PenNoteSystem {
public:
    bool FindProcessByName(const wchar_t* exeName) override;
    void Sleep(DWORD milliseconds) override;
    void SendNoteChord() override;
    UINT RawInputSize(HRAWINPUT input) override;
    UINT ReadRawInput(HRAWINPUT input, void* buffer, UINT size) override;
    nrv::UniqueFileHandle OpenRawInputDevice(HANDLE rawDevice) override;
    NTSTATUS ReadUsages(HANDLE device, const BYTE* report, ULONG length,
                        std::vector<USAGE_AND_PAGE>& usages) override;
};

}  // namespace pennote
