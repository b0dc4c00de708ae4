// Loads "sxplanted.dll" by its bare name, as a library the program did not
// mean to take from its own folder: exit 1 when it was loaded, 0 when not.
// With "--restrict" it first restricts the search as selfextract.exe does.
#include <cwchar>

#include "Extractor.h"

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wcscmp(argv[1], L"--restrict") == 0 && !sfx::restrictDllSearch()) return 2;
    return ::LoadLibraryW(L"sxplanted.dll") != nullptr ? 1 : 0;
}
