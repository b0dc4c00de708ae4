// Whole programs: each probe reads "DbgLog.ini" beside itself once, as the
// package's programs do. One probe has a service's defaults, one the pen
// launcher's.
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct Probe {
    TempDir dir;
    std::wstring exe;

    explicit Probe(const wchar_t* kind, const std::string& ini = {}) {
        exe = dir / (std::wstring(L"logprobe_") + kind + L".exe");
        EXPECT_TRUE(CopyInto(ExeDirectory() + L"\\logprobe_" + kind + L".exe", exe));
        if (!ini.empty()) WriteFileBytes(dir / L"DbgLog.ini", ini);
        ::CreateDirectoryW((dir / L"appdata").c_str(), nullptr);
        ::CreateDirectoryW((dir / L"appdata\\NORVALE").c_str(), nullptr);
    }

    ProcessResult Run(const std::wstring& tag, bool captureStderr = false) {
        return Run(tag, captureStderr, L"");
    }

    ProcessResult Run(const std::wstring& tag, bool captureStderr, const std::wstring& lastError) {
        ProcessOptions options;
        options.workingDirectory = dir.Path();
        options.environment[L"LocalAppData"] = dir / L"appdata";
        options.captureStandardError = captureStderr;
        ProcessResult result =
            RunProcess(exe, lastError.empty() ? tag : tag + L" " + lastError, options);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, 0u);
        return result;
    }

    std::wstring DefaultLog() const { return dir / L"appdata\\NORVALE\\SYSKIT\\POSTURESVC.txt"; }
};

int CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

// Only level-0 records and the hex dump: what a service writes without settings.
void ExpectErrorRecordsOnly(const std::vector<std::string>& lines, const std::string& tag) {
    EXPECT_EQ(CountContaining(lines, "[ERR]"), 3) << "error, value and long records";
    EXPECT_EQ(CountContaining(lines, "[WRN]") + CountContaining(lines, "[INF]") +
                  CountContaining(lines, "[TRC]"),
              0);
    EXPECT_EQ(CountContaining(lines, "probe " + tag + " error"), 1);
    EXPECT_EQ(CountContaining(lines, " 0000 : 41 42"), 1);
    EXPECT_EQ(CountContaining(lines, " 0010 : 51 52 53 54"), 1);
    ASSERT_EQ(lines.size(), 5u);
}

// Starts the probe as a debuggee and collects what it sends to the debugger.
std::vector<std::string> RunUnderDebugger(Probe& probe) {
    std::vector<std::string> output;
    std::wstring commandLine = L"\"" + probe.exe + L"\" debugged";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                          DEBUG_ONLY_THIS_PROCESS, nullptr, probe.dir.Path().c_str(), &startup,
                          &info)) {
        ADD_FAILURE() << "cannot start the probe under the debugger";
        return output;
    }
    nrv::UniqueHandle process(info.hProcess), thread(info.hThread);
    for (bool running = true; running;) {
        DEBUG_EVENT event{};
        if (!::WaitForDebugEvent(&event, 20000)) {
            ADD_FAILURE() << "debuggee hangs";
            ::TerminateProcess(process.get(), 1);
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                nrv::UniqueFileHandle(event.u.CreateProcessInfo.hFile).reset();
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile != nullptr)
                    nrv::UniqueFileHandle(event.u.LoadDll.hFile).reset();
                break;
            case OUTPUT_DEBUG_STRING_EVENT: {
                const auto& s = event.u.DebugString;
                const std::size_t bytes = s.nDebugStringLength * (s.fUnicode ? 2 : 1);
                std::string raw(bytes, '\0');
                SIZE_T read = 0;
                ::ReadProcessMemory(process.get(), s.lpDebugStringData, raw.data(), bytes, &read);
                raw.resize(read);
                if (s.fUnicode) {
                    std::wstring wide(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2);
                    raw = Narrow(wide);
                }
                raw.erase(std::find(raw.begin(), raw.end(), '\0'), raw.end());
                output.push_back(raw);
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    status = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                running = false;
                break;
            default:
                break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    return output;
}

void ExpectEveryRecordAtTheDebugger(const std::vector<std::string>& output) {
    EXPECT_EQ(CountContaining(output, "probe debugged error\n"), 1);
    EXPECT_EQ(CountContaining(output, "[WRN]"), 1);
    EXPECT_EQ(CountContaining(output, "[INF]"), 1);
    EXPECT_EQ(CountContaining(output, "[TRC] (TracedCall): ENTER TracedCall"), 1);
    EXPECT_EQ(CountContaining(output, "[TRC] (TracedCall): LEAVE TracedCall"), 1);
    EXPECT_EQ(CountContaining(output, " 0010 : 51 52 53 54"), 1);
}

}  // namespace

TEST(LogProcess, ServiceWithoutSettingsWritesErrorsToItsDefaultFileEmptiedAtStart) {
    Probe probe(L"service");
    ::CreateDirectoryW((probe.dir / L"appdata\\NORVALE\\SYSKIT").c_str(), nullptr);
    WriteFileBytes(probe.DefaultLog(), "from an earlier run\r\n");
    probe.Run(L"alpha");
    const auto lines = SplitLines(ReadFileBytes(probe.DefaultLog()));
    ExpectErrorRecordsOnly(lines, "alpha");
    EXPECT_EQ(CountContaining(lines, "earlier run"), 0);
    EXPECT_TRUE(std::regex_search(
        lines[0],
        std::regex(
            R"(^\d\d:\d\d:\d\d\.\d\d\d: LogProbe\.cpp\(\d+\):  \[ERR\] \(wmain\): probe alpha error$)")))
        << lines[0];
}

TEST(LogProcess, ServiceCreatesTheMissingLastFolderOfItsLogFile) {
    Probe probe(L"service");
    probe.Run(L"alpha");
    EXPECT_TRUE(FileExists(probe.DefaultLog()));
}

TEST(LogProcess, ServiceTakesBadValuesAsItsDefaults) {
    Probe probe(L"service", "[LOG]\r\nDestination=7\r\nLevel=9\r\nTimeDateFormat=5\r\n");
    probe.Run(L"beta");
    const auto lines = SplitLines(ReadFileBytes(probe.DefaultLog()));
    ExpectErrorRecordsOnly(lines, "beta");
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(^\d\d:\d\d:\d\d\.\d\d\d: )")))
        << lines[0];
}

TEST(LogProcess, PenLauncherWithoutSettingsSendsEveryRecordToTheDebugger) {
    Probe probe(L"pen");
    ExpectEveryRecordAtTheDebugger(RunUnderDebugger(probe));
    EXPECT_FALSE(FileExists(probe.dir / L"DbgLog.txt"));
}

TEST(LogProcess, PenLauncherTakesBadValuesAsItsDefaults) {
    Probe probe(L"pen", "[LOG]\r\nDestination=7\r\nLevel=9\r\n");
    ExpectEveryRecordAtTheDebugger(RunUnderDebugger(probe));
}

TEST(LogProcess, PenLauncherDefaultFileIsRelativeToTheCurrentFolder) {
    Probe probe(L"pen", "[LOG]\r\nDestination=2\r\n");
    probe.Run(L"gamma");
    const auto lines = SplitLines(ReadFileBytes(probe.dir / L"DbgLog.txt"));
    EXPECT_EQ(CountContaining(lines, "[TRC]"), 4);
    EXPECT_EQ(CountContaining(lines, "probe gamma value 50%s off"), 1);
}

TEST(LogProcess, FilePerRecordAppendsAcrossRunsWhileSharedFileStartsEmpty) {
    Probe appending(L"service", "[LOG]\r\nDestination=3\r\nLogFile=log.txt\r\nLevel=3\r\n");
    appending.Run(L"first");
    appending.Run(L"second");
    const auto appended = SplitLines(ReadFileBytes(appending.dir / L"log.txt"));
    EXPECT_EQ(CountContaining(appended, "probe first error"), 1);
    EXPECT_EQ(CountContaining(appended, "probe second error"), 1);

    Probe shared(L"service", "[LOG]\r\nDestination=2\r\nLogFile=log.txt\r\nLevel=3\r\n");
    shared.Run(L"first");
    shared.Run(L"second");
    const auto fresh = SplitLines(ReadFileBytes(shared.dir / L"log.txt"));
    EXPECT_EQ(CountContaining(fresh, "probe first"), 0);
    EXPECT_EQ(CountContaining(fresh, "probe second error"), 1);
}

TEST(LogProcess, LongMessageAndPercentValueInTheFile) {
    Probe probe(L"service", "[LOG]\r\nLogFile=log.txt\r\nTimeDateFormat=0\r\n");
    probe.Run(L"delta");
    const std::string bytes = ReadFileBytes(probe.dir / L"log.txt");
    const auto lines = SplitLines(bytes);
    EXPECT_EQ(CountContaining(lines, "[ERR] (wmain): probe delta value 50%s off"), 1);
    const auto longLine = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("xxxx") != std::string::npos;
    });
    ASSERT_NE(longLine, lines.end());
    EXPECT_EQ(longLine->size(), 510u);
    EXPECT_NE(bytes.find(std::string(10, 'x') + "\r\n"), std::string::npos);
}

TEST(LogProcess, LogFileTwoFoldersBelowAnExistingOneDropsRecords) {
    Probe probe(L"service", "[LOG]\r\nLogFile=missing\\deeper\\log.txt\r\n");
    probe.Run(L"epsilon");
    EXPECT_FALSE(DirectoryExists(probe.dir / L"missing"));
}

TEST(LogProcess, StandardErrorDestination) {
    Probe probe(L"service", "[LOG]\r\nDestination=4\r\nLevel=1\r\nTimeDateFormat=0\r\n");
    const ProcessResult result = probe.Run(L"zeta", true);
    const auto lines = SplitLines(result.standardError);
    EXPECT_EQ(CountContaining(lines, "LogProbe.cpp("), 4);
    EXPECT_EQ(CountContaining(lines, "[WRN] (wmain): probe zeta warning"), 1);
    EXPECT_EQ(CountContaining(lines, " 0000 : "), 1);
}

TEST(LogProcess, DestinationNoneWritesNothingAtAll) {
    Probe probe(L"service", "[LOG]\r\nDestination=0\r\nLevel=3\r\nLogFile=log.txt\r\n");
    EXPECT_TRUE(probe.Run(L"eta", true).standardError.empty());
    EXPECT_FALSE(FileExists(probe.dir / L"log.txt"));
}

TEST(LogProcess, FullSourcePathWithBackslashes) {
    Probe probe(L"service",
                "[LOG]\r\nLogFile=log.txt\r\nSourceFileFormat=1\r\nTimeDateFormat=0\r\n");
    probe.Run(L"theta");
    const auto lines = SplitLines(ReadFileBytes(probe.dir / L"log.txt"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("dbglog\\tests\\LogProbe.cpp(", 0), 0u) << lines[0];
}

TEST(LogProcess, FailureRecordBelowTheLevelWritesNeitherOfItsRecords) {
    // The probe writes a warning and an error, each with its last error.
    Probe quiet(L"service", "[LOG]\r\nDestination=4\r\nLevel=0\r\n");
    auto lines = SplitLines(quiet.Run(L"kappa", true, L"5").standardError);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[ERR] (wmain): probe kappa failure"), std::string::npos);
    EXPECT_NE(lines[1].find("[ERR] (wmain): Get Last Error:5 "), std::string::npos);

    Probe warnings(L"service", "[LOG]\r\nDestination=4\r\nLevel=1\r\n");
    lines = SplitLines(warnings.Run(L"kappa", true, L"5").standardError);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("[WRN] (wmain): probe kappa warning failure"), std::string::npos);
    EXPECT_NE(lines[1].find("[WRN] (wmain): Get Last Error:5 "), std::string::npos);
}

TEST(LogProcess, NetworkErrorTextsComeFromNetmsg) {
    Probe probe(L"service", "[LOG]\r\nDestination=4\r\nTimeDateFormat=0\r\n");
    const auto failure = [&probe](const wchar_t* code) {
        return SplitLines(probe.Run(L"iota", true, code).standardError);
    };

    // Without netmsg.dll beside it the text is empty.
    auto lines = failure(L"2102");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[ERR] (wmain): probe iota failure"), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].find("Get Last Error:")), "Get Last Error:2102 ");

    ASSERT_TRUE(CopyInto(ExeDirectory() + L"\\simulated\\netmsg.dll", probe.dir / L"netmsg.dll"));
    lines = failure(L"2102");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(lines[1].find("Get Last Error:")),
              "Get Last Error:2102 The workstation driver is not installed.\r");
    // Codes the system knows still come from the system.
    lines = failure(L"5");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].find("not installed"), std::string::npos);
    EXPECT_GT(lines[1].size(), lines[1].find("Get Last Error:5 ") + 17);
}
