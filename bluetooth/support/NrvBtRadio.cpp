// NrvBtRadio: the radio support library that the Windows Bluetooth stack
// loads by the path in "SupportDLL" and calls through its two exports. It
// holds nothing between calls: each call opens the radio switch device,
// sends its requests and closes it again.
#include "RadioSupport.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

// Switches the Bluetooth radio on (enable non-zero) or off.
__declspec(dllexport) DWORD WINAPI BluetoothEnableRadio(BOOL enable) {
    ::OutputDebugStringA("BluetoothEnableRadio() Called\n");
    btradio::Win32RadioPort port;
    return btradio::EnableRadio(port, enable);
}

// Reports whether the Bluetooth radio is on.
__declspec(dllexport) DWORD WINAPI IsBluetoothRadioEnabled(BOOL* enabled) {
    btradio::Win32RadioPort port;
    return btradio::QueryRadioEnabled(port, enabled);
}

}  // extern "C"
