// selfextract_fuzz [--inputs N] [--seed S] | --replay FILE
// Feeds mutated inputs to the extractor's readers of untrusted data: the
// description record, the command line, and the archive (scanned and
// extracted into a folder of its own). Fails (exit 1) when a write lands
// outside that folder, when one input takes more than 120 s (a hang), or on
// a crash; the input at fault is saved beside the program as
// fuzz-failure.bin. Prints the number of inputs per reader.
#include "PackageFixture.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>

using namespace sfx;

namespace {

uint64_t g_rng = 1;
uint32_t next() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 7;
    g_rng ^= g_rng << 17;
    return static_cast<uint32_t>(g_rng);
}
size_t below(size_t n) {
    return n == 0 ? 0 : next() % n;
}

std::string g_current;  // the input being tried
std::atomic<ULONGLONG> g_started{0};

void saveCurrent() {
    const std::wstring path = testsupport::ExeDirectory() + L"\\fuzz-failure.bin";
    testsupport::WriteFileBytes(path, g_current);
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* info) {
    saveCurrent();
    std::fprintf(stderr, "selfextract_fuzz: crash 0x%08lx; input saved as fuzz-failure.bin\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    ::ExitProcess(1);
}

DWORD WINAPI watchdog(void*) {
    for (;;) {
        ::Sleep(1000);
        const ULONGLONG started = g_started.load();
        if (started != 0 && ::GetTickCount64() - started > 120000) {
            saveCurrent();
            std::fprintf(
                stderr,
                "selfextract_fuzz: an input took more than 120 s; saved as fuzz-failure.bin\n");
            ::ExitProcess(1);
        }
    }
}

// Damage of the kinds that matter to parsers: bit flips, bytes, lying
// 16- and 32-bit fields, cuts, insertions.
std::string mutate(std::string s) {
    const int rounds = 1 + static_cast<int>(below(6));
    static const uint32_t interesting[] = {
        0,          1,           0x7F,        0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10000,
        0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 13,   14,   20,    259,    260,    520};
    for (int r = 0; r < rounds; ++r) {
        if (s.empty()) s.push_back('\0');
        const size_t at = below(s.size());
        switch (below(7)) {
            case 0:
                s[at] = static_cast<char>(s[at] ^ (1 << below(8)));
                break;
            case 1:
                s[at] = static_cast<char>(next());
                break;
            case 2:
            case 3: {
                const uint32_t v = interesting[below(sizeof(interesting) / sizeof(interesting[0]))];
                const size_t width = below(2) ? 2 : 4;
                for (size_t k = 0; k < width && at + k < s.size(); ++k)
                    s[at + k] = static_cast<char>(v >> (8 * k));
                break;
            }
            case 4:
                s.resize(at);
                break;
            case 5:
                s.insert(at, below(16) + 1, static_cast<char>(next()));
                break;
            default:
                s.erase(at, below(16) + 1);
                break;
        }
    }
    return s;
}

std::string shippedRecord() {
    DescriptionText text;
    text.banner = L"NORVALE System Driver 2.04.0001.00";
    text.command = L"pkgsetup.exe";
    text.extraFile = L"nrvbtsup.dll";
    text.about = L"About";
    text.welcome = L"Welcome";
    text.parameters = L"-x";
    text.hasDefaultFolder = true;
    text.defaultFolder = L"out";
    const std::vector<uint8_t> r = encodeDescription(text, nullptr);
    return std::string(r.begin(), r.end());
}

void fuzzDescription(ExtractorState& s, const std::string& input) {
    initState(s, nullptr, 1033);
    parseDescription(s, reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

void fuzzCommandLine(ExtractorState& s, const std::string& input) {
    initState(s, nullptr, 1033);
    wcscpy(s.exePath, L"C:\\pkgs\\pkg.exe");
    std::wstring raw(input.size() / 2, L'\0');
    std::memcpy(raw.data(), input.data(), raw.size() * 2);
    for (wchar_t& c : raw)
        if (c == 0) c = L' ';
    raw = L"pkg.exe " + raw;
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(raw.c_str(), &argc);
    if (argv == nullptr) return;
    if (parseCommandLine(s, argc, argv, raw.c_str()) == rc::Ok) buildSetupParameters(s);
    ::LocalFree(argv);
}

std::string commandSeed() {
    const std::wstring line =
        L"/s /x -/-a /LNGJPN /LANG411 /WAIT12 /SETUPR a \"b\" /TESTONLY /G1 /H0 /IxDy /PNz "
        L"/MODELabc /WBTq /LOG /SC /D\"c:\\x\"";
    return std::string(reinterpret_cast<const char*>(line.data()), line.size() * 2);
}

struct ArchiveRun {
    testsupport::TempDir root;
    std::wstring package = root / L"pkg.exe";
    std::wstring folder = root / L"in";
    std::string image = std::string(512, 'M');
};

bool fuzzArchive(ExtractorState& s, ArchiveRun& run, const std::string& input, uint8_t options) {
    testsupport::WriteFileBytes(run.package, run.image + input);
    initState(s, nullptr, 1033);
    wcscpy(s.exePath, run.package.c_str());
    wcscpy(s.folder, run.folder.c_str());
    s.options = options;
    if (scanArchive(s) == rc::Ok || s.entryCount > 0) extractAll(s, nullptr);
    closeArchive();
    // Nothing but the package and the folder may exist beside each other.
    const auto entries = sfxtest::filesUnder(run.root.Path());
    for (const std::wstring& e : entries) {
        if (e == L"pkg.exe" || e.rfind(L"in\\", 0) == 0) continue;
        std::fprintf(stderr, "selfextract_fuzz: written outside the folder: %s\n",
                     testsupport::Narrow(e).c_str());
        return false;
    }
    if (entries.size() > 1) {
        SHFILEOPSTRUCTW op{};
        std::wstring from = run.folder + L'\0';
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
        ::SHFileOperationW(&op);
    }
    return true;
}

std::string archiveSeed() {
    using sfxtest::ZipEntry;
    return sfxtest::zipOf(
        {ZipEntry{"a.txt", "alpha alpha alpha", 0}, ZipEntry{"dir/", "", 0, 0, 0x10},
         ZipEntry{"dir/b.bin", std::string(3000, 'b')}, ZipEntry{"c\x82.txt", "c"}},
        "comment");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    uint64_t inputs = 30000;
    uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--inputs") == 0)
            inputs = std::wcstoull(argv[i + 1], nullptr, 10);
        if (std::wcscmp(argv[i], L"--seed") == 0) seed = std::wcstoull(argv[i + 1], nullptr, 10);
    }
    g_rng = seed * 0x9E3779B97F4A7C15ull + 1;
    ::SetUnhandledExceptionFilter(onCrash);
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    HANDLE dog = ::CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
    if (dog) ::CloseHandle(dog);

    auto state = std::make_unique<ExtractorState>();
    ArchiveRun run;
    // --replay FILE: one saved input, through each reader in turn.
    if (argc >= 3 && std::wcscmp(argv[1], L"--replay") == 0) {
        g_current = testsupport::ReadFileBytes(argv[2]);
        g_started = ::GetTickCount64();
        fuzzDescription(*state, g_current);
        fuzzCommandLine(*state, g_current);
        const bool ok = fuzzArchive(*state, run, g_current, optKeepFolders | optOverwrite) &&
                        fuzzArchive(*state, run, g_current, optOverwrite);
        std::printf("selfextract_fuzz: replayed %zu bytes in %llu ms: %s\n", g_current.size(),
                    static_cast<unsigned long long>(::GetTickCount64() - g_started),
                    ok ? "no fault" : "FAULT");
        return ok ? 0 : 1;
    }
    const std::string seeds[3] = {shippedRecord(), commandSeed(), archiveSeed()};
    uint64_t counts[3] = {0, 0, 0};
    // Description and command line are cheap; the archive reader writes
    // files, so it gets one input in ten.
    for (uint64_t n = 0; n < inputs; ++n) {
        const int target = (n % 10 == 9) ? 2 : static_cast<int>(n % 2);
        g_current = mutate(seeds[target]);
        g_started = ::GetTickCount64();
        if (target == 0)
            fuzzDescription(*state, g_current);
        else if (target == 1)
            fuzzCommandLine(*state, g_current);
        else if (!fuzzArchive(*state, run, g_current,
                              (n / 10) % 2 ? optKeepFolders | optOverwrite : optOverwrite)) {
            saveCurrent();
            return 1;
        }
        g_started = 0;
        ++counts[target];
    }
    std::printf(
        "selfextract_fuzz: %llu inputs (description %llu, command line %llu, archive %llu), no "
        "fault\n",
        static_cast<unsigned long long>(inputs), static_cast<unsigned long long>(counts[0]),
        static_cast<unsigned long long>(counts[1]), static_cast<unsigned long long>(counts[2]));
    return 0;
}
