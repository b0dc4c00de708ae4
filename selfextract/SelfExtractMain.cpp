// selfextract.exe: restricts where libraries may come from before anything
// else runs, then runs the extractor.
#include "Extractor.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    sfx::restrictDllSearch();
    return sfx::runExtractor(instance);
}
