// The package description record: reading it from the program's resources
// and writing one (for the package builder).
#include "Extractor.h"

#include <shlwapi.h>

#include <cstring>

namespace sfx {
namespace {

uint16_t read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Converts count bytes of UTF-8 into a slot of capacity characters
// (terminator included); false when they are not UTF-8 or do not fit.
bool convertText(const uint8_t* text, uint16_t count, wchar_t* slot, int capacity) {
    slot[0] = L'\0';
    if (count == 0) return true;
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                        reinterpret_cast<const char*>(text), count, slot, capacity);
    if (n <= 0) {
        slot[0] = L'\0';
        return false;
    }
    if (slot[n - 1] == L'\0') return true;
    if (n >= capacity) {
        slot[0] = L'\0';
        return false;
    }
    slot[n] = L'\0';
    return true;
}

struct SlotRef {
    uint16_t bit;
    wchar_t* text;
    int capacity;
};

}  // namespace

ResultCode parseDescription(ExtractorState& s, const uint8_t* data, size_t size) {
    if (data == nullptr || size < 14) return rc::DescriptionMissing;
    const uint16_t headerLength = read16(data);
    if (headerLength < 14) return rc::DescriptionMissing;
    s.year = read16(data + 2);
    (void)read32(data + 4);  // the total length; the resource's own size is what counts
    s.options = data[8] & 0x7F;
    const uint16_t textBits = static_cast<uint16_t>(read16(data + 8) & 0xFF80);
    const bool extraFile = (data[10] & 1) != 0;
    if (headerLength >= 20 && size >= 18) s.variantRule = read16(data + 16);

    const SlotRef slots[] = {
        {0x0080, s.defaultFolder, kPathChars},
        {0x0100, s.banner, kPathChars},
        {0x0200, s.about, 255},
        {0x0400, s.welcome, 255},
        {0x0800, s.information, 255},
        {0x1000, s.command, kPathChars},
        {0x2000, s.parameters, kParameterChars},
        {0x4000, s.reserved1, kPathChars},
        {0x8000, s.reserved2, kPathChars},
        {0, s.extraFile, kPathChars},
    };
    ResultCode result = rc::Ok;
    // The first text's count is the header's last word; every later text
    // carries its own count in front.
    size_t pos = static_cast<size_t>(headerLength) - 2;
    for (const SlotRef& slot : slots) {
        const bool present = slot.bit != 0 ? (textBits & slot.bit) != 0 : extraFile;
        if (!present) continue;
        if (pos + 2 > size) {
            result = rc::DescriptionMalformed;
            break;
        }
        const uint16_t count = read16(data + pos);
        pos += 2;
        if (pos + count > size || !convertText(data + pos, count, slot.text, slot.capacity)) {
            result = rc::DescriptionMalformed;
            break;
        }
        pos += count;
    }
    if (s.command[0] != L'\0') {
        std::memcpy(s.derivedCommand, s.command, sizeof(s.derivedCommand));
        if (!::PathRenameExtensionW(s.derivedCommand, L"wb.exe")) s.derivedCommand[0] = L'\0';
    }
    return result;
}

ResultCode readDescription(ExtractorState& s) {
    const DWORD n = ::GetModuleFileNameW(nullptr, s.exePath, kPathChars);
    if (n == 0 || n >= kPathChars) {
        s.exePath[0] = L'\0';
        return rc::ExePath;
    }
    HRSRC resource = ::FindResourceExW(nullptr, MAKEINTRESOURCEW(kDescriptionType),
                                       MAKEINTRESOURCEW(kDescriptionName), kDescriptionLanguage);
    if (resource == nullptr) return rc::DescriptionMissing;
    const DWORD size = ::SizeofResource(nullptr, resource);
    HGLOBAL loaded = ::LoadResource(nullptr, resource);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr) return rc::DescriptionMissing;
    return parseDescription(s, static_cast<const uint8_t*>(data), size);
}

}  // namespace sfx
