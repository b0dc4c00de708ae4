// The simulated ACPI firmware device's control contract: the device that
// vadctl's sibling btsimctl and the tests open, its I/O controls and their
// request and reply layouts. Shared by the bus driver nrvacpisim.sys (kernel
// mode) and exe/ (user mode): include <windows.h> and <winioctl.h>, or
// <wdm.h>, first.
#pragma once

#ifndef CTL_CODE
#error "include <winioctl.h> (user mode) or <wdm.h> (kernel mode) before AcpiBtSimControl.h"
#endif

namespace acpibt {

inline constexpr const wchar_t kControlDevicePath[] = L"\\\\.\\NrvAcpiBtSim";
inline constexpr const wchar_t kControlDeviceName[] = L"\\Device\\NrvAcpiBtSim";
inline constexpr const wchar_t kControlDeviceLink[] = L"\\DosDevices\\NrvAcpiBtSim";

// The firmware device's ids, as the bus reports them and nrvrfsw.inf matches
// them. "NRV" is the NORVALE ACPI namespace; 0B01 the radio switch.
inline constexpr const wchar_t kHardwareId[] = L"ACPI\\NRV0B01";
inline constexpr const wchar_t kInstanceId[] = L"0";
// Where Wine's Plug and Play manager records the device.
inline constexpr const wchar_t kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\NRV0B01";

// Status bits of the module, as the status method reports them.
inline constexpr unsigned char kSwitchBit = 0x01;
inline constexpr unsigned char kAttachedBit = 0x40;
inline constexpr unsigned char kPoweredBit = 0x80;

// Methods of the model, by index (the log and the failure scripts use them).
enum Method : unsigned long {
    kBTST,
    kBTPO,
    kBTPF,
    kAUSB,
    kDUSB,
    kRLST,
    kRLFO,
    kMethodCount,
    kUnknownMethod = kMethodCount,
};
inline constexpr const char kMethodNames[kMethodCount + 1][5] = {"BTST", "BTPO", "BTPF", "AUSB",
                                                                 "DUSB", "RLST", "RLFO", "????"};

// Kinds of log entry.
enum EventKind : unsigned long {
    kEventMethod = 1,    // an evaluation: method, status, result byte
    kEventNotify = 2,    // a notification raised: code, whether a callback took it
    kEventPower = 3,     // a system power request sent down the stack: state, status
    kEventPnp = 4,       // a Plug and Play request the device received: minor function
    kEventPresence = 5,  // the device reported present (1) or gone (0)
};

struct LogEntry {
    unsigned long long timeUs;  // since the bus driver started
    unsigned long kind;         // EventKind
    unsigned long code;         // Method, notification, power state, PnP minor, presence
    long status;                // NTSTATUS of the evaluation or request
    unsigned long value;        // the result byte, or 1 when a callback took a notification
};

inline constexpr unsigned long kLogCapacity = 1024;

// The module's scripted behaviour.
struct Script {
    unsigned long powerDelayMs;   // after BTPO, bit 7 rises this much later
    unsigned long attachDelayMs;  // after AUSB, bit 6 rises this much later
    unsigned long powerNever;     // 1: BTPO never raises bit 7
    unsigned long attachNever;    // 1: AUSB never raises bit 6
    unsigned long rlstNeverOne;   // 1: RLFO never makes RLST read 1
    unsigned long methodDelayMs;  // every evaluation takes this long
};

struct Failure {
    unsigned long method;  // Method
    long status;           // NTSTATUS to answer with; 0 clears the failure
    unsigned long count;   // how many evaluations fail; 0xFFFFFFFF: all of them
};

struct State {
    unsigned long present;               // the bus reports the device
    unsigned long pdoExists;             // its PDO exists (not yet removed)
    unsigned long started;               // the PDO received IRP_MN_START_DEVICE
    unsigned long callbacks;             // notification callbacks registered (0 or 1)
    unsigned long interfaceRefs;         // references on the ACPI interface handed out
    unsigned long statusByte;            // what BTST would answer now
    unsigned long rlst;                  // what RLST would answer now
    unsigned long evaluations;           // every evaluation since the last reset
    unsigned long logCount;              // entries logged since the last clear
    unsigned long removals;              // IRP_MN_REMOVE_DEVICE received, all PDOs
    unsigned long counts[kMethodCount];  // evaluations per method since the last reset
};

struct LogRead {
    unsigned long first;  // index of the first entry wanted
};
struct LogReply {
    unsigned long total;  // entries logged since the last clear
    unsigned long count;  // entries in this reply
    LogEntry entries[64];
};

struct PowerRequest {
    unsigned long systemState;  // SYSTEM_POWER_STATE: 1 working, 4 sleeping S3, 5 hibernate
};
struct PowerReply {
    long status;
};

}  // namespace acpibt

#define NRV_ACPIBT_CTL(function) CTL_CODE(0x22, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ACPIBT_RESET NRV_ACPIBT_CTL(0xB00)         // model, failures, log back to start
#define IOCTL_ACPIBT_SET_STATUS NRV_ACPIBT_CTL(0xB01)    // in: ULONG status byte (bits 0, 6, 7)
#define IOCTL_ACPIBT_SET_SCRIPT NRV_ACPIBT_CTL(0xB02)    // in: Script
#define IOCTL_ACPIBT_SET_FAILURE NRV_ACPIBT_CTL(0xB03)   // in: Failure
#define IOCTL_ACPIBT_NOTIFY NRV_ACPIBT_CTL(0xB04)        // in: ULONG code; out: ULONG taken
#define IOCTL_ACPIBT_SYSTEM_POWER NRV_ACPIBT_CTL(0xB05)  // in: PowerRequest; out: PowerReply
#define IOCTL_ACPIBT_SET_PRESENT NRV_ACPIBT_CTL(0xB06)   // in: ULONG 0 unplug, 1 plug
#define IOCTL_ACPIBT_QUERY_STATE NRV_ACPIBT_CTL(0xB07)   // out: State
#define IOCTL_ACPIBT_READ_LOG NRV_ACPIBT_CTL(0xB08)      // in: LogRead; out: LogReply
#define IOCTL_ACPIBT_CLEAR_LOG NRV_ACPIBT_CTL(0xB09)
#define IOCTL_ACPIBT_SET_RLST NRV_ACPIBT_CTL(0xB0A)  // in: ULONG RLST byte
