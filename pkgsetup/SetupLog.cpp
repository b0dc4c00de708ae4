// The setup program's log file.
#include "SetupLog.h"

#include <cwchar>

namespace pkgsetup {

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

void CreateParentFolders(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash < 3) return;
    const std::wstring parent = path.substr(0, slash);
    if (::GetFileAttributesW(parent.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    CreateParentFolders(parent);
    ::CreateDirectoryW(parent.c_str(), nullptr);
}

}  // namespace

SetupLog::SetupLog(const std::wstring& path) : m_path(path) {
    CreateParentFolders(path);
    m_file.reset(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void SetupLog::Write(const std::wstring& step, const std::wstring& result) {
    if (!m_file) return;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[40];
    std::swprintf(stamp, 40, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::wstring line = stamp + step + L": " + result;
    for (wchar_t& c : line) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    const std::string bytes = Utf8(line) + "\r\n";
    DWORD written = 0;
    ::WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void SetupLog::Failure(const std::wstring& step, const std::wstring& what, DWORD error) {
    Write(step, L"FAILED: " + what + L" (" + DescribeError(error) + L")");
}

std::wstring DescribeError(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const nrv::UniqueLocalMemory owner(text);
    std::wstring message = L"error " + std::to_wstring(error);
    if (length != 0 && text != nullptr) {
        std::wstring description(text, length);
        while (!description.empty() &&
               (description.back() == L'\n' || description.back() == L'\r' ||
                description.back() == L' ' || description.back() == L'.')) {
            description.pop_back();
        }
        if (!description.empty()) message += L": " + description;
    }
    return message;
}

}  // namespace pkgsetup
