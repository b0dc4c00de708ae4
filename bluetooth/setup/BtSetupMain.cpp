// btsetup (x86): runs its three steps in order and always exits with 0.
#include "BtSetup.h"

namespace {

// Holds the radio switch device open, once found, until the program ends.
btsetup::CRfSwBase g_RfSwBase;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const bool wow64 = btsetup::IsWow64();
    btsetup::RunDriverSetup(wow64);
    btsetup::RegisterSupportLibrary(wow64);
    btsetup::CheckRadioSwitchDevice(g_RfSwBase);
    return 0;
}
