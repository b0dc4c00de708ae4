// Reading and checking "pkgsetupwb.exe.ini".
#include "SetupSettings.h"

#include <windows.h>

#include <cwctype>

namespace pkgsetup {

namespace {

constexpr DWORD kBufferChars = 32768;

std::wstring ReadString(const std::wstring& path, const wchar_t* section, const wchar_t* key) {
    std::wstring buffer(kBufferChars, L'\0');
    const DWORD length =
        ::GetPrivateProfileStringW(section, key, L"", buffer.data(), kBufferChars, path.c_str());
    buffer.resize(length);
    return buffer;
}

// The key names of a section, in file order.
std::vector<std::wstring> ReadKeys(const std::wstring& path, const wchar_t* section) {
    std::wstring buffer(kBufferChars, L'\0');
    const DWORD length = ::GetPrivateProfileStringW(section, nullptr, L"", buffer.data(),
                                                    kBufferChars, path.c_str());
    std::vector<std::wstring> keys;
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (buffer[i] == L'\0') {
            if (i > start) keys.push_back(buffer.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < length) keys.push_back(buffer.substr(start, length - start));
    return keys;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// "0" or "1" (absent counts as 0).
bool ReadSwitch(const std::wstring& path, const wchar_t* key, bool* value, std::wstring* error) {
    const std::wstring text = ReadString(path, L"Setup", key);
    if (text.empty() || text == L"0") {
        *value = false;
    } else if (text == L"1") {
        *value = true;
    } else {
        *error = std::wstring(L"[Setup] ") + key + L"=" + text + L" is neither 0 nor 1";
        return false;
    }
    return true;
}

bool ReadItems(const std::wstring& path, const wchar_t* section, std::vector<SetupItem>* items,
               std::wstring* error) {
    for (const std::wstring& name : ReadKeys(path, section)) {
        const std::wstring kind = Lower(ReadString(path, section, name.c_str()));
        SetupItem item;
        item.name = name;
        if (kind == L"required") {
            item.required = true;
        } else if (kind == L"optional") {
            item.required = false;
        } else {
            *error =
                std::wstring(L"[") + section + L"] " + name + L" is neither required nor optional";
            return false;
        }
        if (!IsSafeRelativePath(name)) {
            *error = std::wstring(L"[") + section + L"] " + name + L" is not a relative path";
            return false;
        }
        items->push_back(std::move(item));
    }
    return true;
}

bool Lists(const std::vector<SetupItem>& files, const wchar_t* name) {
    for (const SetupItem& item : files) {
        if (item.required && ::lstrcmpiW(item.name.c_str(), name) == 0) return true;
    }
    return false;
}

}  // namespace

bool IsSafeRelativePath(const std::wstring& name) {
    if (name.empty() || name.size() >= MAX_PATH) return false;
    if (name[0] == L'\\' || name[0] == L'/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = name.size();
        const std::wstring part = name.substr(start, end - start);
        if (part.empty() || part == L"." || part == L"..") return false;
        if (part.back() == L' ' || part.back() == L'.') return false;
        for (wchar_t c : part) {
            if (c < 32 || std::wstring(L":*?\"<>|").find(c) != std::wstring::npos) return false;
        }
        start = end + 1;
    }
    return true;
}

SettingsResult ReadSetupSettings(const std::wstring& path) {
    SettingsResult result;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        result.error = L"no settings file " + path;
        return result;
    }
    SetupSettings& settings = result.settings;
    settings.targetFolder = ReadString(path, L"Setup", L"TargetFolder");
    if (settings.targetFolder.empty()) {
        result.error = L"[Setup] TargetFolder is missing";
        return result;
    }
    if (!IsSafeRelativePath(settings.targetFolder)) {
        result.error = L"[Setup] TargetFolder is not a folder below Program Files (x86)";
        return result;
    }
    if (!ReadSwitch(path, L"PostureService", &settings.postureService, &result.error) ||
        !ReadSwitch(path, L"RadioService", &settings.radioService, &result.error) ||
        !ReadSwitch(path, L"Driver", &settings.driver, &result.error) ||
        !ReadSwitch(path, L"PenLauncher", &settings.penLauncher, &result.error) ||
        !ReadItems(path, L"Files", &settings.files, &result.error) ||
        !ReadItems(path, L"Folders", &settings.folders, &result.error)) {
        return result;
    }
    if (settings.files.empty()) {
        result.error = L"[Files] lists no file";
        return result;
    }
    // Each program the setup runs must be one it installs.
    const struct {
        bool used;
        const wchar_t* program;
    } programs[] = {{settings.postureService, L"POSTURESVC.exe"},
                    {settings.radioService, L"RadioSvc.exe"},
                    {settings.driver, L"btsetup.exe"},
                    {settings.penLauncher, L"NrvPenNote.exe"}};
    for (const auto& program : programs) {
        if (program.used && !Lists(settings.files, program.program)) {
            result.error = std::wstring(L"[Files] does not list ") + program.program +
                           L" as required, but [Setup] sets it up";
            return result;
        }
    }
    result.ok = true;
    return result;
}

}  // namespace pkgsetup
