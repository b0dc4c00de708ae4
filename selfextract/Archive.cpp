// The archive appended to the program: read in place through minizip over
// Windows file functions, listed, checked and extracted entry by entry.
#include "Extractor.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

#include "unzip.h"

namespace sfx {
namespace {

constexpr DWORD kChunk = 16384;

struct ArchiveFile {
    HANDLE handle;
    DWORD error;
};

voidpf ZCALLBACK openFile(voidpf, const void* name, int) {
    HANDLE h = ::CreateFileW(static_cast<const wchar_t*>(name), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto* file = static_cast<ArchiveFile*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ArchiveFile)));
    if (file == nullptr) {
        ::CloseHandle(h);
        return nullptr;
    }
    file->handle = h;
    file->error = 0;
    return file;
}

uLong ZCALLBACK readFile(voidpf, voidpf stream, void* buffer, uLong size) {
    auto* file = static_cast<ArchiveFile*>(stream);
    DWORD done = 0;
    if (!::ReadFile(file->handle, buffer, size, &done, nullptr)) {
        file->error = ::GetLastError();
        return 0;
    }
    return done;
}

uLong ZCALLBACK writeFile(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK tellFile(voidpf, voidpf stream) {
    auto* file = static_cast<ArchiveFile*>(stream);
    LARGE_INTEGER zero{}, position{};
    if (!::SetFilePointerEx(file->handle, zero, &position, FILE_CURRENT)) {
        file->error = ::GetLastError();
        return static_cast<ZPOS64_T>(-1);
    }
    return static_cast<ZPOS64_T>(position.QuadPart);
}

long ZCALLBACK seekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* file = static_cast<ArchiveFile*>(stream);
    DWORD method = FILE_BEGIN;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        method = FILE_CURRENT;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        method = FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file->handle, distance, nullptr, method)) {
        file->error = ::GetLastError();
        return -1;
    }
    return 0;
}

int ZCALLBACK closeFile(voidpf, voidpf stream) {
    auto* file = static_cast<ArchiveFile*>(stream);
    const BOOL ok = ::CloseHandle(file->handle);
    ::HeapFree(::GetProcessHeap(), 0, file);
    return ok ? 0 : -1;
}

int ZCALLBACK errorFile(voidpf, voidpf stream) {
    return static_cast<int>(static_cast<ArchiveFile*>(stream)->error);
}

unzFile g_archive = nullptr;
uint8_t* g_buffer = nullptr;
// The current entry's name for notice 80: valid until the next entry.
wchar_t g_entryName[kPathChars];

struct EntryInfo {
    wchar_t name[kPathChars];
    bool folder;
    unsigned long method;
    unsigned long flag;
    unsigned long dosDate;
    uint64_t size;
};

// Opens the archive unless it is open; opened tells whether this call did.
ResultCode openArchive(const ExtractorState& s, bool& opened) {
    opened = false;
    if (s.exePath[0] == L'\0') return rc::ArchiveInfo;
    const DWORD attributes = ::GetFileAttributesW(s.exePath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return rc::ExePath;
    if (g_archive != nullptr) return rc::Ok;
    zlib_filefunc64_def functions{};
    functions.zopen64_file = openFile;
    functions.zread_file = readFile;
    functions.zwrite_file = writeFile;
    functions.ztell64_file = tellFile;
    functions.zseek64_file = seekFile;
    functions.zclose_file = closeFile;
    functions.zerror_file = errorFile;
    g_archive = unzOpen2_64(s.exePath, &functions);
    if (g_archive == nullptr) return rc::OpenArchive;
    opened = true;
    return rc::Ok;
}

void closeIfOpened(bool opened) {
    if (opened && g_archive != nullptr) {
        unzClose(g_archive);
        g_archive = nullptr;
    }
}

// Reads the current entry's central record; names are OEM code page.
ResultCode readEntry(EntryInfo& entry) {
    unz_file_info64 info{};
    char raw[kPathChars];
    // minizip leaves a name that fills the buffer unterminated: one
    // character less, and the terminator is ours.
    if (unzGetCurrentFileInfo64(g_archive, &info, raw, sizeof(raw) - 1, nullptr, 0, nullptr, 0) !=
        UNZ_OK)
        return rc::WalkArchive;
    if (info.size_filename > sizeof(raw) - 1) return rc::PathTooLong;
    raw[info.size_filename] = '\0';
    entry.name[0] = L'\0';
    if (info.size_filename > 0 &&
        ::MultiByteToWideChar(CP_OEMCP, 0, raw, -1, entry.name, kPathChars) == 0)
        return rc::PathTooLong;
    for (wchar_t* p = entry.name; *p != L'\0'; ++p)
        if (*p == L'/') *p = L'\\';
    entry.folder = (info.external_fa & 0x10) != 0;
    entry.method = info.compression_method;
    entry.flag = info.flag;
    entry.dosDate = info.dosDate;
    entry.size = info.uncompressed_size;
    return rc::Ok;
}

// The path an entry is written to, checked: the name itself and the joined
// path inside the folder.
ResultCode outputPathFor(const ExtractorState& s, const EntryInfo& entry, wchar_t* out) {
    if (!isSafeEntryName(entry.name)) return rc::PathTooLong;
    wchar_t name[kPathChars];
    std::wcscpy(name, entry.name);
    if (!entry.folder && (s.options & optKeepFolders) == 0) ::PathStripPathW(name);
    return entryOutputPath(s.folder, name, out);
}

// Every entry name against the current folder, before anything is written.
ResultCode checkAllNames(const ExtractorState& s, ExtractTask* task) {
    if (unzGoToFirstFile(g_archive) != UNZ_OK) return rc::WalkArchive;
    for (;;) {
        if (task != nullptr && isCancelled(task)) return rc::Cancelled;
        EntryInfo entry;
        ResultCode code = readEntry(entry);
        if (code != rc::Ok) return code;
        wchar_t path[kPathChars];
        if (s.folder[0] != L'\0')
            code = outputPathFor(s, entry, path);
        else if (!isSafeEntryName(entry.name))
            code = rc::PathTooLong;
        if (code != rc::Ok) return code;
        const int next = unzGoToNextFile(g_archive);
        if (next == UNZ_END_OF_LIST_OF_FILE) return rc::Ok;
        if (next != UNZ_OK) return rc::WalkArchive;
    }
}

bool createFolderTree(const wchar_t* folder) {
    const DWORD attributes = ::GetFileAttributesW(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return true;
    const int result = ::SHCreateDirectoryExW(nullptr, folder, nullptr);
    return result == ERROR_SUCCESS || result == ERROR_FILE_EXISTS ||
           result == ERROR_ALREADY_EXISTS || result == ERROR_CANCELLED;
}

void post(ExtractTask* task, WPARAM code, LPARAM value) {
    if (task != nullptr && task->notifyWindow != nullptr)
        ::PostMessageW(task->notifyWindow, task->progressMessage, code, value);
}

// Bytes written are reported at most every kNoticeIntervalMs and at the
// end of each entry, each notice carrying the bytes since the previous one:
// under Wine every posted message is a round trip to the server, and one
// per 16 KiB chunk cost more than the extraction itself.
constexpr ULONGLONG kNoticeIntervalMs = 25;

ResultCode copyEntry(HANDLE file, uint32_t entryNumber, ExtractTask* task) {
    post(task, kNoticeEntryStart, static_cast<LPARAM>(entryNumber));
    ResultCode result = rc::Ok;
    uint64_t unreported = 0;
    ULONGLONG lastNotice = ::GetTickCount64();
    if (g_buffer == nullptr)
        g_buffer = static_cast<uint8_t*>(::HeapAlloc(::GetProcessHeap(), 0, kChunk));
    if (g_buffer == nullptr) {
        result = rc::NoMemory;
    } else {
        for (;;) {
            if (task != nullptr && isCancelled(task)) {
                result = rc::Cancelled;
                break;
            }
            const int n = unzReadCurrentFile(g_archive, g_buffer, kChunk);
            if (n < 0) {
                result = rc::ReadEntry;
                break;
            }
            if (n == 0) break;
            DWORD written = 0;
            if (!::WriteFile(file, g_buffer, static_cast<DWORD>(n), &written, nullptr) ||
                written != static_cast<DWORD>(n)) {
                result = rc::WriteFile;
                break;
            }
            unreported += written;
            const ULONGLONG now = ::GetTickCount64();
            if (now - lastNotice >= kNoticeIntervalMs) {
                post(task, kNoticeBytes, static_cast<LPARAM>(unreported));
                unreported = 0;
                lastNotice = now;
            }
        }
    }
    if (unreported > 0) post(task, kNoticeBytes, static_cast<LPARAM>(unreported));
    post(task, kNoticeEntryEnd, 0);
    return result;
}

void setFileTimes(const wchar_t* path, unsigned long dosDate) {
    HANDLE h =
        ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    FILETIME access{}, local{}, utc{};
    ::GetFileTime(h, nullptr, &access, nullptr);
    if (::DosDateTimeToFileTime(HIWORD(dosDate), LOWORD(dosDate), &local) &&
        ::LocalFileTimeToFileTime(&local, &utc))
        ::SetFileTime(h, &utc, &access, &utc);
    ::CloseHandle(h);
}

// Extracts the current entry; written receives the path of a file written.
ResultCode extractCurrent(ExtractorState& s, uint32_t entryNumber, ExtractTask* task,
                          wchar_t* written) {
    if (written != nullptr) written[0] = L'\0';
    EntryInfo entry;
    ResultCode code = readEntry(entry);
    if (code != rc::Ok) return code;
    std::wcscpy(g_entryName, entry.name);
    if (task != nullptr && task->notifyWindow != nullptr)
        ::SendMessageW(task->notifyWindow, task->progressMessage, kNoticeName,
                       reinterpret_cast<LPARAM>(g_entryName));
    if (entry.folder && (s.options & optKeepFolders) == 0) return rc::Ok;
    wchar_t path[kPathChars];
    code = outputPathFor(s, entry, path);
    if (code != rc::Ok) return code;
    if (entry.folder) return createFolderTree(path) ? rc::Ok : rc::CreateFolder;

    if ((s.options & optOverwrite) == 0) {
        const DWORD attributes = ::GetFileAttributesW(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            post(task, kNoticeResult, rc::Skipped);
            return rc::Ok;
        }
    }
    // Only stored and deflated entries, never encrypted ones: minizip would
    // hand out other methods raw, without a CRC check.
    if ((entry.method != 0 && entry.method != Z_DEFLATED) || (entry.flag & 1) != 0)
        return rc::OpenEntry;
    if (unzOpenCurrentFile(g_archive) != UNZ_OK) return rc::OpenEntry;
    wchar_t parent[kPathChars];
    std::wcscpy(parent, path);
    ::PathRemoveFileSpecW(parent);
    if (parent[0] != L'\0' && !createFolderTree(parent)) {
        unzCloseCurrentFile(g_archive);
        return rc::CreateFolder;
    }
    HANDLE file =
        ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                      FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        unzCloseCurrentFile(g_archive);
        return rc::CreateFile;
    }
    ResultCode copy = copyEntry(file, entryNumber, task);
    if (!::CloseHandle(file) && copy == rc::Ok) copy = rc::WriteFile;
    const int closed = unzCloseCurrentFile(g_archive);
    if (copy == rc::Ok && closed == UNZ_CRCERROR) copy = rc::CrcMismatch;
    if (copy != rc::Ok) {
        // Nothing of a failed entry stays behind.
        ::DeleteFileW(path);
        return copy;
    }
    setFileTimes(path, entry.dosDate);
    if (written != nullptr) std::wcscpy(written, path);
    return rc::Ok;
}

}  // namespace

ResultCode scanArchive(ExtractorState& s) {
    bool opened = false;
    ResultCode code = openArchive(s, opened);
    if (code != rc::Ok) return code;
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(g_archive, &global) != UNZ_OK) {
        closeIfOpened(opened);
        return rc::ArchiveInfo;
    }
    s.entryCount = static_cast<uint32_t>(global.number_entry);
    s.totalSize = 0;
    if (s.entryCount > 0) {
        if (unzGoToFirstFile(g_archive) != UNZ_OK) code = rc::WalkArchive;
        while (code == rc::Ok) {
            EntryInfo entry;
            code = readEntry(entry);
            if (code != rc::Ok) break;
            if (!isSafeEntryName(entry.name)) {
                code = rc::PathTooLong;
                break;
            }
            if (s.folder[0] != L'\0') {
                wchar_t path[kPathChars];
                code = outputPathFor(s, entry, path);
                if (code != rc::Ok) break;
            }
            if (!entry.folder) s.totalSize += entry.size;
            const int next = unzGoToNextFile(g_archive);
            if (next == UNZ_END_OF_LIST_OF_FILE) break;
            if (next != UNZ_OK) code = rc::WalkArchive;
        }
    }
    closeIfOpened(opened);
    return code;
}

ResultCode extractAll(ExtractorState& s, ExtractTask* task) {
    bool opened = false;
    ResultCode code = openArchive(s, opened);
    if (code != rc::Ok) return code;
    if (s.entryCount == 0) {
        code = scanArchive(s);
        if (code == rc::Ok && s.entryCount == 0) code = rc::NoEntries;
    }
    if (code == rc::Ok) code = checkAllNames(s, task);
    if (code == rc::Ok && unzGoToFirstFile(g_archive) != UNZ_OK) code = rc::WalkArchive;
    for (uint32_t n = 1; code == rc::Ok && n <= s.entryCount; ++n) {
        code = extractCurrent(s, n, task, nullptr);
        if (code == rc::Ok && n < s.entryCount && unzGoToNextFile(g_archive) != UNZ_OK)
            code = rc::WalkArchive;
    }
    closeIfOpened(opened);
    return code;
}

ResultCode extractEntry(ExtractorState& s, uint32_t entryNumber, ExtractTask* task) {
    if (g_archive == nullptr) return rc::WalkArchive;
    return extractCurrent(s, entryNumber, task, nullptr);
}

ResultCode extractNamed(ExtractorState& s) {
    if (s.entryCount == 0) return rc::NoEntries;
    bool opened = false;
    ResultCode code = openArchive(s, opened);
    if (code != rc::Ok) return code;
    wchar_t ini[kPathChars + 4] = {};
    if (s.derivedCommand[0] != L'\0') {
        std::wcscpy(ini, s.derivedCommand);
        std::wcscat(ini, L".ini");
    }
    const wchar_t* const names[] = {ini, s.command, s.extraFile, L"DEDUZ45O.DLL", s.derivedCommand};
    s.namedFileCount = 0;
    for (const wchar_t* wanted : names) {
        if (wanted[0] == L'\0') continue;
        bool found = false;
        if (std::wcslen(wanted) <= 255 && unzGoToFirstFile(g_archive) == UNZ_OK) {
            for (;;) {
                EntryInfo entry;
                if (readEntry(entry) == rc::Ok && std::wcslen(entry.name) <= 255 &&
                    ::lstrcmpiW(entry.name, wanted) == 0) {
                    found = true;
                    break;
                }
                if (unzGoToNextFile(g_archive) != UNZ_OK) break;
            }
        }
        if (!found) {
            code = rc::NamedFileMissing;
            break;
        }
        wchar_t written[kPathChars];
        code = extractCurrent(s, 0, nullptr, written);
        if (code != rc::Ok) break;
        if (written[0] != L'\0' && s.namedFileCount < kNamedFiles)
            std::wcscpy(s.namedFiles[s.namedFileCount++], written);
    }
    closeIfOpened(opened);
    return code;
}

void closeArchive() {
    if (g_archive != nullptr) {
        unzClose(g_archive);
        g_archive = nullptr;
    }
    if (g_buffer != nullptr) {
        ::HeapFree(::GetProcessHeap(), 0, g_buffer);
        g_buffer = nullptr;
    }
}

}  // namespace sfx
