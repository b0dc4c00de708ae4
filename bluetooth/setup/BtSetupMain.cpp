// btsetup (x86): runs its three steps in order and always exits with 0.
#include "BtSetup.h"

namespace {

// Holds the radio switch device open, once found, until the program ends.
btsetup::CRfSwBase g_RfSwBase;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    btsetup::RunDriverSetup();
    btsetup::RegisterSupportLibrary();
    btsetup::CheckRadioSwitchDevice(g_RfSwBase);
    return 0;
}
