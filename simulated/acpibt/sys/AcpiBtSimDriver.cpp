// nrvacpisim.sys: the simulated ACPI firmware device of the Bluetooth radio
// switch, as a kernel bus driver started as a kernel service. Its bus device
// "\Device\NrvAcpiBtSim" (linked as "\\.\NrvAcpiBtSim") takes the control
// requests of btsimctl and the tests, and reports one child: a PDO with the
// hardware id ACPI\NRV0B01, above which Wine's Plug and Play manager loads
// the real nrvrfsw.sys through nrvrfsw.inf.
//
// The PDO answers IRP_MN_QUERY_INTERFACE for the ACPI standard interface
// (notification (un)registration) and IOCTL_ACPI_EVAL_METHOD for the radio
// switch's methods from a model of the module: a switch bit, a power bit and
// a USB bit that the methods change, after scripted delays, with scripted
// failures. Every evaluation, notification, power request and PnP request is
// logged with its time.
//
// Unplugging reports the child gone: Wine then removes the stack. A removed
// PDO is deleted only later (at the next plug or at unload), once the function
// driver above it has detached. Unload reports the child gone, waits for its
// removal and only then deletes the bus device.
#include <wdm.h>

#include "AcpiBtSimControl.h"
#include "AcpiInterface.h"

namespace {

constexpr ULONG kPoolTag = 0x54424341;  // "ACBT"

enum DeviceKind : ULONG { kBusDevice = 1, kChildDevice = 2 };

struct DeviceExtension {
    ULONG kind;
};

struct Model {
    bool switchOn;
    bool powered;
    bool attached;
    ULONGLONG powerAt;  // bit 7 rises at this time (powerPending)
    bool powerPending;
    ULONGLONG attachAt;  // bit 6 rises at this time (attachPending)
    bool attachPending;
    UCHAR rlst;
    acpibt::Script script;
    acpibt::Failure failures[acpibt::kMethodCount];
    ULONG evaluations;
    ULONG counts[acpibt::kMethodCount];
};

struct SimState {
    KSPIN_LOCK lock;  // guards everything below but the devices
    Model model;
    PACPI_DEVICE_NOTIFY_CALLBACK callback;
    PVOID callbackContext;
    ULONG interfaceRefs;
    bool present;
    bool started;
    ULONG removals;
    acpibt::LogEntry log[acpibt::kLogCapacity];
    ULONG logCount;  // entries since the last clear; the log keeps the first kLogCapacity
    LARGE_INTEGER start;
    LARGE_INTEGER frequency;
    KEVENT childRemoved;  // set when the current PDO has been removed
    KMUTEX childLock;     // serialises plugging, unplugging and power requests (passive)
};

SimState g_sim;
PDEVICE_OBJECT g_bus;
PDEVICE_OBJECT g_child;    // the reported (or last reported) PDO
PDEVICE_OBJECT g_retired;  // a removed PDO waiting to be deleted
PDRIVER_OBJECT g_driver;

class Lock {
public:
    Lock() { KeAcquireSpinLock(&g_sim.lock, &m_irql); }
    ~Lock() { KeReleaseSpinLock(&g_sim.lock, m_irql); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    KIRQL m_irql;
};

class ChildLock {
public:
    ChildLock() { KeWaitForSingleObject(&g_sim.childLock, Executive, KernelMode, FALSE, nullptr); }
    ~ChildLock() { KeReleaseMutex(&g_sim.childLock, FALSE); }
    ChildLock(const ChildLock&) = delete;
    ChildLock& operator=(const ChildLock&) = delete;
};

ULONGLONG NowUs() {
    const LONGLONG ticks = KeQueryPerformanceCounter(nullptr).QuadPart - g_sim.start.QuadPart;
    const LONGLONG frequency = g_sim.frequency.QuadPart;
    return static_cast<ULONGLONG>(ticks / frequency * 1000000 +
                                  ticks % frequency * 1000000 / frequency);
}

// Under the lock.
void Log(ULONG kind, ULONG code, NTSTATUS status, ULONG value) {
    if (g_sim.logCount < acpibt::kLogCapacity) {
        g_sim.log[g_sim.logCount] = {NowUs(), kind, code, status, value};
    }
    ++g_sim.logCount;
}

void LogLocked(ULONG kind, ULONG code, NTSTATUS status, ULONG value) {
    Lock lock;
    Log(kind, code, status, value);
}

void ResetModel() {
    RtlZeroMemory(&g_sim.model, sizeof g_sim.model);
}

// Delayed changes that are due take effect. Under the lock.
void Advance(ULONGLONG now) {
    Model& m = g_sim.model;
    if (m.powerPending && now >= m.powerAt) {
        m.powerPending = false;
        m.powered = true;
    }
    if (m.attachPending && now >= m.attachAt) {
        m.attachPending = false;
        if (m.powered) m.attached = true;
    }
}

UCHAR StatusByte() {
    const Model& m = g_sim.model;
    return static_cast<UCHAR>((m.switchOn ? acpibt::kSwitchBit : 0) |
                              (m.powered ? acpibt::kPoweredBit : 0) |
                              (m.powered && m.attached ? acpibt::kAttachedBit : 0));
}

ULONG MethodIndex(ULONG name) {
    const ULONG names[acpibt::kMethodCount] = {kMethodBTST, kMethodBTPO, kMethodBTPF, kMethodAUSB,
                                               kMethodDUSB, kMethodRLST, kMethodRLFO};
    for (ULONG i = 0; i < acpibt::kMethodCount; ++i) {
        if (names[i] == name) return i;
    }
    return acpibt::kUnknownMethod;
}

// One evaluation of the model. Under the lock.
NTSTATUS Evaluate(ULONG method, UCHAR* result) {
    Model& m = g_sim.model;
    const ULONGLONG now = NowUs();
    Advance(now);
    *result = 0;
    ++m.evaluations;
    if (method == acpibt::kUnknownMethod) return STATUS_OBJECT_NAME_NOT_FOUND;
    ++m.counts[method];
    acpibt::Failure& failure = m.failures[method];
    if (failure.status != 0 && failure.count != 0) {
        if (failure.count != 0xFFFFFFFF) --failure.count;
        return failure.status;
    }
    switch (method) {
        case acpibt::kBTST:
            *result = StatusByte();
            break;
        case acpibt::kBTPO:
            if (!m.powered && !m.powerPending && m.script.powerNever == 0) {
                m.powerPending = true;
                m.powerAt = now + m.script.powerDelayMs * 1000ULL;
                Advance(now);
            }
            break;
        case acpibt::kBTPF:
            m.powered = m.powerPending = false;
            m.attached = m.attachPending = false;
            break;
        case acpibt::kAUSB:
            if (!m.attached && !m.attachPending && m.script.attachNever == 0) {
                m.attachPending = true;
                m.attachAt = now + m.script.attachDelayMs * 1000ULL;
                Advance(now);
            }
            break;
        case acpibt::kDUSB:
            m.attached = m.attachPending = false;
            break;
        case acpibt::kRLST:
            *result = m.rlst;
            break;
        case acpibt::kRLFO:
            if (m.script.rlstNeverOne == 0) m.rlst = 1;
            break;
        default:
            break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

ULONG Kind(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension)->kind;
}

// ---------------------------------------------------------------------------
// The ACPI standard interface of the PDO

VOID NTAPI InterfaceReference(PVOID) {
    Lock lock;
    ++g_sim.interfaceRefs;
}

VOID NTAPI InterfaceDereference(PVOID) {
    Lock lock;
    if (g_sim.interfaceRefs != 0) --g_sim.interfaceRefs;
}

NTSTATUS NTAPI RegisterForNotifications(PDEVICE_OBJECT, PACPI_DEVICE_NOTIFY_CALLBACK callback,
                                        PVOID context) {
    Lock lock;
    if (g_sim.callback != nullptr) return STATUS_ACCESS_DENIED;  // one client, as ACPI allows
    g_sim.callback = callback;
    g_sim.callbackContext = context;
    return STATUS_SUCCESS;
}

// Returns only when no notification is being delivered any more: the
// callback runs under the same lock.
VOID NTAPI UnregisterForNotifications(PDEVICE_OBJECT, PACPI_DEVICE_NOTIFY_CALLBACK callback) {
    Lock lock;
    if (g_sim.callback == callback) {
        g_sim.callback = nullptr;
        g_sim.callbackContext = nullptr;
    }
}

NTSTATUS QueryInterface(PIO_STACK_LOCATION stack) {
    const auto& query = stack->Parameters.QueryInterface;
    if (query.InterfaceType == nullptr ||
        RtlCompareMemory(query.InterfaceType, &kAcpiInterfaceStandardGuid, sizeof(GUID)) !=
            sizeof(GUID)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (query.Size < sizeof(AcpiInterfaceStandard) || query.Interface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* acpi = reinterpret_cast<AcpiInterfaceStandard*>(query.Interface);
    RtlZeroMemory(acpi, sizeof *acpi);
    acpi->Size = sizeof *acpi;
    acpi->Version = kAcpiInterfaceStandardVersion;
    acpi->Context = g_child;
    acpi->InterfaceReference = InterfaceReference;
    acpi->InterfaceDereference = InterfaceDereference;
    acpi->RegisterForDeviceNotifications = RegisterForNotifications;
    acpi->UnregisterForDeviceNotifications = UnregisterForNotifications;
    InterfaceReference(nullptr);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// PDO

// A pool copy of a multi-string (texts separated by one NUL, ended by two).
PWCHAR MultiString(const wchar_t* text, bool multi) {
    size_t length = 0;
    while (text[length] != L'\0') ++length;
    const size_t size = (length + (multi ? 2 : 1)) * sizeof(WCHAR);
    auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
    if (copy == nullptr) return nullptr;
    RtlZeroMemory(copy, size);
    RtlCopyMemory(copy, text, length * sizeof(WCHAR));
    return copy;
}

NTSTATUS QueryId(PIRP irp, BUS_QUERY_ID_TYPE type) {
    PWCHAR text = nullptr;
    switch (type) {
        case BusQueryDeviceID:
            text = MultiString(acpibt::kHardwareId, false);
            break;
        case BusQueryInstanceID:
            text = MultiString(acpibt::kInstanceId, false);
            break;
        case BusQueryHardwareIDs:
            text = MultiString(acpibt::kHardwareId, true);
            break;
        case BusQueryCompatibleIDs:
            text = MultiString(L"", true);  // empty, never NULL
            break;
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (text == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    switch (minor) {
        case IRP_MN_QUERY_ID:
            LogLocked(acpibt::kEventPnp, minor, STATUS_SUCCESS, stack->Parameters.QueryId.IdType);
            return QueryId(irp, stack->Parameters.QueryId.IdType);
        case IRP_MN_QUERY_INTERFACE:
            if (device != g_child) break;
            status = QueryInterface(stack);
            if (status == STATUS_NOT_SUPPORTED) status = irp->IoStatus.Status;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->SilentInstall = TRUE;
            caps->UniqueID = TRUE;
            caps->Address = 0xFFFFFFFF;
            caps->UINumber = 0xFFFFFFFF;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_START_DEVICE: {
            Lock lock;
            g_sim.started = true;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE: {
            Lock lock;
            g_sim.started = false;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_REMOVE_DEVICE: {
            bool gone;
            {
                Lock lock;
                g_sim.started = false;
                ++g_sim.removals;
                gone = device != g_child || !g_sim.present;
                Log(acpibt::kEventPnp, minor, STATUS_SUCCESS, gone ? 1 : 0);
            }
            Complete(irp, STATUS_SUCCESS, 0);
            if (gone) KeSetEvent(&g_sim.childRemoved, IO_NO_INCREMENT, FALSE);
            return STATUS_SUCCESS;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto* relations = static_cast<PDEVICE_RELATIONS>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
                if (relations == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = device;
                ObReferenceObject(device);
                status = STATUS_SUCCESS;
                information = reinterpret_cast<ULONG_PTR>(relations);
            }
            break;
        default:
            break;
    }
    if (minor != IRP_MN_QUERY_ID) LogLocked(acpibt::kEventPnp, minor, status, 0);
    return Complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

NTSTATUS ChildDeviceControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_ACPI_EVAL_METHOD) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG signature = 0, name = 0;
    if (buffer == nullptr || in < kAcpiEvalInputLength) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    RtlCopyMemory(&signature, buffer, sizeof signature);
    RtlCopyMemory(&name, buffer + 4, sizeof name);
    if (signature != kAcpiEvalInputSignature) return Complete(irp, STATUS_INVALID_PARAMETER, 0);

    ULONG delayMs;
    {
        Lock lock;
        delayMs = g_sim.model.script.methodDelayMs;
    }
    if (delayMs != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = -static_cast<LONGLONG>(delayMs) * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    const ULONG method = MethodIndex(name);
    UCHAR result = 0;
    NTSTATUS status;
    {
        Lock lock;
        status = Evaluate(method, &result);
        Log(acpibt::kEventMethod, method, status, result);
    }
    if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
    const bool returnsValue = method == acpibt::kBTST || method == acpibt::kRLST;
    if (!returnsValue) return Complete(irp, STATUS_SUCCESS, 0);
    if (out < kAcpiEvalOutputLength) return Complete(irp, STATUS_BUFFER_OVERFLOW, 0);
    // ACPI_EVAL_OUTPUT_BUFFER with one integer argument.
    const ULONG header[4] = {0x426F6541 /* "AeoB" */, kAcpiEvalOutputLength, 1,
                             ACPI_METHOD_ARGUMENT_INTEGER | (sizeof(ULONG) << 16)};
    RtlZeroMemory(buffer, kAcpiEvalOutputLength);
    RtlCopyMemory(buffer, header, sizeof header);
    buffer[kAcpiEvalResultOffset] = result;
    return Complete(irp, STATUS_SUCCESS, kAcpiEvalOutputLength);
}

// ---------------------------------------------------------------------------
// Bus device: plugging and the control requests

NTSTATUS CreateChild() {
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status =
        IoCreateDevice(g_driver, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<DeviceExtension*>(pdo->DeviceExtension)->kind = kChildDevice;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_child = pdo;
    return STATUS_SUCCESS;
}

// Deletes a removed PDO: its function driver has long detached from it.
void DeleteRetired() {
    if (g_retired != nullptr) IoDeleteDevice(g_retired);
    g_retired = nullptr;
}

// Under the child lock.
NTSTATUS SetPresent(bool present) {
    bool was;
    {
        Lock lock;
        was = g_sim.present;
    }
    if (present == was) return STATUS_SUCCESS;
    if (present) {
        // The PDO of two plugs ago goes now; the one just removed stays until
        // the next plug, as its function driver may still be detaching.
        DeleteRetired();
        g_retired = g_child;
        g_child = nullptr;
        const NTSTATUS status = CreateChild();
        if (!NT_SUCCESS(status)) return status;
        KeClearEvent(&g_sim.childRemoved);
    }
    {
        Lock lock;
        g_sim.present = present;
        Log(acpibt::kEventPresence, present ? 1 : 0, STATUS_SUCCESS, 0);
    }
    IoInvalidateDeviceRelations(g_bus, BusRelations);
    return STATUS_SUCCESS;
}

// Waits (up to timeoutMs) until the PDO reported gone has been removed, and
// retires it.
NTSTATUS WaitForRemoval(ULONG timeoutMs) {
    if (g_child == nullptr) return STATUS_SUCCESS;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
    const NTSTATUS status =
        KeWaitForSingleObject(&g_sim.childRemoved, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) return STATUS_TIMEOUT;
    return STATUS_SUCCESS;
}

NTSTATUS BusRelationsAnswer(PIRP irp) {
    bool present;
    {
        Lock lock;
        present = g_sim.present && g_child != nullptr;
    }
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    relations->Count = 0;
    if (present) {
        relations->Count = 1;
        relations->Objects[0] = g_child;
        ObReferenceObject(g_child);
    }
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

NTSTATUS BusPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        return BusRelationsAnswer(irp);
    }
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A system power request, as the power manager sends it, to the top of the
// device's stack. Under the child lock.
NTSTATUS SendSystemPower(ULONG state) {
    if (g_child == nullptr || !g_sim.present) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(g_child);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    next->Parameters.Power.ShutdownType =
        state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = PoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    LogLocked(acpibt::kEventPower, state, status, 0);
    return status;
}

ULONG Notify(ULONG code) {
    Lock lock;
    const bool taken = g_sim.callback != nullptr;
    if (taken) g_sim.callback(g_sim.callbackContext, code);
    Log(acpibt::kEventNotify, code, STATUS_SUCCESS, taken ? 1 : 0);
    return taken ? 1 : 0;
}

void FillState(acpibt::State* state) {
    Lock lock;
    Advance(NowUs());
    state->present = g_sim.present ? 1 : 0;
    state->pdoExists = g_child != nullptr ? 1 : 0;
    state->started = g_sim.started ? 1 : 0;
    state->callbacks = g_sim.callback != nullptr ? 1 : 0;
    state->interfaceRefs = g_sim.interfaceRefs;
    state->statusByte = StatusByte();
    state->rlst = g_sim.model.rlst;
    state->evaluations = g_sim.model.evaluations;
    state->logCount = g_sim.logCount;
    state->removals = g_sim.removals;
    for (ULONG i = 0; i < acpibt::kMethodCount; ++i) state->counts[i] = g_sim.model.counts[i];
}

NTSTATUS ReadLog(const acpibt::LogRead& request, acpibt::LogReply* reply) {
    Lock lock;
    const ULONG kept =
        g_sim.logCount < acpibt::kLogCapacity ? g_sim.logCount : acpibt::kLogCapacity;
    reply->total = g_sim.logCount;
    reply->count = 0;
    for (ULONG i = request.first; i < kept && reply->count < 64; ++i) {
        reply->entries[reply->count++] = g_sim.log[i];
    }
    return STATUS_SUCCESS;
}

template <typename T>
bool Input(PIRP irp, ULONG length, T* value) {
    if (irp->AssociatedIrp.SystemBuffer == nullptr || length < sizeof(T)) return false;
    RtlCopyMemory(value, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return true;
}

template <typename T>
NTSTATUS Reply(PIRP irp, ULONG length, const T& value) {
    if (irp->AssociatedIrp.SystemBuffer == nullptr || length < sizeof(T)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    return Complete(irp, STATUS_SUCCESS, sizeof(T));
}

NTSTATUS BusDeviceControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG word = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_ACPIBT_RESET: {
            Lock lock;
            ResetModel();
            g_sim.logCount = 0;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_ACPIBT_SET_STATUS: {
            if (!Input(irp, in, &word)) break;
            Lock lock;
            Model& m = g_sim.model;
            m.switchOn = (word & acpibt::kSwitchBit) != 0;
            m.powered = (word & acpibt::kPoweredBit) != 0;
            m.attached = (word & acpibt::kAttachedBit) != 0;
            m.powerPending = m.attachPending = false;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_ACPIBT_SET_RLST: {
            if (!Input(irp, in, &word)) break;
            Lock lock;
            g_sim.model.rlst = static_cast<UCHAR>(word);
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_ACPIBT_SET_SCRIPT: {
            acpibt::Script script;
            if (!Input(irp, in, &script)) break;
            Lock lock;
            g_sim.model.script = script;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_ACPIBT_SET_FAILURE: {
            acpibt::Failure failure;
            if (!Input(irp, in, &failure) || failure.method >= acpibt::kMethodCount) break;
            Lock lock;
            g_sim.model.failures[failure.method] = failure;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IOCTL_ACPIBT_NOTIFY:
            if (!Input(irp, in, &word)) break;
            return Reply(irp, out, Notify(word));
        case IOCTL_ACPIBT_SYSTEM_POWER: {
            acpibt::PowerRequest request;
            if (!Input(irp, in, &request)) break;
            acpibt::PowerReply reply;
            {
                ChildLock lock;
                reply.status = SendSystemPower(request.systemState);
            }
            return Reply(irp, out, reply);
        }
        case IOCTL_ACPIBT_SET_PRESENT: {
            if (!Input(irp, in, &word)) break;
            ChildLock lock;
            NTSTATUS status = SetPresent(word != 0);
            // An unplug returns once the device's stack has been removed.
            if (NT_SUCCESS(status) && word == 0) status = WaitForRemoval(20000);
            return Complete(irp, status, 0);
        }
        case IOCTL_ACPIBT_QUERY_STATE: {
            acpibt::State state;
            RtlZeroMemory(&state, sizeof state);
            FillState(&state);
            return Reply(irp, out, state);
        }
        case IOCTL_ACPIBT_READ_LOG: {
            acpibt::LogRead request;
            if (!Input(irp, in, &request)) break;
            if (out < sizeof(acpibt::LogReply)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            auto* reply = static_cast<acpibt::LogReply*>(irp->AssociatedIrp.SystemBuffer);
            acpibt::LogRead copy = request;
            ReadLog(copy, reply);
            return Complete(irp, STATUS_SUCCESS, sizeof(acpibt::LogReply));
        }
        case IOCTL_ACPIBT_CLEAR_LOG: {
            Lock lock;
            g_sim.logCount = 0;
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

// ---------------------------------------------------------------------------
// Dispatch

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return Kind(device) == kBusDevice ? BusPnp(irp) : ChildPnp(device, irp);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    return Kind(device) == kBusDevice ? BusDeviceControl(irp) : ChildDeviceControl(irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
    {
        ChildLock lock;
        SetPresent(false);
        WaitForRemoval(20000);
    }
    // The device host finishes with the removed stack before the PDO goes.
    LARGE_INTEGER settle;
    settle.QuadPart = -200 * 10000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    if (g_child != nullptr) {
        g_retired = g_child;
        g_child = nullptr;
    }
    DeleteRetired();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, acpibt::kControlDeviceLink);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_bus);
    g_bus = nullptr;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlZeroMemory(&g_sim, sizeof g_sim);
    KeInitializeSpinLock(&g_sim.lock);
    KeInitializeEvent(&g_sim.childRemoved, NotificationEvent, FALSE);
    KeInitializeMutex(&g_sim.childLock, 0);
    g_sim.start = KeQueryPerformanceCounter(&g_sim.frequency);
    g_driver = driver;

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, acpibt::kControlDeviceName);
    RtlInitUnicodeString(&link, acpibt::kControlDeviceLink);
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &g_bus);
    if (!NT_SUCCESS(status)) return status;
    static_cast<DeviceExtension*>(g_bus->DeviceExtension)->kind = kBusDevice;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_bus);
        return status;
    }
    g_bus->Flags |= DO_BUFFERED_IO;
    g_bus->Flags &= ~DO_DEVICE_INITIALIZING;

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver->DriverUnload = Unload;

    // The firmware device is there from the start.
    ChildLock lock;
    return SetPresent(true);
}
