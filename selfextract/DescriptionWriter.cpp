// Writing a package description record (for the package builder and the
// tests); kept apart from the reader so the program links no allocator.
#include "Extractor.h"

namespace sfx {

std::vector<uint8_t> encodeDescription(const DescriptionText& t, std::wstring* tooLong) {
    struct Item {
        uint16_t bit;
        const std::wstring* text;
        size_t capacity;
        const wchar_t* name;
        bool present;
    };
    const Item items[] = {
        {0x0080, &t.defaultFolder, kPathChars, L"default folder", t.hasDefaultFolder},
        {0x0100, &t.banner, kPathChars, L"banner", !t.banner.empty()},
        {0x0200, &t.about, 255, L"about text", !t.about.empty()},
        {0x0400, &t.welcome, 255, L"welcome text", !t.welcome.empty()},
        {0x0800, &t.information, 255, L"information text", !t.information.empty()},
        {0x1000, &t.command, kPathChars, L"setup command", !t.command.empty()},
        {0x2000, &t.parameters, kParameterChars, L"setup parameters", !t.parameters.empty()},
        {0, &t.extraFile, kPathChars, L"extra file", !t.extraFile.empty()},
    };
    std::vector<uint8_t> out(18, 0);
    auto put16 = [&](size_t at, uint16_t v) {
        out[at] = static_cast<uint8_t>(v);
        out[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    uint16_t bits = t.options & 0x7F;
    bool extra = false;
    for (const Item& item : items) {
        if (!item.present) continue;
        // The text, its terminator included, must fit its slot.
        if (item.text->size() + 1 > item.capacity) {
            if (tooLong) *tooLong = item.name;
            return {};
        }
        const int n =
            ::WideCharToMultiByte(CP_UTF8, 0, item.text->c_str(), -1, nullptr, 0, nullptr, nullptr);
        if (n <= 0 || n > 0xFFFF) {
            if (tooLong) *tooLong = item.name;
            return {};
        }
        const size_t at = out.size();
        out.resize(at + 2 + static_cast<size_t>(n));
        put16(at, static_cast<uint16_t>(n));
        ::WideCharToMultiByte(CP_UTF8, 0, item.text->c_str(), -1,
                              reinterpret_cast<char*>(&out[at + 2]), n, nullptr, nullptr);
        if (item.bit != 0)
            bits |= item.bit;
        else
            extra = true;
    }
    // Two zero bytes end the record.
    out.push_back(0);
    out.push_back(0);
    put16(0, 20);
    put16(2, t.year);
    const uint32_t total = static_cast<uint32_t>(out.size());
    out[4] = static_cast<uint8_t>(total);
    out[5] = static_cast<uint8_t>(total >> 8);
    out[6] = static_cast<uint8_t>(total >> 16);
    out[7] = static_cast<uint8_t>(total >> 24);
    put16(8, bits);
    out[10] = extra ? 1 : 0;
    put16(16, t.variantRule);
    return out;
}

}  // namespace sfx
