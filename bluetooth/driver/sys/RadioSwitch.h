// nrvrfsw.sys internals: the device extension, the driver-wide settings and
// the routines the request dispatch (RadioSwitchDriver.cpp) and the radio
// logic (RadioSequences.cpp) share.
#pragma once

#include <ntddk.h>
#include <wmilib.h>

#include "AcpiInterface.h"
#include "RadioSwitchContract.h"

// "RFSW" in a pool dump: the first letter is the lowest byte.
inline constexpr ULONG kPoolTag = 0x57534652;

struct RadioSwitchExtension {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    BOOLEAN Started;
    LIST_ENTRY Notify80Queue;  // pending waits, oldest first, through Tail.Overlay.ListEntry
    LIST_ENTRY Notify90Queue;
    KSPIN_LOCK QueueLock;  // guards both queues and Removing
    HANDLE volatile WorkerThreadHandle;
    HANDLE volatile PowerOnThreadHandle;  // non-NULL exactly while a power-on thread runs
    BOOLEAN WasOnBeforeSleep;
    WMILIB_CONTEXT WmiLibInfo;  // all zero: no WMI data blocks
    KEVENT WorkerEvent;
    BOOLEAN volatile StopWorker;
    PKTHREAD WorkerThread;

    // The last power-on thread's object, referenced until it has ended, so
    // that no thread runs driver code after its device is gone. Its handle
    // is closed as soon as the thread is created.
    PKTHREAD PowerOnThread;
    // Requests in flight plus one for the device itself; removal drops its
    // own count and waits for IoIdle before the device is deleted.
    LONG volatile IoCount;
    BOOLEAN Removing;  // set under QueueLock; no request is admitted after it
    KEVENT IoIdle;
    UNICODE_STRING InterfaceName;  // the device interface's symbolic link
};

// The values under the service's Parameters key, with their values before
// the read.
struct DriverSettings {
    ULONG DebugLevel;
    UCHAR volatile Bluetooth;  // the Bluetooth flag
    ULONG UnplugFail;
    ULONG PowerOnDelay;  // milliseconds
    UNICODE_STRING RadioManagerPath;
    UNICODE_STRING RadioManagerDLLx64;
    ULONG DontRepairRadioManagerDLL;
    ULONG QuickPowerOn;
};

extern DriverSettings g_Settings;
extern BOOLEAN g_IsWin81OrLater;
extern AcpiInterfaceStandard g_AcpiInterface;
extern UNICODE_STRING g_RegistryPath;

// Request dispatch and ACPI helpers (RadioSwitchDriver.cpp).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI RadioNotify(PVOID Context, ULONG NotifyValue);
NTSTATUS EvaluateMethod(PDEVICE_OBJECT LowerDeviceObject, ULONG name);
NTSTATUS EvaluateMethodByte(PDEVICE_OBJECT LowerDeviceObject, ULONG name, UCHAR* value);
BOOLEAN AcquireRequest(RadioSwitchExtension* ext);
VOID ReleaseRequest(RadioSwitchExtension* ext);

// Radio logic (RadioSequences.cpp).
NTSTATUS ReadDriverSettings();
VOID FreeDriverSettings();
BOOLEAN ComputeIsWin81OrLater();
VOID SaveBluetoothFlag();
VOID ApplyDefaultRadioOn();
ULONG ReadUsbDeviceCount();
BOOLEAN HasKnownFilterStamp();
BOOLEAN BluetoothStackKeyExists();
NTSTATUS PowerOnSequence(RadioSwitchExtension* ext);
NTSTATUS PowerOnModule(RadioSwitchExtension* ext);
NTSTATUS AttachModule(RadioSwitchExtension* ext);
NTSTATUS PowerOffSequence(RadioSwitchExtension* ext);
NTSTATUS DetachAndPowerOff(RadioSwitchExtension* ext);
VOID CheckLedState(RadioSwitchExtension* ext);
NTSTATUS ForceLed(RadioSwitchExtension* ext, ULONG tries);
VOID RepairRadioSupport();
NTSTATUS HandleSystemPower(RadioSwitchExtension* ext, SYSTEM_POWER_STATE state);
NTSTATUS StartWorker(RadioSwitchExtension* ext);
VOID StopWorkerThread(RadioSwitchExtension* ext);
NTSTATUS StartPowerOnThread(RadioSwitchExtension* ext);
VOID WaitForPowerOnThread(RadioSwitchExtension* ext);
VOID SleepMilliseconds(ULONG milliseconds);
