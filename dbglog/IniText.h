// Text forms of the INI configuration storage, free of file access so they
// can be tested on any input: value escapes, the typed value forms, the
// section tree naming, file name resolution and the growing-buffer read that
// the profile functions need.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace storage::ini {

// Read buffers start at this many characters and double while the text may
// have been cut; a buffer that would reach kReadLimitChars ends the read.
inline constexpr DWORD kInitialReadChars = 256;
inline constexpr DWORD kReadLimitChars = 0x40000000;

// Fills buffer (size characters) and returns the length the profile function
// reported. A result of at least size - 2 means the text may have been cut.
using ProfileReader = std::function<DWORD(wchar_t* buffer, DWORD size)>;

// Calls read with a growing buffer until the text fits. Returns ERROR_SUCCESS
// with the text (length as reported, embedded zeros kept),
// ERROR_INVALID_PARAMETER when the buffer would have to reach limitChars, or
// ERROR_NOT_ENOUGH_MEMORY when a buffer cannot be allocated. A start size
// above kInitialReadChars that cannot be allocated is a hint only: the read
// then starts at kInitialReadChars.
DWORD ReadGrowing(const ProfileReader& read, std::wstring& text, DWORD limitChars = kReadLimitChars,
                  DWORD initialChars = kInitialReadChars);

// Calls test with each name of a list of zero-terminated names (an empty
// name ends the list) until it returns true; whether one did.
template <typename Test>
bool AnyNameInList(std::wstring_view list, Test test) {
    for (std::size_t pos = 0; pos < list.size();) {
        std::size_t end = list.find(L'\0', pos);
        if (end == std::wstring_view::npos) end = list.size();
        if (end == pos) break;
        if (test(list.substr(pos, end - pos))) return true;
        pos = end + 1;
    }
    return false;
}

// Splits a list of zero-terminated names; an empty name ends the list.
std::vector<std::wstring> SplitNameList(std::wstring_view list);

// Backslash escapes of line feed, tab, vertical tab, backspace, carriage
// return, form feed, bell and backslash.
std::wstring EscapeText(std::wstring_view text);
std::wstring UnescapeText(std::wstring_view text);

// "dword:" + hexadecimal, "0x" + hexadecimal, or signed decimal; the
// prefixes are case-sensitive. The number is read like scanf reads one
// (leading white space, sign, at least one digit, the rest ignored) and is
// kept modulo 2^32. False when no number could be read.
bool ParseDword(std::wstring_view text, DWORD& value);
std::wstring FormatDword(DWORD value);

// "hex:" + two upper-case digits per byte, separated by commas.
std::wstring FormatBinary(const std::vector<BYTE>& bytes);
// Appends the bytes that follow "hex:" anywhere in text; false without it.
bool ParseBinary(std::wstring_view text, std::vector<BYTE>& bytes);

// Case-insensitive comparison as the profile functions compare names.
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

// Section tree: "Parent\Child"; an empty part leaves the other alone.
std::wstring ChildSectionName(const std::wstring& parent, const std::wstring& child);
// Whether section is name itself or one of its descendants.
bool SectionMatches(std::wstring_view section, std::wstring_view name);
// The name of section below parent when it is a direct child of parent.
std::optional<std::wstring> DirectChildName(std::wstring_view section, std::wstring_view parent);

// A drive path ("X:...") or a UNC path ("\\...") is used unchanged; any
// other name lies in the folder of modulePath. Empty when the name is
// relative and modulePath has no folder.
std::wstring ResolveFileName(const std::wstring& name, const std::wstring& modulePath);

}  // namespace storage::ini
