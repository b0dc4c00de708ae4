// The extraction folder (switches, description, temporary folder), path
// sanitizing, the free-space check and the setup parameter string.
#include "Extractor.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace sfx {
namespace {

bool isAbsolute(const wchar_t* p) {
    return (p[0] != L'\0' && p[1] == L':') || (p[0] == L'\\' && p[1] == L'\\');
}

// Unquote, remove blanks, expand environment variables and sanitize, in place.
void cleanPath(wchar_t* path) {
    ::PathUnquoteSpacesW(path);
    ::PathRemoveBlanksW(path);
    wchar_t expanded[kPathChars];
    const DWORD n = ::ExpandEnvironmentStringsW(path, expanded, kPathChars);
    if (n > 0 && n <= static_cast<DWORD>(kPathChars)) std::memcpy(path, expanded, sizeof(expanded));
    sanitizePath(path);
}

void copyText(wchar_t* slot, const wchar_t* text, size_t capacity) {
    size_t i = 0;
    for (; i + 1 < capacity && text[i] != L'\0'; ++i) slot[i] = text[i];
    slot[i] = L'\0';
}

}  // namespace

// path holds kPathChars characters.
void sanitizePath(wchar_t* p) {
    const size_t n = std::wcslen(p);
    size_t start = 0;
    if (n >= 2 && p[1] == L':') {
        // "C:/x" becomes "C:\x"; a drive-relative "C:x" gets its separator
        // without losing the "x".
        if (n >= 3 && p[2] == L'/') {
            p[2] = L'\\';
        } else if (n >= 3 && p[2] != L'\\' && n + 1 < static_cast<size_t>(kPathChars)) {
            std::memmove(p + 3, p + 2, (n - 1) * sizeof(wchar_t));
            p[2] = L'\\';
        }
        start = 2;
    } else if (n >= 2 && p[0] == L'\\' && p[1] == L'\\') {
        start = 2;
    }
    for (size_t i = start; p[i] != L'\0'; ++i) {
        if (std::wcschr(L"/:*?\"<>|", p[i]) != nullptr) p[i] = L'_';
    }
}

ResultCode prepareSetup(ExtractorState& s) {
    if (s.folderGiven) {
        wchar_t text[kPathChars];
        std::memcpy(text, s.folderText, sizeof(text));
        text[kPathChars - 1] = L'\0';
        cleanPath(text);
        if (s.folderCsidl == 0 || isAbsolute(text)) {
            std::memcpy(s.defaultFolder, text, sizeof(text));
        } else {
            wchar_t shell[MAX_PATH];
            if (SUCCEEDED(::SHGetFolderPathW(nullptr, s.folderCsidl, nullptr, SHGFP_TYPE_CURRENT,
                                             shell)) &&
                ::PathAppendW(shell, text)) {
                copyText(s.defaultFolder, shell, kPathChars);
            }
        }
    }
    ResultCode code = resolveExtractionFolder(s, s.defaultFolder);
    const ResultCode parameters = buildSetupParameters(s);
    return code != rc::Ok ? code : parameters;
}

ResultCode resolveExtractionFolder(ExtractorState& s, const wchar_t* name) {
    wchar_t folder[kPathChars] = {};
    int kind;
    if (name[0] != L'\0' && isAbsolute(name)) {
        kind = folderAbsolute;
        copyText(folder, name, kPathChars);
    } else if (name[0] != L'\0') {
        kind = folderRelative;
        if (s.exePath[0] == L'\0') return rc::ExePath;
        wchar_t base[kPathChars];
        std::memcpy(base, s.exePath, sizeof(base));
        ::PathRemoveFileSpecW(base);
        while (*name == L'\\' || *name == L'/') ++name;
        const size_t baseLength = std::wcslen(base);
        const size_t nameLength = std::wcslen(name);
        if (baseLength + 1 + nameLength >= static_cast<size_t>(kPathChars)) return rc::PathTooLong;
        ::wsprintfW(folder, L"%ls%ls%ls", base,
                    baseLength > 0 && base[baseLength - 1] != L'\\' ? L"\\" : L"", name);
    } else {
        kind = folderTemporary;
        wchar_t temp[kPathChars];
        DWORD n = ::GetTempPathW(244, temp);
        if (n == 0 || n >= 244) {
            std::wcscpy(temp, L"c:\\temp\\");
        } else {
            wchar_t longer[kPathChars];
            const DWORD m = ::GetLongPathNameW(temp, longer, 244);
            if (m > 0 && m < 244) std::memcpy(temp, longer, sizeof(longer));
        }
        bool joined = s.exePath[0] != L'\0' &&
                      ::PathCombineW(folder, temp, ::PathFindFileNameW(s.exePath)) &&
                      ::PathRenameExtensionW(folder, L".temp");
        if (!joined) {
            ::wsprintfW(folder, L"%ls%08lx", temp, static_cast<unsigned long>(::GetTickCount()));
        }
    }
    std::memcpy(s.folder, folder, sizeof(folder));
    const DWORD attributes = ::GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        ::PathIsDirectoryEmptyW(folder))
        kind |= folderWasEmpty;
    s.folderKind = kind;
    bool latin1 = true;
    for (const wchar_t* p = folder; *p != L'\0'; ++p) latin1 = latin1 && *p <= 0xFF;
    s.commandVariant = (s.variantRule == 1 || latin1) ? 1 : 0;
    return rc::Ok;
}

bool checkDiskSpace(const ExtractorState& s, const wchar_t* name) {
    wchar_t saved[kPathChars];
    const DWORD savedLength = ::GetCurrentDirectoryW(kPathChars, saved);
    wchar_t full[kPathChars];
    const DWORD n = ::GetFullPathNameW(name, kPathChars, full, nullptr);
    if (n == 0 || n >= static_cast<DWORD>(kPathChars)) return true;
    ::PathStripToRootW(full);
    ULARGE_INTEGER freeBytes{};
    if (!::GetDiskFreeSpaceExW(full, &freeBytes, nullptr, nullptr)) freeBytes.QuadPart = 0;
    if (savedLength > 0 && savedLength < static_cast<DWORD>(kPathChars))
        ::SetCurrentDirectoryW(saved);
    const uint64_t reserve = 0xA00000;
    return freeBytes.QuadPart >= reserve && freeBytes.QuadPart - reserve >= s.totalSize;
}

ResultCode normaliseLogPath(ExtractorState& s) {
    wchar_t* log = s.setupArgumentSlots[slotLog];
    cleanPath(log);
    if (log[0] == L'\0') {
        wchar_t path[kPathChars];
        std::memcpy(path, s.exePath, sizeof(path));
        if (!::PathRenameExtensionW(path, L".log") ||
            std::wcslen(path) + 4 >= static_cast<size_t>(kPathChars))
            return rc::LogPath;
        std::wcscat(path, L".htm");
        std::memcpy(log, path, sizeof(path));
        return rc::Ok;
    }
    if (isAbsolute(log)) return rc::Ok;
    wchar_t base[kPathChars];
    std::memcpy(base, s.exePath, sizeof(base));
    ::PathRemoveFileSpecW(base);
    wchar_t joined[MAX_PATH];
    if (base[0] == L'\0' || ::PathCombineW(joined, base, log) == nullptr) return rc::LogPath;
    copyText(log, joined, kPathChars);
    return rc::Ok;
}

ResultCode buildSetupParameters(ExtractorState& s) {
    wchar_t* out = s.parameters;
    ResultCode code = rc::Ok;
    auto room = [&]() { return kParameterChars - static_cast<int>(std::wcslen(out)); };
    auto add = [&](bool condition, const wchar_t* text, int needed, bool strictlyMore) {
        if (!condition) return;
        const int r = room();
        if (strictlyMore ? r > needed : r >= needed) {
            std::wcscat(out, text);
        } else if (code == rc::Ok) {
            code = rc::ParametersTooLong;
        }
    };
    add(s.testFlag != 0, s.testNotOnly ? L" -test" : L" -testonly", 10, true);
    add(s.gValue != 0, s.gValue == 1 ? L" -g1" : L" -g0", 5, false);
    add(s.hValue != 0, s.hValue == 1 ? L" -h1" : L" -h0", 5, false);
    wchar_t number[32];
    ::wsprintfW(number, L" -wait %d", s.waitSeconds);
    add(s.waitSeconds != 0, number, 17, false);
    add((s.options & optSilent) != 0, L" -s", 4, false);
    add((s.options & optAuto) != 0, L" -a", 4, false);
    add(s.scmMode != 0, L" -scm", 6, false);
    ::wsprintfW(number, L" -lng %u", s.languageValue);
    add(s.languageGiven != 0, number, 13, false);

    if (s.logGiven) {
        const ResultCode log = normaliseLogPath(s);
        if (log != rc::Ok) {
            s.setupArgumentSlots[slotLog][0] = L'\0';
            s.logGiven = 0;
            if (code == rc::Ok) code = log;
        }
    }
    static const wchar_t* const prefixes[slotCount] = {L" -log \"",   L" -model \"", L" -pn \"",
                                                       L" -id \"",    L" -is \"",    L" -wbt \"",
                                                       L" -setup \"", L" -setupr \""};
    for (int slot = 0; slot < slotCount; ++slot) {
        const wchar_t* text = s.setupArgumentSlots[slot];
        if (text[0] == L'\0') continue;
        const int needed = static_cast<int>(std::wcslen(text)) + (slot == slotSetupr ? 11 : 10);
        if (room() < needed) return code != rc::Ok ? code : rc::ParametersTooLong;
        std::wcscat(out, prefixes[slot]);
        std::wcscat(out, text);
        std::wcscat(out, L"\"");
    }
    if (code == rc::Ok) ::PathRemoveBlanksW(out);
    return code;
}

}  // namespace sfx
