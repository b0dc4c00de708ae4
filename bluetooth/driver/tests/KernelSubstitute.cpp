#include "KernelSubstitute.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "AcpiInterface.h"
#include "RadioSwitch.h"

namespace ks {

namespace {

Books* g_books = new Books();
std::mutex g_lock;                // the books
std::mutex g_waitLock;            // events and thread ends
std::condition_variable g_waked;  // any event set, any thread ended
std::atomic<LONG> g_cancelLock{0};
thread_local int t_spinLocksHeld = 0;
thread_local bool t_cancelLockHeld = false;

struct ThreadObject {
    PKSTART_ROUTINE routine;
    PVOID context;
    std::atomic<bool> done{false};
    std::thread thread;
};
// PsTerminateSystemThread ends the thread by unwinding to its start.
struct ThreadEnd {};
thread_local ThreadObject* t_current = nullptr;
std::set<void*> g_threadHandles;  // open handles to thread objects (the object itself)
std::set<ThreadObject*> g_threads;
std::set<PIRP> g_builtIrps;  // IRPs built by IoBuild*: freed at completion
struct Built {
    void* output;
    ULONG outputLength;
    void* staging;
};
std::map<PIRP, Built> g_built;
std::map<HANDLE, std::wstring> g_keyHandles;
ULONG_PTR g_nextHandle = 0x1000;
HANDLE g_fileHandle = reinterpret_cast<HANDLE>(0x77);

void Breach(const std::string& what) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->breaches.push_back(what);
}

void Record(const std::string& what) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->steps.push_back({g_books->nowMs.load(), what});
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring Text(PCUNICODE_STRING string) {
    return std::wstring(string->Buffer, string->Length / sizeof(WCHAR));
}

std::wstring FullPath(ULONG relativeTo, PCWSTR path) {
    const std::wstring services = L"\\registry\\machine\\system\\currentcontrolset\\services\\";
    switch (relativeTo & 0xFF) {
        case RTL_REGISTRY_SERVICES:
            return Lower(services + path);
        default:
            return Lower(path);
    }
}

// A key exists when it was made or holds a key that was (under the lock).
bool KeyExists(const std::wstring& key) {
    const auto& keys = g_books->registry.keys;
    const auto found = keys.lower_bound(key);
    if (found == keys.end()) return false;
    return found->first == key || found->first.rfind(key + L"\\", 0) == 0;
}

PIRP AllocateIrp(CCHAR stackSize) {
    const size_t size = sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::calloc(1, size));
    irp->Type = IO_TYPE_IRP;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    return irp;
}

PIO_STACK_LOCATION StackEnd(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
}

std::string MethodText(ULONG name) {
    return std::string(reinterpret_cast<const char*>(&name), 4);
}

NTSTATUS NTAPI RegisterNotifications(PDEVICE_OBJECT, PACPI_DEVICE_NOTIFY_CALLBACK callback,
                                     PVOID context) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->notifyCallback = callback;
    g_books->notifyContext = context;
    return STATUS_SUCCESS;
}

VOID NTAPI UnregisterNotifications(PDEVICE_OBJECT, PACPI_DEVICE_NOTIFY_CALLBACK) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->notifyCallback = nullptr;
    g_books->notifyContext = nullptr;
}

VOID NTAPI NoReference(PVOID) {}

// The ACPI device below the driver.
NTSTATUS Evaluate(PIO_STACK_LOCATION stack, PIRP irp) {
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG name = 0;
    std::memcpy(&name, buffer + 4, sizeof name);
    const std::string method = MethodText(name);
    {
        std::unique_lock<std::mutex> guard(g_waitLock);
        if (!g_books->holdMethod.empty() && g_books->holdMethod == method) {
            g_books->held = true;
            g_waked.notify_all();
            g_waked.wait(guard, [] { return g_books->holdMethod.empty(); });
        }
    }
    Record(method);
    UCHAR result = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Books& b = *g_books;
        const auto failure = b.failures.find(method);
        if (failure != b.failures.end()) {
            irp->IoStatus.Status = failure->second;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return failure->second;
        }
        if (method == "BTST") result = b.status;
        if (method == "BTPO" && !b.powerNever) b.status |= 0x80;
        if (method == "BTPF") b.status &= 0x3F;
        if (method == "AUSB" && (b.status & 0x80)) b.status |= 0x40;
        if (method == "DUSB") b.status &= 0xBF;
        if (method == "RLST") result = b.rlst;
        if (method == "RLFO" && !b.rlstNeverOne) b.rlst = 1;
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength >= kAcpiEvalOutputLength) {
        std::memset(buffer, 0, kAcpiEvalOutputLength);
        buffer[kAcpiEvalResultOffset] = result;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = kAcpiEvalOutputLength;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS LowerDevice(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_ACPI_EVAL_METHOD) {
        return Evaluate(stack, irp);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        auto* acpi =
            reinterpret_cast<AcpiInterfaceStandard*>(stack->Parameters.QueryInterface.Interface);
        acpi->Size = sizeof *acpi;
        acpi->InterfaceReference = NoReference;
        acpi->InterfaceDereference = NoReference;
        acpi->RegisterForDeviceNotifications = RegisterNotifications;
        acpi->UnregisterForDeviceNotifications = UnregisterNotifications;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

BOOLEAN NTAPI IsDdiAvailable(ULONG version) {
    return g_books->win81 || version < 0x06030000 ? TRUE : FALSE;
}

void ThreadStart(ThreadObject* thread) {
    t_current = thread;
    try {
        thread->routine(thread->context);
        PsTerminateSystemThread(STATUS_SUCCESS);
    } catch (const ThreadEnd&) {
    }
}

bool IsThread(PVOID object) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_threads.count(static_cast<ThreadObject*>(object)) != 0;
}

}  // namespace

Books& books() {
    return *g_books;
}

std::mutex& lock() {
    return g_lock;
}

void Reset() {
    for (ThreadObject* thread : g_threads) {
        if (thread->thread.joinable()) thread->thread.join();
        delete thread;
    }
    g_threads.clear();
    g_threadHandles.clear();
    g_keyHandles.clear();
    g_builtIrps.clear();
    g_built.clear();
    delete g_books;
    g_books = new Books();
}

std::vector<std::string> Methods() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> methods;
    for (const auto& step : g_books->steps) {
        if (step.what.size() == 4) methods.push_back(step.what);
    }
    return methods;
}

void Hold(const std::string& method) {
    std::lock_guard<std::mutex> guard(g_waitLock);
    g_books->holdMethod = method;
    g_books->held = false;
}

void WaitHeld() {
    std::unique_lock<std::mutex> guard(g_waitLock);
    g_waked.wait(guard, [] { return g_books->held; });
}

void Release() {
    std::lock_guard<std::mutex> guard(g_waitLock);
    g_books->holdMethod.clear();
    g_waked.notify_all();
}

std::vector<std::string> Steps() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> steps;
    for (const auto& step : g_books->steps) steps.push_back(step.what);
    return steps;
}

void SetValue(const std::wstring& key, const std::wstring& name, ULONG type, const void* data,
              size_t size) {
    auto& value = g_books->registry.keys[Lower(key)][Lower(name)];
    value.type = type;
    value.data.assign(static_cast<const UCHAR*>(data), static_cast<const UCHAR*>(data) + size);
}

void SetDword(const std::wstring& key, const std::wstring& name, ULONG value) {
    SetValue(key, name, REG_DWORD, &value, sizeof value);
}

void CreateKey(const std::wstring& key) {
    g_books->registry.keys[Lower(key)];
}

bool GetValue(const std::wstring& key, const std::wstring& name, Registry::Value* value) {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto found = g_books->registry.keys.find(Lower(key));
    if (found == g_books->registry.keys.end()) return false;
    const auto entry = found->second.find(Lower(name));
    if (entry == found->second.end()) return false;
    *value = entry->second;
    return true;
}

PDRIVER_OBJECT LoadDriver(NTSTATUS* status) {
    auto* driver = static_cast<PDRIVER_OBJECT>(
        std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION)));
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    static WCHAR path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nrvrfsw";
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path);
    *status = DriverEntry(driver, &registryPath);
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    std::free(driver);
}

PDEVICE_OBJECT CreatePdo() {
    auto* pdo = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
    pdo->Type = IO_TYPE_DEVICE;
    pdo->StackSize = 1;
    g_books->pdo = pdo;
    return pdo;
}

bool CancelIrp(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    if (t_cancelLockHeld) Breach("the cancel routine kept the cancel spin lock");
    return true;
}

void Notify(ULONG code) {
    void (*callback)(void*, ULONG);
    void* context;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        callback = g_books->notifyCallback;
        context = g_books->notifyContext;
    }
    if (callback != nullptr) callback(context, code);
}

Request::Request(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, UCHAR minor)
    : m_irp(AllocateIrp(device->StackSize)), m_device(device) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;
    m_irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
}

Request::~Request() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->completions.erase(m_irp);
    std::free(m_irp);
}

void Request::Control(ULONG code, ULONG outputLength) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    m_irp->AssociatedIrp.SystemBuffer = outputLength != 0 ? m_buffer : nullptr;
}

void Request::SystemPower(SYSTEM_POWER_STATE state) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_irp);
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
}

NTSTATUS Request::Dispatch() {
    const NTSTATUS status = IofCallDriver(m_device, m_irp);
    if (t_spinLocksHeld != 0) Breach("a dispatch routine returned holding a spin lock");
    return status;
}

int Request::Completions() const {
    std::lock_guard<std::mutex> guard(g_lock);
    const auto found = g_books->completions.find(m_irp);
    return found == g_books->completions.end() ? 0 : found->second;
}

}  // namespace ks

using namespace ks;

extern "C" {

static PKTHREAD NTAPI CurrentThreadStub(VOID) {
    return reinterpret_cast<PKTHREAD>(t_current);
}
PKTHREAD(NTAPI* __imp_KeGetCurrentThread)(VOID) = CurrentThreadStub;

ULONG __cdecl DbgPrint(PCSTR format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->debugOutput.push_back(line);
    return 0;
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_books->allocationsBeforeFailure == 0) return nullptr;
        if (g_books->allocationsBeforeFailure > 0) --g_books->allocationsBeforeFailure;
    }
    return std::malloc(size);
}

VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG) {
    std::free(block);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    if (t_cancelLockHeld) Breach("a spin lock taken while holding the cancel spin lock");
    auto* word = reinterpret_cast<volatile LONG64*>(lock);
    while (InterlockedCompareExchange64(word, 1, 0) != 0) std::this_thread::yield();
    ++t_spinLocksHeld;
    return PASSIVE_LEVEL;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL) {
    if (*lock == 0) Breach("a spin lock released that was not held");
    InterlockedExchange64(reinterpret_cast<volatile LONG64*>(lock), 0);
    --t_spinLocksHeld;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql) {
    if (t_spinLocksHeld != 0) Breach("the cancel spin lock taken while holding a spin lock");
    LONG expected = 0;
    while (!g_cancelLock.compare_exchange_weak(expected, 1)) {
        expected = 0;
        std::this_thread::yield();
    }
    t_cancelLockHeld = true;
    *irql = PASSIVE_LEVEL;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL) {
    if (!t_cancelLockHeld) Breach("the cancel spin lock released but not held");
    t_cancelLockHeld = false;
    g_cancelLock = 0;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    if (device == g_books->pdo) return LowerDevice(irp);
    return device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);
}

VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR) {
    if (t_spinLocksHeld != 0) Breach("an IRP completed under a spin lock");
    if (irp->CancelRoutine != nullptr) Breach("an IRP completed with its cancel routine set");
    while (irp->Tail.Overlay.CurrentStackLocation < StackEnd(irp)) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        ++irp->CurrentLocation;
        ++irp->Tail.Overlay.CurrentStackLocation;
        if (location->CompletionRoutine != nullptr && (location->Control & SL_INVOKE_ON_SUCCESS)) {
            PDEVICE_OBJECT upper = irp->Tail.Overlay.CurrentStackLocation < StackEnd(irp)
                                       ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                       : nullptr;
            if (location->CompletionRoutine(upper, irp, location->Context) ==
                STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        }
    }
    bool built;
    Built staging = {};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        built = g_builtIrps.erase(irp) != 0;
        if (built) {
            staging = g_built[irp];
            g_built.erase(irp);
        } else if (++g_books->completions[irp] > 1) {
            g_books->breaches.push_back("an IRP completed twice");
        }
    }
    if (!built) return;
    if (staging.staging != nullptr) {
        if (NT_SUCCESS(irp->IoStatus.Status) && staging.output != nullptr) {
            std::memcpy(staging.output, staging.staging,
                        std::min<ULONG_PTR>(irp->IoStatus.Information, staging.outputLength));
        }
        std::free(staging.staging);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    std::free(irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                         ULONG inputLength, PVOID output, ULONG outputLength,
                                         BOOLEAN internal, PKEVENT event,
                                         PIO_STATUS_BLOCK ioStatus) {
    if (g_books->failIrpBuild) return nullptr;
    PIRP irp = AllocateIrp(device->StackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    // The system buffer of a buffered request: input in, output back out.
    void* staging = std::calloc(1, std::max(inputLength, outputLength) + 1);
    if (input != nullptr) std::memcpy(staging, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = staging;
    irp->UserEvent = event;
    irp->UserIosb = ioStatus;
    std::lock_guard<std::mutex> guard(g_lock);
    g_builtIrps.insert(irp);
    g_built[irp] = {output, outputLength, staging};
    return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID, ULONG,
                                        PLARGE_INTEGER, PKEVENT event, PIO_STATUS_BLOCK ioStatus) {
    if (g_books->failIrpBuild) return nullptr;
    PIRP irp = AllocateIrp(device->StackSize);
    IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(major);
    irp->UserEvent = event;
    irp->UserIosb = ioStatus;
    std::lock_guard<std::mutex> guard(g_lock);
    g_builtIrps.insert(irp);
    g_built[irp] = {nullptr, 0, nullptr};
    return irp;
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING,
                              DEVICE_TYPE type, ULONG, BOOLEAN, PDEVICE_OBJECT* device) {
    if (g_books->failCreateDevice) return STATUS_INSUFFICIENT_RESOURCES;
    auto* block =
        static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + extensionSize));
    block->Type = IO_TYPE_DEVICE;
    block->DriverObject = driver;
    block->DeviceType = type;
    block->StackSize = 1;
    block->Flags = DO_DEVICE_INITIALIZING;
    block->DeviceExtension = block + 1;
    driver->DeviceObject = block;
    *device = block;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT device) {
    if (device->DriverObject != nullptr && device->DriverObject->DeviceObject == device) {
        device->DriverObject->DeviceObject = nullptr;
    }
    std::free(device);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    target->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(target->StackSize + 1);
    return target;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT target) {
    target->AttachedDevice = nullptr;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT, CONST GUID*, PUNICODE_STRING,
                                         PUNICODE_STRING name) {
    static const WCHAR text[] = L"\\??\\acpi#nrv0b01#0#{5291cda8-acc2-4fcf-b566-8187e74c9d97}";
    name->Buffer = static_cast<PWCH>(std::malloc(sizeof text));
    std::memcpy(name->Buffer, text, sizeof text);
    name->Length = sizeof text - sizeof(WCHAR);
    name->MaximumLength = sizeof text;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING, BOOLEAN enable) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_books->interfaceEnabled = enable ? 1 : 0;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING string) {
    std::free(string->Buffer);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR source) {
    const size_t length = source != nullptr ? wcslen(source) : 0;
    string->Buffer = const_cast<PWSTR>(source);
    string->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    string->MaximumLength = static_cast<USHORT>(string->Length + sizeof(WCHAR));
}

VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type = static_cast<UCHAR>(type);
    event->Header.SignalState = state;
}

LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    std::lock_guard<std::mutex> guard(g_waitLock);
    const LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    g_waked.notify_all();
    return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER) {
    if (t_spinLocksHeld != 0 || t_cancelLockHeld) Breach("a wait under a spin lock");
    std::unique_lock<std::mutex> guard(g_waitLock);
    if (IsThread(object)) {
        auto* thread = static_cast<ThreadObject*>(object);
        g_waked.wait(guard, [&] { return thread->done.load(); });
        return STATUS_SUCCESS;
    }
    auto* event = static_cast<PRKEVENT>(object);
    g_waked.wait(guard, [&] { return event->Header.SignalState != 0; });
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    if (t_spinLocksHeld != 0 || t_cancelLockHeld) Breach("a sleep under a spin lock");
    const LONGLONG ms = -interval->QuadPart / 10000;
    Record("sleep " + std::to_string(ms));
    g_books->nowMs += ms;
    std::this_thread::yield();
    return STATUS_SUCCESS;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD, KPRIORITY priority) {
    Record("priority " + std::to_string(priority));
    return priority;
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE handle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                                    PKSTART_ROUTINE routine, PVOID context) {
    auto* thread = new ThreadObject();
    thread->routine = routine;
    thread->context = context;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_threads.insert(thread);
        g_threadHandles.insert(thread);
        ++g_books->openHandles;
        ++g_books->threadsRunning;
    }
    *handle = reinterpret_cast<HANDLE>(thread);
    thread->thread = std::thread(ThreadStart, thread);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        --g_books->threadsRunning;
    }
    {
        std::lock_guard<std::mutex> guard(g_waitLock);
        t_current->done = true;
        g_waked.notify_all();
    }
    throw ThreadEnd();
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE,
                                         PVOID* object, POBJECT_HANDLE_INFORMATION) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_threadHandles.count(handle) == 0) return STATUS_INVALID_HANDLE;
    ++g_books->threadReferences;
    *object = handle;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID) {
    std::lock_guard<std::mutex> guard(g_lock);
    return --g_books->threadReferences;
}

NTSTATUS NTAPI ZwClose(HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_threadHandles.erase(handle) != 0 || g_keyHandles.erase(handle) != 0 ||
        handle == g_fileHandle) {
        --g_books->openHandles;
        return STATUS_SUCCESS;
    }
    g_books->breaches.push_back("an unknown handle closed");
    return STATUS_INVALID_HANDLE;
}

VOID NTAPI PoStartNextPowerIrp(PIRP) {}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    return IofCallDriver(device, irp);
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING name) {
    if (Text(name) == L"RtlIsNtDdiVersionAvailable" && g_books->hasDdiRoutine) {
        return reinterpret_cast<PVOID>(IsDdiAvailable);
    }
    return nullptr;
}

BOOLEAN NTAPI PsGetVersion(PULONG major, PULONG minor, PULONG, PUNICODE_STRING) {
    if (major != nullptr) *major = g_books->major;
    if (minor != nullptr) *minor = g_books->minor;
    return FALSE;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path,
                                      PRTL_QUERY_REGISTRY_TABLE table, PVOID context, PVOID) {
    std::wstring key = FullPath(relativeTo, path);
    std::vector<std::tuple<PRTL_QUERY_REGISTRY_TABLE, ULONG, std::vector<UCHAR>>> calls;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto& keys = g_books->registry.keys;
        if (!KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
        for (auto* entry = table; entry->QueryRoutine != nullptr || entry->Name != nullptr;
             ++entry) {
            if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
                key = Lower(key + L"\\" + entry->Name);
                if (!KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
                continue;
            }
            if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
                g_books->breaches.push_back("a direct registry query");
                continue;
            }
            const auto found = keys[key].find(Lower(entry->Name));
            if (found == keys[key].end()) continue;  // REG_NONE default: no call
            calls.emplace_back(entry, found->second.type, found->second.data);
        }
    }
    for (auto& [entry, type, data] : calls) {
        entry->QueryRoutine(const_cast<PWSTR>(entry->Name), type, data.data(),
                            static_cast<ULONG>(data.size()), context, entry->EntryContext);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR name, ULONG type,
                                     PVOID data, ULONG length) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& value = g_books->registry.keys[FullPath(relativeTo, path)][Lower(name)];
    value.type = type;
    value.data.assign(static_cast<UCHAR*>(data), static_cast<UCHAR*>(data) + length);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG relativeTo, PWSTR path) {
    std::lock_guard<std::mutex> guard(g_lock);
    return KeyExists(FullPath(relativeTo, path)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes) {
    const std::wstring key = Lower(Text(attributes->ObjectName));
    std::lock_guard<std::mutex> guard(g_lock);
    if (!KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    *handle = reinterpret_cast<HANDLE>(g_nextHandle += 4);
    g_keyHandles[*handle] = key;
    ++g_books->openHandles;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS,
                               PVOID buffer, ULONG length, PULONG resultLength) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& values = g_books->registry.keys[g_keyHandles[handle]];
    const auto found = values.find(Lower(Text(name)));
    if (found == values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG needed = static_cast<ULONG>(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) +
                                            found->second.data.size());
    *resultLength = needed;
    if (length < needed) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    info->TitleIndex = 0;
    info->Type = found->second.type;
    info->DataLength = static_cast<ULONG>(found->second.data.size());
    std::memcpy(info->Data, found->second.data.data(), found->second.data.size());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                             ULONG size) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& value = g_books->registry.keys[g_keyHandles[handle]][Lower(Text(name))];
    value.type = type;
    value.data.assign(static_cast<UCHAR*>(data), static_cast<UCHAR*>(data) + size);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateFile(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID,
                            ULONG) {
    if (g_books->filterCreationTime < 0 ||
        Lower(Text(attributes->ObjectName)) !=
            L"\\systemroot\\system32\\drivers\\rtkbtfilter.sys") {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_books->openHandles;
    *handle = g_fileHandle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID information, ULONG length,
                                      FILE_INFORMATION_CLASS type) {
    if (type != FileBasicInformation || length < sizeof(FILE_BASIC_INFORMATION)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* basic = static_cast<PFILE_BASIC_INFORMATION>(information);
    std::memset(basic, 0, sizeof *basic);
    basic->CreationTime.QuadPart = g_books->filterCreationTime;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT, PDEVICE_OBJECT, PIRP irp,
                                PSYSCTL_IRP_DISPOSITION disposition) {
    *disposition = IrpForward;
    return irp->IoStatus.Status;
}

}  // extern "C"
