// The simulated value-added device's control channel: the control device's
// names, its I/O control codes and their request layouts. Shared by the driver
// (kernel mode) and by vadctl and the tests (user mode), so, like
// VadContract.h, it uses nothing but the basic Windows types and CTL_CODE:
// include <windows.h> and <winioctl.h>, or <wdm.h>, first.
#pragma once

#include "VadContract.h"

namespace vadsim {

// The kernel service that loads the driver (scripts/vadsim.sh).
inline constexpr const wchar_t kServiceName[] = L"nrvvadsim";

inline constexpr const wchar_t kControlDevicePath[] = L"\\\\.\\NrvVadSimControl";
inline constexpr const wchar_t kControlDeviceName[] = L"\\Device\\NrvVadSimControl";
inline constexpr const wchar_t kControlDeviceLink[] = L"\\DosDevices\\NrvVadSimControl";

// The three value-added devices, as the log and the control requests name them.
enum DeviceId : ULONG {
    kDeviceHwplz = 0,  // "\\.\HWPLZ": register exchanges and methods
    kDeviceHwpld = 1,  // "\\.\HWPLD": register exchanges, one opener at a time
    kDeviceHwplg = 2,  // "\\.\HWPLG": event waits
};
inline constexpr ULONG kDeviceCount = 3;

// Request kinds that IOCTL_VADSIM_FAIL_REQUEST can make fail.
enum RequestKind : ULONG {
    kRequestRegisterRead = 0,
    kRequestRegisterWrite = 1,
    kRequestMethod = 2,
    kRequestEventWait = 3,
};
inline constexpr ULONG kRequestKindCount = 4;

// A count that never runs out (fail every open or request until reset).
inline constexpr ULONG kAlways = 0xFFFFFFFF;

// How a request or an open ended, as the log records it. The driver
// completes the request with the NTSTATUS in brackets.
enum Outcome : ULONG {
    kOutcomeSuccess = 0,           // STATUS_SUCCESS
    kOutcomePending = 1,           // STATUS_PENDING: an event wait left waiting
    kOutcomeInvalidParameter = 2,  // STATUS_INVALID_PARAMETER: short input, bad layout
    kOutcomeBufferTooSmall = 3,    // STATUS_BUFFER_TOO_SMALL: short output buffer
    kOutcomeInvalidRequest = 4,    // STATUS_INVALID_DEVICE_REQUEST: unknown code, wrong device
    kOutcomeDeviceError = 5,       // STATUS_IO_DEVICE_ERROR: scripted failure
    kOutcomeNotFound = 6,          // STATUS_OBJECT_NAME_NOT_FOUND: unknown method
    kOutcomeSharingViolation = 7,  // STATUS_SHARING_VIOLATION: HWPLD already open
    kOutcomeNotReady = 8,          // STATUS_DEVICE_NOT_READY: scripted open failure
};

// The status word of a register read the device has no script for: a
// failure (bits 8-15 set, low byte not 0x20).
inline constexpr ULONG kStatusNoSuchRegister = 0x0100;
// The not-ready status word polled reads are answered with.
inline constexpr ULONG kStatusNotReady = 0x0120;

// The register and methods scripted after a reset.
inline constexpr ULONG kIdentityRegister = 0x96;
inline constexpr ULONG kPolledRegister = 0xA6;
inline constexpr ULONG kDefaultManufacturerWord = 0x4E52;
inline constexpr ULONG kDefaultMachineWord = 0x0100;

// IOCTL_VADSIM_SET_REGISTER: what a read (function 0xFE00) of a register
// answers: the status word and output words 2 to 4.
struct RegisterScript {
    ULONG registerNumber;
    ULONG status;
    ULONG values[3];
};

// IOCTL_VADSIM_SET_METHOD: the result of a method, or that it fails, or that
// the device no longer knows it.
enum MethodAction : ULONG {
    kMethodResult = 0,
    kMethodFail = 1,
    kMethodRemove = 2,
    kMethodShortReply = 3,  // succeeds with a reply that ends before the result word
};
struct MethodScript {
    ULONG name;  // vad::MethodName("VCID")
    ULONG action;
    ULONG result;
};

// IOCTL_VADSIM_SET_POLLED: how reads of the polled register are answered. A
// start request (input word 5 = 0) answers startStatus and arms the count;
// then each poll (word 5 = 1) answers kStatusNotReady while the count lasts,
// and finally finalStatus with value2 in word 2 and value4 in word 4.
struct PolledScript {
    ULONG registerNumber;
    ULONG notReadyCount;
    ULONG value2;
    ULONG value4;
    ULONG startStatus;
    ULONG finalStatus;
};

// IOCTL_VADSIM_FAIL_OPEN: the next count opens of device are refused. The
// device refuses an open in its IRP_MJ_CREATE, as it refuses a second open of
// HWPLD. (Wine opens the handle regardless of that status; the device then
// fails every request on the refused handle with the refusal's status, so the
// caller's operation fails either way.)
struct FailOpen {
    ULONG device;  // DeviceId
    ULONG count;   // or kAlways; 0 ends it
};

// IOCTL_VADSIM_SET_PRESENCE: an absent device has no "\DosDevices\" link,
// so opening it fails with ERROR_FILE_NOT_FOUND, as when the firmware driver
// is not installed. Handles already open keep working. A reset makes every
// device present again.
struct Presence {
    ULONG device;   // DeviceId
    ULONG present;  // 0: absent
};

// IOCTL_VADSIM_FAIL_REQUEST: the next count requests of a kind fail.
struct FailRequest {
    ULONG kind;   // RequestKind
    ULONG count;  // or kAlways; 0 ends it
};

// IOCTL_VADSIM_SET_EVENT_MODE: event waits pend until raised (the normal
// device), or complete at once with value in word 0.
enum EventModeKind : ULONG {
    kEventsPend = 0,
    kEventsCompleteAtOnce = 1,
};
struct EventMode {
    ULONG mode;
    ULONG value;  // word 0 of a wait completed at once (vad::kNoEvent: none)
};

// IOCTL_VADSIM_RAISE_EVENT: completes every pending wait for code with value
// in word 0. With kRaiseQueue an event nobody waits for is kept for the next
// wait for its code (at most kMaxQueuedEvents).
inline constexpr ULONG kRaiseQueue = 1;
// With kRaiseFail the waits complete with a device error (STATUS_IO_DEVICE_ERROR)
// instead, value still written into word 0 of their output.
inline constexpr ULONG kRaiseFail = 2;
inline constexpr ULONG kMaxQueuedEvents = 8;
struct RaiseEvent {
    ULONG code;
    ULONG value;
    ULONG flags;
};
struct RaiseResult {
    ULONG completed;  // waits completed
    ULONG queued;     // 1 when the event was kept for a later wait
};

// IOCTL_VADSIM_READ_LOG: the device's record of opens, closes and requests of
// the three value-added devices since the last reset, oldest first. In: a
// LogQuery; out: a LogHeader followed by as many LogEntry as fit, starting at
// fromSequence (or at the oldest kept entry).
inline constexpr ULONG kLogCapacity = 512;

enum LogKind : ULONG {
    kLogOpen = 1,
    kLogClose = 2,
    kLogRequest = 3,
};

struct LogQuery {
    ULONG fromSequence;
};

struct LogHeader {
    ULONG nextSequence;    // sequence number the next entry will get
    ULONG oldestSequence;  // oldest entry still kept
    ULONG count;           // entries that follow
    ULONG reserved;
};

struct LogEntry {
    ULONG sequence;    // 1, 2, ... since the last reset
    ULONG kind;        // LogKind
    ULONG device;      // DeviceId
    ULONG code;        // I/O control code of a request
    ULONGLONG timeUs;  // microseconds since the driver started
    ULONG outcome;     // Outcome
    ULONG inputLength;
    ULONG outputLength;
    ULONG answer;    // register: the status word returned; method: the result;
                     // event wait completed at once: the value
    ULONG words[8];  // the input's first 32 bytes (zero beyond inputLength)
};

// IOCTL_VADSIM_QUERY_STATE: open handles per device and the waits pending on
// HWPLG, by event code.
inline constexpr ULONG kMaxReportedCodes = 16;
struct PendingCode {
    ULONG code;
    ULONG count;
};
struct DeviceState {
    ULONG openHandles[kDeviceCount];
    ULONG absent[kDeviceCount];  // 1: no link (IOCTL_VADSIM_SET_PRESENCE)
    ULONG pendingWaits;
    ULONG queuedEvents;
    ULONG eventMode;
    ULONG codeCount;  // entries used in pending
    PendingCode pending[kMaxReportedCodes];
};

// The two Windows posture indicators: device interfaces of the laptop/slate
// mode indicator class and of the docking mode indicator class. Each is a
// device of the driver reached through its interface's device path; a
// one-byte write toggles its state and is counted. One opener at a time: the
// device refuses a second open (under Wine the handle opens anyway and its
// writes fail with ERROR_SHARING_VIOLATION).
enum IndicatorId : ULONG {
    kIndicatorSlate = 0,  // state 0: slate, 1: laptop
    kIndicatorDock = 1,   // state 0: undocked, 1: docked
};
inline constexpr ULONG kIndicatorCount = 2;

// {317FC439-3F77-41C8-B09E-08AD63272AA3}
inline constexpr GUID kSlateIndicatorGuid = {
    0x317FC439, 0x3F77, 0x41C8, {0xB0, 0x9E, 0x08, 0xAD, 0x63, 0x27, 0x2A, 0xA3}};
// {A84E689B-0DCE-493A-A164-ACDE05478FC3}
inline constexpr GUID kDockIndicatorGuid = {
    0xA84E689B, 0x0DCE, 0x493A, {0xA1, 0x64, 0xAC, 0xDE, 0x05, 0x47, 0x8F, 0xC3}};

// The root-enumerated device instance each interface belongs to (vadctl
// indicators-install registers them), the interface's key below
// HKLM\System\CurrentControlSet\Control\DeviceClasses\{guid}, and the
// driver's device and the link that makes the interface's device path
// "\\?\root#nrvslateindicator#0000#{guid}" reach it.
struct IndicatorNames {
    const wchar_t* name;        // as vadctl names it
    const wchar_t* instanceId;  // under HKLM\System\CurrentControlSet\Enum
    const wchar_t* classKey;    // "{guid}" below DeviceClasses
    const wchar_t* interfaceKey;
    const wchar_t* deviceName;
    const wchar_t* deviceLink;
};
inline constexpr IndicatorNames kIndicatorNames[kIndicatorCount] = {
    {L"slate", L"ROOT\\NRVSLATEINDICATOR\\0000", L"{317FC439-3F77-41C8-B09E-08AD63272AA3}",
     L"##?#ROOT#NRVSLATEINDICATOR#0000#{317FC439-3F77-41C8-B09E-08AD63272AA3}",
     L"\\Device\\NrvSlateIndicator",
     L"\\DosDevices\\root#nrvslateindicator#0000#{317fc439-3f77-41c8-b09e-08ad63272aa3}"},
    {L"dock", L"ROOT\\NRVDOCKINDICATOR\\0000", L"{A84E689B-0DCE-493A-A164-ACDE05478FC3}",
     L"##?#ROOT#NRVDOCKINDICATOR#0000#{A84E689B-0DCE-493A-A164-ACDE05478FC3}",
     L"\\Device\\NrvDockIndicator",
     L"\\DosDevices\\root#nrvdockindicator#0000#{a84e689b-0dce-493a-a164-acde05478fc3}"},
};

// IOCTL_VADSIM_QUERY_INDICATORS: each indicator's state and what was done to
// it since the last reset (a reset sets both back to 0 and clears the
// counts; open handles stay counted).
struct IndicatorState {
    ULONG state[kIndicatorCount];
    ULONG writes[kIndicatorCount];   // one-byte writes, each toggled the state
    ULONG refused[kIndicatorCount];  // writes that failed: a second opener's, not one byte
    ULONG openHandles[kIndicatorCount];
    ULONG absent[kIndicatorCount];  // 1: no link (IOCTL_VADSIM_SET_INDICATOR_PRESENCE)
};

// IOCTL_VADSIM_SET_INDICATOR_PRESENCE: an absent indicator has no link, so
// its device path no longer opens. (vadctl indicator-remove also clears the
// interface's "Linked" flag, so enumeration no longer finds it.)
struct IndicatorPresence {
    ULONG indicator;  // IndicatorId
    ULONG present;    // 0: absent
};

// IOCTL_VADSIM_SET_CANCEL_MODE: how the device answers a cancelled event
// wait. At once (the normal device): completed as cancelled. Late: held,
// still pending for its caller, until IOCTL_VADSIM_COMPLETE_CANCELLED
// completes it with kLateCancelValue in word 0 of its output, as a device
// that was delivering when the cancel came. A reset, the driver's unload
// and the mode's end complete the held ones the same way.
enum CancelModeKind : ULONG {
    kCancelAtOnce = 0,
    kCancelLate = 1,
};
inline constexpr ULONG kLateCancelValue = 0x1A7EC0DE;
struct CancelMode {
    ULONG mode;
};
// IOCTL_VADSIM_COMPLETE_CANCELLED: out.
struct CancelledResult {
    ULONG completed;  // held cancelled waits completed now
};

// IOCTL_VADSIM_QUERY_TIMING: the device's clock (microseconds since the
// driver started) at the last raised event and at the first one-byte write
// to each indicator after it (0: none yet).
struct Timing {
    ULONGLONG raisedUs;
    ULONGLONG firstWriteUs[kIndicatorCount];
    ULONGLONG nowUs;
};

static_assert(sizeof(LogEntry) == 72, "log entries are the same in 32- and 64-bit programs");
static_assert(sizeof(LogHeader) == 16, "log header");
static_assert(sizeof(DeviceState) == 40 + 8 * kMaxReportedCodes, "device state");
static_assert(sizeof(IndicatorState) == 40, "indicator state");

}  // namespace vadsim

// Device type 0x22 (FILE_DEVICE_UNKNOWN), buffered, any access; functions
// from 0x900, away from the value-added device's own codes.
#define VADSIM_CTL(function) CTL_CODE(0x22, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VADSIM_RESET VADSIM_CTL(0x900)         // scripts, failures, log; not waits or handles
#define IOCTL_VADSIM_SET_REGISTER VADSIM_CTL(0x901)  // in: RegisterScript
#define IOCTL_VADSIM_SET_METHOD VADSIM_CTL(0x902)    // in: MethodScript
#define IOCTL_VADSIM_SET_POLLED VADSIM_CTL(0x903)    // in: PolledScript
#define IOCTL_VADSIM_FAIL_OPEN VADSIM_CTL(0x904)     // in: FailOpen
#define IOCTL_VADSIM_FAIL_REQUEST VADSIM_CTL(0x905)  // in: FailRequest
#define IOCTL_VADSIM_SET_EVENT_MODE VADSIM_CTL(0x906)    // in: EventMode
#define IOCTL_VADSIM_RAISE_EVENT VADSIM_CTL(0x907)       // in: RaiseEvent, out: RaiseResult
#define IOCTL_VADSIM_READ_LOG VADSIM_CTL(0x908)          // in: LogQuery, out: LogHeader + entries
#define IOCTL_VADSIM_QUERY_STATE VADSIM_CTL(0x909)       // out: DeviceState
#define IOCTL_VADSIM_SET_PRESENCE VADSIM_CTL(0x90A)      // in: Presence
#define IOCTL_VADSIM_QUERY_INDICATORS VADSIM_CTL(0x90B)  // out: IndicatorState
#define IOCTL_VADSIM_SET_INDICATOR_PRESENCE VADSIM_CTL(0x90C)  // in: IndicatorPresence
#define IOCTL_VADSIM_SET_CANCEL_MODE VADSIM_CTL(0x90D)         // in: CancelMode
#define IOCTL_VADSIM_COMPLETE_CANCELLED VADSIM_CTL(0x90E)      // out: CancelledResult
#define IOCTL_VADSIM_QUERY_TIMING VADSIM_CTL(0x90F)            // out: Timing
