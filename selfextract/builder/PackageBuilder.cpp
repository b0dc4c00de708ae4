// The package builder: checks, description resource, ZIP archive (minizip's
// writing side, deflate) and the appended layout.
#include "PackageBuilder.h"

#include <algorithm>
#include <cstring>

#include "zip.h"

namespace sfxpack {
namespace {

// minizip file functions over Windows files, for writing the archive.
voidpf ZCALLBACK openFile(voidpf, const void* name, int mode) {
    const bool write = (mode & ZLIB_FILEFUNC_MODE_CREATE) != 0;
    HANDLE h =
        ::CreateFileW(static_cast<const wchar_t*>(name),
                      write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, nullptr,
                      write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}
uLong ZCALLBACK readFile(voidpf, voidpf stream, void* buffer, uLong size) {
    DWORD done = 0;
    return ::ReadFile(stream, buffer, size, &done, nullptr) ? done : 0;
}
uLong ZCALLBACK writeFile(voidpf, voidpf stream, const void* buffer, uLong size) {
    DWORD done = 0;
    return ::WriteFile(stream, buffer, size, &done, nullptr) ? done : 0;
}
ZPOS64_T ZCALLBACK tellFile(voidpf, voidpf stream) {
    LARGE_INTEGER zero{}, position{};
    return ::SetFilePointerEx(stream, zero, &position, FILE_CURRENT)
               ? static_cast<ZPOS64_T>(position.QuadPart)
               : static_cast<ZPOS64_T>(-1);
}
long ZCALLBACK seekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    DWORD method = origin == ZLIB_FILEFUNC_SEEK_CUR   ? FILE_CURRENT
                   : origin == ZLIB_FILEFUNC_SEEK_END ? FILE_END
                                                      : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(stream, distance, nullptr, method) ? 0 : -1;
}
int ZCALLBACK closeFile(voidpf, voidpf stream) {
    return ::CloseHandle(stream) ? 0 : -1;
}
int ZCALLBACK errorFile(voidpf, voidpf) {
    return 0;
}

zlib_filefunc64_def fileFunctions() {
    zlib_filefunc64_def f{};
    f.zopen64_file = openFile;
    f.zread_file = readFile;
    f.zwrite_file = writeFile;
    f.ztell64_file = tellFile;
    f.zseek64_file = seekFile;
    f.zclose_file = closeFile;
    f.zerror_file = errorFile;
    return f;
}

std::wstring lastError(const std::wstring& what) {
    return what + L" (error " + std::to_wstring(::GetLastError()) + L")";
}

bool listInto(const std::wstring& root, const std::wstring& relative,
              std::vector<std::wstring>& names, std::wstring& error) {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*";
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        error = lastError(L"cannot read folder " + root + L"\\" + relative);
        return false;
    }
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            names.push_back(child + L"\\");
            ok = listInto(root, child, names, error);
        } else {
            if (data.nFileSizeHigh != 0) {
                error = L"file too large for a ZIP archive without ZIP64: " + child;
                ok = false;
            }
            names.push_back(child);
        }
    } while (ok && ::FindNextFileW(find, &data));
    ::FindClose(find);
    return ok;
}

// The name as the archive stores it: OEM code page, "/" separators.
bool oemName(const std::wstring& name, std::string& out) {
    std::wstring slashed = name;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    BOOL usedDefault = FALSE;
    const int n = ::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, slashed.c_str(), -1,
                                        nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return false;
    out.assign(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, slashed.c_str(), -1, out.data(), n,
                          nullptr, &usedDefault);
    out.resize(static_cast<size_t>(n - 1));
    // It must read back as the same name.
    std::wstring back(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_OEMCP, 0, out.c_str(), -1, back.data(), n);
    back.resize(std::wcslen(back.c_str()));
    return !usedDefault && back == slashed;
}

uLong dosTimeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    WORD date = 0x21, time = 0;  // 1980-01-01
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        ::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local))
        ::FileTimeToDosDateTime(&local, &date, &time);
    return (static_cast<uLong>(date) << 16) | time;
}

bool addEntry(zipFile zip, const std::wstring& root, const std::wstring& name,
              const std::string& stored, bool store, PackageReport& report, std::wstring& error) {
    const bool folder = !name.empty() && name.back() == L'\\';
    const std::wstring path = root + L"\\" + (folder ? name.substr(0, name.size() - 1) : name);
    zip_fileinfo info{};
    info.dosDate = dosTimeOf(path);
    info.external_fa = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    const int method = folder || store ? 0 : Z_DEFLATED;
    if (zipOpenNewFileInZip64(zip, stored.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                              Z_DEFAULT_COMPRESSION, 0) != ZIP_OK) {
        error = L"cannot add " + name + L" to the archive";
        return false;
    }
    bool ok = true;
    if (!folder) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = lastError(L"cannot open " + path);
            ok = false;
        } else {
            std::vector<char> buffer(1 << 16);
            DWORD n = 0;
            while (
                ok &&
                ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) &&
                n > 0) {
                if (zipWriteInFileInZip(zip, buffer.data(), n) != ZIP_OK) {
                    error = L"cannot write " + name + L" into the archive";
                    ok = false;
                }
                report.bytes += n;
            }
            ::CloseHandle(file);
        }
        ++report.files;
    } else {
        ++report.folders;
    }
    if (zipCloseFileInZip(zip) != ZIP_OK && ok) {
        error = L"cannot finish " + name + L" in the archive";
        ok = false;
    }
    return ok;
}

bool appendFile(const std::wstring& from, const std::wstring& to, unsigned long long& size,
                std::wstring& error) {
    HANDLE in = ::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    HANDLE out = ::CreateFileW(to.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE;
    if (!ok) error = lastError(L"cannot append the archive to " + to);
    std::vector<char> buffer(1 << 16);
    DWORD n = 0;
    size = 0;
    while (ok && ::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) &&
           n > 0) {
        DWORD written = 0;
        if (!::WriteFile(out, buffer.data(), n, &written, nullptr) || written != n) {
            error = lastError(L"cannot write " + to);
            ok = false;
        }
        size += n;
    }
    if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    return ok;
}

unsigned long long fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

bool listFolder(const std::wstring& folder, std::vector<std::wstring>& names, std::wstring& error) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = L"no such folder: " + folder;
        return false;
    }
    names.clear();
    if (!listInto(folder, L"", names, error)) return false;
    std::sort(names.begin(), names.end());
    return true;
}

bool buildPackage(const PackageRequest& request, PackageReport& report, std::wstring& error) {
    report = PackageReport{};
    const DWORD stubAttributes = ::GetFileAttributesW(request.stub.c_str());
    if (stubAttributes == INVALID_FILE_ATTRIBUTES ||
        (stubAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = L"no such program: " + request.stub;
        return false;
    }
    std::vector<std::wstring> names;
    if (!listFolder(request.folder, names, error)) return false;
    if (std::none_of(names.begin(), names.end(),
                     [](const std::wstring& n) { return n.back() != L'\\'; })) {
        error = L"the folder holds no files: " + request.folder;
        return false;
    }
    std::vector<std::string> stored(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const bool folder = names[i].back() == L'\\';
        const std::wstring bare = folder ? names[i].substr(0, names[i].size() - 1) : names[i];
        if (!sfx::isSafeEntryName(bare.c_str())) {
            error =
                L"a name that would not extract (device name, trailing dot or blank, reserved "
                L"character, "
                L"or longer than 259 characters): " +
                names[i];
            return false;
        }
        if (!oemName(names[i], stored[i])) {
            error = L"a name the OEM code page cannot hold: " + names[i];
            return false;
        }
    }
    std::wstring tooLong;
    const std::vector<uint8_t> record = sfx::encodeDescription(request.description, &tooLong);
    if (record.empty()) {
        error = L"the " + tooLong + L" is too long for its slot";
        return false;
    }
    for (const std::wstring* named :
         {&request.description.command, &request.description.extraFile}) {
        if (!named->empty() && std::none_of(names.begin(), names.end(), [&](const std::wstring& n) {
                return ::lstrcmpiW(n.c_str(), named->c_str()) == 0;
            })) {
            error = L"the folder has no " + *named + L" (named in the description)";
            return false;
        }
    }

    // The archive first, into a file of its own beside the output.
    const std::wstring archive = request.output + L".zip.tmp";
    zlib_filefunc64_def functions = fileFunctions();
    zipFile zip = zipOpen2_64(archive.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip == nullptr) {
        error = lastError(L"cannot create " + archive);
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < names.size(); ++i)
        ok = addEntry(zip, request.folder, names[i], stored[i], request.store, report, error);
    if (zipClose(zip, nullptr) != ZIP_OK && ok) {
        error = L"cannot finish the archive";
        ok = false;
    }
    if (ok && !::CopyFileW(request.stub.c_str(), request.output.c_str(), FALSE)) {
        error = lastError(L"cannot create " + request.output);
        ok = false;
    }
    if (ok) {
        HANDLE update = ::BeginUpdateResourceW(request.output.c_str(), FALSE);
        ok = update != nullptr &&
             ::UpdateResourceW(update, MAKEINTRESOURCEW(sfx::kDescriptionType),
                               MAKEINTRESOURCEW(sfx::kDescriptionName), sfx::kDescriptionLanguage,
                               const_cast<uint8_t*>(record.data()),
                               static_cast<DWORD>(record.size())) &&
             ::EndUpdateResourceW(update, FALSE);
        if (!ok) error = lastError(L"cannot write the description into " + request.output);
        if (!ok && update != nullptr) ::EndUpdateResourceW(update, TRUE);
    }
    if (ok) {
        report.imageBytes = fileSize(request.output);
        ok = appendFile(archive, request.output, report.archiveBytes, error);
    }
    ::DeleteFileW(archive.c_str());
    if (!ok) ::DeleteFileW(request.output.c_str());
    return ok;
}

}  // namespace sfxpack
