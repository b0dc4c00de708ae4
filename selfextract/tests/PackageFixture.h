// Packages for the tests: real ones made by the package builder, and
// crafted archives (any name, method, flag or damage) behind the same
// program, written by a small ZIP writer of the tests' own.
#pragma once

#include "Extractor.h"
#include "PackageBuilder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace sfxtest {

inline std::wstring stubPath() {
    return testsupport::ExeDirectory() + L"\\selfextract.exe";
}

// A package made by the builder from folder; fails the test on an error.
inline void buildPackage(const std::wstring& folder, const std::wstring& out,
                         const sfx::DescriptionText& text, bool store = false,
                         sfxpack::PackageReport* made = nullptr) {
    sfxpack::PackageRequest request;
    request.stub = stubPath();
    request.folder = folder;
    request.output = out;
    request.description = text;
    request.store = store;
    sfxpack::PackageReport report;
    std::wstring error;
    ASSERT_TRUE(sfxpack::buildPackage(request, report, error)) << testsupport::Narrow(error);
    if (made != nullptr) *made = report;
}

struct ZipEntry {
    std::string name;  // stored bytes (OEM code page)
    std::string data;
    uint16_t method = 8;  // 0 stored, 8 deflated, anything else as given
    uint16_t flag = 0;
    uint32_t external = 0;  // 0x10: a folder
    bool badCrc = false;
    bool corruptStream = false;  // damages the deflate stream's first byte
};

inline void put16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

inline std::string rawDeflate(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A ZIP archive (offsets relative to its own start) of entries.
inline std::string zipOf(const std::vector<ZipEntry>& entries, const std::string& comment = "") {
    std::string body, central;
    for (const ZipEntry& e : entries) {
        const uint32_t crc =
            static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                        static_cast<uInt>(e.data.size()))) ^
            (e.badCrc ? 1u : 0u);
        std::string packed = e.method == 8 ? rawDeflate(e.data) : e.data;
        if (e.corruptStream && !packed.empty()) packed[0] = static_cast<char>(0xFF);
        const uint32_t offset = static_cast<uint32_t>(body.size());
        const uint32_t dosTime = (0x5A21u << 16) | 0x6000;  // 2025-01-01 12:00
        std::string header;
        put32(header, 0x04034b50);
        put16(header, 20);
        put16(header, e.flag);
        put16(header, e.method);
        put32(header, dosTime);
        put32(header, crc);
        put32(header, static_cast<uint32_t>(packed.size()));
        put32(header, static_cast<uint32_t>(e.data.size()));
        put16(header, static_cast<uint32_t>(e.name.size()));
        put16(header, 0);
        body.append(header);
        body.append(e.name);
        body.append(packed);
        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, e.flag);
        put16(central, e.method);
        put32(central, dosTime);
        put32(central, crc);
        put32(central, static_cast<uint32_t>(packed.size()));
        put32(central, static_cast<uint32_t>(e.data.size()));
        put16(central, static_cast<uint32_t>(e.name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, e.external);
        put32(central, offset);
        central += e.name;
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, static_cast<uint32_t>(entries.size()));
    put16(end, static_cast<uint32_t>(entries.size()));
    put32(end, static_cast<uint32_t>(central.size()));
    put32(end, static_cast<uint32_t>(body.size()));
    put16(end, static_cast<uint32_t>(comment.size()));
    body.append(central);
    body.append(end);
    body.append(comment);
    return body;
}

// A fresh state for in-process extraction of package into folder.
inline std::unique_ptr<sfx::ExtractorState> stateFor(const std::wstring& package,
                                                     const std::wstring& folder, uint8_t options) {
    auto s = std::make_unique<sfx::ExtractorState>();
    sfx::initState(*s, nullptr, 1033);
    wcsncpy(s->exePath, package.c_str(), sfx::kPathChars - 1);
    wcsncpy(s->folder, folder.c_str(), sfx::kPathChars - 1);
    s->options = options;
    return s;
}

// Every file under folder, relative, sorted ("a\b.txt").
inline std::vector<std::wstring> filesUnder(const std::wstring& folder,
                                            const std::wstring& relative = L"") {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((folder + L"\\" + relative + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(relative + name + L"\\");
            for (const std::wstring& child : filesUnder(folder, relative + name + L"\\"))
                out.push_back(child);
        } else {
            out.push_back(relative + name);
        }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace sfxtest
