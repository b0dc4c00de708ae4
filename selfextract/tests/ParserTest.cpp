// The extractor's parsers, free of UI and archive: description record,
// command line, language, folders, setup parameters, entry names and the
// exit-code rule.
#include "Extractor.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace sfx;

namespace {

struct Fixture : ::testing::Test {
    std::unique_ptr<ExtractorState> owned = std::make_unique<ExtractorState>();
    ExtractorState& s = *owned;
    void SetUp() override {
        initState(s, nullptr, 1033);
        wcscpy(s.exePath, L"C:\\pkgs\\pkg.exe");
    }
    // Splits raw as the program does and parses it.
    ResultCode parse(const std::wstring& raw) {
        int argc = 0;
        wchar_t** argv = ::CommandLineToArgvW(raw.c_str(), &argc);
        const ResultCode code = parseCommandLine(s, argc, argv, raw.c_str());
        ::LocalFree(argv);
        return code;
    }
};

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void putText(std::vector<uint8_t>& v, const std::string& text) {
    v.insert(v.end(), text.begin(), text.end());
    v.push_back(0);
}

// The record every package of the product carries.
std::vector<uint8_t> shippedRecord() {
    std::vector<uint8_t> r;
    put16(r, 20);
    put16(r, 2017);
    r.insert(r.end(), {87, 0, 0, 0, 0x4C, 0x11, 0x01, 0, 0, 0, 0, 0, 0, 0});
    const std::string banner = "NORVALE System Driver 2.04.0001.00";
    put16(r, static_cast<uint16_t>(banner.size() + 1));
    putText(r, banner);
    put16(r, 13);
    putText(r, "pkgsetup.exe");
    put16(r, 13);
    putText(r, "nrvbtsup.dll");
    put16(r, 0);
    return r;
}

using Description = Fixture;

TEST_F(Description, ShippedRecordGivesItsTextsOptionsAndTheDerivedCommand) {
    const std::vector<uint8_t> r = shippedRecord();
    ASSERT_EQ(r.size(), 87u);
    EXPECT_EQ(parseDescription(s, r.data(), r.size()), rc::Ok);
    EXPECT_EQ(s.year, 2017);
    EXPECT_EQ(s.options, optKeepFolders | optOverwrite | optRunCommand);
    EXPECT_STREQ(s.banner, L"NORVALE System Driver 2.04.0001.00");
    EXPECT_STREQ(s.command, L"pkgsetup.exe");
    EXPECT_STREQ(s.derivedCommand, L"pkgsetupwb.exe");
    EXPECT_STREQ(s.extraFile, L"nrvbtsup.dll");
    EXPECT_STREQ(s.defaultFolder, L"");
    EXPECT_STREQ(s.welcome, L"");
}

TEST_F(Description, ShortOrMalformedRecordsKeepWhatWasReadBefore) {
    std::vector<uint8_t> r = shippedRecord();
    EXPECT_EQ(parseDescription(s, r.data(), 13), rc::DescriptionMissing);
    std::vector<uint8_t> smallHeader = r;
    smallHeader[0] = 13;
    EXPECT_EQ(parseDescription(s, smallHeader.data(), smallHeader.size()), rc::DescriptionMissing);

    // The command's count runs past the end: the banner stays.
    std::vector<uint8_t> cut(r.begin(), r.begin() + 60);
    initState(s, nullptr, 1033);
    EXPECT_EQ(parseDescription(s, cut.data(), cut.size()), rc::DescriptionMalformed);
    EXPECT_STREQ(s.banner, L"NORVALE System Driver 2.04.0001.00");
    EXPECT_STREQ(s.command, L"");

    // Bytes that are not UTF-8.
    std::vector<uint8_t> bad = r;
    bad[22] = 0xFF;
    initState(s, nullptr, 1033);
    EXPECT_EQ(parseDescription(s, bad.data(), bad.size()), rc::DescriptionMalformed);

    // A text longer than its slot (about text: 254 characters and the terminator).
    DescriptionText text;
    text.about = std::wstring(254, L'a');
    std::vector<uint8_t> fits = encodeDescription(text, nullptr);
    initState(s, nullptr, 1033);
    EXPECT_EQ(parseDescription(s, fits.data(), fits.size()), rc::Ok);
    EXPECT_EQ(wcslen(s.about), 254u);
    // 255 characters and the terminator.
    std::vector<uint8_t> over(fits.begin(), fits.begin() + 18);
    put16(over, 256);
    over.insert(over.end(), 255, 'b');
    over.push_back(0);
    put16(over, 0);
    initState(s, nullptr, 1033);
    EXPECT_EQ(parseDescription(s, over.data(), over.size()), rc::DescriptionMalformed);
}

TEST_F(Description, EncodedRecordReadsBackAndRefusesTextsTooLongForTheirSlots) {
    DescriptionText text;
    text.options = optAuto | optKeepFolders;
    text.hasDefaultFolder = true;
    text.defaultFolder = L"Drivers\\NORVALE";
    text.banner = L"Banner \u00e9\u0416";
    text.about = L"About";
    text.welcome = L"Welcome";
    text.information = L"Information";
    text.command = L"pkgsetup.exe";
    text.parameters = L"-x \"y\"";
    text.extraFile = L"extra.dll";
    text.variantRule = 1;
    const std::vector<uint8_t> r = encodeDescription(text, nullptr);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(parseDescription(s, r.data(), r.size()), rc::Ok);
    EXPECT_EQ(s.options, optAuto | optKeepFolders);
    EXPECT_STREQ(s.defaultFolder, L"Drivers\\NORVALE");
    EXPECT_STREQ(s.banner, L"Banner \u00e9\u0416");
    EXPECT_STREQ(s.information, L"Information");
    EXPECT_STREQ(s.parameters, L"-x \"y\"");
    EXPECT_STREQ(s.extraFile, L"extra.dll");
    EXPECT_EQ(s.variantRule, 1);

    std::wstring slot;
    text.welcome = std::wstring(255, L'w');
    EXPECT_TRUE(encodeDescription(text, &slot).empty());
    EXPECT_EQ(slot, L"welcome text");
    text.welcome.clear();
    text.parameters = std::wstring(520, L'p');
    EXPECT_TRUE(encodeDescription(text, &slot).empty());
    EXPECT_EQ(slot, L"setup parameters");
}

using CommandLine = Fixture;

TEST_F(CommandLine, ModeSwitchesInEveryForm) {
    EXPECT_EQ(parse(L"pkg.exe /s"), rc::Ok);
    EXPECT_EQ(s.options & (optSilent | optAuto), optSilent | optAuto);

    SetUp();
    s.options = optRunCommand;
    EXPECT_EQ(parse(L"pkg.exe /S /X"), rc::Ok);
    EXPECT_TRUE(s.options & optSilent);
    EXPECT_FALSE(s.options & optRunCommand);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe -/-a notaswitch /Q"), rc::Ok);
    EXPECT_EQ(s.options, optAuto);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /T /R /V"), rc::Ok);
    EXPECT_EQ(s.testFlag, 1);
    EXPECT_EQ(s.testNotOnly, 1);
    EXPECT_EQ(s.verifyOnly, 1);
    EXPECT_TRUE(s.options & optAllowFolderDelete);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /TESTONLY /sc"), rc::Ok);
    EXPECT_EQ(s.testNotOnly, 0);
    EXPECT_EQ(s.scmMode, 1);
    EXPECT_EQ(s.successExitCode, 0);
}

TEST_F(CommandLine, LanguagesByCodeAndByNumber) {
    EXPECT_EQ(parse(L"pkg.exe /LNGJPN"), rc::Ok);
    EXPECT_EQ(s.langId, 1041);
    EXPECT_EQ(s.languageValue, 1041u);
    EXPECT_EQ(s.charSet, 128);
    EXPECT_EQ(s.languageGiven, 1);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /LANG411"), rc::Ok);
    EXPECT_EQ(s.langId, 0x411);
    EXPECT_EQ(s.languageValue, 0x411u);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /lngchs"), rc::Ok);
    EXPECT_EQ(s.langId, 1033);
    EXPECT_EQ(s.languageValue, 1033u);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /LNGara"), rc::Ok);
    EXPECT_EQ(s.langId, 1025);
    EXPECT_EQ(s.rightToLeft, 1);
    EXPECT_EQ(s.charSet, 178);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /LANG40D"), rc::Ok);  // Hebrew by number
    EXPECT_EQ(s.langId, 1037);
    EXPECT_EQ(s.rightToLeft, 1);

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /LNGXYZ"), rc::Ok);
    EXPECT_EQ(s.langId, 1033);

    // Every table language keeps its own LANGID; Chinese and Korean fall back.
    for (LANGID id : {1025, 1029, 1030, 1031, 1032, 1034, 1035, 1036, 1037, 1038, 1040,
                      1041, 1043, 1044, 1045, 1046, 1049, 1051, 1053, 1054, 1055, 1057}) {
        selectLanguage(s, id);
        EXPECT_EQ(s.langId, id);
    }
    selectLanguage(s, 2052);
    EXPECT_EQ(s.langId, 1033);
    selectLanguage(s, 0x0812);
    EXPECT_EQ(s.langId, 1033);
    selectLanguage(s, 0x0816);  // Portuguese (Portugal) takes the default sub-language
    EXPECT_EQ(s.langId, 0x0416);
}

TEST_F(CommandLine, LengthRulesAndTheirCodes) {
    EXPECT_EQ(parse(L"pkg.exe /L"), rc::LSwitchLength);
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /WAIT12345"), rc::WaitTooLong);
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /WAIT"), rc::Ok);
    EXPECT_EQ(s.waitSeconds, 0);
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /WAIT30"), rc::Ok);
    EXPECT_EQ(s.waitSeconds, 30);
    // A malformed I, M or P switch replaces a recorded code, else is ignored.
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /Ix"), rc::Ok);
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /L /Ix"), rc::SwitchForm);
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /G2 /H1 /G1"), rc::Ok);
    EXPECT_EQ(s.gValue, 1);
    EXPECT_EQ(s.hValue, 1);
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /G0 /H0"), rc::Ok);
    EXPECT_EQ(s.gValue, -1);
    EXPECT_EQ(s.hValue, -1);
}

TEST_F(CommandLine, ValueSwitchesFillTheirSlots) {
    EXPECT_EQ(
        parse(
            L"pkg.exe /I-Dabc /I-Sx1 /MODELN-100 /PN42 /WBTq /LOGc:\\l.log \"/DC:\\Out Dir\" /F26"),
        rc::Ok);
    EXPECT_STREQ(s.setupArgumentSlots[slotId], L"Dabc");
    EXPECT_STREQ(s.setupArgumentSlots[slotIs], L"Sx1");
    EXPECT_STREQ(s.setupArgumentSlots[slotModel], L"N-100");
    EXPECT_STREQ(s.setupArgumentSlots[slotPn], L"42");
    EXPECT_STREQ(s.setupArgumentSlots[slotWbt], L"q");
    EXPECT_STREQ(s.setupArgumentSlots[slotLog], L"c:\\l.log");
    EXPECT_EQ(s.logGiven, 1);
    EXPECT_STREQ(s.folderText, L"C:\\Out Dir");
    EXPECT_EQ(s.folderCsidl, 26);
    EXPECT_EQ(s.folderGiven, 1);
}

TEST_F(CommandLine, SetupTakesTheRestOfTheRawLineWithQuotesDoubled) {
    EXPECT_EQ(parse(L"C:\\setup\\pkg.exe /a /SETUPR /x \"q r\"  "), rc::Ok);
    EXPECT_STREQ(s.setupArgumentSlots[slotSetupr], L"/x \"\"q r\"\"");
    EXPECT_EQ(s.options, optAuto);  // /x after it is not a switch of ours

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /setup"), rc::Ok);
    EXPECT_STREQ(s.setupArgumentSlots[slotSetup], L"");

    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /SETUPX /a"), rc::Ok);  // not a SETUP form: ignored
    EXPECT_EQ(s.options, optAuto);

    // Longer than the slot: cut at 259 characters, blanks kept.
    SetUp();
    EXPECT_EQ(parse(L"pkg.exe /SETUP " + std::wstring(300, L'z')), rc::Ok);
    EXPECT_EQ(wcslen(s.setupArgumentSlots[slotSetup]), 259u);
}

using Folders = Fixture;

TEST_F(Folders, SanitizingKeepsDriveAndUncHeads) {
    wchar_t a[kPathChars] = L"C:/a/b*c?d\"e<f>g|h:i";
    sanitizePath(a);
    EXPECT_STREQ(a, L"C:\\a_b_c_d_e_f_g_h_i");
    // A drive-relative path keeps its first character.
    wchar_t d[kPathChars] = L"C:temp";
    sanitizePath(d);
    EXPECT_STREQ(d, L"C:\\temp");
    wchar_t b[kPathChars] = L"\\\\srv\\share:x";
    sanitizePath(b);
    EXPECT_STREQ(b, L"\\\\srv\\share_x");
    wchar_t c[kPathChars] = L"rel/x";
    sanitizePath(c);
    EXPECT_STREQ(c, L"rel_x");
}

TEST_F(Folders, ThreeKindsAndTheNewOrEmptyBit) {
    testsupport::TempDir temp;
    wcscpy(s.exePath, (temp / L"pkg.exe").c_str());
    ASSERT_EQ(resolveExtractionFolder(s, L""), rc::Ok);
    wchar_t tempPath[MAX_PATH];
    ::GetTempPathW(MAX_PATH, tempPath);
    wchar_t longTemp[MAX_PATH];
    ::GetLongPathNameW(tempPath, longTemp, MAX_PATH);
    EXPECT_EQ(std::wstring(s.folder), std::wstring(longTemp) + L"pkg.temp");
    EXPECT_EQ(s.folderKind, folderTemporary | folderWasEmpty);

    ASSERT_EQ(resolveExtractionFolder(s, L"\\sub"), rc::Ok);
    EXPECT_EQ(std::wstring(s.folder), temp / L"sub");
    EXPECT_EQ(s.folderKind, folderRelative | folderWasEmpty);

    testsupport::WriteFileBytes(temp / L"held.txt", "x");
    ASSERT_EQ(resolveExtractionFolder(s, temp.Path().c_str()), rc::Ok);
    EXPECT_EQ(s.folderKind, folderAbsolute);  // it already held a file

    EXPECT_EQ(resolveExtractionFolder(s, std::wstring(300, L'n').substr(0, 258).c_str()),
              rc::PathTooLong);
    s.exePath[0] = L'\0';
    EXPECT_EQ(resolveExtractionFolder(s, L"rel"), rc::ExePath);
}

TEST_F(Folders, CommandVariantFollowsTheFolderCharacters) {
    ASSERT_EQ(resolveExtractionFolder(s, L"C:\\Caf\u00e9"), rc::Ok);
    EXPECT_EQ(s.commandVariant, 1);
    ASSERT_EQ(resolveExtractionFolder(s, L"C:\\\u0416"), rc::Ok);
    EXPECT_EQ(s.commandVariant, 0);
    s.variantRule = 1;
    ASSERT_EQ(resolveExtractionFolder(s, L"C:\\\u0416"), rc::Ok);
    EXPECT_EQ(s.commandVariant, 1);
}

TEST_F(Folders, SwitchedFolderIsUnquotedExpandedAndSanitized) {
    ::SetEnvironmentVariableW(L"SFX_TEST_ROOT", L"C:\\root");
    EXPECT_EQ(parse(L"pkg.exe \"/D  \"%SFX_TEST_ROOT%\\a*b\"  \""), rc::Ok);
    EXPECT_EQ(prepareSetup(s), rc::Ok);
    EXPECT_STREQ(s.folder, L"C:\\root\\a_b");
    EXPECT_EQ(s.folderKind & 0x0F, folderAbsolute);
}

using Parameters = Fixture;

TEST_F(Parameters, SwitchesBecomeArgumentsInTheirOrder) {
    EXPECT_EQ(buildSetupParameters(s), rc::Ok);
    EXPECT_STREQ(s.parameters, L"");

    SetUp();
    parse(L"pkg.exe /S /LNGJPN");
    EXPECT_EQ(buildSetupParameters(s), rc::Ok);
    EXPECT_STREQ(s.parameters, L"-s -a -lng 1041");

    SetUp();
    wcscpy(s.parameters, L"-base");
    parse(L"pkg.exe /TESTONLY /G1 /H0 /WAIT30 /SC /PNx /MODELm /LNGCHS");
    EXPECT_EQ(buildSetupParameters(s), rc::Ok);
    EXPECT_STREQ(s.parameters,
                 L"-base -testonly -g1 -h0 -wait 30 -scm -lng 1033 -model \"m\" -pn \"x\"");
}

TEST_F(Parameters, LogPathIsNormalisedAgainstTheProgramsFolder) {
    parse(L"pkg.exe /LOG");
    EXPECT_EQ(buildSetupParameters(s), rc::Ok);
    EXPECT_STREQ(s.parameters, L"-log \"C:\\pkgs\\pkg.log.htm\"");

    SetUp();
    parse(L"pkg.exe /LOGlogs\\run.htm");
    EXPECT_EQ(buildSetupParameters(s), rc::Ok);
    EXPECT_STREQ(s.parameters, L"-log \"C:\\pkgs\\logs\\run.htm\"");

    SetUp();
    parse(L"pkg.exe /LOGD:\\a?b.htm");
    EXPECT_EQ(buildSetupParameters(s), rc::Ok);
    EXPECT_STREQ(s.parameters, L"-log \"D:\\a_b.htm\"");
}

TEST_F(Parameters, TheStringNeverExceeds520Characters) {
    const std::wstring big(250, L'b');
    parse(L"pkg.exe /MODEL" + big + L" /PN" + big + L" /WBTlast /S");
    EXPECT_EQ(buildSetupParameters(s), rc::ParametersTooLong);
    const std::wstring p = s.parameters;
    EXPECT_LE(p.size(), 520u);
    EXPECT_NE(p.find(L"-model"), std::wstring::npos);
    EXPECT_EQ(p.find(L"-pn"), std::wstring::npos);  // did not fit: it and every later slot left out
    EXPECT_EQ(p.find(L"-wbt"), std::wstring::npos);

    SetUp();
    wcscpy(s.parameters, std::wstring(516, L'x').c_str());
    parse(L"pkg.exe /G1 /S");
    EXPECT_EQ(buildSetupParameters(s), rc::ParametersTooLong);
    EXPECT_EQ(std::wstring(s.parameters),
              std::wstring(516, L'x') + L" -s");  // -g1 and -a did not fit
}

TEST(ExitCode, NegativeDisplayedNumberOrTheSuccessCode) {
    auto s = std::make_unique<ExtractorState>();
    initState(*s, nullptr, 1033);
    EXPECT_EQ(processExitCode(*s, rc::Ok), 0x210000C8);
    EXPECT_EQ(processExitCode(*s, rc::Cancelled), -118);
    EXPECT_EQ(processExitCode(*s, rc::CrcMismatch), -124);
    EXPECT_EQ(processExitCode(*s, rc::SplitFailed), -2);
    s->successExitCode = 7;
    EXPECT_EQ(processExitCode(*s, rc::Ok), 7);
    s->scmMode = 1;
    EXPECT_EQ(processExitCode(*s, rc::Cancelled), 1604);
    EXPECT_EQ(negativeDisplayed(rc::LaunchFailed + 2), -132);
    EXPECT_EQ(messageIdFor(rc::LaunchFailed + 2), 131u);
    EXPECT_EQ(messageIdFor(rc::DiskSpace), 121u);
    EXPECT_EQ(messageIdFor(rc::DescriptionMalformed), 123u);
    EXPECT_EQ(messageIdFor(rc::OpenArchive), 125u);
    EXPECT_EQ(messageIdFor(rc::ReadEntry), 126u);
    EXPECT_EQ(messageIdFor(0x2100011C), 125u);
    EXPECT_EQ(messageIdFor(rc::WaitTooLong), 120u);
}

TEST(LaunchFailure, DeclinedElevationIsACancelOnlyForDeploymentTools) {
    auto s = std::make_unique<ExtractorState>();
    initState(*s, nullptr, 1033);
    EXPECT_EQ(launchFailure(*s, SE_ERR_ACCESSDENIED), rc::Ok);
    EXPECT_EQ(processExitCode(*s, rc::Ok), 0x210000C8);
    EXPECT_EQ(launchFailure(*s, SE_ERR_FNF), rc::LaunchFailed + 2);
    EXPECT_EQ(launchFailure(*s, 0), rc::LaunchFailed);
    EXPECT_EQ(launchFailure(*s, 33), rc::LaunchFailed);
    s->scmMode = 1;
    s->successExitCode = 0;
    EXPECT_EQ(launchFailure(*s, SE_ERR_ACCESSDENIED), rc::Ok);
    EXPECT_EQ(processExitCode(*s, rc::Ok), 1602);
}

TEST(EntryNames, OnlyNamesThatStayInsideTheFolder) {
    for (const wchar_t* good :
         {L"a.txt", L"dir\\b.txt", L"\\lead.txt", L"dir\\", L"a b\\c.d.e", L"CONSOLE.txt",
          L"com10.txt", L"\u00e9t\u00e9.txt", L"..a", L"a..b"}) {
        EXPECT_TRUE(isSafeEntryName(good)) << testsupport::Narrow(good);
    }
    for (const wchar_t* bad : {L"",
                               L"..\\x",
                               L"a\\..\\..\\x",
                               L"a\\.\\b",
                               L"C:x",
                               L"C:\\x",
                               L"\\\\srv\\share\\x",
                               L"\\\\?\\C:\\x",
                               L"CON",
                               L"nul",
                               L"COM1",
                               L"con.txt",
                               L"dir\\LPT9.log",
                               L"aux .txt",
                               L"CONOUT$",
                               L"COM\u00b9",
                               L"trail.",
                               L"trail ",
                               L"dir.\\x",
                               L"a:stream",
                               L"a\\\\b",
                               L"q?.txt",
                               L"s*",
                               L"x<y",
                               L"tab\t",
                               L"\\"}) {
        EXPECT_FALSE(isSafeEntryName(bad)) << testsupport::Narrow(bad);
    }
    EXPECT_TRUE(isSafeEntryName(std::wstring(259, L'n').c_str()));
    EXPECT_FALSE(isSafeEntryName(std::wstring(260, L'n').c_str()));

    wchar_t out[kPathChars];
    EXPECT_EQ(entryOutputPath(L"C:\\f", L"a\\b", out), rc::Ok);
    EXPECT_STREQ(out, L"C:\\f\\a\\b");
    EXPECT_EQ(entryOutputPath(L"C:\\f\\", L"/x", out), rc::Ok);
    EXPECT_STREQ(out, L"C:\\f\\x");
    EXPECT_EQ(entryOutputPath(L"C:\\f", L"..\\x", out), rc::PathTooLong);
    EXPECT_EQ(entryOutputPath(L"C:\\f", L"a\\..\\..\\f2\\x", out), rc::PathTooLong);
    EXPECT_EQ(entryOutputPath(L"C:\\f", L"..\\f2", out),
              rc::PathTooLong);  // a sibling with the same prefix
    EXPECT_EQ(entryOutputPath(L"C:\\f", std::wstring(256, L'n').c_str(), out), rc::PathTooLong);
}

}  // namespace
