// The self-extractor's operations on its state: description, command line,
// language, extraction folder, setup parameters, archive, worker and setup
// launch.
#pragma once

#include <string>
#include <vector>

#include "ExtractorState.h"

namespace sfx {

// --- Description record (resource type 134, name and language 1033) ---
constexpr WORD kDescriptionType = 134;
constexpr WORD kDescriptionName = 1033;
constexpr WORD kDescriptionLanguage = 1033;

// Reads the record from its bytes into state (no I/O).
ResultCode parseDescription(ExtractorState& state, const uint8_t* data, size_t size);
// Stores the own executable path, then reads the record from the
// resources of that module.
ResultCode readDescription(ExtractorState& state);

// The texts and flags a package builder writes into a record.
struct DescriptionText {
    uint8_t options = optKeepFolders | optOverwrite | optRunCommand;
    uint16_t year = 2017;
    uint16_t variantRule = 0;
    bool hasDefaultFolder = false;
    std::wstring defaultFolder, banner, about, welcome, information, command, parameters, extraFile;
};
// The slot capacities in UTF-16 characters, terminator included.
struct SlotLimit {
    const wchar_t* name;
    size_t capacity;
};
// Encodes a record; a text longer than its slot gives an empty result and
// the slot's name in tooLong.
std::vector<uint8_t> encodeDescription(const DescriptionText& text, std::wstring* tooLong);

// --- Command line and language ---
ResultCode parseCommandLine(ExtractorState& state, int argc, wchar_t** argv, const wchar_t* raw);
void selectLanguage(ExtractorState& state, LANGID langId);

// --- Folders ---
// Replaces characters that cannot stand in a path with "_" (behind a drive
// or the "\\" of a UNC path).
void sanitizePath(wchar_t* path);
ResultCode prepareSetup(ExtractorState& state);
ResultCode resolveExtractionFolder(ExtractorState& state, const wchar_t* name);
bool checkDiskSpace(const ExtractorState& state, const wchar_t* name);

// --- Setup parameters and launch ---
ResultCode buildSetupParameters(ExtractorState& state);
ResultCode normaliseLogPath(ExtractorState& state);
ResultCode runSetupCommand(ExtractorState& state);
// The result of a launch that failed with ShellExecuteExW's instance value.
ResultCode launchFailure(ExtractorState& state, INT_PTR instance);

// --- Entry names ---
// Whether an archive entry name (UTF-16, "\" separators) may be written
// into a folder: no drive, stream, device, "." or "..", trailing dot or
// blank, control or wildcard character, at most 259 characters.
bool isSafeEntryName(const wchar_t* name);
// Joins folder and name (skipping leading separators) into out
// (kPathChars) and checks that the full path stays inside folder.
ResultCode entryOutputPath(const wchar_t* folder, const wchar_t* name, wchar_t* out);

// --- Archive ---
struct ExtractTask;
ResultCode scanArchive(ExtractorState& state);
ResultCode extractAll(ExtractorState& state, ExtractTask* task);
ResultCode extractEntry(ExtractorState& state, uint32_t entryNumber, ExtractTask* task);
ResultCode extractNamed(ExtractorState& state);
// Closes the archive and frees the copy buffer (at shutdown).
void closeArchive();

// --- Worker ---
using WorkFunction = bool (*)(ExtractTask* task, void* argument);
struct ExtractTask {
    HWND owner;               // main dialog
    HWND pumpDialog;          // progress page, for message pumping
    HWND notifyWindow;        // progress page
    UINT progressMessage;     // 1044
    UINT completionMessage;   // 1034
    WPARAM completionWParam;  // 10
    LPARAM completionValues[4];
    WorkFunction work;
    void* argument;
    bool runSynchronously;
    HANDLE thread;
    HANDLE startEvent;
    HANDLE idleEvent;
    HANDLE cancelEvent;
    HANDLE finishedEvent;
    // Set together with the cancel event: the copy loop reads it once per
    // chunk without a call into the system.
    volatile LONG cancelRequested;
};
// The work function of an extraction: extractAll, then notice 50 with its result.
bool extractionWork(ExtractTask* task, void* state);
// Starts task on a worker thread (or synchronously when no thread can run);
// false when it could not be run at all.
bool startTask(const ExtractTask& task);
bool cancelTask();
// Sets the cancel event of the running task (the worker stops at its next
// chunk) without waiting for it.
void requestCancel();
bool isCancelled(ExtractTask* task);
// The task record in its process-wide slot (null when none).
ExtractTask* currentTask();

// Notice codes of the progress message.
constexpr WPARAM kNoticeEntryStart = 35;
constexpr WPARAM kNoticeBytes = 40;
constexpr WPARAM kNoticeResult = 50;
constexpr WPARAM kNoticeEntryEnd = 75;
constexpr WPARAM kNoticeName = 80;
constexpr UINT kMsgCompletion = 1034;
constexpr UINT kMsgProgress = 1044;
constexpr UINT kMsgStart = 2025;
constexpr UINT kMsgSucceeded = 2044;
constexpr UINT kMsgFailed = 2054;

// --- Start-up ---
// The program's entry function: the whole run; returns the exit code.
int runExtractor(HINSTANCE instance);
// Restricts the DLL search of this process to the system folder.
bool restrictDllSearch();

// --- User interface (Dialogs.cpp) ---
// Runs the main dialog modally; -1 when it cannot be created.
INT_PTR runMainDialogModal(ExtractorState& state);
// Creates and runs the main dialog modelessly until WM_QUIT.
void runMainDialogModeless(ExtractorState& state);
// Shows code through the error command's message box (unless auto or silent).
void showErrorBox(ExtractorState& state, int32_t number);
// Fetches string id of the selected language, or fallback.
void loadText(const ExtractorState& state, UINT id, const wchar_t* fallback, wchar_t* buffer,
              int chars);

}  // namespace sfx
