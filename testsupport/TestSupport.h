// Helpers shared by the test binaries.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// Folder of the running test binary; its helper programs lie beside it.
std::wstring ExeDirectory();

// A new empty folder under the temporary folder, deleted with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool CopyInto(const std::wstring& from, const std::wstring& to);

// Splits at "\r\n" or "\n"; a final line feed gives no empty last line.
std::vector<std::string> SplitLines(const std::string& text);

struct ProcessResult {
    bool started = false;
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string standardError;   // when captured
    std::string standardOutput;  // when captured
};

struct ProcessOptions {
    std::wstring workingDirectory;                     // empty: the caller's
    std::map<std::wstring, std::wstring> environment;  // added to the caller's
    bool captureStandardError = false;
    bool captureStandardOutput = false;  // through a temporary file
    DWORD timeoutMs = 30000;
};

// Runs "exe args" and waits for it.
ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args,
                         const ProcessOptions& options = {});

// A process left running until Stop or destruction.
class RunningProcess {
public:
    explicit RunningProcess(const std::wstring& exe, const std::wstring& args = L"");
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    bool Started() const { return m_process != nullptr; }
    DWORD Id() const { return m_id; }
    void Stop();

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// The number of handles a process holds, from the system's handle table
// (Wine answers GetProcessHandleCount with 0); 0 when it cannot be read.
DWORD ProcessHandleCount(DWORD processId);

// The service's current state (SERVICE_RUNNING, ...); 0 when it cannot be
// queried.
DWORD ServiceState(SC_HANDLE service);
// Stops the named service if it is installed (waiting up to 5 s for
// STOPPED and for its process to end) and deletes it; nothing when there
// is no such service.
void StopAndDeleteService(SC_HANDLE manager, const wchar_t* name);
// The service's process id; 0 when it cannot be queried or none runs.
DWORD ServiceProcessId(SC_HANDLE service);

// Polls condition every 10 ms until it holds or timeoutMs pass.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = 5000) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() >= end) return false;
        ::Sleep(10);
    }
}

// The records this test binary wrote to its own log (every level, one file
// per run of the binary, appended per record).
class TestLog {
public:
    static std::wstring Path();
    // Lines written since the last Mark.
    static std::vector<std::string> LinesSinceMark();
    static void Mark();
    // Whether any line since the mark contains text.
    static bool Contains(const std::string& text);
    static int Count(const std::string& text);
};

}  // namespace testsupport
