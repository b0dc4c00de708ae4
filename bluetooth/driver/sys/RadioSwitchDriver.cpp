// nrvrfsw.sys: the function driver of the firmware's Bluetooth radio switch
// device. This file holds the driver object, AddDevice, the dispatch of
// create, close, cleanup, Plug and Play, power, system control and the seven
// I/O controls with their two wait queues, the firmware notification callback
// and the ACPI method evaluation helpers. The radio sequences, settings and
// threads are in RadioSequences.cpp.
//
// Wait queues: a wait is queued under QueueLock with its cancel routine set;
// whoever takes an IRP out of a queue (a notification, a handle's cleanup,
// removal) first takes its cancel routine back, and leaves an IRP whose
// cancel routine is already running to that routine, which unlinks it under
// QueueLock and completes it. So every wait is completed exactly once, and
// QueueLock and the cancel spin lock are never held together.
//
// Removal: every request holds a count on the device (AcquireRequest); the
// removal refuses new requests, waits until the count drops to zero and only
// then detaches and deletes the device.
#include "RadioSwitch.h"

DriverSettings g_Settings;
BOOLEAN g_IsWin81OrLater;
AcpiInterfaceStandard g_AcpiInterface;
UNICODE_STRING g_RegistryPath;

namespace {

constexpr WCHAR kDeviceName[] = NRV_RADIO_SWITCH_DEVICE_NAME;
constexpr GUID kInterfaceClass = GUID_DEVINTERFACE_NRV_RADIO_SWITCH;

RadioSwitchExtension* Extension(PDEVICE_OBJECT device) {
    return static_cast<RadioSwitchExtension*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PIRP QueuedIrp(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

NTSTATUS PassDown(RadioSwitchExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->LowerDeviceObject, irp);
}

// ---------------------------------------------------------------------------
// Wait queues

VOID NTAPI CancelQueuedWait(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    RadioSwitchExtension* ext = Extension(device);
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->QueueLock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS QueueWait(RadioSwitchExtension* ext, PLIST_ENTRY queue, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    if (ext->Removing) {
        KeReleaseSpinLock(&ext->QueueLock, irql);
        return Complete(irp, STATUS_DELETE_PENDING, 0);
    }
    IoSetCancelRoutine(irp, CancelQueuedWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was queued: no cancel routine runs for it.
        KeReleaseSpinLock(&ext->QueueLock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    // Queued even when a cancel routine already took it: that routine
    // unlinks it and completes it.
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->QueueLock, irql);
    return STATUS_PENDING;
}

// Moves up to max waits of queue (those of file, or all when file is NULL)
// whose cancel routine can still be taken back to taken, oldest first.
// Called under QueueLock.
ULONG TakeWaits(PLIST_ENTRY queue, PFILE_OBJECT file, ULONG max, PLIST_ENTRY taken) {
    ULONG count = 0;
    for (PLIST_ENTRY entry = queue->Flink, next; entry != queue && count < max; entry = next) {
        next = entry->Flink;
        PIRP irp = QueuedIrp(entry);
        if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;  // its cancel routine runs
        RemoveEntryList(entry);
        InsertTailList(taken, entry);
        ++count;
    }
    return count;
}

VOID CompleteTaken(PLIST_ENTRY taken, NTSTATUS status) {
    while (!IsListEmpty(taken)) {
        Complete(QueuedIrp(RemoveHeadList(taken)), status, 0);
    }
}

VOID CompleteWaits(RadioSwitchExtension* ext, PLIST_ENTRY queue, PFILE_OBJECT file, ULONG max,
                   NTSTATUS status) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    TakeWaits(queue, file, max, &taken);
    KeReleaseSpinLock(&ext->QueueLock, irql);
    CompleteTaken(&taken, status);
}

constexpr ULONG kAll = 0xFFFFFFFF;

// ---------------------------------------------------------------------------
// Forwarding

NTSTATUS NTAPI SignalForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(RadioSwitchExtension* ext, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwarded, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// ---------------------------------------------------------------------------
// Dispatch

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The last handle of a file object is closed: its waits end, cancelled;
// those of other handles stay queued.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    RadioSwitchExtension* ext = Extension(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    if (file != nullptr) {
        TakeWaits(&ext->Notify80Queue, file, kAll, &taken);
        TakeWaits(&ext->Notify90Queue, file, kAll, &taken);
    }
    KeReleaseSpinLock(&ext->QueueLock, irql);
    CompleteTaken(&taken, STATUS_CANCELLED);
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The status byte into a caller's buffer of at least one byte.
NTSTATUS GetStatus(RadioSwitchExtension* ext, PIRP irp, ULONG outputLength) {
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (buffer == nullptr || outputLength < 1) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    UCHAR status = 0;
    const NTSTATUS result = EvaluateMethodByte(ext->LowerDeviceObject, kMethodBTST, &status);
    buffer[0] = status;
    return Complete(irp, result, 1);
}

NTSTATUS RadioControl(RadioSwitchExtension* ext, PIRP irp, ULONG code, ULONG outputLength) {
    PDEVICE_OBJECT lower = ext->LowerDeviceObject;
    UCHAR status = 0;
    NTSTATUS result;
    switch (code) {
        case IOCTL_RADIO_DETACH:
            result = EvaluateMethodByte(lower, kMethodBTST, &status);
            if (NT_SUCCESS(result) && (status & RADIO_STATUS_ATTACHED) != 0) {
                result = EvaluateMethod(lower, kMethodDUSB);
            }
            return Complete(irp, result, 0);
        case IOCTL_RADIO_ATTACH:
            result = EvaluateMethodByte(lower, kMethodBTST, &status);
            if (NT_SUCCESS(result) && (status & RADIO_STATUS_POWERED) != 0 &&
                (status & RADIO_STATUS_ATTACHED) == 0) {
                result = EvaluateMethod(lower, kMethodAUSB);
            }
            return Complete(irp, result, 0);
        case IOCTL_RADIO_ON:
            result = EvaluateMethodByte(lower, kMethodBTST, &status);
            if (NT_SUCCESS(result) && (status & RADIO_STATUS_SWITCHED_ON) != 0) {
                g_Settings.Bluetooth = 1;
                SaveBluetoothFlag();
                result = PowerOnModule(ext);
            }
            return Complete(irp, result, 0);
        case IOCTL_RADIO_OFF:
            g_Settings.Bluetooth = 0;
            SaveBluetoothFlag();
            result = EvaluateMethodByte(lower, kMethodBTST, &status);
            if (!NT_SUCCESS(result) || (status & RADIO_STATUS_POWERED) != 0) {
                result = PowerOffSequence(ext);
            }
            return Complete(irp, result, 0);
        case IOCTL_RADIO_WAIT_NOTIFY80:
            return QueueWait(ext, &ext->Notify80Queue, irp);
        case IOCTL_RADIO_WAIT_NOTIFY90:
            return QueueWait(ext, &ext->Notify90Queue, irp);
        case IOCTL_RADIO_GET_STATUS:
            return GetStatus(ext, irp, outputLength);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    RadioSwitchExtension* ext = Extension(device);
    irp->IoStatus.Information = 0;
    if (!AcquireRequest(ext)) return Complete(irp, STATUS_DELETE_PENDING, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const NTSTATUS status = RadioControl(ext, irp, stack->Parameters.DeviceIoControl.IoControlCode,
                                         stack->Parameters.DeviceIoControl.OutputBufferLength);
    ReleaseRequest(ext);
    return status;
}

NTSTATUS RemoveDevice(RadioSwitchExtension* ext, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    ext->Removing = TRUE;
    KeReleaseSpinLock(&ext->QueueLock, irql);

    if (g_AcpiInterface.UnregisterForDeviceNotifications != nullptr) {
        g_AcpiInterface.UnregisterForDeviceNotifications(ext->PhysicalDeviceObject, RadioNotify);
    }
    CompleteWaits(ext, &ext->Notify80Queue, nullptr, kAll, STATUS_SUCCESS);
    CompleteWaits(ext, &ext->Notify90Queue, nullptr, kAll, STATUS_SUCCESS);

    // Requests in flight end before anything they use goes away; the one
    // count left is the device's own.
    ReleaseRequest(ext);
    KeWaitForSingleObject(&ext->IoIdle, Executive, KernelMode, FALSE, nullptr);

    WaitForPowerOnThread(ext);
    StopWorkerThread(ext);
    if (g_AcpiInterface.InterfaceDereference != nullptr) {
        g_AcpiInterface.InterfaceDereference(g_AcpiInterface.Context);
    }
    RtlZeroMemory(&g_AcpiInterface, sizeof g_AcpiInterface);

    // Windows disables the interfaces of a removed device itself; Wine
    // leaves them listed as present, so the driver says it, before the
    // device below learns of the removal.
    if (ext->InterfaceName.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
        RtlFreeUnicodeString(&ext->InterfaceName);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(ext, irp);
    IoDetachDevice(ext->LowerDeviceObject);
    IoDeleteDevice(ext->DeviceObject);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    RadioSwitchExtension* ext = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) return RemoveDevice(ext, irp);
    if (!AcquireRequest(ext)) return PassDown(ext, irp);

    NTSTATUS status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            ApplyDefaultRadioOn();
            if (g_Settings.DontRepairRadioManagerDLL == 0) RepairRadioSupport();
            status = ForwardAndWait(ext, irp);
            if (NT_SUCCESS(status)) {
                ext->Started = TRUE;
                if (g_Settings.Bluetooth == 1 && ext->PowerOnThreadHandle == nullptr) {
                    StartPowerOnThread(ext);
                }
            }
            Complete(irp, status, irp->IoStatus.Information);
            break;
        case IRP_MN_STOP_DEVICE:
            if (g_Settings.Bluetooth == 1) PowerOffSequence(ext);
            status = ForwardAndWait(ext, irp);
            if (NT_SUCCESS(status)) ext->Started = FALSE;
            Complete(irp, status, irp->IoStatus.Information);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            if (ext->PowerOnThreadHandle != nullptr) {
                status = Complete(irp, STATUS_UNSUCCESSFUL, 0);
            } else {
                status = PassDown(ext, irp);
            }
            break;
        default:
            status = PassDown(ext, irp);
            break;
    }
    ReleaseRequest(ext);
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    RadioSwitchExtension* ext = Extension(device);
    if (!AcquireRequest(ext)) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_DELETE_PENDING, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == SystemPowerState) {
        status = HandleSystemPower(ext, stack->Parameters.Power.State.SystemState);
    }
    if (ext->LowerDeviceObject != nullptr) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        status = PoCallDriver(ext->LowerDeviceObject, irp);
    } else {
        irp->IoStatus.Status = status;
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    ReleaseRequest(ext);
    return status;
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    RadioSwitchExtension* ext = Extension(device);
    if (!AcquireRequest(ext)) return PassDown(ext, irp);
    SYSCTL_IRP_DISPOSITION disposition = IrpForward;
    NTSTATUS status = WmiSystemControl(&ext->WmiLibInfo, device, irp, &disposition);
    switch (disposition) {
        case IrpProcessed:
            break;
        case IrpNotCompleted:
            status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            break;
        default:
            status = PassDown(ext, irp);
            break;
    }
    ReleaseRequest(ext);
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {
    if (g_RegistryPath.Buffer != nullptr) ExFreePoolWithTag(g_RegistryPath.Buffer, kPoolTag);
    RtlZeroMemory(&g_RegistryPath, sizeof g_RegistryPath);
    FreeDriverSettings();
}

NTSTATUS QueryAcpiInterface(PDEVICE_OBJECT lower) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof ioStatus);
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, lower, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    RtlZeroMemory(&g_AcpiInterface, sizeof g_AcpiInterface);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &kAcpiInterfaceStandardGuid;
    next->Parameters.QueryInterface.Size = sizeof(AcpiInterfaceStandard);
    next->Parameters.QueryInterface.Version = kAcpiInterfaceStandardVersion;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&g_AcpiInterface);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    if (NT_SUCCESS(status) && g_AcpiInterface.RegisterForDeviceNotifications == nullptr) {
        status = STATUS_NOT_SUPPORTED;  // an answer without the one routine the driver needs
    }
    return status;
}

// Undoes what a failed AddDevice had done.
NTSTATUS FailAddDevice(PDEVICE_OBJECT device, PUNICODE_STRING interfaceName, NTSTATUS status) {
    if (device != nullptr) {
        RadioSwitchExtension* ext = Extension(device);
        if (ext->LowerDeviceObject != nullptr) IoDetachDevice(ext->LowerDeviceObject);
        IoDeleteDevice(device);
    }
    if (interfaceName->Buffer != nullptr) RtlFreeUnicodeString(interfaceName);
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Removal count

BOOLEAN AcquireRequest(RadioSwitchExtension* ext) {
    InterlockedIncrement(&ext->IoCount);
    if (ext->Removing) {
        ReleaseRequest(ext);
        return FALSE;
    }
    return TRUE;
}

VOID ReleaseRequest(RadioSwitchExtension* ext) {
    if (InterlockedDecrement(&ext->IoCount) == 0) KeSetEvent(&ext->IoIdle, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Notifications and evaluation

VOID NTAPI RadioNotify(PVOID Context, ULONG NotifyValue) {
    RadioSwitchExtension* ext = Extension(static_cast<PDEVICE_OBJECT>(Context));
    if (NotifyValue == kNotifyWaitRelease) {
        CompleteWaits(ext, &ext->Notify80Queue, nullptr, 1, STATUS_SUCCESS);
    } else if (NotifyValue == kNotifyRadioSwitch) {
        KeSetEvent(&ext->WorkerEvent, 1, FALSE);
        CompleteWaits(ext, &ext->Notify90Queue, nullptr, 1, STATUS_SUCCESS);
    }
}

namespace {

// One buffer for the input and the output: the I/O manager copies the
// output back into the same place (Wine copies nothing back into a separate
// output buffer).
NTSTATUS Evaluate(PDEVICE_OBJECT lower, ULONG name, UCHAR* result) {
    union {
        ACPI_EVAL_INPUT_BUFFER input;
        UCHAR bytes[kAcpiEvalOutputLength];
    } buffer;
    RtlZeroMemory(&buffer, sizeof buffer);
    buffer.input.Signature = kAcpiEvalInputSignature;
    buffer.input.MethodNameAsUlong = name;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof ioStatus);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_ACPI_EVAL_METHOD, lower, &buffer, kAcpiEvalInputLength,
                                      &buffer, kAcpiEvalOutputLength, FALSE, &event, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    if (result != nullptr && NT_SUCCESS(status)) *result = buffer.bytes[kAcpiEvalResultOffset];
    return status;
}

static_assert(sizeof(ACPI_EVAL_INPUT_BUFFER) == kAcpiEvalInputLength, "signature and name");

}  // namespace

NTSTATUS EvaluateMethod(PDEVICE_OBJECT LowerDeviceObject, ULONG name) {
    return Evaluate(LowerDeviceObject, name, nullptr);
}

NTSTATUS EvaluateMethodByte(PDEVICE_OBJECT LowerDeviceObject, ULONG name, UCHAR* value) {
    *value = 0;
    return Evaluate(LowerDeviceObject, name, value);
}

// ---------------------------------------------------------------------------
// AddDevice and DriverEntry

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    if (PhysicalDeviceObject == nullptr) return STATUS_NO_MORE_ENTRIES;

    UNICODE_STRING interfaceName;
    RtlZeroMemory(&interfaceName, sizeof interfaceName);
    NTSTATUS status =
        IoRegisterDeviceInterface(PhysicalDeviceObject, &kInterfaceClass, nullptr, &interfaceName);
    if (!NT_SUCCESS(status)) return FailAddDevice(nullptr, &interfaceName, status);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDeviceName);
    PDEVICE_OBJECT device = nullptr;
    status = IoCreateDevice(DriverObject, sizeof(RadioSwitchExtension), &name, FILE_DEVICE_UNKNOWN,
                            0, FALSE, &device);
    if (!NT_SUCCESS(status)) return FailAddDevice(nullptr, &interfaceName, status);
    RadioSwitchExtension* ext = Extension(device);
    RtlZeroMemory(ext, sizeof *ext);
    device->Flags |= DO_BUFFERED_IO;
    device->StackSize = 1;
    ext->DeviceObject = device;
    KeInitializeSpinLock(&ext->QueueLock);
    InitializeListHead(&ext->Notify80Queue);
    InitializeListHead(&ext->Notify90Queue);
    ext->IoCount = 1;
    KeInitializeEvent(&ext->IoIdle, NotificationEvent, FALSE);

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (lower == nullptr) return FailAddDevice(device, &interfaceName, STATUS_UNSUCCESSFUL);
    // The lower stack's depth decides how many locations a request needs.
    device->StackSize = static_cast<CCHAR>(lower->StackSize + 1);
    ext->PhysicalDeviceObject = PhysicalDeviceObject;
    ext->LowerDeviceObject = lower;
    ext->WorkerThreadHandle = nullptr;
    ext->PowerOnThreadHandle = nullptr;
    ext->WasOnBeforeSleep = FALSE;

    status = QueryAcpiInterface(lower);
    if (!NT_SUCCESS(status)) return FailAddDevice(device, &interfaceName, status);

    KeInitializeEvent(&ext->WorkerEvent, SynchronizationEvent, FALSE);
    ext->StopWorker = FALSE;

    status =
        g_AcpiInterface.RegisterForDeviceNotifications(PhysicalDeviceObject, RadioNotify, device);
    if (!NT_SUCCESS(status)) {
        if (g_AcpiInterface.InterfaceDereference != nullptr) {
            g_AcpiInterface.InterfaceDereference(g_AcpiInterface.Context);
        }
        RtlZeroMemory(&g_AcpiInterface, sizeof g_AcpiInterface);
        return FailAddDevice(device, &interfaceName, status);
    }

    StartWorker(ext);  // without a worker the device still serves its requests

    // Enabled once the device is attached: Windows defers the enabling to the
    // start anyway, but Wine lists the interface at once, and an open in
    // between would reach the bare PDO.
    status = IoSetDeviceInterfaceState(&interfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        StopWorkerThread(ext);
        g_AcpiInterface.UnregisterForDeviceNotifications(PhysicalDeviceObject, RadioNotify);
        if (g_AcpiInterface.InterfaceDereference != nullptr) {
            g_AcpiInterface.InterfaceDereference(g_AcpiInterface.Context);
        }
        RtlZeroMemory(&g_AcpiInterface, sizeof g_AcpiInterface);
        return FailAddDevice(device, &interfaceName, status);
    }
    ext->InterfaceName = interfaceName;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;
    g_IsWin81OrLater = ComputeIsWin81OrLater();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;

    // Zero in a freshly loaded image already; the user-mode tests load the
    // driver many times over.
    RtlZeroMemory(&g_Settings, sizeof g_Settings);
    RtlZeroMemory(&g_AcpiInterface, sizeof g_AcpiInterface);
    g_Settings.QuickPowerOn = 1;
    g_IsWin81OrLater = FALSE;

    // The path and a terminator; a counted string holds at most 0xFFFE bytes.
    const ULONG size = static_cast<ULONG>(RegistryPath->MaximumLength) + sizeof(WCHAR);
    const USHORT length = RegistryPath->Length <= 0xFFFC ? RegistryPath->Length : 0xFFFC;
    g_RegistryPath.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
    if (g_RegistryPath.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(g_RegistryPath.Buffer, size);
    g_RegistryPath.MaximumLength = static_cast<USHORT>(size <= 0xFFFE ? size : 0xFFFE);
    g_RegistryPath.Length = length < g_RegistryPath.MaximumLength ? length : 0;
    RtlCopyMemory(g_RegistryPath.Buffer, RegistryPath->Buffer, g_RegistryPath.Length);

    ReadDriverSettings();  // its outcome does not change the result
    return STATUS_SUCCESS;
}
