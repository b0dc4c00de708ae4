// The command-line switches and the choice of the interface language.
#include "Extractor.h"

#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

namespace sfx {
namespace {

struct LanguageCode {
    const wchar_t* code;
    LANGID value;
};
constexpr LanguageCode kLanguageCodes[] = {
    {L"ARA", 1},  {L"CHS", 2052}, {L"CHT", 1028}, {L"CZE", 5},  {L"DAN", 6},    {L"GER", 7},
    {L"GRE", 8},  {L"ITA", 16},   {L"THA", 30},   {L"ENG", 9},  {L"SPA", 3082}, {L"MEX", 2058},
    {L"FIN", 11}, {L"FRE", 12},   {L"HBW", 13},   {L"HUN", 14}, {L"JPN", 17},   {L"TUR", 31},
    {L"KOR", 18}, {L"DUT", 19},   {L"NOR", 20},   {L"POL", 21}, {L"POR", 22},   {L"RUS", 25},
    {L"SLO", 27}, {L"SWE", 29},   {L"INA", 33},
};

struct LanguageStyle {
    WORD primary;
    BYTE charSet;
    BYTE rightToLeft;
};
constexpr LanguageStyle kLanguageStyles[] = {
    {1, 178, 1}, {13, 177, 1}, {5, 238, 0},  {14, 238, 0}, {21, 238, 0}, {27, 238, 0},
    {8, 161, 0}, {17, 128, 0}, {25, 204, 0}, {30, 222, 0}, {31, 162, 0}, {6, 0, 0},
    {7, 0, 0},   {10, 0, 0},   {11, 0, 0},   {12, 0, 0},   {16, 0, 0},   {19, 0, 0},
    {20, 0, 0},  {22, 0, 0},   {29, 0, 0},   {33, 0, 0},
};

void copyText(wchar_t* slot, const wchar_t* text, size_t capacity) {
    size_t i = 0;
    for (; i + 1 < capacity && text[i] != L'\0'; ++i) slot[i] = text[i];
    slot[i] = L'\0';
}

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// A value of three characters that are not all hexadecimal digits is a
// language code; anything else is a hexadecimal LANGID.
void applyLanguageValue(ExtractorState& s, const wchar_t* value) {
    const size_t n = std::wcslen(value);
    bool allHex = n > 0;
    for (size_t i = 0; i < n; ++i) allHex = allHex && hexDigit(value[i]) >= 0;
    if (n == 3 && !allHex) {
        LANGID chosen = 1033;
        for (const LanguageCode& code : kLanguageCodes) {
            if (::CompareStringOrdinal(value, 3, code.code, 3, TRUE) == CSTR_EQUAL) {
                chosen = code.value;
                break;
            }
        }
        selectLanguage(s, chosen);
        s.languageValue = s.langId;
    } else {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v = v * 16 + static_cast<uint32_t>(hexDigit(value[i]));
        selectLanguage(s, static_cast<LANGID>(v));
        s.languageValue = v;
    }
    s.languageGiven = 1;
}

// Copies the rest of the raw command line behind the occurrence of the
// switch text that belongs to argument index into slot, doubling quotes.
void captureRest(ExtractorState& s, int index, wchar_t** argv, const wchar_t* raw,
                 const wchar_t* switchText, wchar_t* slot) {
    const size_t switchLength = std::wcslen(switchText);
    int skip = 0;
    for (int i = 0; i < index; ++i) {
        for (const wchar_t* p = ::StrStrIW(argv[i], switchText); p != nullptr;
             p = ::StrStrIW(p + switchLength, switchText))
            ++skip;
    }
    const wchar_t* at = ::StrStrIW(raw, switchText);
    for (; at != nullptr && skip > 0; --skip) at = ::StrStrIW(at + switchLength, switchText);
    slot[0] = L'\0';
    if (at == nullptr) return;
    const wchar_t* space = std::wcschr(at + switchLength, L' ');
    if (space == nullptr) return;
    size_t n = 0;
    bool complete = true;
    for (const wchar_t* p = space + 1; *p != L'\0'; ++p) {
        const size_t need = *p == L'"' ? 2 : 1;
        if (n + need >= static_cast<size_t>(kPathChars)) {
            complete = false;
            break;
        }
        slot[n++] = *p;
        if (*p == L'"') slot[n++] = L'"';
    }
    slot[n] = L'\0';
    if (complete) ::PathRemoveBlanksW(slot);
    (void)s;
}

}  // namespace

void selectLanguage(ExtractorState& s, LANGID langId) {
    const WORD primary = langId & 0x3FF;
    s.langId = 1033;
    s.charSet = ANSI_CHARSET;
    s.rightToLeft = 0;
    for (const LanguageStyle& style : kLanguageStyles) {
        if (style.primary == primary) {
            s.langId = static_cast<LANGID>(primary | 0x400);
            s.charSet = style.charSet;
            s.rightToLeft = style.rightToLeft;
            break;
        }
    }
    s.primaryLanguage = s.langId & 0x3FF;
    s.subLanguage = s.langId >> 10;
}

ResultCode parseCommandLine(ExtractorState& s, int argc, wchar_t** argv, const wchar_t* raw) {
    ResultCode code = rc::Ok;
    // A malformed switch of these kinds replaces a code already recorded and
    // is otherwise ignored.
    auto replaceRecorded = [&code](ResultCode c) {
        if (code != rc::Ok) code = c;
    };
    for (int i = 1; i < argc; ++i) {
        wchar_t* arg = argv[i];
        if (arg == nullptr || (arg[0] != L'/' && arg[0] != L'-')) continue;
        wchar_t* sw = arg;
        while (*sw == L'/' || *sw == L'-') ++sw;
        const size_t len = std::wcslen(sw);
        if (len == 0) continue;
        auto at = [&](size_t k) -> wchar_t {
            return k < len ? static_cast<wchar_t>(std::towupper(sw[k])) : 0;
        };
        switch (at(0)) {
            case L'A':
                s.options |= optAuto;
                break;
            case L'D':
                s.folderGiven = 1;
                copyText(s.folderText, sw + 1, kPathChars);
                break;
            case L'F':
                s.folderGiven = 1;
                s.folderCsidl = ::StrToIntW(sw + 1);
                break;
            case L'G':
            case L'H': {
                int32_t value = 0;
                if (std::wcscmp(sw + 1, L"0") == 0)
                    value = -1;
                else if (std::wcscmp(sw + 1, L"1") == 0)
                    value = 1;
                if (value != 0) (at(0) == L'G' ? s.gValue : s.hValue) = value;
                break;
            }
            case L'I':
                if (len < 3 || len > 259)
                    replaceRecorded(rc::SwitchForm);
                else if (at(2) == L'D')
                    copyText(s.setupArgumentSlots[slotId], sw + 2, kPathChars);
                else if (at(2) == L'S')
                    copyText(s.setupArgumentSlots[slotIs], sw + 2, kPathChars);
                else
                    replaceRecorded(rc::SwitchForm);
                break;
            case L'L':
                if (len < 3 || len > 259)
                    code = rc::LSwitchLength;
                else if (at(1) == L'N')
                    applyLanguageValue(s, sw + 3);
                else if (at(2) == L'N')
                    applyLanguageValue(s, sw + 4);
                else {
                    s.logGiven = 1;
                    copyText(s.setupArgumentSlots[slotLog], sw + 3, kPathChars);
                }
                break;
            case L'M':
                if (len < 6 || len > 259)
                    replaceRecorded(rc::SwitchForm);
                else
                    copyText(s.setupArgumentSlots[slotModel], sw + 5, kPathChars);
                break;
            case L'P':
                if (len < 3 || len > 259)
                    replaceRecorded(rc::SwitchForm);
                else
                    copyText(s.setupArgumentSlots[slotPn], sw + 2, kPathChars);
                break;
            case L'R':
                s.options |= optAllowFolderDelete;
                break;
            case L'S':
                if (at(1) == L'C') {
                    s.scmMode = 1;
                    s.successExitCode = 0;
                } else if (len >= 5 && at(4) == L'P') {
                    ::CharLowerBuffW(sw, static_cast<DWORD>(len));
                    const bool setupr = std::wcscmp(sw, L"setupr") == 0;
                    if (setupr || std::wcscmp(sw, L"setup") == 0) {
                        captureRest(s, i, argv, raw, setupr ? L"setupr" : L"setup",
                                    s.setupArgumentSlots[setupr ? slotSetupr : slotSetup]);
                        return code;
                    }
                    replaceRecorded(rc::SetupForm);
                } else {
                    s.options |= optSilent | optAuto;
                }
                break;
            case L'T':
                s.testFlag = 1;
                if (len >= 5) s.testNotOnly = 0;
                break;
            case L'V':
                s.verifyOnly = 1;
                break;
            case L'W':
                if (len < 4 || len > 259)
                    replaceRecorded(rc::WSwitchLength);
                else if (at(2) == L'T')
                    copyText(s.setupArgumentSlots[slotWbt], sw + 3, kPathChars);
                else {
                    const wchar_t* value = sw + 4;
                    const size_t n = std::wcslen(value);
                    if (n >= 1 && n <= 4)
                        s.waitSeconds = ::StrToIntW(value);
                    else if (n >= 5)
                        code = rc::WaitTooLong;
                }
                break;
            case L'X':
                s.options &= static_cast<uint8_t>(~optRunCommand);
                break;
            default:
                break;
        }
    }
    return code;
}

}  // namespace sfx
