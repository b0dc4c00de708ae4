// The self-extractor's process-wide state, its result codes and the names of
// its options, text slots and setup-argument slots.
#pragma once

#include <windows.h>

#include <cstdint>

namespace sfx {

// 0 for success, 0x21000000 + n for everything else (n - 100 is the number
// the user sees), -2 when the command line cannot be split.
using ResultCode = int32_t;

namespace rc {
constexpr ResultCode Ok = 0;
constexpr ResultCode SplitFailed = -2;
constexpr ResultCode DisplayBase = 0x21000064;
constexpr ResultCode InitialSuccessExit = 0x210000C8;
constexpr ResultCode PathTooLong = 0x210000D1;
constexpr ResultCode ArchiveInfo = 0x210000D2;
constexpr ResultCode NoMemory = 0x210000D3;
constexpr ResultCode ExePath = 0x210000D5;
constexpr ResultCode OpenArchive = 0x210000D6;
constexpr ResultCode WalkArchive = 0x210000D7;
constexpr ResultCode NoEntries = 0x210000D8;
constexpr ResultCode NamedFileMissing = 0x210000D9;
constexpr ResultCode Cancelled = 0x210000DA;
constexpr ResultCode CreateFolder = 0x210000DB;
constexpr ResultCode CreateFile = 0x210000DC;
constexpr ResultCode OpenEntry = 0x210000DD;
constexpr ResultCode ReadEntry = 0x210000DE;
constexpr ResultCode WriteFile = 0x210000DF;
constexpr ResultCode CrcMismatch = 0x210000E0;
constexpr ResultCode Skipped = 0x210000E1;
constexpr ResultCode DescriptionMissing = 0x210000E2;
constexpr ResultCode DescriptionMalformed = 0x210000E3;
constexpr ResultCode LaunchFailed = 0x210000E6;  // + the ShellExecuteExW error (0-32)
constexpr ResultCode WorkerStart = 0x2100010E;
constexpr ResultCode MainDialog = 0x2100010F;
constexpr ResultCode PageCreate = 0x21000110;
constexpr ResultCode LogPath = 0x21000111;
constexpr ResultCode LSwitchLength = 0x21000112;
constexpr ResultCode SetupForm = 0x21000113;
constexpr ResultCode WSwitchLength = 0x21000114;
constexpr ResultCode ParametersTooLong = 0x21000115;
constexpr ResultCode ReservedWarning = 0x21000116;
constexpr ResultCode DiskSpace = 0x21000117;
constexpr ResultCode SwitchForm = 0x21000118;
constexpr ResultCode WaitTooLong = 0x21000119;
constexpr ResultCode RunCommandNow = 0x2100011A;
}  // namespace rc

// Option bits of the description (byte 8, bits 0-6).
enum Option : uint8_t {
    optAuto = 0x01,
    optSilent = 0x02,
    optKeepFolders = 0x04,
    optOverwrite = 0x08,
    optAllowFolderDelete = 0x10,
    optRestartNotice = 0x20,
    optRunCommand = 0x40,
};

// The eight setup-argument slots, in the order they are passed on.
enum SetupSlot {
    slotLog,
    slotModel,
    slotPn,
    slotId,
    slotIs,
    slotWbt,
    slotSetup,
    slotSetupr,
    slotCount
};

// Folder kinds; bit 0x10 marks a folder that was new or empty.
constexpr int folderTemporary = 0;
constexpr int folderRelative = 1;
constexpr int folderAbsolute = 2;
constexpr int folderWasEmpty = 0x10;

constexpr int kPathChars = 260;
constexpr int kParameterChars = 520;
// Files of the test-only list (at most five) remembered for deletion.
constexpr int kNamedFiles = 5;

struct ExtractorState {
    HINSTANCE instance;

    // Mode flags.
    uint8_t verifyOnly;
    uint8_t testFlag;
    uint8_t testNotOnly;
    uint8_t folderGiven;
    int32_t folderCsidl;
    wchar_t folderText[kPathChars];
    uint8_t scmMode;
    uint8_t logGiven;
    uint8_t languageGiven;
    uint32_t languageValue;

    // Setup-switch values: 0 not given, 1 for "1", -1 for "0".
    int32_t gValue;
    int32_t hValue;
    int32_t waitSeconds;

    wchar_t setupArgumentSlots[slotCount][kPathChars];

    // Language.
    LANGID langId;
    WORD primaryLanguage;
    WORD subLanguage;
    BYTE charSet;
    BYTE rightToLeft;

    int32_t successExitCode;

    // The description.
    uint16_t year;
    uint8_t options;
    uint16_t variantRule;
    wchar_t defaultFolder[kPathChars];
    wchar_t banner[kPathChars];
    wchar_t about[255];
    wchar_t welcome[255];
    wchar_t information[255];
    wchar_t command[kPathChars];
    wchar_t derivedCommand[kPathChars];       // the command with "wb.exe" for its extension
    wchar_t parameters[kParameterChars + 1];  // at most 520 characters
    wchar_t reserved1[kPathChars];
    wchar_t reserved2[kPathChars];
    wchar_t extraFile[kPathChars];

    // Paths.
    wchar_t exePath[kPathChars];
    wchar_t folder[kPathChars];
    int folderKind;
    int commandVariant;

    // Archive totals from the scan.
    uint32_t entryCount;
    uint64_t totalSize;

    // The code the dialog leaves for the start-up sequence.
    ResultCode dialogResult;

    // Files extracted by the test-only list, deleted again when the folder
    // itself may not be.
    wchar_t namedFiles[kNamedFiles][kPathChars];
    int namedFileCount;
};

// Message ids of the string table for each result code.
UINT messageIdFor(ResultCode code);
// The number shown to the user: n - 100 for 0x21000000 + n, else the code.
int32_t displayedNumber(ResultCode code);
// The negative displayed number (0 stays 0).
int32_t negativeDisplayed(ResultCode code);
// The process exit code of a normal run ending with code.
int32_t processExitCode(const ExtractorState& state, ResultCode code);

// A fresh state: zeroed, the initial success code, testNotOnly, and the
// language of the user's interface.
void initState(ExtractorState& state, HINSTANCE instance, LANGID userLanguage);

}  // namespace sfx
