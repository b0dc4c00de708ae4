// nrvvadsim.sys: the simulated value-added device. Publishes "\Device\HWPLZ",
// "\Device\HWPLD" and "\Device\HWPLG" with their "\DosDevices\" links and
// answers their opens and requests as the model (VadSimModel.h) decides. Event
// waits stay pending, cancellable, until the control device raises their
// event or their handle is closed. The control device "\Device\NrvVadSimControl"
// takes the scripts of vadctl and the tests. The two posture indicators,
// "\Device\NrvSlateIndicator" and "\Device\NrvDockIndicator", are linked under
// their device interfaces' paths and take one-byte writes, each a toggle.
//
// Locking: one spin lock guards the model and the queue of pending waits.
// Everything it guards lives in the driver image (non-paged); IRPs are
// completed only after it is released. A mutex serialises the creation and
// deletion of the device links (passive level only).
//
// Refused opens: the device refuses an open in IRP_MJ_CREATE (a second open
// of HWPLD, a scripted failure). Wine opens the handle whatever that status
// is, so the refusal is also kept in the file object and every request on
// that handle fails with it.
#include <wdm.h>

#include "VadSimControl.h"
#include "VadSimModel.h"

namespace {

constexpr ULONG kControlDevice = vadsim::kDeviceCount;  // id of the control device
constexpr ULONG kIndicatorBase = kControlDevice + 1;    // ids of the indicators
constexpr ULONG kDeviceTotal = kIndicatorBase + vadsim::kIndicatorCount;

bool IsIndicator(ULONG id) {
    return id >= kIndicatorBase && id < kDeviceTotal;
}

struct DeviceExtension {
    ULONG id;  // vadsim::DeviceId, or kControlDevice
};

struct DriverState {
    KSPIN_LOCK lock;
    LIST_ENTRY waits;  // pending event waits, linked through Tail.Overlay.ListEntry
    LARGE_INTEGER start;
    LARGE_INTEGER frequency;
    vadsim::Model model;
    KMUTEX linkLock;            // guards linked
    bool linked[kDeviceTotal];  // the device's "\DosDevices\" link exists
    bool lateCancel;            // vadsim::kCancelLate
    LIST_ENTRY cancelled;       // cancelled waits held back (late cancel mode)
    ULONGLONG raisedUs;         // the last raised event
    ULONGLONG firstWriteUs[vadsim::kIndicatorCount];  // first write after it
};

// Zero-initialised static storage: no constructor runs for it.
DriverState g_state;
PDEVICE_OBJECT g_devices[kDeviceTotal];

struct DeviceNames {
    const wchar_t* name;
    const wchar_t* link;
    BOOLEAN exclusive;
};

constexpr DeviceNames kNames[] = {
    {vad::kRegisterDeviceName, vad::kRegisterDeviceLink, FALSE},
    {vad::kDirectDeviceName, vad::kDirectDeviceLink, TRUE},
    {vad::kEventDeviceName, vad::kEventDeviceLink, FALSE},
    {vadsim::kControlDeviceName, vadsim::kControlDeviceLink, FALSE},
    {vadsim::kIndicatorNames[vadsim::kIndicatorSlate].deviceName,
     vadsim::kIndicatorNames[vadsim::kIndicatorSlate].deviceLink, TRUE},
    {vadsim::kIndicatorNames[vadsim::kIndicatorDock].deviceName,
     vadsim::kIndicatorNames[vadsim::kIndicatorDock].deviceLink, TRUE},
};
static_assert(sizeof kNames / sizeof kNames[0] == kDeviceTotal, "one per device");

// File objects: FsContext2 marks an open the model counted, so its close is
// counted exactly once; FsContext holds the Outcome of a refused open.
void* const kCountedOpen = &g_state;

ULONG RefusedOutcome(PFILE_OBJECT file) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(file->FsContext));
}

// The pending wait's event code and file object, kept in the IRP.
constexpr int kWaitCodeSlot = 0;
constexpr int kWaitFileSlot = 1;

class SpinLockGuard {
public:
    SpinLockGuard() { KeAcquireSpinLock(&g_state.lock, &m_irql); }
    ~SpinLockGuard() { KeReleaseSpinLock(&g_state.lock, m_irql); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    KIRQL m_irql;
};

ULONG DeviceId(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension)->id;
}

ULONGLONG NowUs() {
    const LONGLONG ticks = KeQueryPerformanceCounter(nullptr).QuadPart - g_state.start.QuadPart;
    const LONGLONG frequency = g_state.frequency.QuadPart;
    return static_cast<ULONGLONG>(ticks / frequency * 1000000 +
                                  ticks % frequency * 1000000 / frequency);
}

NTSTATUS ToStatus(ULONG outcome) {
    switch (outcome) {
        case vadsim::kOutcomeSuccess:
            return STATUS_SUCCESS;
        case vadsim::kOutcomePending:
            return STATUS_PENDING;
        case vadsim::kOutcomeInvalidParameter:
            return STATUS_INVALID_PARAMETER;
        case vadsim::kOutcomeBufferTooSmall:
            return STATUS_BUFFER_TOO_SMALL;
        case vadsim::kOutcomeDeviceError:
            return STATUS_IO_DEVICE_ERROR;
        case vadsim::kOutcomeNotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case vadsim::kOutcomeSharingViolation:
            return STATUS_SHARING_VIOLATION;
        case vadsim::kOutcomeNotReady:
            return STATUS_DEVICE_NOT_READY;
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PIRP WaitIrp(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

// Which pending waits to take: those for one event code, those of one file
// object, or all.
struct WaitFilter {
    bool byCode;
    ULONG code;
    PFILE_OBJECT file;  // null: any
};

// Moves the matching waits from the queue to taken, with their cancel
// routines cleared. A wait whose cancel routine is already running stays: the
// routine takes it out and completes it. Called under the lock.
ULONG TakeWaits(const WaitFilter& filter, PLIST_ENTRY taken) {
    ULONG count = 0;
    for (PLIST_ENTRY entry = g_state.waits.Flink, next; entry != &g_state.waits; entry = next) {
        next = entry->Flink;
        PIRP irp = WaitIrp(entry);
        const auto code = static_cast<ULONG>(
            reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[kWaitCodeSlot]));
        const auto file = static_cast<PFILE_OBJECT>(irp->Tail.Overlay.DriverContext[kWaitFileSlot]);
        if (filter.byCode && code != filter.code) continue;
        if (filter.file != nullptr && file != filter.file) continue;
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
        RemoveEntryList(entry);
        InsertTailList(taken, entry);
        ++count;
    }
    return count;
}

// Completes the taken waits: with the event's value in word 0 (and the
// given status), or cancelled. Called without the lock.
void CompleteWaits(PLIST_ENTRY taken, bool delivered, ULONG value,
                   NTSTATUS status = STATUS_SUCCESS) {
    while (!IsListEmpty(taken)) {
        PIRP irp = WaitIrp(RemoveHeadList(taken));
        if (!delivered) {
            Complete(irp, STATUS_CANCELLED, 0);
            continue;
        }
        const vad::EventWait result = {value, 0};
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &result, sizeof result);
        Complete(irp, status, sizeof result);
    }
}

void CancelWaitsOf(PFILE_OBJECT file) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    {
        SpinLockGuard lock;
        TakeWaits({false, 0, file}, &taken);
    }
    CompleteWaits(&taken, false, 0);
}

VOID NTAPI CancelWait(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool held = false;
    {
        SpinLockGuard lock;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        if (g_state.lateCancel) {
            InsertTailList(&g_state.cancelled, &irp->Tail.Overlay.ListEntry);
            held = true;
        }
    }
    if (!held) Complete(irp, STATUS_CANCELLED, 0);
}

// Completes the cancelled waits held back in late cancel mode, each with
// kLateCancelValue written into its output; how many.
ULONG CompleteHeldCancels(bool endLateMode) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    ULONG count = 0;
    {
        SpinLockGuard lock;
        if (endLateMode) g_state.lateCancel = false;
        while (!IsListEmpty(&g_state.cancelled)) {
            InsertTailList(&taken, RemoveHeadList(&g_state.cancelled));
            ++count;
        }
    }
    CompleteWaits(&taken, true, vadsim::kLateCancelValue);
    return count;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG id = DeviceId(device);
    if (id == kControlDevice) return Complete(irp, STATUS_SUCCESS, 0);
    const ULONGLONG now = NowUs();
    ULONG outcome;
    {
        SpinLockGuard lock;
        outcome = IsIndicator(id) ? g_state.model.IndicatorOpen(id - kIndicatorBase)
                                  : g_state.model.Open(id, now);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (outcome == vadsim::kOutcomeSuccess) {
        file->FsContext2 = kCountedOpen;
    } else {
        file->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(outcome));
    }
    return Complete(irp, ToStatus(outcome), 0);
}

// The last handle of a file object is closed: its waits end, cancelled.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    if (DeviceId(device) == vadsim::kDeviceHwplg) {
        CancelWaitsOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG id = DeviceId(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (id == vadsim::kDeviceHwplg) CancelWaitsOf(file);  // in case no cleanup came first
    if (id != kControlDevice && file->FsContext2 == kCountedOpen) {
        file->FsContext2 = nullptr;
        const ULONGLONG now = NowUs();
        SpinLockGuard lock;
        if (IsIndicator(id)) {
            g_state.model.IndicatorClose(id - kIndicatorBase);
        } else {
            g_state.model.Close(id, now);
        }
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS RaiseEvent(PIRP irp, void* buffer, ULONG inputLength, ULONG outputLength) {
    vadsim::RaiseEvent event;
    if (buffer == nullptr || inputLength < sizeof event) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (outputLength < sizeof(vadsim::RaiseResult)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlCopyMemory(&event, buffer, sizeof event);
    vadsim::RaiseResult result = {0, 0};
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    const ULONGLONG now = NowUs();
    {
        SpinLockGuard lock;
        g_state.raisedUs = now;
        for (ULONGLONG& write : g_state.firstWriteUs) write = 0;
        result.completed = TakeWaits({true, event.code, nullptr}, &taken);
        if (result.completed == 0 && (event.flags & vadsim::kRaiseQueue) != 0) {
            result.queued = g_state.model.QueueEvent(event.code, event.value) ? 1 : 0;
        }
    }
    CompleteWaits(
        &taken, true, event.value,
        (event.flags & vadsim::kRaiseFail) != 0 ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS);
    RtlCopyMemory(buffer, &result, sizeof result);
    return Complete(irp, STATUS_SUCCESS, sizeof result);
}

NTSTATUS QueryState(PIRP irp, void* buffer, ULONG outputLength) {
    if (buffer == nullptr || outputLength < sizeof(vadsim::DeviceState)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    vadsim::DeviceState state;
    RtlZeroMemory(&state, sizeof state);
    {
        SpinLockGuard lock;
        g_state.model.FillState(&state);
        for (PLIST_ENTRY entry = g_state.waits.Flink; entry != &g_state.waits;
             entry = entry->Flink) {
            const auto code = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(
                WaitIrp(entry)->Tail.Overlay.DriverContext[kWaitCodeSlot]));
            ++state.pendingWaits;
            ULONG i = 0;
            while (i < state.codeCount && state.pending[i].code != code) ++i;
            if (i == vadsim::kMaxReportedCodes) continue;
            if (i == state.codeCount) state.pending[state.codeCount++] = {code, 0};
            ++state.pending[i].count;
        }
    }
    RtlCopyMemory(buffer, &state, sizeof state);
    return Complete(irp, STATUS_SUCCESS, sizeof state);
}

// A write to an indicator: one byte toggles it. Other devices take no writes.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG id = DeviceId(device);
    if (!IsIndicator(id)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = stack->Parameters.Write.Length;
    ULONG outcome;
    const ULONGLONG now = NowUs();
    {
        SpinLockGuard lock;
        outcome = g_state.model.IndicatorWrite(id - kIndicatorBase, length,
                                               RefusedOutcome(stack->FileObject));
        ULONGLONG& first = g_state.firstWriteUs[id - kIndicatorBase];
        if (outcome == vadsim::kOutcomeSuccess && first == 0) first = now;
    }
    const NTSTATUS status = ToStatus(outcome);
    return Complete(irp, status, NT_SUCCESS(status) ? length : 0);
}

NTSTATUS SetLink(ULONG id, bool present) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kNames[id].name);
    RtlInitUnicodeString(&link, kNames[id].link);
    const NTSTATUS status =
        present ? IoCreateSymbolicLink(&link, &name) : IoDeleteSymbolicLink(&link);
    if (NT_SUCCESS(status)) g_state.linked[id] = present;
    return status;
}

// Creates or deletes the links of the three devices and the indicators as the model's presence
// flags say. Passive level.
NTSTATUS SyncLinks() {
    vadsim::DeviceState state;
    vadsim::IndicatorState indicators;
    RtlZeroMemory(&state, sizeof state);
    RtlZeroMemory(&indicators, sizeof indicators);
    {
        SpinLockGuard lock;
        g_state.model.FillState(&state);
        g_state.model.FillIndicators(&indicators);
    }
    NTSTATUS result = STATUS_SUCCESS;
    KeWaitForSingleObject(&g_state.linkLock, Executive, KernelMode, FALSE, nullptr);
    for (ULONG id = 0; id < vadsim::kDeviceCount; ++id) {
        const bool present = state.absent[id] == 0;
        if (present == g_state.linked[id]) continue;
        const NTSTATUS status = SetLink(id, present);
        if (!NT_SUCCESS(status)) result = status;
    }
    for (ULONG i = 0; i < vadsim::kIndicatorCount; ++i) {
        const bool present = indicators.absent[i] == 0;
        if (present == g_state.linked[kIndicatorBase + i]) continue;
        const NTSTATUS status = SetLink(kIndicatorBase + i, present);
        if (!NT_SUCCESS(status)) result = status;
    }
    KeReleaseMutex(&g_state.linkLock, FALSE);
    return result;
}

NTSTATUS SetCancelMode(PIRP irp, void* buffer, ULONG inputLength) {
    vadsim::CancelMode mode;
    if (buffer == nullptr || inputLength < sizeof mode) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    RtlCopyMemory(&mode, buffer, sizeof mode);
    if (mode.mode == vadsim::kCancelLate) {
        SpinLockGuard lock;
        g_state.lateCancel = true;
    } else {
        CompleteHeldCancels(true);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS CompleteCancelled(PIRP irp, void* buffer, ULONG outputLength) {
    if (buffer == nullptr || outputLength < sizeof(vadsim::CancelledResult)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const vadsim::CancelledResult result = {CompleteHeldCancels(false)};
    RtlCopyMemory(buffer, &result, sizeof result);
    return Complete(irp, STATUS_SUCCESS, sizeof result);
}

NTSTATUS QueryTiming(PIRP irp, void* buffer, ULONG outputLength) {
    if (buffer == nullptr || outputLength < sizeof(vadsim::Timing)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    vadsim::Timing timing;
    RtlZeroMemory(&timing, sizeof timing);
    timing.nowUs = NowUs();
    {
        SpinLockGuard lock;
        timing.raisedUs = g_state.raisedUs;
        for (ULONG i = 0; i < vadsim::kIndicatorCount; ++i)
            timing.firstWriteUs[i] = g_state.firstWriteUs[i];
    }
    RtlCopyMemory(buffer, &timing, sizeof timing);
    return Complete(irp, STATUS_SUCCESS, sizeof timing);
}

NTSTATUS ControlRequest(PIRP irp, ULONG code, void* buffer, ULONG inputLength, ULONG outputLength) {
    if (code == IOCTL_VADSIM_RAISE_EVENT) return RaiseEvent(irp, buffer, inputLength, outputLength);
    if (code == IOCTL_VADSIM_QUERY_STATE) return QueryState(irp, buffer, outputLength);
    if (code == IOCTL_VADSIM_SET_CANCEL_MODE) return SetCancelMode(irp, buffer, inputLength);
    if (code == IOCTL_VADSIM_COMPLETE_CANCELLED)
        return CompleteCancelled(irp, buffer, outputLength);
    if (code == IOCTL_VADSIM_QUERY_TIMING) return QueryTiming(irp, buffer, outputLength);
    if (code == IOCTL_VADSIM_RESET) CompleteHeldCancels(true);
    vadsim::Answer answer;
    {
        SpinLockGuard lock;
        answer = g_state.model.Control(code, buffer, inputLength, buffer, outputLength);
    }
    NTSTATUS status = ToStatus(answer.outcome);
    if (NT_SUCCESS(status) && (code == IOCTL_VADSIM_SET_PRESENCE || code == IOCTL_VADSIM_RESET ||
                               code == IOCTL_VADSIM_SET_INDICATOR_PRESENCE)) {
        status = SyncLinks();
    }
    return Complete(irp, status, NT_SUCCESS(status) ? answer.bytes : 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    // Every code of both contracts is buffered; others get no buffer to look at.
    void* buffer =
        METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer : nullptr;
    const ULONG id = DeviceId(device);
    if (id == kControlDevice) return ControlRequest(irp, code, buffer, inputLength, outputLength);
    if (IsIndicator(id)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    const vadsim::Request request = {
        id,     code,         buffer,  inputLength,
        buffer, outputLength, NowUs(), RefusedOutcome(stack->FileObject)};
    KIRQL irql;
    KeAcquireSpinLock(&g_state.lock, &irql);
    const vadsim::Answer answer = g_state.model.Handle(request);
    if (answer.outcome != vadsim::kOutcomePending) {
        KeReleaseSpinLock(&g_state.lock, irql);
        return Complete(irp, ToStatus(answer.outcome), answer.bytes);
    }
    irp->Tail.Overlay.DriverContext[kWaitCodeSlot] =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(answer.eventCode));
    irp->Tail.Overlay.DriverContext[kWaitFileSlot] = stack->FileObject;
    (void)IoSetCancelRoutine(irp, CancelWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was queued, and no cancel routine will run.
        KeReleaseSpinLock(&g_state.lock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&g_state.waits, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_state.lock, irql);
    return STATUS_PENDING;
}

void DeleteDevices() {
    for (ULONG i = 0; i < kDeviceTotal; ++i) {
        if (g_state.linked[i]) SetLink(i, false);
        if (g_devices[i] != nullptr) IoDeleteDevice(g_devices[i]);
        g_devices[i] = nullptr;
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
    CompleteHeldCancels(true);
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    {
        SpinLockGuard lock;
        TakeWaits({false, 0, nullptr}, &taken);
    }
    CompleteWaits(&taken, false, 0);
    DeleteDevices();
}

NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG id) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kNames[id].name);
    PDEVICE_OBJECT device = nullptr;
    // Wine does not enforce the exclusive flag; the model refuses a second
    // open of HWPLD itself.
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                                     kNames[id].exclusive, &device);
    if (!NT_SUCCESS(status)) return status;
    static_cast<DeviceExtension*>(device->DeviceExtension)->id = id;
    g_devices[id] = device;
    status = SetLink(id, true);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    // Zero already in a freshly loaded image; the user-mode tests load the
    // driver many times over.
    RtlZeroMemory(&g_state, sizeof g_state);
    RtlZeroMemory(g_devices, sizeof g_devices);
    KeInitializeSpinLock(&g_state.lock);
    InitializeListHead(&g_state.waits);
    InitializeListHead(&g_state.cancelled);
    KeInitializeMutex(&g_state.linkLock, 0);
    g_state.start = KeQueryPerformanceCounter(&g_state.frequency);
    g_state.model.Reset();

    for (ULONG id = 0; id < kDeviceTotal; ++id) {
        const NTSTATUS status = CreateDevice(driver, id);
        if (!NT_SUCCESS(status)) {
            DeleteDevices();
            return status;
        }
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
