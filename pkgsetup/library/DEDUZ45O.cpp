// DEDUZ45O.DLL: copying with verification for the package's setup program.
#include "SetupLibrary.h"

#include <array>

#include "UniqueHandle.h"

namespace {

constexpr DWORD kChunk = 64 * 1024;
constexpr size_t kNameChars = 1024;

constexpr std::array<DWORD, 256> MakeCrcTable() {
    std::array<DWORD, 256> table{};
    for (DWORD n = 0; n < 256; ++n) {
        DWORD c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<DWORD, 256> kCrcTable = MakeCrcTable();

DWORD Crc32Update(DWORD crc, const BYTE* data, DWORD length) {
    crc = ~crc;
    for (DWORD i = 0; i < length; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// The read buffer, owned.
struct Buffer {
    void* data = ::VirtualAlloc(nullptr, kChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ~Buffer() {
        if (data != nullptr) ::VirtualFree(data, 0, MEM_RELEASE);
    }
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

DWORD Digest(const wchar_t* path, DWORD* crc, ULONGLONG* size) {
    nrv::UniqueFileHandle file(::CreateFileW(path, GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return ::GetLastError();
    const Buffer buffer;
    if (buffer.data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD value = 0;
    ULONGLONG total = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), buffer.data, kChunk, &read, nullptr)) return ::GetLastError();
        if (read == 0) break;
        value = Crc32Update(value, static_cast<const BYTE*>(buffer.data), read);
        total += read;
    }
    *crc = value;
    *size = total;
    return ERROR_SUCCESS;
}

// A name beside target that no other file has: "<target>.~<n>"; false when
// none fits.
bool TemporaryBeside(const wchar_t* target, wchar_t (&name)[kNameChars]) {
    const int length = ::lstrlenW(target);
    if (length + 8 >= static_cast<int>(kNameChars)) return false;
    for (unsigned n = 0; n < 1000; ++n) {
        ::wsprintfW(name, L"%s.~%u", target, n);
        if (::GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES) return true;
    }
    return false;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI DzFileDigest(const wchar_t* path, DWORD* crc, ULONGLONG* size) {
    if (path == nullptr || crc == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
    return Digest(path, crc, size);
}

__declspec(dllexport) DWORD WINAPI DzCopyVerified(const wchar_t* source, const wchar_t* target) {
    if (source == nullptr || target == nullptr || *source == L'\0' || *target == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD sourceCrc = 0;
    ULONGLONG sourceSize = 0;
    DWORD error = Digest(source, &sourceCrc, &sourceSize);
    if (error != ERROR_SUCCESS) return error;

    wchar_t temporary[kNameChars];
    if (!TemporaryBeside(target, temporary)) return ERROR_FILENAME_EXCED_RANGE;
    if (!::CopyFileW(source, temporary, TRUE)) return ::GetLastError();

    DWORD copyCrc = 0;
    ULONGLONG copySize = 0;
    error = Digest(temporary, &copyCrc, &copySize);
    if (error == ERROR_SUCCESS && (copyCrc != sourceCrc || copySize != sourceSize)) {
        error = ERROR_CRC;
    }
    if (error != ERROR_SUCCESS) {
        ::DeleteFileW(temporary);
        return error;
    }
    // A copied read-only attribute would keep the next setup from replacing it.
    const DWORD attributes = ::GetFileAttributesW(temporary);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        ::SetFileAttributesW(temporary, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (::MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING)) return ERROR_SUCCESS;
    error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
        error == ERROR_USER_MAPPED_FILE || error == ERROR_LOCK_VIOLATION) {
        // In use: the checked copy takes target's place at the next restart.
        if (::MoveFileExW(temporary, target,
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
            return ERROR_SUCCESS_REBOOT_REQUIRED;
        }
        error = ::GetLastError();
    }
    ::DeleteFileW(temporary);
    return error;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
