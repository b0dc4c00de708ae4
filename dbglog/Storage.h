// Configuration storage: a tree of sections holding typed values behind an
// abstract interface, its implementation over a Windows INI file, and a
// shared handle that decides whether failed typed reads yield 0 or throw.
//
//     storage::StorageHandle config =
//         storage::IniFileStorage::MakeIniStorage(L"Settings.ini", L"Main");  // beside the program
//     DWORD flags = storage::ReadDword(config, L"Flags");  // 0 when missing
//
// Sections form a tree through their names: the child "B" of the section
// "A" is the section "A\B". Values are text: "%d" for numbers (also read as
// "dword:%X" and "0x%X"), escaped text in double quotes for strings,
// "hex:01,AB,FF" for bytes. Operations return false on failure and never
// log; only ReadDword on a throwing handle throws.
#pragma once

#include "DbgLog.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace storage {

class StorageInterface {
public:
    virtual ~StorageInterface() = default;

    virtual bool IsOpen() const = 0;
    // A new storage for the child section, owned by the caller; null when it
    // cannot be opened (or created).
    virtual std::unique_ptr<StorageInterface> OpenChild(const std::wstring& name) = 0;
    virtual std::unique_ptr<StorageInterface> CreateChild(const std::wstring& name) = 0;
    virtual void Close() = 0;
    virtual bool SetDword(const std::wstring& key, DWORD value) = 0;
    virtual bool GetDword(const std::wstring& key, DWORD& value) const = 0;
    virtual bool SetString(const std::wstring& key, const std::wstring& text) = 0;
    virtual bool GetString(const std::wstring& key, std::wstring& text) const = 0;
    virtual bool SetBinary(const std::wstring& key, const std::vector<BYTE>& bytes) = 0;
    // Appends to bytes.
    virtual bool GetBinary(const std::wstring& key, std::vector<BYTE>& bytes) const = 0;
    // Append to names.
    virtual bool GetChildNames(std::vector<std::wstring>& names) const = 0;
    virtual bool GetKeyNames(std::vector<std::wstring>& names) const = 0;
    // Deletes the child and all its descendants.
    virtual bool DeleteChild(const std::wstring& name) = 0;
    virtual bool DeleteValue(const std::wstring& key) = 0;
};

// What a failed typed read through a handle does.
enum class ErrorMode : int {
    Quiet = 1,     // yields 0
    Throwing = 2,  // throws StorageException
};

// Shared owner of one storage. Copies may live on different threads: the
// count is one separately allocated 32-bit integer changed atomically, and
// the last handle to go deletes the count and the storage.
class StorageHandle {
public:
    StorageHandle() = default;
    StorageHandle(ErrorMode mode, std::unique_ptr<StorageInterface> storage);
    StorageHandle(const StorageHandle& other) noexcept;
    StorageHandle(StorageHandle&& other) noexcept;
    StorageHandle& operator=(const StorageHandle& other) noexcept;
    StorageHandle& operator=(StorageHandle&& other) noexcept;
    ~StorageHandle();

    ErrorMode Mode() const { return m_mode; }
    StorageInterface* Get() const { return m_storage; }
    StorageInterface* operator->() const { return m_storage; }
    explicit operator bool() const { return m_storage != nullptr; }
    // Handles sharing the storage; 0 without one.
    std::int32_t UseCount() const;
    void Reset();

private:
    using Count = std::atomic<std::int32_t>;
    void Swap(StorageHandle& other) noexcept;

    static_assert(sizeof(Count) == 4 && Count::is_always_lock_free);

    ErrorMode m_mode = ErrorMode::Quiet;
    StorageInterface* m_storage = nullptr;
    Count* m_count = nullptr;
};

// Thrown by a failed typed read through a throwing handle. The message reads
// "file(line) : StorageException : Read" and a line feed.
class StorageException {
public:
    StorageException(const wchar_t* file, int line, const wchar_t* text);
    virtual ~StorageException() = default;
    virtual const std::wstring& Message() const { return m_message; }

private:
    std::wstring m_message;
};

// One section of an INI file, read and written through the Windows profile
// functions on every call, so objects on the same file see each other's
// writes.
class IniFileStorage : public StorageInterface {
public:
    IniFileStorage() = default;

    bool IsOpen() const override;
    std::unique_ptr<StorageInterface> OpenChild(const std::wstring& name) override;
    std::unique_ptr<StorageInterface> CreateChild(const std::wstring& name) override;
    void Close() override;
    bool SetDword(const std::wstring& key, DWORD value) override;
    bool GetDword(const std::wstring& key, DWORD& value) const override;
    bool SetString(const std::wstring& key, const std::wstring& text) override;
    bool GetString(const std::wstring& key, std::wstring& text) const override;
    bool SetBinary(const std::wstring& key, const std::vector<BYTE>& bytes) override;
    bool GetBinary(const std::wstring& key, std::vector<BYTE>& bytes) const override;
    bool GetChildNames(std::vector<std::wstring>& names) const override;
    bool GetKeyNames(std::vector<std::wstring>& names) const override;
    bool DeleteChild(const std::wstring& name) override;
    bool DeleteValue(const std::wstring& key) override;

    // The value as the file holds it, double quotes around it removed; also
    // finds a key whose name the file holds in double quotes. False when the
    // key is missing.
    virtual bool GetRawValue(const std::wstring& key, std::wstring& value) const;

    // A drive or UNC path is used as it is; any other file name lies beside
    // the running executable. Open needs the section or one of its
    // descendants in the file; Create first writes a missing section empty.
    bool Open(const std::wstring& fileName, const std::wstring& sectionName);
    bool Create(const std::wstring& fileName, const std::wstring& sectionName);

    // A quiet handle on a new storage opened with Open; empty when the open
    // fails.
    static StorageHandle MakeIniStorage(const std::wstring& fileName,
                                        const std::wstring& sectionName);
    // Every section name of the file, in file order; empty when the file
    // cannot be read.
    static std::vector<std::wstring> SectionNames(const std::wstring& fileName);

    std::wstring file;     // full path of the INI file; empty when closed
    std::wstring section;  // the section this object stands for; empty when closed

private:
    bool OpenSection(const std::wstring& fileName, const std::wstring& sectionName, bool create);
    bool WriteValue(const std::wstring& key, const std::wstring& text);
};

// The value of key, when the handle holds an open storage and the value
// reads as a number. Otherwise 0 on a quiet handle; a throwing handle throws
// StorageException naming this line.
inline DWORD ReadDword(const StorageHandle& handle, const std::wstring& key) {
    DWORD value = 0;
    if (handle && handle->IsOpen() && handle->GetDword(key, value)) return value;
    if (handle.Mode() == ErrorMode::Throwing) {
        throw StorageException(::dbglog::detail::kSourceFile<__FILE__>, __LINE__,
                               L"StorageException : Read");
    }
    return 0;
}

}  // namespace storage
