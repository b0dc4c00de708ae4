#include "KernelStub.h"

#include <cstdlib>
#include <cstring>

namespace kstub {

namespace {

Books g_books;

std::wstring Text(PUNICODE_STRING name) {
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

void Breach(const std::string& what) {
    g_books.breaches.push_back(what);
}

// The names of the device objects IoCreateDevice made.
std::map<PDEVICE_OBJECT, std::wstring> g_deviceNames;

}  // namespace

Books& books() {
    return g_books;
}

void ResetBooks() {
    g_books = Books();
}

bool CancelIrp(PDEVICE_OBJECT device, PIRP irp) {
    irp->Cancel = TRUE;
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) return false;
    g_books.cancelLockHeld = true;
    irp->CancelIrql = PASSIVE_LEVEL;
    routine(device, irp);
    if (g_books.cancelLockHeld) Breach("the cancel routine kept the cancel spin lock");
    return true;
}

Request::Request(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major) {
    std::memset(&m_irp, 0, sizeof m_irp);
    std::memset(&m_stack, 0, sizeof m_stack);
    std::memset(m_buffer, 0, sizeof m_buffer);
    m_stack.MajorFunction = major;
    m_stack.DeviceObject = device;
    m_stack.FileObject = file;
    m_irp.StackCount = 1;
    m_irp.CurrentLocation = 1;
    m_irp.Tail.Overlay.CurrentStackLocation = &m_stack;
    g_books.completions.erase(&m_irp);  // an earlier request may have lived here
}

void Request::Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength) {
    m_stack.Parameters.DeviceIoControl.IoControlCode = code;
    m_stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    m_stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (input != nullptr) std::memcpy(m_buffer, input, inputLength);
    m_irp.AssociatedIrp.SystemBuffer = inputLength || outputLength ? m_buffer : nullptr;
}

NTSTATUS Request::Dispatch(PDRIVER_OBJECT driver) {
    const NTSTATUS status =
        driver->MajorFunction[m_stack.MajorFunction](m_stack.DeviceObject, &m_irp);
    if (g_books.spinLocksHeld != 0) Breach("a dispatch routine returned holding the spin lock");
    if (status == STATUS_PENDING && !(m_stack.Control & SL_PENDING_RETURNED)) {
        Breach("STATUS_PENDING returned without IoMarkIrpPending");
    }
    if (status != STATUS_PENDING && Completions() != 1) {
        Breach("a request was neither pending nor completed once");
    }
    return status;
}

int Request::Completions() const {
    const auto found = g_books.completions.find(const_cast<PIRP>(&m_irp));
    return found == g_books.completions.end() ? 0 : found->second;
}

ULONG Request::Word(int index) const {
    ULONG word;
    std::memcpy(&word, m_buffer + 4 * index, sizeof word);
    return word;
}

}  // namespace kstub

using kstub::Breach;
using kstub::g_books;
using kstub::g_deviceNames;
using kstub::Text;

extern "C" {

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    if (*lock != 0) Breach("a spin lock acquired twice");
    *lock = 1;
    ++g_books.spinLocksHeld;
    return PASSIVE_LEVEL;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL) {
    if (*lock == 0) Breach("a spin lock released that was not held");
    *lock = 0;
    --g_books.spinLocksHeld;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL) {
    if (!g_books.cancelLockHeld) Breach("the cancel spin lock released but not held");
    g_books.cancelLockHeld = false;
}

VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR) {
    if (g_books.spinLocksHeld != 0) Breach("an IRP completed under the spin lock");
    if (irp->CancelRoutine != nullptr) Breach("an IRP completed with its cancel routine set");
    if (++g_books.completions[irp] > 1) Breach("an IRP completed twice");
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                              DEVICE_TYPE type, ULONG, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
    const std::wstring text = Text(name);
    if (!g_books.devices.insert(text).second) return STATUS_OBJECT_NAME_COLLISION;
    // The extension lies behind the device object, as IoCreateDevice lays it out.
    auto* block =
        static_cast<DEVICE_OBJECT*>(std::calloc(1, sizeof(DEVICE_OBJECT) + extensionSize));
    block->DriverObject = driver;
    block->DeviceType = type;
    block->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    block->DeviceExtension = block + 1;
    block->NextDevice = driver->DeviceObject;
    driver->DeviceObject = block;
    g_deviceNames[block] = text;
    *device = block;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT device) {
    g_books.devices.erase(g_deviceNames[device]);
    g_deviceNames.erase(device);
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
    if (*link == device) *link = device->NextDevice;
    std::free(device);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING) {
    if (!g_books.links.insert(Text(link)).second) {
        Breach("a link created twice");
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING link) {
    if (g_books.links.erase(Text(link)) == 0) {
        Breach("a link deleted that does not exist");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR source) {
    const size_t length = source != nullptr ? wcslen(source) : 0;
    string->Buffer = const_cast<PWSTR>(source);
    string->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    string->MaximumLength = static_cast<USHORT>(string->Length + sizeof(WCHAR));
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
    if (frequency != nullptr) frequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = g_books.ticks;
    return now;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX, ULONG) {}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER) {
    if (g_books.spinLocksHeld != 0) Breach("waited for the mutex under the spin lock");
    if (g_books.mutexHeld) Breach("the link mutex taken twice");
    g_books.mutexHeld = true;
    return STATUS_SUCCESS;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX, BOOLEAN) {
    if (!g_books.mutexHeld) Breach("the link mutex released but not held");
    g_books.mutexHeld = false;
    return 0;
}

}  // extern "C"
