// The value-added device's contract: device names, I/O control codes and
// request layouts. Shared by the services' channel code (user mode) and by
// the simulated firmware device (kernel mode), so it uses nothing but the
// basic Windows types and CTL_CODE: include <windows.h> and <winioctl.h>, or
// <wdm.h>, first.
#pragma once

#ifndef CTL_CODE
#error "include <winioctl.h> (user mode) or <wdm.h> (kernel mode) before VadContract.h"
#endif

namespace vad {

// Names as user mode opens them ("\\.\HWPLZ") and as the device publishes them.
inline constexpr const wchar_t kRegisterDevicePath[] = L"\\\\.\\HWPLZ";  // register writes, methods
inline constexpr const wchar_t kDirectDevicePath[] = L"\\\\.\\HWPLD";  // register exchanges, probe
inline constexpr const wchar_t kEventDevicePath[] = L"\\\\.\\HWPLG";   // event waits

inline constexpr const wchar_t kRegisterDeviceName[] = L"\\Device\\HWPLZ";
inline constexpr const wchar_t kDirectDeviceName[] = L"\\Device\\HWPLD";
inline constexpr const wchar_t kEventDeviceName[] = L"\\Device\\HWPLG";
inline constexpr const wchar_t kRegisterDeviceLink[] = L"\\DosDevices\\HWPLZ";
inline constexpr const wchar_t kDirectDeviceLink[] = L"\\DosDevices\\HWPLD";
inline constexpr const wchar_t kEventDeviceLink[] = L"\\DosDevices\\HWPLG";

}  // namespace vad

// Device type 0x22 (FILE_DEVICE_UNKNOWN), buffered, any access.
#define IOCTL_HWPL_REGISTER CTL_CODE(0x22, 0xA20, METHOD_BUFFERED, FILE_ANY_ACCESS)     // 0x222880
#define IOCTL_HWPL_EVAL_METHOD CTL_CODE(0x22, 0xA50, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x222940
#define IOCTL_HWPL_WAIT_EVENT CTL_CODE(0x22, 0xA51, METHOD_BUFFERED, FILE_ANY_ACCESS)   // 0x222944

namespace vad {

// Input and output of IOCTL_HWPL_REGISTER: six little-endian 32-bit words.
//   in:  [0] function, [1] register, [2..5] values (in a polled read, [5] is
//        0 for the start request and 1 for each poll)
//   out: [0] status word, [2..4] returned values
struct RegisterBlock {
    ULONG words[6];
};

inline constexpr ULONG kFunctionRead = 0xFE00;
inline constexpr ULONG kFunctionWrite = 0xFF00;

// The status word, read in its low 16 bits: bits 8-15 clear means complete;
// bits 8-15 set with low byte 0x20 means not ready yet (ask again); exactly
// 0x8000 means the value is not available; anything else with bits 8-15 set
// is a failure.
inline constexpr ULONG kStatusNotAvailable = 0x8000;
inline constexpr ULONG kStatusNotReadyLowByte = 0x20;

constexpr bool StatusComplete(ULONG status) {
    return (status & 0xFF00) == 0;
}
constexpr bool StatusNotReady(ULONG status) {
    return (status & 0xFF00) != 0 && (status & 0xFF) == kStatusNotReadyLowByte;
}

// Input of IOCTL_HWPL_EVAL_METHOD: an ACPI evaluation input for a method
// without arguments.
struct MethodRequest {
    ULONG reserved0;    // 0
    ULONG inputLength;  // 8: signature and name
    ULONG signature;    // kMethodSignature
    ULONG methodName;   // four ASCII letters in reading order: "VCID" is 0x44494356
    ULONG reserved[4];  // 0
};

inline constexpr ULONG kMethodInputLength = 8;
inline constexpr ULONG kMethodSignature = 0x42696541;  // "AeiB"

constexpr ULONG MethodName(const char (&name)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(name[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(name[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(name[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(name[3])) << 24;
}

// Output of IOCTL_HWPL_EVAL_METHOD: the method's integer result is the word
// at offset 24.
struct MethodReply {
    ULONG words[8];
};

inline constexpr unsigned kMethodResultWord = 6;

// Input and output of IOCTL_HWPL_WAIT_EVENT. In: {0, event code}. Out: preset
// to {kNoEvent, 0}; the device writes the event's value into word 0.
struct EventWait {
    ULONG word0;
    ULONG word1;
};

inline constexpr ULONG kNoEvent = 0xFFFFFFFF;

static_assert(sizeof(RegisterBlock) == 24, "RegisterBlock is 24 bytes");
static_assert(sizeof(MethodRequest) == 32, "MethodRequest is 32 bytes");
static_assert(sizeof(MethodReply) == 32, "MethodReply is 32 bytes");
static_assert(sizeof(EventWait) == 8, "event buffers are 8 bytes");
static_assert(MethodName("VCID") == 0x44494356, "method names are packed in reading order");
static_assert(IOCTL_HWPL_REGISTER == 0x222880 && IOCTL_HWPL_EVAL_METHOD == 0x222940 &&
                  IOCTL_HWPL_WAIT_EVENT == 0x222944,
              "control codes");

}  // namespace vad
