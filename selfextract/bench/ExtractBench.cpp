// selfextract_bench: the extraction benchmark's helper.
//   --make FOLDER PACKAGE   writes the 200 MB sample (half compressible text,
//                           half incompressible bytes, 40 files of 5 MB) into
//                           FOLDER and packs it into PACKAGE (runCommand off)
//   --plain PACKAGE FOLDER  the baseline: walks the central directory itself
//                           and writes every entry with a plain loop of raw
//                           inflate and WriteFile (no CRC check)
//   --noop                  nothing: the cost of starting a program
//   --window [MS]           a hidden dialog created, its message loop run
//                           until it closes itself (after MS milliseconds,
//                           default 0): the cost under Wine of a program with
//                           a window (desktop, X11 driver); with a long MS it
//                           holds Wine's desktop open for the other runs
#include "Extractor.h"
#include "PackageBuilder.h"

#include <commctrl.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

bool writeAll(const std::wstring& path, const std::string& bytes) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
                    n == bytes.size();
    ::CloseHandle(h);
    return ok;
}

int make(const std::wstring& folder, const std::wstring& package, const std::wstring& stub) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ::CreateDirectoryW((folder + L"\\text").c_str(), nullptr);
    ::CreateDirectoryW((folder + L"\\data").c_str(), nullptr);
    uint32_t x = 12345;
    const char* words[] = {"driver ", "service ", "posture ", "radio ", "NORVALE ",
                           "dock ",   "\r\n",     "0x94 ",    "LED "};
    for (int i = 0; i < 20; ++i) {
        std::string text, data(5u << 20, '\0');
        while (text.size() < (5u << 20)) {
            x = x * 1103515245u + 12345u;
            text += words[(x >> 16) % 9];
        }
        text.resize(5u << 20);
        for (char& c : data) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 23);
        }
        if (!writeAll(folder + L"\\text\\t" + std::to_wstring(i) + L".txt", text) ||
            !writeAll(folder + L"\\data\\d" + std::to_wstring(i) + L".bin", data))
            return 1;
    }
    sfxpack::PackageRequest request;
    request.stub = stub;
    request.folder = folder;
    request.output = package;
    request.description.options = sfx::optKeepFolders | sfx::optOverwrite;
    sfxpack::PackageReport report;
    std::wstring error;
    if (!sfxpack::buildPackage(request, report, error)) {
        std::fwprintf(stderr, L"selfextract_bench: %ls\n", error.c_str());
        return 1;
    }
    std::printf("selfextract_bench: %llu bytes in an archive of %llu bytes\n", report.bytes,
                report.archiveBytes);
    return 0;
}

uint32_t u32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool readAt(HANDLE h, uint64_t at, void* buffer, DWORD n) {
    LARGE_INTEGER d;
    d.QuadPart = static_cast<LONGLONG>(at);
    DWORD got = 0;
    return ::SetFilePointerEx(h, d, nullptr, FILE_BEGIN) &&
           ::ReadFile(h, buffer, n, &got, nullptr) && got == n;
}

int plain(const std::wstring& package, const std::wstring& folder) {
    HANDLE in = ::CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return 1;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(in, &size);
    std::vector<uint8_t> tail(static_cast<size_t>(std::min<LONGLONG>(size.QuadPart, 65557)));
    readAt(in, static_cast<uint64_t>(size.QuadPart) - tail.size(), tail.data(),
           static_cast<DWORD>(tail.size()));
    size_t end = tail.size() - 22;
    while (end > 0 && u32(&tail[end]) != 0x06054b50) --end;
    const uint32_t count = u16(&tail[end + 10]);
    const uint32_t cdSize = u32(&tail[end + 12]);
    const uint32_t cdOffset = u32(&tail[end + 16]);
    const uint64_t cdPos = static_cast<uint64_t>(size.QuadPart) - tail.size() + end - cdSize;
    const uint64_t prefix = cdPos - cdOffset;
    std::vector<uint8_t> cd(cdSize);
    readAt(in, cdPos, cd.data(), cdSize);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    std::vector<uint8_t> input(65536), output(16384);
    size_t p = 0;
    for (uint32_t e = 0; e < count; ++e) {
        const uint16_t method = u16(&cd[p + 10]);
        const uint32_t packed = u32(&cd[p + 20]);
        const uint16_t nameLength = u16(&cd[p + 28]);
        const uint32_t local = u32(&cd[p + 42]);
        std::string name(reinterpret_cast<const char*>(&cd[p + 46]), nameLength);
        p += 46 + nameLength + u16(&cd[p + 30]) + u16(&cd[p + 32]);
        for (char& c : name)
            if (c == '/') c = '\\';
        std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end());
        if (!name.empty() && name.back() == '\\') {
            ::CreateDirectoryW(path.c_str(), nullptr);
            continue;
        }
        uint8_t header[30];
        readAt(in, prefix + local, header, 30);
        uint64_t at = prefix + local + 30 + u16(header + 26) + u16(header + 28);
        HANDLE out =
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out == INVALID_HANDLE_VALUE) return 1;
        z_stream z{};
        inflateInit2(&z, -MAX_WBITS);
        uint32_t left = packed;
        bool done = false;
        while (!done) {
            if (z.avail_in == 0 && left > 0) {
                const DWORD n = left < input.size() ? left : static_cast<DWORD>(input.size());
                readAt(in, at, input.data(), n);
                at += n;
                left -= n;
                z.next_in = input.data();
                z.avail_in = n;
            }
            DWORD produced;
            if (method == 0) {
                produced = z.avail_in;
                DWORD written = 0;
                ::WriteFile(out, z.next_in, produced, &written, nullptr);
                z.avail_in = 0;
                done = left == 0;
                continue;
            }
            z.next_out = output.data();
            z.avail_out = static_cast<uInt>(output.size());
            const int r = inflate(&z, Z_NO_FLUSH);
            produced = static_cast<DWORD>(output.size() - z.avail_out);
            DWORD written = 0;
            if (produced > 0) ::WriteFile(out, output.data(), produced, &written, nullptr);
            done = r == Z_STREAM_END || (r != Z_OK && r != Z_BUF_ERROR) ||
                   (r == Z_BUF_ERROR && left == 0);
        }
        inflateEnd(&z);
        ::CloseHandle(out);
    }
    ::CloseHandle(in);
    return 0;
}

// The extractor's own reader and copy loop, in this process, without a
// window to notify.
int direct(const std::wstring& package, const std::wstring& folder) {
    auto s = std::make_unique<sfx::ExtractorState>();
    sfx::initState(*s, nullptr, 1033);
    wcsncpy(s->exePath, package.c_str(), sfx::kPathChars - 1);
    wcsncpy(s->folder, folder.c_str(), sfx::kPathChars - 1);
    s->options = sfx::optKeepFolders | sfx::optOverwrite;
    sfx::ResultCode code = sfx::scanArchive(*s);
    if (code == sfx::rc::Ok) code = sfx::extractAll(*s, nullptr);
    sfx::closeArchive();
    return code == sfx::rc::Ok ? 0 : 1;
}

UINT g_holdMs = 0;

INT_PTR CALLBACK hiddenProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        if (g_holdMs == 0 || ::SetTimer(dialog, 1, g_holdMs, nullptr) == 0)
            ::PostMessageW(dialog, WM_CLOSE, 0, 0);
        return TRUE;
    }
    if (message == WM_CLOSE || message == WM_TIMER) {
        ::DestroyWindow(dialog);
        ::PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

// The silent package's window without the package: the common controls
// loaded and a hidden dialog with the extractor's font from an in-memory
// template, as the extractor makes its own.
int window() {
    HMODULE comctl = ::LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = comctl ? reinterpret_cast<InitFn>(reinterpret_cast<void*>(
                             ::GetProcAddress(comctl, "InitCommonControlsEx")))
                       : nullptr;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    if (init) init(&controls);
    alignas(4) WORD t[64] = {};
    auto* header = reinterpret_cast<DLGTEMPLATE*>(t);
    header->style = DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    header->cx = 100;
    header->cy = 50;
    // Menu, class and title empty, then the font.
    WORD* font = t + sizeof(DLGTEMPLATE) / sizeof(WORD) + 3;
    *font++ = 8;
    std::wcscpy(reinterpret_cast<wchar_t*>(font), L"MS Shell Dlg");
    HWND dialog = ::CreateDialogIndirectParamW(nullptr, header, nullptr, hiddenProc, 0);
    if (dialog == nullptr) return 1;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[1], L"--noop") == 0) return 0;
    if (argc >= 2 && std::wcscmp(argv[1], L"--window") == 0) {
        if (argc >= 3) g_holdMs = static_cast<UINT>(std::wcstoul(argv[2], nullptr, 10));
        return window();
    }
    if (argc >= 5 && std::wcscmp(argv[1], L"--make") == 0) return make(argv[2], argv[3], argv[4]);
    if (argc >= 4 && std::wcscmp(argv[1], L"--plain") == 0) return plain(argv[2], argv[3]);
    if (argc >= 4 && std::wcscmp(argv[1], L"--direct") == 0) return direct(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: selfextract_bench --make FOLDER PACKAGE STUB | --plain PACKAGE FOLDER | "
                 "--noop | --window\n");
    return 2;
}
