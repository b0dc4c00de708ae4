// The ACPI driver's standard interface (GUID_ACPI_INTERFACE_STANDARD), as a
// function driver above an ACPI-enumerated device queries it with
// IRP_MN_QUERY_INTERFACE, and the names of the firmware methods and
// notifications of the radio switch device. MinGW-w64's DDK headers lack the
// interface; its layout is the documented one (88 bytes on x64). Shared by
// the driver and the simulated firmware device.
#pragma once

#include <wdm.h>
#include <acpiioct.h>

// {B091A08A-BA97-11D0-BD14-00AA00B7B32A}
inline constexpr GUID kAcpiInterfaceStandardGuid = {
    0xB091A08A, 0xBA97, 0x11D0, {0xBD, 0x14, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}};

typedef VOID(NTAPI* PACPI_DEVICE_NOTIFY_CALLBACK)(PVOID Context, ULONG NotifyCode);
typedef NTSTATUS(NTAPI* PACPI_REGISTER_FOR_DEVICE_NOTIFICATIONS)(
    PDEVICE_OBJECT DeviceObject, PACPI_DEVICE_NOTIFY_CALLBACK DeviceNotify, PVOID Context);
typedef VOID(NTAPI* PACPI_UNREGISTER_FOR_DEVICE_NOTIFICATIONS)(
    PDEVICE_OBJECT DeviceObject, PACPI_DEVICE_NOTIFY_CALLBACK DeviceNotify);

struct AcpiInterfaceStandard {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PVOID GpeConnectVector;     // not used by this driver
    PVOID GpeDisconnectVector;  // not used
    PVOID GpeEnableEvent;       // not used
    PVOID GpeDisableEvent;      // not used
    PVOID GpeClearStatus;       // not used
    PACPI_REGISTER_FOR_DEVICE_NOTIFICATIONS RegisterForDeviceNotifications;
    PACPI_UNREGISTER_FOR_DEVICE_NOTIFICATIONS UnregisterForDeviceNotifications;
};
#ifdef _WIN64
static_assert(sizeof(AcpiInterfaceStandard) == 88, "the ACPI standard interface is 88 bytes");
#endif
inline constexpr USHORT kAcpiInterfaceStandardVersion = 1;

// A method name: four ASCII letters packed little-endian ("BTST" is 0x54535442).
constexpr ULONG AcpiMethodName(const char (&name)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(name[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(name[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(name[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(name[3])) << 24;
}

// The radio switch device's methods, none of them with arguments.
inline constexpr ULONG kMethodBTST = AcpiMethodName("BTST");  // status byte
inline constexpr ULONG kMethodBTPO = AcpiMethodName("BTPO");  // power the module on
inline constexpr ULONG kMethodBTPF = AcpiMethodName("BTPF");  // power it off
inline constexpr ULONG kMethodAUSB = AcpiMethodName("AUSB");  // attach it to USB
inline constexpr ULONG kMethodDUSB = AcpiMethodName("DUSB");  // detach it from USB
inline constexpr ULONG kMethodRLST = AcpiMethodName("RLST");  // LED forcing state
inline constexpr ULONG kMethodRLFO = AcpiMethodName("RLFO");  // force the wireless LED
static_assert(kMethodBTST == 0x54535442, "BTST");

// Its notifications.
inline constexpr ULONG kNotifyWaitRelease = 0x80;  // releases one waiting request
inline constexpr ULONG kNotifyRadioSwitch = 0x90;  // the radio switch moved

// The evaluation request: signature and name in, 20 bytes out (an output
// buffer with one integer argument whose low byte lies at offset 16).
inline constexpr ULONG kAcpiEvalInputSignature = 0x42696541;  // "AeiB" in memory order
inline constexpr ULONG kAcpiEvalInputLength = 8;
inline constexpr ULONG kAcpiEvalOutputLength = 20;
inline constexpr ULONG kAcpiEvalResultOffset = 16;
