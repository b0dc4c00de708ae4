// The archive reader and extraction on real packages under Wine: folders,
// overwrite, damage of every kind, the layout around the archive, OEM
// names, unsafe names, cancelling and the worker.
#include "PackageFixture.h"

#include <algorithm>
#include <functional>

using namespace sfx;
using namespace sfxtest;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

// A message-only window that receives the worker's notices.
class NoticeWindow {
public:
    struct Notice {
        WPARAM code;
        LPARAM value;
    };
    NoticeWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"SfxTestNotices";
        ::RegisterClassW(&wc);
        m_window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     wc.hInstance, nullptr);
        ::SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~NoticeWindow() { ::DestroyWindow(m_window); }
    HWND get() const { return m_window; }
    // Pumps until the completion message arrives or timeoutMs pass.
    bool waitForCompletion(DWORD timeoutMs) {
        return testsupport::WaitFor(
            [&] {
                pump();
                return m_completed;
            },
            timeoutMs);
    }
    void pump() {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    std::vector<Notice> notices;
    std::vector<std::wstring> names;
    std::function<void(const std::wstring&)> onName;
    bool m_completed = false;
    LPARAM completion = -1;

private:
    static LRESULT CALLBACK proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<NoticeWindow*>(::GetWindowLongPtrW(w, GWLP_USERDATA));
        if (self != nullptr && m == kMsgProgress) {
            self->notices.push_back({wp, lp});
            if (wp == kNoticeName) {
                self->names.emplace_back(reinterpret_cast<const wchar_t*>(lp));
                if (self->onName) self->onName(self->names.back());
            }
            return 0;
        }
        if (self != nullptr && m == kMsgCompletion) {
            self->m_completed = true;
            self->completion = lp;
            return 0;
        }
        return ::DefWindowProcW(w, m, wp, lp);
    }
    HWND m_window = nullptr;
};

ExtractTask taskFor(NoticeWindow& window, ExtractorState& s) {
    ExtractTask task{};
    task.notifyWindow = window.get();
    task.progressMessage = kMsgProgress;
    task.completionMessage = kMsgCompletion;
    task.completionWParam = 10;
    for (int i = 0; i < 4; ++i) task.completionValues[i] = i;
    task.work = extractionWork;
    task.argument = &s;
    return task;
}

std::string bytesOf(size_t n, unsigned seed) {
    std::string out(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 23);
    }
    return out;
}

struct Archive : ::testing::Test {
    TempDir temp;
    std::wstring source = temp / L"source";
    std::wstring out = temp / L"out";
    std::wstring package = temp / L"pkg.exe";
    void SetUp() override {
        ::CreateDirectoryW(source.c_str(), nullptr);
        ::CreateDirectoryW((source + L"\\a").c_str(), nullptr);
        ::CreateDirectoryW((source + L"\\empty").c_str(), nullptr);
        WriteFileBytes(source + L"\\top.txt", "top file\r\n");
        WriteFileBytes(source + L"\\a\\b.txt", std::string(50000, 'b'));
        WriteFileBytes(source + L"\\a\\noise.bin", bytesOf(70000, 1));
    }
    // A crafted archive behind the program's image.
    void writeCrafted(const std::vector<ZipEntry>& entries, const std::string& after = "") {
        WriteFileBytes(package, ReadFileBytes(stubPath()) + zipOf(entries) + after);
    }
    ResultCode extract(uint8_t options, ExtractorState** keep = nullptr) {
        m_state = stateFor(package, out, options);
        ResultCode code = scanArchive(*m_state);
        if (code == rc::Ok) code = extractAll(*m_state, nullptr);
        if (keep) *keep = m_state.get();
        return code;
    }
    std::unique_ptr<ExtractorState> m_state;
};

TEST_F(Archive, FoldersKeptOrFlattenedWithContentsAndTimes) {
    DescriptionText text;
    buildPackage(source, package, text);
    ASSERT_EQ(extract(optKeepFolders | optOverwrite), rc::Ok);
    EXPECT_EQ(filesUnder(out), (std::vector<std::wstring>{L"a\\", L"a\\b.txt", L"a\\noise.bin",
                                                          L"empty\\", L"top.txt"}));
    EXPECT_EQ(ReadFileBytes(out + L"\\a\\noise.bin"), ReadFileBytes(source + L"\\a\\noise.bin"));
    EXPECT_EQ(ReadFileBytes(out + L"\\a\\b.txt"), std::string(50000, 'b'));
    EXPECT_EQ(m_state->entryCount, 5u);
    EXPECT_EQ(m_state->totalSize, 10u + 50000u + 70000u);
    // The archive's time (two-second resolution) on the extracted file.
    WIN32_FILE_ATTRIBUTE_DATA a{}, b{};
    ASSERT_TRUE(
        ::GetFileAttributesExW((source + L"\\a\\noise.bin").c_str(), GetFileExInfoStandard, &a));
    ASSERT_TRUE(
        ::GetFileAttributesExW((out + L"\\a\\noise.bin").c_str(), GetFileExInfoStandard, &b));
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    EXPECT_LE(std::llabs(ticks(a.ftLastWriteTime) - ticks(b.ftLastWriteTime)), 20000000LL);
    EXPECT_EQ(ticks(b.ftCreationTime), ticks(b.ftLastWriteTime));

    testsupport::TempDir flat;
    out = flat.Path();
    ASSERT_EQ(extract(optOverwrite), rc::Ok);
    EXPECT_EQ(filesUnder(out), (std::vector<std::wstring>{L"b.txt", L"noise.bin", L"top.txt"}));
}

TEST_F(Archive, OverwriteOffSkipsAnExistingFileAndGoesOn) {
    buildPackage(source, package, DescriptionText{});
    ::CreateDirectoryW(out.c_str(), nullptr);
    WriteFileBytes(out + L"\\top.txt", "mine");
    NoticeWindow window;
    auto s = stateFor(package, out, optKeepFolders);
    ExtractTask task = taskFor(window, *s);
    ASSERT_EQ(scanArchive(*s), rc::Ok);
    ASSERT_TRUE(startTask(task));
    ASSERT_TRUE(window.waitForCompletion(20000));
    EXPECT_EQ(window.completion, 0);
    EXPECT_TRUE(cancelTask());
    EXPECT_EQ(ReadFileBytes(out + L"\\top.txt"), "mine");
    EXPECT_EQ(ReadFileBytes(out + L"\\a\\b.txt"), std::string(50000, 'b'));
    int skipped = 0, results = 0;
    for (const auto& n : window.notices) {
        if (n.code == kNoticeResult && n.value == rc::Skipped) ++skipped;
        if (n.code == kNoticeResult && n.value == rc::Ok) ++results;
    }
    EXPECT_EQ(skipped, 1);
    EXPECT_EQ(results, 1);  // the run's own final result
    EXPECT_EQ(window.names.size(), 5u);
}

TEST_F(Archive, DamagedEntriesEndTheRunAndLeaveNoFile) {
    const std::string data = std::string(40000, 'x') + bytesOf(40000, 2);
    struct Case {
        ZipEntry bad;
        ResultCode expected;
    };
    std::vector<Case> cases;
    cases.push_back(
        {ZipEntry{"bad.bin", data, 8, 0, 0, false, true}, rc::ReadEntry});  // broken deflate
    cases.push_back(
        {ZipEntry{"bad.bin", data, 0, 0, 0, true, false}, rc::CrcMismatch});  // stored, CRC off
    cases.push_back(
        {ZipEntry{"bad.bin", data, 8, 0, 0, true, false}, rc::CrcMismatch});  // deflated, CRC off
    cases.push_back(
        {ZipEntry{"bad.bin", data, 12, 0, 0, false, false}, rc::OpenEntry});  // method 12
    cases.push_back(
        {ZipEntry{"bad.bin", data, 14, 0, 0, false, false}, rc::OpenEntry});  // method 14
    cases.push_back(
        {ZipEntry{"bad.bin", data, 8, 1, 0, false, false}, rc::OpenEntry});  // encrypted flag
    for (const Case& c : cases) {
        TempDir folder;
        out = folder.Path();
        writeCrafted({ZipEntry{"first.txt", "first"}, c.bad, ZipEntry{"z.txt", "after"}});
        EXPECT_EQ(extract(optKeepFolders | optOverwrite), c.expected) << "method " << c.bad.method;
        EXPECT_EQ(filesUnder(out), std::vector<std::wstring>{L"first.txt"})
            << "method " << c.bad.method;
    }
}

TEST_F(Archive, LayoutAroundTheArchive) {
    const std::string zip = zipOf({ZipEntry{"x.txt", std::string(3000, 'x')}});
    // 240 KB in front, a 13 KB signature block behind: it opens.
    WriteFileBytes(package, bytesOf(240 * 1024, 3) + zip + bytesOf(13 * 1024, 4));
    EXPECT_EQ(extract(optKeepFolders), rc::Ok);
    EXPECT_EQ(ReadFileBytes(out + L"\\x.txt"), std::string(3000, 'x'));
    // The end record further than 65,535 bytes from the end: no archive.
    WriteFileBytes(package, bytesOf(1024, 3) + zip + bytesOf(66 * 1024, 4));
    EXPECT_EQ(extract(optKeepFolders), rc::OpenArchive);
    // No entries at all.
    writeCrafted({});
    EXPECT_EQ(extract(optKeepFolders), rc::NoEntries);
    // No archive, a missing file, a folder.
    WriteFileBytes(package, ReadFileBytes(stubPath()));
    EXPECT_EQ(extract(optKeepFolders), rc::OpenArchive);
    package = temp / L"missing.exe";
    EXPECT_EQ(extract(optKeepFolders), rc::ExePath);
    package = temp.Path();
    EXPECT_EQ(extract(optKeepFolders), rc::ExePath);
}

TEST_F(Archive, NamesAreReadInTheOemCodePageWhateverTheirFlags) {
    // "caf\x82.txt" is "café.txt" in code pages 437 and 850; bit 11 claims UTF-8.
    ASSERT_EQ(::GetOEMCP(), 437u);
    writeCrafted({ZipEntry{"caf\x82.txt", "cafe", 8, 0x800}, ZipEntry{"d\x94r/\x81.txt", "u"}});
    EXPECT_EQ(extract(optKeepFolders), rc::Ok);
    EXPECT_EQ(ReadFileBytes(out + L"\\caf\u00e9.txt"), "cafe");
    EXPECT_EQ(ReadFileBytes(out + L"\\d\u00f6r\\\u00fc.txt"), "u");

    // The builder stores names the same way.
    testsupport::TempDir named;
    WriteFileBytes(named / L"\u00e9t\u00e9.txt", "summer");
    buildPackage(named.Path(), package, DescriptionText{});
    testsupport::TempDir again;
    out = again.Path();
    EXPECT_EQ(extract(optKeepFolders), rc::Ok);
    EXPECT_EQ(ReadFileBytes(out + L"\\\u00e9t\u00e9.txt"), "summer");
}

TEST_F(Archive, UnsafeNamesWriteNothingAnywhere) {
    const char* const names[] = {"../../escaped.txt",
                                 "a/../../escaped.txt",
                                 "C:escaped.txt",
                                 "C:/escaped.txt",
                                 "//srv/share/escaped.txt",
                                 "//?/C:/escaped.txt",
                                 "CON",
                                 "sub/con.txt",
                                 "NUL.log",
                                 "COM1",
                                 "trail.",
                                 "trail ",
                                 "file.txt:stream",
                                 "a//b.txt",
                                 "q?.txt"};
    for (const char* name : names) {
        for (uint8_t keep : {uint8_t(optKeepFolders), uint8_t(0)}) {
            TempDir folder;
            out = folder / L"inner";
            writeCrafted({ZipEntry{"0first.txt", "first"}, ZipEntry{name, "evil"}});
            ExtractorState* s = nullptr;
            EXPECT_EQ(extract(keep | optOverwrite, &s), rc::PathTooLong) << name;
            EXPECT_EQ(filesUnder(folder.Path()), std::vector<std::wstring>{}) << name;
            EXPECT_FALSE(testsupport::FileExists(temp / L"escaped.txt")) << name;
        }
    }
    // A name longer than 259 characters, which minizip would hand out cut.
    writeCrafted({ZipEntry{std::string(300, 'n'), "long"}});
    EXPECT_EQ(extract(optKeepFolders), rc::PathTooLong);
    EXPECT_FALSE(testsupport::DirectoryExists(out));
}

TEST_F(Archive, CancelStopsWithinOneChunkAndDeletesThePartialFile) {
    writeCrafted({ZipEntry{"small.txt", "s"}, ZipEntry{"large.bin", bytesOf(8 << 20, 5), 0}});
    NoticeWindow window;
    auto s = stateFor(package, out, optKeepFolders | optOverwrite);
    ASSERT_EQ(scanArchive(*s), rc::Ok);
    // The worker waits in notice 80 while the large file is announced: the
    // cancel is set then, before its first chunk.
    window.onName = [](const std::wstring& name) {
        if (name == L"large.bin") requestCancel();
    };
    ASSERT_TRUE(startTask(taskFor(window, *s)));
    ASSERT_TRUE(window.waitForCompletion(20000));
    EXPECT_EQ(window.completion, 1);
    EXPECT_TRUE(cancelTask());
    LPARAM result = 0;
    uint64_t bytesAfterLarge = 0;
    bool inLarge = false;
    for (const auto& n : window.notices) {
        if (n.code == kNoticeResult) result = n.value;
        if (n.code == kNoticeEntryStart) inLarge = n.value == 2;
        if (n.code == kNoticeBytes && inLarge) bytesAfterLarge += static_cast<uint64_t>(n.value);
    }
    EXPECT_EQ(result, rc::Cancelled);
    EXPECT_LE(bytesAfterLarge, 16384u);
    EXPECT_TRUE(testsupport::FileExists(out + L"\\small.txt"));
    EXPECT_FALSE(testsupport::FileExists(out + L"\\large.bin"));
}

TEST_F(Archive, CancelFromTheInterfaceThreadWhileTheWorkerSendsANotice) {
    // Many entries: the worker sends notice 80 for each to this thread. The
    // cancel waits for the worker without pumping this thread's queue; it
    // must still answer the sent notice, or neither can go on.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 400; ++i) {
        std::string name = "f";
        name.append(std::to_string(1000 + i));
        name.append(".txt");
        entries.push_back(ZipEntry{name, bytesOf(20000, static_cast<unsigned>(i))});
    }
    writeCrafted(entries);
    NoticeWindow window;
    auto s = stateFor(package, out, optKeepFolders | optOverwrite);
    ASSERT_EQ(scanArchive(*s), rc::Ok);
    ASSERT_TRUE(startTask(taskFor(window, *s)));
    // Once the entries are being written, cancel without pumping.
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            window.pump();
            return !window.names.empty();
        },
        20000));
    // Not pumping now: by the end of this pause the worker waits in the
    // notice for a later entry.
    ::Sleep(300);
    const ULONGLONG started = ::GetTickCount64();
    EXPECT_TRUE(cancelTask());
    EXPECT_LT(::GetTickCount64() - started, 3000u);
    window.pump();
    EXPECT_GT(window.names.size(), 0u);
    EXPECT_LT(window.names.size(), 400u);
}

TEST_F(Archive, WorkerRunsTheTaskAndReportsEachEntry) {
    buildPackage(source, package, DescriptionText{});
    NoticeWindow window;
    auto s = stateFor(package, out, optKeepFolders | optOverwrite);
    ASSERT_EQ(scanArchive(*s), rc::Ok);
    ASSERT_TRUE(startTask(taskFor(window, *s)));
    ASSERT_TRUE(window.waitForCompletion(20000));
    EXPECT_EQ(window.completion, 0);
    EXPECT_TRUE(cancelTask());
    uint64_t bytes = 0;
    int starts = 0, ends = 0;
    for (const auto& n : window.notices) {
        if (n.code == kNoticeBytes) bytes += static_cast<uint64_t>(n.value);
        if (n.code == kNoticeEntryStart) ++starts;
        if (n.code == kNoticeEntryEnd) ++ends;
    }
    EXPECT_EQ(bytes, s->totalSize);
    EXPECT_EQ(starts, 3);
    EXPECT_EQ(ends, 3);
    EXPECT_EQ(window.names, (std::vector<std::wstring>{L"a\\", L"a\\b.txt", L"a\\noise.bin",
                                                       L"empty\\", L"top.txt"}));
}

TEST(Builder, RefusesWhatWouldNotMakeAWorkingPackage) {
    TempDir temp;
    sfxpack::PackageRequest request;
    request.stub = stubPath();
    request.folder = temp / L"missing";
    request.output = temp / L"pkg.exe";
    sfxpack::PackageReport report;
    std::wstring error;
    EXPECT_FALSE(sfxpack::buildPackage(request, report, error));
    EXPECT_NE(error.find(L"no such folder"), std::wstring::npos);

    request.folder = temp / L"files";
    ::CreateDirectoryW(request.folder.c_str(), nullptr);
    EXPECT_FALSE(sfxpack::buildPackage(request, report, error));
    EXPECT_NE(error.find(L"holds no files"), std::wstring::npos);

    WriteFileBytes(request.folder + L"\\ok.txt", "ok");
    request.description.banner = std::wstring(300, L'b');
    EXPECT_FALSE(sfxpack::buildPackage(request, report, error));
    EXPECT_NE(error.find(L"banner"), std::wstring::npos);
    request.description.banner = L"Banner";

    request.description.command = L"pkgsetup.exe";
    EXPECT_FALSE(sfxpack::buildPackage(request, report, error));
    EXPECT_NE(error.find(L"pkgsetup.exe"), std::wstring::npos);
    request.description.command.clear();

    WriteFileBytes(request.folder + L"\\\u0416.txt", "cyrillic");  // not in OEM code page 437
    EXPECT_FALSE(sfxpack::buildPackage(request, report, error));
    EXPECT_NE(error.find(L"OEM"), std::wstring::npos);
    ::DeleteFileW((request.folder + L"\\\u0416.txt").c_str());
    EXPECT_FALSE(testsupport::FileExists(request.output));

    ASSERT_TRUE(sfxpack::buildPackage(request, report, error)) << testsupport::Narrow(error);
    EXPECT_EQ(report.files, 1u);
    EXPECT_FALSE(testsupport::FileExists(request.output + L".zip.tmp"));
}

}  // namespace
