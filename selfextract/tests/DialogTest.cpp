// The extractor's dialogs driven for real under Xvfb: the pages, the
// options page and its disk-space message, the Exit question, About and
// Disclaimer, silent runs with the substitute setup program, right-to-left
// languages. Screenshots of the main pages go to bin\screenshots.
#include "PackageFixture.h"

#include <commctrl.h>

using namespace sfxtest;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::WriteFileBytes;

namespace {

constexpr const wchar_t* kCaption = L"NORVALE Archive Extractor";

// The package started as a process of its own.
class PackageRun {
public:
    PackageRun(const std::wstring& exe, const std::wstring& args,
               const std::map<std::wstring, std::wstring>& env = {}) {
        for (const auto& [name, value] : env)
            ::SetEnvironmentVariableW(name.c_str(), value.c_str());
        std::wstring line = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi)) {
            m_process = pi.hProcess;
            m_id = pi.dwProcessId;
            ::CloseHandle(pi.hThread);
        }
        for (const auto& entry : env) ::SetEnvironmentVariableW(entry.first.c_str(), nullptr);
    }
    ~PackageRun() {
        if (m_process != nullptr) {
            if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(m_process, 1);
            ::WaitForSingleObject(m_process, 5000);
            ::CloseHandle(m_process);
        }
    }
    bool started() const { return m_process != nullptr; }
    // The exit code, or 0xDEAD when it does not end within timeoutMs.
    DWORD exitCode(DWORD timeoutMs = 30000) {
        if (::WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return 0xDEAD;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        return code;
    }
    bool running() const { return ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    // A top-level window of this process with this caption (visible or not).
    HWND window(const wchar_t* caption, DWORD timeoutMs = 15000, bool visible = true) {
        HWND found = nullptr;
        WaitFor(
            [&] {
                found = findWindow(caption, visible);
                return found != nullptr;
            },
            timeoutMs);
        return found;
    }
    HWND findWindow(const wchar_t* caption, bool visible) {
        struct Search {
            DWORD id;
            const wchar_t* caption;
            bool visible;
            HWND found;
        } search{m_id, caption, visible, nullptr};
        ::EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                auto* s = reinterpret_cast<Search*>(p);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                wchar_t text[256] = {};
                ::GetWindowTextW(w, text, 256);
                if (pid == s->id && (!s->visible || ::IsWindowVisible(w)) &&
                    (s->caption == nullptr || wcscmp(text, s->caption) == 0)) {
                    s->found = w;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// A control with this id anywhere below parent (the pages are children).
HWND control(HWND parent, int id) {
    struct Search {
        int id;
        HWND found;
    } search{id, nullptr};
    ::EnumChildWindows(
        parent,
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            if (::GetDlgCtrlID(w) == s->id && ::IsWindowVisible(w)) {
                s->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring textOf(HWND w) {
    wchar_t text[600] = {};
    if (w != nullptr)
        ::SendMessageTimeoutW(w, WM_GETTEXT, 600, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                              2000, nullptr);
    return text;
}

// Presses button id of dialog as a click would.
void press(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// The message box of the run, its text, and an answer.
std::wstring answerBox(PackageRun& run, int answer) {
    HWND box = run.window(L"Archive Extractor", 15000);
    if (box == nullptr) return L"(no message box)";
    std::wstring text = textOf(control(box, 0xFFFF));
    press(box, answer);
    return text;
}

// A 24-bit BMP of the window as it is on the screen.
void screenshot(HWND window, const std::wstring& name) {
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::Sleep(300);
    RECT r{};
    ::GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    ::SelectObject(memory, old);
    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = ((w * 3) + 3) & ~3;
    std::string pixels(static_cast<size_t>(stride) * h, '\0');
    ::GetDIBits(memory, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                DIB_RGB_COLORS);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfSize = static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(info) + pixels.size());
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(info);
    const std::wstring folder = testsupport::ExeDirectory() + L"\\screenshots";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
    bytes.append(reinterpret_cast<const char*>(&info), sizeof(info));
    bytes.append(pixels);
    WriteFileBytes(folder + L"\\" + name + L".bmp", bytes);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
}

struct Dialogs : ::testing::Test {
    TempDir temp;
    std::wstring source = temp / L"source";
    std::wstring package = temp / L"pkg.exe";
    std::wstring out = temp / L"out";
    std::wstring record = temp / L"record.txt";
    sfx::DescriptionText text;
    void SetUp() override {
        ::CreateDirectoryW(source.c_str(), nullptr);
        WriteFileBytes(source + L"\\readme.txt", "read me\r\n");
        ::CreateDirectoryW((source + L"\\drivers").c_str(), nullptr);
        WriteFileBytes(source + L"\\drivers\\nrvdemo.inf", std::string(20000, 'i'));
        text.banner = L"NORVALE System Driver 2.04.0001.00";
        text.options = sfx::optKeepFolders | sfx::optOverwrite;
    }
    void withSetup() {
        ASSERT_TRUE(::CopyFileW((testsupport::ExeDirectory() + L"\\sxsetup.exe").c_str(),
                                (source + L"\\pkgsetupwb.exe").c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW((testsupport::ExeDirectory() + L"\\sxsetup.exe").c_str(),
                                (source + L"\\pkgsetup.exe").c_str(), FALSE));
        text.command = L"pkgsetup.exe";
        text.options |= sfx::optRunCommand;
    }
    void build() { buildPackage(source, package, text); }
    std::map<std::wstring, std::wstring> setupEnv(const std::wstring& exitCode = L"0") {
        return {{L"NRV_SETUP_RECORD", record}, {L"NRV_SETUP_EXIT", exitCode}};
    }
};

TEST_F(Dialogs, WelcomeThenProgressThenDone) {
    text.welcome = L"Welcome. This package installs the NORVALE platform support.";
    text.information = L"The files are extracted into the folder shown above.";
    build();
    PackageRun run(package, L"\"/D" + out + L"\"");
    HWND main = run.window(kCaption);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(textOf(::GetDlgItem(main, 1002)), text.banner);
    EXPECT_EQ(textOf(control(main, 1012)), text.welcome);
    EXPECT_EQ(textOf(::GetDlgItem(main, 1000)), L"Next");
    screenshot(main, L"welcome");
    press(main, 1000);
    ASSERT_TRUE(WaitFor([&] { return control(main, 1013) != nullptr; }));
    EXPECT_EQ(textOf(::GetDlgItem(main, 1000)), L"Start");
    EXPECT_EQ(textOf(control(main, 1013)), L"Please click the Start button to begin.");
    EXPECT_EQ(textOf(control(main, 1014)), L"Extract to:  " + out);
    EXPECT_EQ(textOf(control(main, 1012)), text.information);
    screenshot(main, L"progress");
    press(main, 1000);
    EXPECT_EQ(run.exitCode(), 0x210000C8u);
    EXPECT_EQ(ReadFileBytes(out + L"\\drivers\\nrvdemo.inf"), std::string(20000, 'i'));
}

TEST_F(Dialogs, ExitQuestionOnEveryPage) {
    text.welcome = L"Welcome.";
    build();
    {
        PackageRun run(package, L"\"/D" + out + L"\"");
        HWND main = run.window(kCaption);
        ASSERT_NE(main, nullptr);
        press(main, 1001);
        EXPECT_EQ(answerBox(run, IDNO), L"Do you wish to exit this application?");
        ::Sleep(500);
        EXPECT_TRUE(run.running());
        press(main, 1001);
        EXPECT_EQ(answerBox(run, IDYES), L"Do you wish to exit this application?");
        EXPECT_EQ(run.exitCode(), 0x210000C8u);
        EXPECT_FALSE(testsupport::DirectoryExists(out));
    }
    {
        // SC: Exit before extracting ends with 0.
        PackageRun run(package, L"/SC \"/D" + out + L"\"");
        HWND main = run.window(kCaption);
        ASSERT_NE(main, nullptr);
        press(main, 1001);
        EXPECT_EQ(answerBox(run, IDYES), L"Do you wish to exit this application?");
        EXPECT_EQ(run.exitCode(), 0u);
    }
}

TEST_F(Dialogs, ExitDuringExtractionCancels) {
    // Many small entries: a long, steady extraction.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 30000; ++i) {
        std::string name = "f";
        name.append(std::to_string(100000 + i));
        entries.push_back(ZipEntry{name, std::string(100, 'z'), 0});
    }
    sfxpack::PackageReport report;
    buildPackage(source, package, text, false, &report);  // the program with its description
    WriteFileBytes(package, ReadFileBytes(package).substr(0, report.imageBytes) + zipOf(entries));
    PackageRun run(package, L"\"/D" + out + L"\"");
    HWND main = run.window(kCaption);
    ASSERT_NE(main, nullptr);
    press(main, 1000);
    ASSERT_TRUE(WaitFor([&] { return !::IsWindowEnabled(::GetDlgItem(main, 1000)); }, 10000));
    press(main, 1001);
    EXPECT_EQ(answerBox(run, IDNO), L"Task is in progress.\r\n\r\nDo you still wish to exit?");
    ::Sleep(300);
    EXPECT_TRUE(run.running());
    press(main, 1001);
    HWND box = run.window(L"Archive Extractor", 15000);
    ASSERT_NE(box, nullptr);
    press(box, IDYES);
    WaitFor([&] { return textOf(control(main, 1017)).find(L"Cancelling...") == 0; }, 3000);
    EXPECT_EQ(static_cast<int>(run.exitCode(60000)), -118);
    // Stopped part-way (perhaps still checking the names); every file there is whole.
    const auto files = filesUnder(out);
    EXPECT_LT(files.size(), 30000u);
    for (const std::wstring& f : files) EXPECT_EQ(ReadFileBytes(out + L"\\" + f).size(), 100u);
}

TEST_F(Dialogs, OptionsPageAndTheDiskSpaceMessage) {
    build();
    const std::wstring other = temp / L"other";
    {
        PackageRun run(package, L"\"/D" + out + L"\"");
        HWND main = run.window(kCaption);
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(WaitFor([&] { return control(main, 1015) != nullptr; }));
        press(control(main, 1015) != nullptr ? ::GetParent(control(main, 1015)) : main, 1015);
        ASSERT_TRUE(WaitFor([&] { return control(main, 1004) != nullptr; }));
        // Without a setup command the run and delete boxes are hidden.
        EXPECT_EQ(control(main, 1007), nullptr);
        EXPECT_EQ(control(main, 1018), nullptr);
        EXPECT_NE(control(main, 1006), nullptr);
        EXPECT_EQ(textOf(control(main, 1004)), out);
        screenshot(main, L"options");
        ::SendMessageW(control(main, 1004), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(other.c_str()));
        press(main, 1000);
        ASSERT_TRUE(WaitFor([&] { return control(main, 1013) != nullptr; }));
        EXPECT_EQ(textOf(control(main, 1014)), L"Extract to:  " + other);
        press(main, 1000);
        EXPECT_EQ(run.exitCode(), 0x210000C8u);
        EXPECT_TRUE(FileExists(other + L"\\readme.txt"));
    }
    {
        // An archive claiming more than any disk holds.
        std::vector<ZipEntry> entries;
        for (int i = 0; i < 40; ++i) {
            std::string name = "f";
            name.append(std::to_string(i));
            entries.push_back(ZipEntry{name, "x"});
        }
        std::string zip = zipOf(entries);
        // Uncompressed size in every central record: 4 GB - 1.
        for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos;
             at = zip.find("PK\x01\x02", at + 4))
            zip.replace(at + 24, 4, "\xFF\xFF\xFF\xFF");
        sfxpack::PackageReport report;
        buildPackage(source, package, text, false, &report);
        WriteFileBytes(package, ReadFileBytes(package).substr(0, report.imageBytes) + zip);
        PackageRun run(package, L"\"/D" + out + L"\" /a");
        HWND main = run.window(kCaption);
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(WaitFor([&] { return control(main, 1017) != nullptr; }));
        EXPECT_EQ(textOf(control(main, 1017)),
                  L"Insufficient disk space for extraction. \r\n[179]");
        // With auto and the warning, nothing starts by itself.
        ::Sleep(1000);
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(main, 1000)));
        press(main, 1015);
        ASSERT_TRUE(WaitFor([&] { return control(main, 1004) != nullptr; }));
        press(main, 1000);
        EXPECT_EQ(answerBox(run, IDOK), L"Insufficient disk space for extraction.");
        ::Sleep(300);
        EXPECT_NE(control(main, 1004), nullptr);  // still on the options page
        press(main, 1001);
        answerBox(run, IDYES);
        run.exitCode();
    }
}

TEST_F(Dialogs, AboutAndDisclaimerFromTheSystemMenu) {
    text.about = L"NORVALE platform support package.";
    build();
    PackageRun run(package, L"\"/D" + out + L"\"");
    HWND main = run.window(kCaption);
    ASSERT_NE(main, nullptr);
    ::PostMessageW(main, WM_SYSCOMMAND, 0x10, 0);
    HWND about = run.window(L"About");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(textOf(::GetDlgItem(about, 1012)), text.about);
    screenshot(about, L"about");
    press(about, IDOK);
    ASSERT_TRUE(WaitFor([&] { return run.findWindow(L"About", true) == nullptr; }));
    ::PostMessageW(main, WM_SYSCOMMAND, 0x20, 0);
    HWND disclaimer = run.window(L"Disclaimer");
    ASSERT_NE(disclaimer, nullptr);
    EXPECT_NE(textOf(::GetDlgItem(disclaimer, 1019)).find(L"zlib"), std::wstring::npos);
    screenshot(disclaimer, L"disclaimer");
    press(disclaimer, IDOK);
    ASSERT_TRUE(WaitFor([&] { return run.findWindow(L"Disclaimer", true) == nullptr; }));
    press(main, 1001);
    answerBox(run, IDYES);
    EXPECT_EQ(run.exitCode(), 0x210000C8u);
}

TEST_F(Dialogs, SilentRunShowsNothingAndPassesTheSetupItsArguments) {
    withSetup();
    text.parameters = L"-from \"description\"";
    build();
    PackageRun run(package, L"/s /LNGJPN /PNx-1 /SC /R \"/D" + out + L"\"", setupEnv(L"42"));
    bool sawWindow = false;
    while (run.running() && !sawWindow) {
        sawWindow = run.findWindow(nullptr, true) != nullptr;
        ::Sleep(20);
    }
    EXPECT_FALSE(sawWindow);
    EXPECT_EQ(run.exitCode(), 42u);
    const auto lines = testsupport::SplitLines(ReadFileBytes(record));
    ASSERT_EQ(lines.size(), 4u);
    const std::string expected = "-from \"description\" -s -a -scm -lng 1041 -pn \"x-1\"";
    EXPECT_EQ(lines[0].substr(lines[0].size() - expected.size()), expected) << lines[0];
    EXPECT_EQ(lines[1], testsupport::Narrow(out));
    EXPECT_NE(lines[2].find("pkgsetupwb.exe"), std::string::npos);
    // The folder was new and /R allows it: gone.
    EXPECT_FALSE(testsupport::DirectoryExists(out));
}

TEST_F(Dialogs, FolderThatHeldFilesIsNeverDeleted) {
    withSetup();
    build();
    ::CreateDirectoryW(out.c_str(), nullptr);
    WriteFileBytes(out + L"\\mine.txt", "mine");
    PackageRun run(package, L"/s /R \"/D" + out + L"\"", setupEnv(L"0"));
    EXPECT_EQ(run.exitCode(), 0u);
    EXPECT_EQ(ReadFileBytes(out + L"\\mine.txt"), "mine");
    EXPECT_TRUE(FileExists(out + L"\\readme.txt"));
    EXPECT_TRUE(FileExists(record));
}

TEST_F(Dialogs, RightToLeftLanguagesAreMirrored) {
    text.welcome = L"Welcome.";
    build();
    for (const wchar_t* language : {L"/LNGARA", L"/LNGHBW"}) {
        PackageRun run(package, std::wstring(language) + L" \"/D" + out + L"\"");
        HWND main = run.window(kCaption);
        ASSERT_NE(main, nullptr);
        EXPECT_TRUE(::GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_LAYOUTRTL)
            << testsupport::Narrow(language);
        EXPECT_TRUE(::GetWindowLongPtrW(::GetDlgItem(main, 1002), GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
        if (std::wstring(language) == L"/LNGARA") screenshot(main, L"welcome-arabic");
        press(main, 1001);
        answerBox(run, IDYES);
        EXPECT_EQ(run.exitCode(), 0x210000C8u);
    }
}

}  // namespace
