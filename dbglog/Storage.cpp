#include "Storage.h"

#include <atomic>

#include "IniText.h"

#include <utility>

namespace storage {

namespace {

// Default texts that tell a missing key from a present one: a key that
// really holds the first is found by the read with the second.
constexpr wchar_t kFirstDefault[] = L"DEFAULT_VALUE1";
constexpr wchar_t kSecondDefault[] = L"DEFAULT_VALUE2";

// Full path of the running executable; empty when it cannot be had.
std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), size);
        if (length == 0) return {};
        if (length < size) {
            path.resize(length);
            return path;
        }
        if (size >= 0x8000) return {};  // longer than any Windows path
        path.resize(size * 2);
    }
}

// Reads one value of section with the given default text.
DWORD ReadProfileString(const std::wstring& file, const std::wstring& section,
                        const std::wstring& key, const wchar_t* defaultText, std::wstring& value) {
    return ini::ReadGrowing(
        [&](wchar_t* buffer, DWORD size) {
            return static_cast<DWORD>(::GetPrivateProfileStringW(
                section.c_str(), key.c_str(), defaultText, buffer, size, file.c_str()));
        },
        value);
}

// Size of the last section list read: a file read section by section gives
// the same list every time, and one call then reads it instead of one per
// doubling.
std::atomic<DWORD> g_sectionListChars{ini::kInitialReadChars};

DWORD ReadSectionList(const std::wstring& file, std::wstring& list) {
    if (file.empty()) return ERROR_INVALID_PARAMETER;  // would read win.ini
    const DWORD error = ini::ReadGrowing(
        [&](wchar_t* buffer, DWORD size) {
            return ::GetPrivateProfileSectionNamesW(buffer, size, file.c_str());
        },
        list, ini::kReadLimitChars, g_sectionListChars.load(std::memory_order_relaxed));
    if (error == ERROR_SUCCESS && list.size() + 2 < ini::kReadLimitChars / 2)
        g_sectionListChars.store(static_cast<DWORD>(list.size() + 3), std::memory_order_relaxed);
    return error;
}

DWORD ReadSectionNames(const std::wstring& file, std::vector<std::wstring>& names) {
    std::wstring list;
    const DWORD error = ReadSectionList(file, list);
    if (error == ERROR_SUCCESS) names = ini::SplitNameList(list);
    return error;
}

// Writes the header of a section that does not exist yet. An empty key list
// given to WritePrivateProfileSection does not do it everywhere (Wine reports
// success and writes nothing), so a key is written and deleted again: the
// header stays.
bool CreateEmptySection(const std::wstring& file, const std::wstring& section) {
    constexpr wchar_t kPlaceholder[] = L"NrvCreateSection";
    if (!::WritePrivateProfileStringW(section.c_str(), kPlaceholder, L"", file.c_str())) {
        return false;
    }
    return ::WritePrivateProfileStringW(section.c_str(), kPlaceholder, nullptr, file.c_str()) !=
           FALSE;
}

bool Fail(DWORD error) {
    ::SetLastError(error);
    return false;
}

}  // namespace

// StorageHandle

StorageHandle::StorageHandle(ErrorMode mode, std::unique_ptr<StorageInterface> storage)
    : m_mode(mode) {
    if (storage) {
        m_count = new Count(1);  // storage is still owned if this throws
        m_storage = storage.release();
    }
}

StorageHandle::StorageHandle(const StorageHandle& other) noexcept
    : m_mode(other.m_mode), m_storage(other.m_storage), m_count(other.m_count) {
    if (m_count) m_count->fetch_add(1, std::memory_order_relaxed);
}

StorageHandle::StorageHandle(StorageHandle&& other) noexcept
    : m_mode(other.m_mode),
      m_storage(std::exchange(other.m_storage, nullptr)),
      m_count(std::exchange(other.m_count, nullptr)) {}

StorageHandle& StorageHandle::operator=(const StorageHandle& other) noexcept {
    StorageHandle copy(other);  // first: other may be this handle
    Swap(copy);
    return *this;
}

StorageHandle& StorageHandle::operator=(StorageHandle&& other) noexcept {
    StorageHandle moved(std::move(other));
    Swap(moved);
    return *this;
}

void StorageHandle::Swap(StorageHandle& other) noexcept {
    std::swap(m_mode, other.m_mode);
    std::swap(m_storage, other.m_storage);
    std::swap(m_count, other.m_count);
}

StorageHandle::~StorageHandle() {
    Reset();
}

std::int32_t StorageHandle::UseCount() const {
    return m_count ? m_count->load(std::memory_order_relaxed) : 0;
}

void StorageHandle::Reset() {
    Count* count = std::exchange(m_count, nullptr);
    StorageInterface* storage = std::exchange(m_storage, nullptr);
    if (count && count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete count;
        delete storage;
    }
}

// StorageException

StorageException::StorageException(const wchar_t* file, int line, const wchar_t* text)
    : m_message(std::wstring(file) + L"(" + std::to_wstring(line) + L") : " + text + L"\n") {}

// IniFileStorage

bool IniFileStorage::IsOpen() const {
    return !file.empty() && !section.empty();
}

bool IniFileStorage::Open(const std::wstring& fileName, const std::wstring& sectionName) {
    return OpenSection(fileName, sectionName, false);
}

bool IniFileStorage::Create(const std::wstring& fileName, const std::wstring& sectionName) {
    return OpenSection(fileName, sectionName, true);
}

bool IniFileStorage::OpenSection(const std::wstring& fileName, const std::wstring& sectionName,
                                 bool create) {
    // An empty name could never make an open storage; the profile functions
    // would also take an empty file for win.ini.
    if (fileName.empty() || sectionName.empty()) return Fail(ERROR_INVALID_PARAMETER);
    const std::wstring path = ini::ResolveFileName(fileName, ModulePath());
    if (path.empty()) return Fail(ERROR_INVALID_PARAMETER);

    std::wstring list;
    const DWORD error = ReadSectionList(path, list);
    if (error != ERROR_SUCCESS) return Fail(error);
    const bool found = ini::AnyNameInList(
        list, [&](std::wstring_view name) { return ini::SectionMatches(name, sectionName); });
    if (!found) {
        if (!create) return Fail(ERROR_NOT_FOUND);
        if (!CreateEmptySection(path, sectionName)) return false;
    }
    file = path;
    section = sectionName;
    return IsOpen();
}

StorageHandle IniFileStorage::MakeIniStorage(const std::wstring& fileName,
                                             const std::wstring& sectionName) {
    auto storage = std::make_unique<IniFileStorage>();
    if (!storage->Open(fileName, sectionName)) return StorageHandle(ErrorMode::Quiet, nullptr);
    return StorageHandle(ErrorMode::Quiet, std::move(storage));
}

std::vector<std::wstring> IniFileStorage::SectionNames(const std::wstring& fileName) {
    std::vector<std::wstring> names;
    const DWORD error = ReadSectionNames(fileName, names);
    if (error != ERROR_SUCCESS) ::SetLastError(error);
    return names;
}

std::unique_ptr<StorageInterface> IniFileStorage::OpenChild(const std::wstring& name) {
    if (!IsOpen()) return nullptr;
    auto child = std::make_unique<IniFileStorage>();
    if (!child->Open(file, ini::ChildSectionName(section, name))) return nullptr;
    return child;
}

std::unique_ptr<StorageInterface> IniFileStorage::CreateChild(const std::wstring& name) {
    if (!IsOpen()) return nullptr;
    auto child = std::make_unique<IniFileStorage>();
    if (!child->Create(file, ini::ChildSectionName(section, name))) return nullptr;
    return child;
}

void IniFileStorage::Close() {
    file.clear();
    section.clear();
}

bool IniFileStorage::GetRawValue(const std::wstring& key, std::wstring& value) const {
    if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
    // The file may hold the key's name in double quotes.
    for (const std::wstring& name : {key, L"\"" + key + L"\""}) {
        std::wstring text;
        DWORD error = ReadProfileString(file, section, name, kFirstDefault, text);
        if (error != ERROR_SUCCESS) return Fail(error);
        if (text != kFirstDefault) {
            value = std::move(text);
            return true;
        }
        error = ReadProfileString(file, section, name, kSecondDefault, text);
        if (error != ERROR_SUCCESS) return Fail(error);
        if (text != kSecondDefault) {
            value = std::move(text);
            return true;
        }
    }
    return Fail(ERROR_NOT_FOUND);
}

bool IniFileStorage::GetString(const std::wstring& key, std::wstring& text) const {
    std::wstring raw;
    if (!GetRawValue(key, raw)) return false;
    text = ini::UnescapeText(raw);
    return true;
}

bool IniFileStorage::GetDword(const std::wstring& key, DWORD& value) const {
    std::wstring text;
    if (!GetString(key, text)) return false;
    if (!ini::ParseDword(text, value)) return Fail(ERROR_INVALID_DATA);
    return true;
}

bool IniFileStorage::GetBinary(const std::wstring& key, std::vector<BYTE>& bytes) const {
    std::wstring raw;
    if (!GetRawValue(key, raw)) return false;
    if (!ini::ParseBinary(raw, bytes)) return Fail(ERROR_INVALID_DATA);
    return true;
}

bool IniFileStorage::WriteValue(const std::wstring& key, const std::wstring& text) {
    if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
    return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), text.c_str(), file.c_str()) !=
           FALSE;
}

bool IniFileStorage::SetDword(const std::wstring& key, DWORD value) {
    return WriteValue(key, ini::FormatDword(value));
}

bool IniFileStorage::SetString(const std::wstring& key, const std::wstring& text) {
    return WriteValue(key, L"\"" + ini::EscapeText(text) + L"\"");
}

bool IniFileStorage::SetBinary(const std::wstring& key, const std::vector<BYTE>& bytes) {
    if (bytes.empty()) return Fail(ERROR_INVALID_PARAMETER);
    return WriteValue(key, ini::FormatBinary(bytes));
}

bool IniFileStorage::GetKeyNames(std::vector<std::wstring>& names) const {
    if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
    std::wstring list;
    const DWORD error = ini::ReadGrowing(
        [&](wchar_t* buffer, DWORD size) {
            return static_cast<DWORD>(::GetPrivateProfileStringW(section.c_str(), nullptr, L"",
                                                                 buffer, size, file.c_str()));
        },
        list);
    if (error != ERROR_SUCCESS) return Fail(error);
    for (std::wstring& name : ini::SplitNameList(list)) names.push_back(std::move(name));
    return true;
}

bool IniFileStorage::GetChildNames(std::vector<std::wstring>& names) const {
    if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
    std::vector<std::wstring> sections;
    const DWORD error = ReadSectionNames(file, sections);
    if (error != ERROR_SUCCESS) return Fail(error);
    for (const std::wstring& name : sections) {
        if (auto child = ini::DirectChildName(name, section)) names.push_back(std::move(*child));
    }
    return true;
}

bool IniFileStorage::DeleteChild(const std::wstring& name) {
    if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
    const std::wstring child = ini::ChildSectionName(section, name);
    std::vector<std::wstring> sections;
    const DWORD error = ReadSectionNames(file, sections);
    if (error != ERROR_SUCCESS) return Fail(error);
    for (const std::wstring& candidate : sections) {
        if (!ini::SectionMatches(candidate, child)) continue;
        if (!::WritePrivateProfileStringW(candidate.c_str(), nullptr, nullptr, file.c_str())) {
            return false;
        }
    }
    return true;
}

bool IniFileStorage::DeleteValue(const std::wstring& key) {
    if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
    return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), nullptr, file.c_str()) !=
           FALSE;
}

}  // namespace storage
