// nrvrfsw.sys radio logic: the settings under the service's Parameters key,
// the sequences that power the Bluetooth module on and off and attach it to
// or detach it from USB through the firmware's methods, the worker that
// follows the radio switch, the one-shot power-on thread, sleep and resume,
// the wireless LED check and the repair of the Bluetooth stack's
// "SupportDLL" entry. Everything here runs at PASSIVE_LEVEL.
//
// Registry values are read through query routines that check each value's
// type and size: a value that does not fit is ignored and its setting keeps
// the value it had.
#include "RadioSwitch.h"

namespace {

constexpr WCHAR kParametersPath[] = L"nrvrfsw\\Parameters";
constexpr WCHAR kBluetoothStackKey[] =
    L"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\NORVALE\\BluetoothStack\\V1.0";
constexpr WCHAR kRadioSupportKey[] =
    L"\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio "
    L"Support";
constexpr WCHAR kFilterDriverFile[] = L"\\SystemRoot\\System32\\Drivers\\RtkBtFilter.sys";
constexpr LONGLONG kKnownFilterStamp = 0x01CD7107D7A16200;  // 2 August 2012, 23:37:56 UTC
constexpr WCHAR kDefaultRadioManagerPath[] =
    L"%ProgramFiles(x86)%\\NORVALE\\NORVALE System Driver\\";
constexpr WCHAR kDefaultRadioManagerDll[] = L"NrvBtRadio64.dll";
constexpr ULONG kPathChars = 260;     // the text buffers of RepairRadioSupport, terminator included
constexpr ULONG kWin81 = 0x06030000;  // NTDDI_WINBLUE

typedef NTSTATUS(NTAPI* QueryRegistryValues)(ULONG, PCWSTR, PRTL_QUERY_REGISTRY_TABLE, PVOID,
                                             PVOID);
typedef BOOLEAN(NTAPI* IsNtDdiVersionAvailable)(ULONG);

NTSTATUS NTAPI QueryDword(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID entry) {
    if (type == REG_DWORD && length == sizeof(ULONG) && data != nullptr) {
        RtlCopyMemory(entry, data, sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryFlagByte(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID entry) {
    if (type == REG_BINARY && length == 1 && data != nullptr) {
        *static_cast<volatile UCHAR*>(entry) = *static_cast<const UCHAR*>(data);
    }
    return STATUS_SUCCESS;
}

// A string value into a pool copy, terminated; an empty string leaves the
// setting empty.
NTSTATUS NTAPI QueryString(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID entry) {
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || data == nullptr) return STATUS_SUCCESS;
    const auto* text = static_cast<const WCHAR*>(data);
    ULONG chars = 0;
    while (chars < length / sizeof(WCHAR) && text[chars] != L'\0') ++chars;
    if (chars == 0 || chars >= 0x7FFF) return STATUS_SUCCESS;
    auto* target = static_cast<PUNICODE_STRING>(entry);
    if (target->Buffer != nullptr) return STATUS_SUCCESS;
    const ULONG size = (chars + 1) * sizeof(WCHAR);
    auto* copy = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
    if (copy == nullptr) return STATUS_SUCCESS;  // the setting stays empty
    RtlCopyMemory(copy, text, chars * sizeof(WCHAR));
    copy[chars] = L'\0';
    target->Buffer = copy;
    target->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    target->MaximumLength = static_cast<USHORT>(size);
    return STATUS_SUCCESS;
}

VOID SetEntry(RTL_QUERY_REGISTRY_TABLE* entry, PRTL_QUERY_REGISTRY_ROUTINE routine,
              const WCHAR* name, PVOID target) {
    entry->QueryRoutine = routine;
    entry->Flags = 0;
    entry->Name = const_cast<PWSTR>(name);
    entry->EntryContext = target;
    entry->DefaultType = REG_NONE;
}

NTSTATUS QueryValues(ULONG relativeTo, const WCHAR* path, RTL_QUERY_REGISTRY_TABLE* table) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RtlQueryRegistryValuesEx");
    auto query = reinterpret_cast<QueryRegistryValues>(MmGetSystemRoutineAddress(&name));
    if (query == nullptr) query = RtlQueryRegistryValues;
    return query(relativeTo, path, table, nullptr, nullptr);
}

// A service's subkey: one RTL_QUERY_REGISTRY_SUBKEY entry, then the values.
NTSTATUS QueryServiceValues(const WCHAR* service, const WCHAR* subkey,
                            RTL_QUERY_REGISTRY_TABLE* table) {
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(subkey);
    return QueryValues(RTL_REGISTRY_SERVICES, service, table);
}

VOID Sleep(ULONG milliseconds) {
    SleepMilliseconds(milliseconds);
}

UCHAR Status(RadioSwitchExtension* ext, NTSTATUS* result = nullptr) {
    UCHAR status = 0;
    const NTSTATUS evaluated = EvaluateMethodByte(ext->LowerDeviceObject, kMethodBTST, &status);
    if (result != nullptr) *result = evaluated;
    return status;
}

ULONG TextLength(const WCHAR* text) {
    ULONG length = 0;
    while (text[length] != L'\0') ++length;
    return length;
}

// Copies a counted text into a terminated buffer of kPathChars; FALSE when it
// does not fit.
BOOLEAN CopyText(WCHAR* target, ULONG offset, const WCHAR* text, ULONG chars) {
    if (offset + chars >= kPathChars) return FALSE;
    RtlCopyMemory(target + offset, text, chars * sizeof(WCHAR));
    target[offset + chars] = L'\0';
    return TRUE;
}

BOOLEAN Contains(const WCHAR* text, const WCHAR* part) {
    const ULONG partLength = TextLength(part);
    if (partLength == 0) return TRUE;
    for (const WCHAR* start = text; *start != L'\0'; ++start) {
        ULONG i = 0;
        while (i < partLength && start[i] == part[i]) ++i;
        if (i == partLength) return TRUE;
    }
    return FALSE;
}

VOID NTAPI RadioSwitchWorker(PVOID context) {
    auto* ext = static_cast<RadioSwitchExtension*>(context);
    for (;;) {
        KeWaitForSingleObject(&ext->WorkerEvent, Executive, KernelMode, FALSE, nullptr);
        if (ext->StopWorker) break;
        if (g_Settings.Bluetooth == 1) {
            NTSTATUS result;
            const UCHAR status = Status(ext, &result);
            if (NT_SUCCESS(result)) {
                if ((status & RADIO_STATUS_SWITCHED_ON) != 0) {
                    PowerOnSequence(ext);
                } else {
                    PowerOffSequence(ext);
                }
            }
        }
        if (ext->StopWorker) break;
    }
    ext->WorkerThreadHandle = nullptr;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The kernel's exported KeGetCurrentThread: the headers' inline one reads the
// processor block, which a kernel in user mode (Wine) does not have.
extern "C" PKTHREAD(NTAPI* __imp_KeGetCurrentThread)(VOID);

PKTHREAD CurrentThread() {
    return __imp_KeGetCurrentThread();
}

VOID NTAPI PowerOnThread(PVOID context) {
    auto* ext = static_cast<RadioSwitchExtension*>(context);
    KeSetPriorityThread(CurrentThread(), 16);
    PowerOnSequence(ext);
    InterlockedExchangePointer(const_cast<PVOID*>(&ext->PowerOnThreadHandle), nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Marks a power-on thread as running before it exists, so that it can clear
// the mark even before its creator has stored the handle.
HANDLE const kPowerOnStarting = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(-1));

// Releases the object of a power-on thread that has done its work, once it
// has ended.
VOID ReleasePowerOnThread(RadioSwitchExtension* ext) {
    if (ext->PowerOnThread == nullptr) return;
    KeWaitForSingleObject(ext->PowerOnThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(ext->PowerOnThread);
    ext->PowerOnThread = nullptr;
}

NTSTATUS CreateThread(PKSTART_ROUTINE routine, RadioSwitchExtension* ext, PHANDLE handle) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine,
                                ext);
}

}  // namespace

VOID SleepMilliseconds(ULONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// ---------------------------------------------------------------------------
// Settings

NTSTATUS ReadDriverSettings() {
    RTL_QUERY_REGISTRY_TABLE table[10];
    RtlZeroMemory(table, sizeof table);
    SetEntry(&table[1], QueryDword, L"DebugLevel", &g_Settings.DebugLevel);
    SetEntry(&table[2], QueryFlagByte, L"Bluetooth", const_cast<UCHAR*>(&g_Settings.Bluetooth));
    SetEntry(&table[3], QueryDword, L"UnplugFail", &g_Settings.UnplugFail);
    SetEntry(&table[4], QueryDword, L"PowerOnDelay", &g_Settings.PowerOnDelay);
    SetEntry(&table[5], QueryString, L"RadioManagerPath", &g_Settings.RadioManagerPath);
    SetEntry(&table[6], QueryString, L"RadioManagerDLLx64", &g_Settings.RadioManagerDLLx64);
    SetEntry(&table[7], QueryDword, L"DontRepairRadioManagerDLL",
             &g_Settings.DontRepairRadioManagerDLL);
    SetEntry(&table[8], QueryDword, L"QuickPowerOn", &g_Settings.QuickPowerOn);
    const NTSTATUS status = QueryServiceValues(L"nrvrfsw", L"Parameters", table);
    if (!NT_SUCCESS(status)) return status;
    if (HasKnownFilterStamp()) g_Settings.PowerOnDelay = 2000;
    if (g_Settings.PowerOnDelay != 0) g_Settings.QuickPowerOn = 0;
    return status;
}

VOID FreeDriverSettings() {
    if (g_Settings.RadioManagerPath.Buffer != nullptr) {
        ExFreePoolWithTag(g_Settings.RadioManagerPath.Buffer, kPoolTag);
    }
    if (g_Settings.RadioManagerDLLx64.Buffer != nullptr) {
        ExFreePoolWithTag(g_Settings.RadioManagerDLLx64.Buffer, kPoolTag);
    }
    RtlZeroMemory(&g_Settings.RadioManagerPath, sizeof g_Settings.RadioManagerPath);
    RtlZeroMemory(&g_Settings.RadioManagerDLLx64, sizeof g_Settings.RadioManagerDLLx64);
}

BOOLEAN ComputeIsWin81OrLater() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RtlIsNtDdiVersionAvailable");
    auto available = reinterpret_cast<IsNtDdiVersionAvailable>(MmGetSystemRoutineAddress(&name));
    if (available != nullptr) return available(kWin81);
    ULONG major = 0, minor = 0;
    PsGetVersion(&major, &minor, nullptr, nullptr);
    return major > 6 || (major == 6 && minor >= 3);
}

VOID SaveBluetoothFlag() {
    UCHAR flag = g_Settings.Bluetooth;
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(kParametersPath), L"Bluetooth",
                          REG_BINARY, &flag, 1);
}

BOOLEAN BluetoothStackKeyExists() {
    return NT_SUCCESS(
        RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(kBluetoothStackKey)));
}

VOID ApplyDefaultRadioOn() {
    if (!BluetoothStackKeyExists() && g_IsWin81OrLater) {
        g_Settings.Bluetooth = 1;
        SaveBluetoothFlag();
    }
}

// An "Enum" key without "Count" leaves the count unknown, as a missing key
// does.
ULONG ReadUsbDeviceCount() {
    ULONG count = 0xFFFFFFFF;
    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof table);
    SetEntry(&table[1], QueryDword, L"Count", &count);
    if (!NT_SUCCESS(QueryServiceValues(L"Nrvrfusb", L"Enum", table))) return 0xFFFFFFFF;
    return count;
}

BOOLEAN HasKnownFilterStamp() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kFilterDriverFile);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = nullptr;
    NTSTATUS status =
        ZwCreateFile(&file, GENERIC_READ, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) return FALSE;
    FILE_BASIC_INFORMATION info;
    RtlZeroMemory(&info, sizeof info);
    status = ZwQueryInformationFile(file, &ioStatus, &info, sizeof info, FileBasicInformation);
    ZwClose(file);
    return NT_SUCCESS(status) && info.CreationTime.QuadPart == kKnownFilterStamp;
}

// ---------------------------------------------------------------------------
// Sequences

NTSTATUS PowerOnSequence(RadioSwitchExtension* ext) {
    if (g_Settings.PowerOnDelay != 0) Sleep(g_Settings.PowerOnDelay);
    if ((Status(ext) & RADIO_STATUS_SWITCHED_ON) != 0) {
        if (g_IsWin81OrLater) CheckLedState(ext);
        PowerOnModule(ext);
        Sleep(2100);
        AttachModule(ext);
    }
    NTSTATUS result;
    Status(ext, &result);
    return result;
}

NTSTATUS PowerOnModule(RadioSwitchExtension* ext) {
    NTSTATUS result;
    UCHAR status = Status(ext, &result);
    if (NT_SUCCESS(result) && (status & RADIO_STATUS_POWERED) != 0) return result;
    for (int attempt = 0; attempt < 5; ++attempt) {
        EvaluateMethod(ext->LowerDeviceObject, kMethodBTPO);
        status = Status(ext, &result);
        if (!NT_SUCCESS(result) || (status & RADIO_STATUS_POWERED) != 0) break;
        Sleep(100);
    }
    return result;
}

NTSTATUS AttachModule(RadioSwitchExtension* ext) {
    NTSTATUS result;
    const UCHAR status = Status(ext, &result);
    if (NT_SUCCESS(result) && (status & RADIO_STATUS_ATTACHED) != 0) return result;
    if (BluetoothStackKeyExists()) {
        ULONG waited = 0;
        while (ReadUsbDeviceCount() != 0) {
            Sleep(100);
            if (++waited == 50) break;
        }
        if (waited == 0) {
            ULONG count = ++g_Settings.UnplugFail;
            RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(kParametersPath),
                                  L"UnplugFail", REG_DWORD, &count, sizeof count);
        }
    }
    EvaluateMethod(ext->LowerDeviceObject, kMethodAUSB);
    Status(ext);
    return STATUS_SUCCESS;
}

NTSTATUS PowerOffSequence(RadioSwitchExtension* ext) {
    NTSTATUS result;
    const UCHAR status = Status(ext, &result);
    if (!NT_SUCCESS(result)) return result;
    if ((status & (RADIO_STATUS_ATTACHED | RADIO_STATUS_POWERED)) != 0) DetachAndPowerOff(ext);
    Status(ext, &result);
    return result;
}

NTSTATUS DetachAndPowerOff(RadioSwitchExtension* ext) {
    NTSTATUS result;
    UCHAR status = Status(ext, &result);
    if (!NT_SUCCESS(result) || (status & RADIO_STATUS_ATTACHED) != 0) {
        EvaluateMethod(ext->LowerDeviceObject, kMethodDUSB);
    }
    Sleep(130);
    status = Status(ext, &result);
    if (!NT_SUCCESS(result) || (status & RADIO_STATUS_POWERED) != 0) {
        EvaluateMethod(ext->LowerDeviceObject, kMethodBTPF);
    }
    Status(ext, &result);
    return result;
}

VOID CheckLedState(RadioSwitchExtension* ext) {
    ULONG value = 1;
    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof table);
    SetEntry(&table[1], QueryDword, L"LEDSTATE", &value);
    if (!NT_SUCCESS(QueryServiceValues(L"keyhub", L"Parameters", table))) return;
    DbgPrint("Keyhub LEDSTATE = 0x%08X\n", value);
    if (value != 0) return;
    DbgPrint("Check forceLED!\n");
    UCHAR state = 0;
    const NTSTATUS result = EvaluateMethodByte(ext->LowerDeviceObject, kMethodRLST, &state);
    if (NT_SUCCESS(result) && state != 1) ForceLed(ext, 5);
}

NTSTATUS ForceLed(RadioSwitchExtension* ext, ULONG tries) {
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG attempt = 0; attempt < tries; ++attempt) {
        result = EvaluateMethod(ext->LowerDeviceObject, kMethodRLFO);
        if (NT_SUCCESS(result)) {
            UCHAR state = 0;
            result = EvaluateMethodByte(ext->LowerDeviceObject, kMethodRLST, &state);
            if (NT_SUCCESS(result) && state == 1) return result;
        }
        Sleep(1000);
    }
    return result;
}

// Texts that do not fit the 260-character buffers (the stored value, the
// expected name, or the rewritten path) leave "SupportDLL" as it is.
VOID RepairRadioSupport() {
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, kRadioSupportKey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes))) return;

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"SupportDLL");
    ULONG size = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &size);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || size == 0) {
        ZwClose(key);
        return;
    }
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, size, kPoolTag));
    if (info == nullptr) {
        ZwClose(key);
        return;
    }
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &size);
    WCHAR current[kPathChars];
    WCHAR expected[kPathChars];
    WCHAR path[kPathChars];
    BOOLEAN fits = NT_SUCCESS(status) && info->DataLength <= size &&
                   CopyText(current, 0, reinterpret_cast<const WCHAR*>(info->Data),
                            info->DataLength / sizeof(WCHAR));
    if (fits) {
        const UNICODE_STRING& dll = g_Settings.RadioManagerDLLx64;
        fits = dll.Length != 0 ? CopyText(expected, 0, dll.Buffer, dll.Length / sizeof(WCHAR))
                               : CopyText(expected, 0, kDefaultRadioManagerDll,
                                          TextLength(kDefaultRadioManagerDll));
    }
    if (fits && !Contains(current, expected)) {
        DbgPrint("Strings do not match! Reparing reg.. \n");
        const UNICODE_STRING& folder = g_Settings.RadioManagerPath;
        const ULONG folderChars = folder.Length != 0 ? folder.Length / sizeof(WCHAR)
                                                     : TextLength(kDefaultRadioManagerPath);
        if (CopyText(path, 0, folder.Length != 0 ? folder.Buffer : kDefaultRadioManagerPath,
                     folderChars) &&
            CopyText(path, folderChars, expected, TextLength(expected))) {
            ZwSetValueKey(key, &valueName, 0, REG_SZ, path, (TextLength(path) + 1) * sizeof(WCHAR));
        }
    }
    ExFreePoolWithTag(info, kPoolTag);
    ZwClose(key);
}

// ---------------------------------------------------------------------------
// Sleep and resume

NTSTATUS HandleSystemPower(RadioSwitchExtension* ext, SYSTEM_POWER_STATE state) {
    NTSTATUS result = STATUS_SUCCESS;
    if (state == PowerSystemSleeping3 || state == PowerSystemHibernate) {
        const UCHAR status = Status(ext, &result);
        if (NT_SUCCESS(result)) {
            ext->WasOnBeforeSleep = (status & (RADIO_STATUS_ATTACHED | RADIO_STATUS_POWERED)) != 0;
        }
        return result;
    }
    if (state != PowerSystemWorking || !ext->WasOnBeforeSleep) return result;
    for (int i = 0; i < 100 && ext->PowerOnThreadHandle != nullptr; ++i) Sleep(100);
    if (ext->PowerOnThreadHandle != nullptr) return result;
    if (g_Settings.QuickPowerOn != 0) {
        const UCHAR status = Status(ext, &result);
        if ((status & RADIO_STATUS_SWITCHED_ON) != 0 && g_IsWin81OrLater) CheckLedState(ext);
        EvaluateMethod(ext->LowerDeviceObject, kMethodBTPO);
        result = EvaluateMethod(ext->LowerDeviceObject, kMethodAUSB);
    } else {
        result = StartPowerOnThread(ext);
    }
    ext->WasOnBeforeSleep = FALSE;
    return result;
}

// ---------------------------------------------------------------------------
// Threads

NTSTATUS StartWorker(RadioSwitchExtension* ext) {
    ext->StopWorker = FALSE;
    HANDLE handle = nullptr;
    NTSTATUS status = CreateThread(RadioSwitchWorker, ext, &handle);
    if (!NT_SUCCESS(status)) return status;
    ext->WorkerThreadHandle = handle;
    PVOID thread = nullptr;
    status =
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status)) {
        ext->WorkerThread = static_cast<PKTHREAD>(thread);
    } else {
        // Without its object the thread cannot be waited for: let it end now.
        ext->WorkerThread = nullptr;
        ext->StopWorker = TRUE;
        KeSetEvent(&ext->WorkerEvent, IO_NO_INCREMENT, FALSE);
    }
    ZwClose(handle);
    return status;
}

VOID StopWorkerThread(RadioSwitchExtension* ext) {
    if (ext->WorkerThread == nullptr) return;
    ext->StopWorker = TRUE;
    KeSetEvent(&ext->WorkerEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(ext->WorkerThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(ext->WorkerThread);
    ext->WorkerThread = nullptr;
}

// At most one power-on thread at a time. Its handle is closed at once; its
// object is kept until the thread has ended, so that removal can wait for it.
NTSTATUS StartPowerOnThread(RadioSwitchExtension* ext) {
    if (InterlockedCompareExchangePointer(const_cast<PVOID*>(&ext->PowerOnThreadHandle),
                                          kPowerOnStarting, nullptr) != nullptr) {
        return STATUS_SUCCESS;  // one runs already
    }
    ReleasePowerOnThread(ext);  // the previous one, which has finished
    HANDLE handle = nullptr;
    NTSTATUS status = CreateThread(PowerOnThread, ext, &handle);
    if (!NT_SUCCESS(status)) {
        ext->PowerOnThreadHandle = nullptr;
        return status;
    }
    PVOID thread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                             &thread, nullptr))) {
        ext->PowerOnThread = static_cast<PKTHREAD>(thread);
    }
    InterlockedCompareExchangePointer(const_cast<PVOID*>(&ext->PowerOnThreadHandle), handle,
                                      kPowerOnStarting);
    ZwClose(handle);
    return status;
}

VOID WaitForPowerOnThread(RadioSwitchExtension* ext) {
    while (ext->PowerOnThreadHandle != nullptr) Sleep(100);
    ReleasePowerOnThread(ext);
}
