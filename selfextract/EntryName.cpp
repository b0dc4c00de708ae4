// Which archive entry names may be written into the extraction folder.
// An entry name is joined to the folder; a name that could reach outside it
// (a drive, "..", a UNC or device path, an alternate data stream) or that
// Windows would silently change (trailing dots or blanks) is refused.
#include <cstring>
#include <cwchar>

#include "Extractor.h"

namespace sfx {
namespace {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool equalsNoCase(const wchar_t* a, size_t n, const wchar_t* b) {
    return std::wcslen(b) == n && ::CompareStringOrdinal(a, static_cast<int>(n), b,
                                                         static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (superscript digits too), CONIN$,
// CONOUT$: with or without an extension, and with blanks before it.
bool isDeviceName(const wchar_t* component, size_t length) {
    size_t base = 0;
    while (base < length && component[base] != L'.') ++base;
    while (base > 0 && component[base - 1] == L' ') --base;
    static const wchar_t* const plain[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* name : plain)
        if (equalsNoCase(component, base, name)) return true;
    if (base == 4 && (equalsNoCase(component, 3, L"COM") || equalsNoCase(component, 3, L"LPT"))) {
        const wchar_t d = component[3];
        return (d >= L'0' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

}  // namespace

bool isSafeEntryName(const wchar_t* name) {
    const size_t length = std::wcslen(name);
    if (length == 0 || length > 259) return false;
    // One leading separator is tolerated (it is skipped when joining); two
    // start a UNC or device path.
    size_t i = 0;
    if (isSeparator(name[0])) {
        if (length > 1 && isSeparator(name[1])) return false;
        i = 1;
    }
    if (i == length) return false;
    while (i < length) {
        size_t end = i;
        while (end < length && !isSeparator(name[end])) ++end;
        const size_t n = end - i;
        const wchar_t* component = name + i;
        if (n == 0) return false;  // "a\\b": an empty component
        if ((n == 1 && component[0] == L'.') ||
            (n == 2 && component[0] == L'.' && component[1] == L'.'))
            return false;
        if (component[n - 1] == L'.' || component[n - 1] == L' ') return false;
        for (size_t k = 0; k < n; ++k) {
            const wchar_t c = component[k];
            if (c < 0x20 || std::wcschr(L":*?\"<>|", c) != nullptr) return false;
        }
        if (isDeviceName(component, n)) return false;
        // A trailing separator (a folder entry) ends the name.
        i = end + 1;
    }
    return true;
}

ResultCode entryOutputPath(const wchar_t* folder, const wchar_t* name, wchar_t* out) {
    out[0] = L'\0';
    while (isSeparator(*name)) ++name;
    const size_t folderLength = std::wcslen(folder);
    const bool needsSeparator = folderLength > 0 && folder[folderLength - 1] != L'\\';
    if (folderLength + (needsSeparator ? 1 : 0) + std::wcslen(name) >=
        static_cast<size_t>(kPathChars))
        return rc::PathTooLong;
    wchar_t joined[kPathChars];
    std::wcscpy(joined, folder);
    if (needsSeparator) std::wcscat(joined, L"\\");
    std::wcscat(joined, name);
    // The canonical path must stay inside the canonical folder.
    wchar_t fullFolder[kPathChars];
    wchar_t fullPath[kPathChars];
    const DWORD nf = ::GetFullPathNameW(folder, kPathChars, fullFolder, nullptr);
    const DWORD np = ::GetFullPathNameW(joined, kPathChars, fullPath, nullptr);
    if (nf == 0 || nf >= static_cast<DWORD>(kPathChars) || np == 0 ||
        np >= static_cast<DWORD>(kPathChars))
        return rc::PathTooLong;
    size_t base = nf;
    while (base > 0 && fullFolder[base - 1] == L'\\') --base;
    if (np <= base + 1 || fullPath[base] != L'\\' ||
        ::CompareStringOrdinal(fullPath, static_cast<int>(base), fullFolder, static_cast<int>(base),
                               TRUE) != CSTR_EQUAL)
        return rc::PathTooLong;
    std::wcscpy(out, joined);
    return rc::Ok;
}

}  // namespace sfx
