// sfxpack: makes a self-extracting package from a folder.
//
//   sfxpack --stub selfextract.exe --folder DIR --out PACKAGE.exe [options]
//   sfxpack --settings package.ini [options]
//
// Options (also keys of the [package] section of a settings file, without
// the dashes; the command line wins):
//   --banner TEXT  --about TEXT  --welcome TEXT  --information TEXT
//   --command FILE  --parameters TEXT  --extra FILE  --default-folder NAME
//   --options BITS (number: 1 auto, 2 silent, 4 keep folders, 8 overwrite,
//     16 allow folder delete, 32 restart notice, 64 run command; default 76)
//   --variant 1  --year N  --store (no compression)
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "PackageBuilder.h"

namespace {

void usage() {
    std::fwprintf(
        stderr,
        L"usage: sfxpack --stub selfextract.exe --folder DIR --out PACKAGE.exe\n"
        L"               [--settings FILE.ini] [--banner T] [--about T] [--welcome T]\n"
        L"               [--information T] [--command FILE] [--parameters T] [--extra FILE]\n"
        L"               [--default-folder NAME] [--options BITS] [--variant 1] [--year N] "
        L"[--store]\n");
}

const wchar_t* const kKeys[] = {L"stub",       L"folder",         L"out",         L"banner",
                                L"about",      L"welcome",        L"information", L"command",
                                L"parameters", L"extra",          L"options",     L"variant",
                                L"year",       L"default-folder", L"store"};

bool knownKey(const std::wstring& key) {
    for (const wchar_t* k : kKeys)
        if (key == k) return true;
    return false;
}

bool readNumber(const std::wstring& text, unsigned long limit, unsigned long& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    value = std::wcstoul(text.c_str(), &end, 0);
    return end != nullptr && *end == L'\0' && value <= limit;
}

std::wstring fullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full) : path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::map<std::wstring, std::wstring> values;
    std::wstring settings;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg.rfind(L"--", 0) != 0) {
            std::fwprintf(stderr, L"sfxpack: unexpected argument %ls\n", arg.c_str());
            usage();
            return 2;
        }
        arg = arg.substr(2);
        if (arg == L"store") {
            values[arg] = L"1";
            continue;
        }
        if (arg != L"settings" && !knownKey(arg)) {
            std::fwprintf(stderr, L"sfxpack: unknown option --%ls\n", arg.c_str());
            usage();
            return 2;
        }
        if (i + 1 >= argc) {
            std::fwprintf(stderr, L"sfxpack: --%ls needs a value\n", arg.c_str());
            return 2;
        }
        if (arg == L"settings")
            settings = argv[++i];
        else
            values[arg] = argv[++i];
    }
    if (!settings.empty()) {
        const std::wstring file = fullPath(settings);
        if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
            std::fwprintf(stderr, L"sfxpack: no such settings file: %ls\n", file.c_str());
            return 2;
        }
        for (const wchar_t* key : kKeys) {
            if (values.count(key)) continue;
            wchar_t text[1024];
            const DWORD n =
                ::GetPrivateProfileStringW(L"package", key, L"\x01", text, 1024, file.c_str());
            if (n < 1023 && !(text[0] == 1 && text[1] == 0)) values[key] = text;
        }
    }
    for (const wchar_t* required : {L"stub", L"folder", L"out"}) {
        if (values[required].empty()) {
            std::fwprintf(stderr, L"sfxpack: --%ls is required\n", required);
            usage();
            return 2;
        }
    }
    sfxpack::PackageRequest request;
    request.stub = fullPath(values[L"stub"]);
    request.folder = fullPath(values[L"folder"]);
    request.output = fullPath(values[L"out"]);
    request.store = values[L"store"] == L"1";
    sfx::DescriptionText& d = request.description;
    d.banner = values[L"banner"];
    d.about = values[L"about"];
    d.welcome = values[L"welcome"];
    d.information = values[L"information"];
    d.command = values[L"command"];
    d.parameters = values[L"parameters"];
    d.extraFile = values[L"extra"];
    if (values.count(L"default-folder")) {
        d.hasDefaultFolder = true;
        d.defaultFolder = values[L"default-folder"];
    }
    unsigned long number = 0;
    if (values.count(L"options")) {
        if (!readNumber(values[L"options"], 0x7F, number)) {
            std::fwprintf(stderr, L"sfxpack: --options takes a number from 0 to 127, not %ls\n",
                          values[L"options"].c_str());
            return 2;
        }
        d.options = static_cast<uint8_t>(number);
    }
    if (values.count(L"variant")) {
        if (!readNumber(values[L"variant"], 0xFFFF, number)) {
            std::fwprintf(stderr, L"sfxpack: --variant takes a number\n");
            return 2;
        }
        d.variantRule = static_cast<uint16_t>(number);
    }
    if (values.count(L"year")) {
        if (!readNumber(values[L"year"], 0xFFFF, number)) {
            std::fwprintf(stderr, L"sfxpack: --year takes a number\n");
            return 2;
        }
        d.year = static_cast<uint16_t>(number);
    }
    sfxpack::PackageReport report;
    std::wstring error;
    if (!sfxpack::buildPackage(request, report, error)) {
        std::fwprintf(stderr, L"sfxpack: %ls\n", error.c_str());
        return 1;
    }
    std::wprintf(
        L"sfxpack: %ls: %zu files, %zu folders, %llu bytes in an archive of %llu bytes behind a "
        L"program of %llu bytes\n",
        request.output.c_str(), report.files, report.folders, report.bytes, report.archiveBytes,
        report.imageBytes);
    return 0;
}
