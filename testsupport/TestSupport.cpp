#include "TestSupport.h"

#include "UniqueHandle.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace testsupport {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH * 2];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L"\\/"));
}

namespace {

void DeleteTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

TempDir::TempDir() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    for (;;) {
        m_path = base + L"\\nrvtest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(g_tempCounter++);
        if (::CreateDirectoryW(m_path.c_str(), nullptr)) break;
    }
}

TempDir::~TempDir() {
    DeleteTree(m_path);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::wstring& path) {
    nrv::UniqueStream file(_wfopen(path.c_str(), L"rb"));
    if (!file) return {};
    std::string bytes;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, n);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    nrv::UniqueStream file(_wfopen(path.c_str(), L"wb"));
    if (file) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
}

bool CopyInto(const std::wstring& from, const std::wstring& to) {
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

namespace {

// The caller's environment block with the given variables added or replaced.
std::vector<wchar_t> EnvironmentWith(const std::map<std::wstring, std::wstring>& extra) {
    std::map<std::wstring, std::wstring> merged;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring text(entry);
            const std::size_t eq = text.find(L'=', 1);
            if (eq != std::wstring::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
        }
        ::FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : extra) {
        for (auto it = merged.begin(); it != merged.end();) {
            it = _wcsicmp(it->first.c_str(), name.c_str()) == 0 ? merged.erase(it) : std::next(it);
        }
        merged[name] = value;
    }
    std::vector<wchar_t> out;
    for (const auto& [name, value] : merged) {
        const std::wstring entry = name + L"=" + value;
        out.insert(out.end(), entry.begin(), entry.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

}  // namespace

ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args,
                         const ProcessOptions& options) {
    ProcessResult result;
    std::wstring commandLine = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    nrv::UniqueHandle readEnd, writeEnd;
    nrv::UniqueFileHandle outputFile;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    const bool redirect = options.captureStandardError || options.captureStandardOutput;
    if (redirect) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    }
    if (options.captureStandardError) {
        if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return result;
        ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        startup.hStdError = writeEnd.get();
    }
    if (options.captureStandardOutput) {
        // A file, not a second pipe: the child never blocks on a full pipe
        // while this side reads the other one.
        wchar_t folder[MAX_PATH], name[MAX_PATH];
        ::GetTempPathW(MAX_PATH, folder);
        if (!::GetTempFileNameW(folder, L"out", 0, name)) return result;
        outputFile.reset(::CreateFileW(
            name, GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!outputFile) return result;
        startup.hStdOutput = outputFile.get();
    }
    std::vector<wchar_t> environment;
    if (!options.environment.empty()) environment = EnvironmentWith(options.environment);

    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(
            nullptr, commandLine.data(), nullptr, nullptr, redirect,
            environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT,
            environment.empty() ? nullptr : environment.data(),
            options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &startup,
            &info)) {
        return result;
    }
    nrv::UniqueHandle process(info.hProcess), thread(info.hThread);
    result.started = true;
    writeEnd.reset();  // the child holds the only write end now
    if (options.captureStandardError) {
        char chunk[4096];
        DWORD n = 0;
        while (::ReadFile(readEnd.get(), chunk, sizeof chunk, &n, nullptr) && n > 0) {
            result.standardError.append(chunk, n);
        }
    }
    if (::WaitForSingleObject(process.get(), options.timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
    }
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    if (outputFile) {
        ::SetFilePointer(outputFile.get(), 0, nullptr, FILE_BEGIN);
        char chunk[4096];
        DWORD n = 0;
        while (::ReadFile(outputFile.get(), chunk, sizeof chunk, &n, nullptr) && n > 0) {
            result.standardOutput.append(chunk, n);
        }
    }
    return result;
}

RunningProcess::RunningProcess(const std::wstring& exe, const std::wstring& args) {
    std::wstring commandLine = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &info)) {
        ::CloseHandle(info.hThread);
        m_process = info.hProcess;
        m_id = info.dwProcessId;
    }
}

RunningProcess::~RunningProcess() {
    Stop();
}

void RunningProcess::Stop() {
    if (m_process == nullptr) return;
    ::TerminateProcess(m_process, 0);
    ::WaitForSingleObject(m_process, 5000);
    ::CloseHandle(m_process);
    m_process = nullptr;
}

namespace {
std::size_t g_logMark = 0;

std::vector<std::string> LinesAfter(std::size_t mark) {
    const std::string all = ReadFileBytes(TestLog::Path());
    return SplitLines(mark < all.size() ? all.substr(mark) : std::string());
}
}  // namespace

std::wstring TestLog::Path() {
    wchar_t path[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"NRV_TEST_LOG", path, MAX_PATH);
    return path;
}

void TestLog::Mark() {
    g_logMark = ReadFileBytes(Path()).size();
}

std::vector<std::string> TestLog::LinesSinceMark() {
    return LinesAfter(g_logMark);
}

bool TestLog::Contains(const std::string& text) {
    return Count(text) > 0;
}

int TestLog::Count(const std::string& text) {
    int count = 0;
    for (const std::string& line : LinesSinceMark()) {
        if (line.find(text) != std::string::npos) ++count;
    }
    return count;
}

namespace {

// SystemHandleInformation: one entry per open handle of the system.
struct HandleEntry {
    ULONG processId;  // on Windows the low 16 bits; the rest is a back-trace index
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

}  // namespace

DWORD ProcessHandleCount(DWORD processId) {
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    std::vector<unsigned char> buffer(1 << 20);
    LONG status = 0;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch) {
        if (buffer.size() >= (1u << 28)) return 0;
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if ((table->entries[i].processId & 0xFFFF) == (processId & 0xFFFF)) ++count;
    }
    return count;
}

DWORD ServiceState(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

DWORD ServiceProcessId(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed))
        return 0;
    return status.dwProcessId;
}

void StopAndDeleteService(SC_HANDLE manager, const wchar_t* name) {
    const nrv::UniqueServiceHandle service(::OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
    if (!service) return;
    const nrv::UniqueHandle process(
        ::OpenProcess(SYNCHRONIZE, FALSE, ServiceProcessId(service.get())));
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    WaitFor([&] { return ServiceState(service.get()) == SERVICE_STOPPED; });
    ::DeleteService(service.get());
    // The next test may install the same service at once; its start is
    // refused while the manager is still letting go of this process.
    if (process) ::WaitForSingleObject(process.get(), 5000);
}

}  // namespace testsupport
