// The setup program's command line.
#include "SetupCommand.h"

#include <cwctype>

namespace pkgsetup {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

class Tokens {
public:
    explicit Tokens(const std::wstring& text) : m_text(text) {}

    bool AtEnd() {
        SkipBlanks();
        return m_pos >= m_text.size();
    }

    // The next word, up to a blank.
    std::wstring Word() {
        SkipBlanks();
        const size_t start = m_pos;
        while (m_pos < m_text.size() && !IsBlank(m_text[m_pos])) ++m_pos;
        return m_text.substr(start, m_pos - start);
    }

    // A value in double quotes ("" inside stands for one quote), or a bare
    // word. False when the quote is not closed or no value follows.
    bool Value(std::wstring* value) {
        SkipBlanks();
        if (m_pos >= m_text.size()) return false;
        if (m_text[m_pos] != L'"') {
            *value = Word();
            return true;
        }
        ++m_pos;
        value->clear();
        while (m_pos < m_text.size()) {
            const wchar_t c = m_text[m_pos++];
            if (c != L'"') {
                value->push_back(c);
            } else if (m_pos < m_text.size() && m_text[m_pos] == L'"') {
                value->push_back(L'"');
                ++m_pos;
            } else {
                // A closing quote must end the word.
                return m_pos >= m_text.size() || IsBlank(m_text[m_pos]);
            }
        }
        return false;
    }

private:
    void SkipBlanks() {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
    }

    const std::wstring& m_text;
    size_t m_pos = 0;
};

bool ParseNumber(const std::wstring& text, unsigned limit, unsigned* value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        result = result * 10 + static_cast<unsigned>(c - L'0');
    }
    if (result > limit) return false;
    *value = static_cast<unsigned>(result);
    return true;
}

ParseResult Fail(std::wstring error) {
    ParseResult result;
    result.error = std::move(error);
    return result;
}

}  // namespace

ParseResult ParseSetupCommandLine(const std::wstring& arguments) {
    ParseResult result;
    SetupOptions& options = result.options;
    bool uninstall = false;
    bool testOnly = false;
    Tokens tokens(arguments);
    while (!tokens.AtEnd()) {
        const std::wstring word = tokens.Word();
        const std::wstring name = Lower(word);
        if (name.size() < 2 || (name[0] != L'-' && name[0] != L'/')) {
            return Fail(L"not a switch: " + word);
        }
        const std::wstring key = name.substr(1);
        if (key == L"uninstall") {
            uninstall = true;
        } else if (key == L"test") {
            options.testRun = true;
        } else if (key == L"testonly") {
            testOnly = true;
        } else if (key == L"g0" || key == L"g1") {
            options.gValue = key[1] - L'0';
        } else if (key == L"h0" || key == L"h1") {
            options.hValue = key[1] - L'0';
        } else if (key == L"s") {
            options.silent = true;
        } else if (key == L"a") {
            options.automatic = true;
        } else if (key == L"scm") {
            options.scm = true;
        } else if (key == L"wait" || key == L"lng") {
            unsigned value = 0;
            const bool wait = key == L"wait";
            if (!ParseNumber(tokens.Word(), wait ? kMaxWaitSeconds : 0xFFFFu, &value)) {
                return Fail(word + (wait ? L" needs a number of seconds up to 3600"
                                         : L" needs a language id up to 65535"));
            }
            if (wait) {
                options.waitSeconds = value;
            } else {
                options.language = value;
            }
        } else if (key == L"log" || key == L"model" || key == L"pn" || key == L"id" ||
                   key == L"is" || key == L"wbt" || key == L"setup" || key == L"setupr") {
            std::wstring value;
            if (!tokens.Value(&value)) return Fail(word + L" needs a value in double quotes");
            if (key == L"log") {
                if (value.empty()) return Fail(L"-log needs a path");
                options.logPath = value;
            } else {
                options.slots.emplace_back(key, value);
            }
        } else {
            return Fail(L"unknown switch: " + word);
        }
    }
    if (uninstall && testOnly) return Fail(L"-uninstall and -testonly exclude each other");
    options.mode = testOnly    ? SetupMode::TestOnly
                   : uninstall ? SetupMode::Uninstall
                               : SetupMode::Install;
    result.ok = true;
    return result;
}

std::wstring ArgumentsOf(const std::wstring& commandLine) {
    size_t pos = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        pos = commandLine.find(L'"', 1);
        pos = pos == std::wstring::npos ? commandLine.size() : pos + 1;
    } else {
        while (pos < commandLine.size() && !IsBlank(commandLine[pos])) ++pos;
    }
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    return commandLine.substr(pos);
}

}  // namespace pkgsetup
