#include "IniText.h"

#include <algorithm>

#include <memory>
#include <new>

namespace storage::ini {

namespace {

struct EscapePair {
    wchar_t character;
    wchar_t letter;  // written after a backslash
};

constexpr EscapePair kEscapes[] = {
    {L'\n', L'n'}, {L'\t', L't'}, {L'\v', L'v'}, {L'\b', L'b'},
    {L'\r', L'r'}, {L'\f', L'f'}, {L'\a', L'a'}, {L'\\', L'\\'},
};

bool IsSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

int DigitValue(wchar_t c, unsigned base) {
    int digit = -1;
    if (c >= L'0' && c <= L'9') {
        digit = c - L'0';
    } else if (c >= L'a' && c <= L'f') {
        digit = c - L'a' + 10;
    } else if (c >= L'A' && c <= L'F') {
        digit = c - L'A' + 10;
    }
    return digit >= 0 && static_cast<unsigned>(digit) < base ? digit : -1;
}

// One integer as scanf's %d (base 10) or %X (base 16) reads it, kept modulo
// 2^32 however many digits follow.
bool ScanNumber(std::wstring_view text, unsigned base, DWORD& value) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        negative = text[i] == L'-';
        ++i;
    }
    if (base == 16 && i + 2 < text.size() && text[i] == L'0' &&
        (text[i + 1] == L'x' || text[i + 1] == L'X') && DigitValue(text[i + 2], 16) >= 0) {
        i += 2;
    }
    std::uint32_t number = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        const int digit = DigitValue(text[i], base);
        if (digit < 0) break;
        number = number * base + static_cast<std::uint32_t>(digit);
    }
    if (digits == 0) return false;
    value = negative ? 0u - number : number;
    return true;
}

}  // namespace

DWORD ReadGrowing(const ProfileReader& read, std::wstring& text, DWORD limitChars,
                  DWORD initialChars) {
    const std::uint64_t first = std::max(initialChars, kInitialReadChars);
    for (std::uint64_t size = first;; size *= 2) {
        if (size >= limitChars) return ERROR_INVALID_PARAMETER;
        const DWORD chars = static_cast<DWORD>(size);
        std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[chars]);
        if (!buffer && size == first && first > kInitialReadChars) {
            // A start size remembered from an earlier, larger text that
            // cannot be had now: start small, as a first read does.
            size = kInitialReadChars / 2;
            continue;
        }
        if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
        buffer[0] = L'\0';
        const DWORD length = read(buffer.get(), chars);
        if (length < chars - 2) {
            try {
                text.assign(buffer.get(), length);
            } catch (const std::bad_alloc&) {
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            return ERROR_SUCCESS;
        }
    }
}

std::vector<std::wstring> SplitNameList(std::wstring_view list) {
    std::vector<std::wstring> names;
    AnyNameInList(list, [&](std::wstring_view name) {
        names.emplace_back(name);
        return false;
    });
    return names;
}

std::wstring EscapeText(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const EscapePair* pair = nullptr;
        for (const EscapePair& candidate : kEscapes) {
            if (candidate.character == c) {
                pair = &candidate;
                break;
            }
        }
        if (pair) {
            out += L'\\';
            out += pair->letter;
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring UnescapeText(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == L'\\' && i + 1 < text.size()) {
            const EscapePair* pair = nullptr;
            for (const EscapePair& candidate : kEscapes) {
                if (candidate.letter == text[i + 1]) {
                    pair = &candidate;
                    break;
                }
            }
            if (pair) {
                out += pair->character;
                i += 2;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

bool ParseDword(std::wstring_view text, DWORD& value) {
    constexpr std::wstring_view kDwordPrefix = L"dword:";
    constexpr std::wstring_view kHexPrefix = L"0x";
    if (text.starts_with(kDwordPrefix))
        return ScanNumber(text.substr(kDwordPrefix.size()), 16, value);
    if (text.starts_with(kHexPrefix)) return ScanNumber(text.substr(kHexPrefix.size()), 16, value);
    return ScanNumber(text, 10, value);
}

std::wstring FormatDword(DWORD value) {
    return std::to_wstring(static_cast<std::int32_t>(value));
}

std::wstring FormatBinary(const std::vector<BYTE>& bytes) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring out = L"hex:";
    out.reserve(4 + bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += L',';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

bool ParseBinary(std::wstring_view text, std::vector<BYTE>& bytes) {
    std::size_t pos = text.find(L"hex:");
    if (pos == std::wstring_view::npos) return false;
    pos += 4;
    const auto convert = [&](std::size_t at) {
        DWORD value = 0;
        if (ScanNumber(text.substr(at, 2), 16, value)) bytes.push_back(static_cast<BYTE>(value));
    };
    while (text.size() - pos > 1) {
        if (text.size() - pos == 2) {
            convert(pos);
            break;
        }
        if (text[pos + 2] == L',') convert(pos);
        pos += 3;  // a pair not followed by a comma is skipped
    }
    return true;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ChildSectionName(const std::wstring& parent, const std::wstring& child) {
    if (parent.empty()) return child;
    if (child.empty()) return parent;
    return parent + L"\\" + child;
}

bool SectionMatches(std::wstring_view section, std::wstring_view name) {
    if (EqualsIgnoringCase(section, name)) return true;
    return section.size() > name.size() && section[name.size()] == L'\\' &&
           EqualsIgnoringCase(section.substr(0, name.size()), name);
}

std::optional<std::wstring> DirectChildName(std::wstring_view section, std::wstring_view parent) {
    if (section.size() <= parent.size() || section[parent.size()] != L'\\' ||
        !EqualsIgnoringCase(section.substr(0, parent.size()), parent)) {
        return std::nullopt;
    }
    const std::wstring_view rest = section.substr(parent.size() + 1);
    if (rest.find(L'\\') != std::wstring_view::npos) return std::nullopt;
    return std::wstring(rest);
}

std::wstring ResolveFileName(const std::wstring& name, const std::wstring& modulePath) {
    if ((name.size() > 1 && name[1] == L':') ||
        (name.size() > 2 && name[0] == L'\\' && name[1] == L'\\')) {
        return name;
    }
    const std::size_t slash = modulePath.find_last_of(L'\\');
    if (slash == std::wstring::npos) return {};
    return modulePath.substr(0, slash + 1) + name;
}

}  // namespace storage::ini
