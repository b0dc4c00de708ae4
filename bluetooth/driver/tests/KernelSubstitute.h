// A user-mode substitute for the kernel routines nrvrfsw.sys calls, so that
// the driver's own sources run inside a test program (compiled with
// _NTOSKRNL_ and _NTSYSTEM_, the DDK headers declare those routines without
// dllimport and this file defines them). It provides:
// - a virtual clock behind KeDelayExecutionThread (sleeps take no time and
//   are logged);
// - a scripted ACPI device below the driver (the PDO): a status byte whose
//   bits the methods change, failures per method, and a log of every
//   evaluation and sleep with its virtual time;
// - system threads on Win32 threads, events, spin locks and the cancel spin
//   lock, an in-memory registry, a filter driver file with a creation time,
//   scripted allocation failures and the Windows version;
// - books of what the driver did, and the breaches of the kernel's rules it
//   committed: an IRP completed twice or under a spin lock, the cancel spin
//   lock and a spin lock held together, a handle left open.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ks {

struct Step {
    LONGLONG ms;       // virtual time
    std::string what;  // "BTST", "sleep 100", ...
};

struct Registry {
    struct Value {
        ULONG type;
        std::vector<UCHAR> data;
    };
    // Keys by lower-case full path ("\registry\machine\...").
    std::map<std::wstring, std::map<std::wstring, Value>> keys;
};

struct Books {
    // The device below.
    UCHAR status = 0;
    bool powerNever = false;    // BTPO does not raise bit 7
    bool rlstNeverOne = false;  // RLFO does not make RLST read 1
    UCHAR rlst = 0;
    std::map<std::string, NTSTATUS> failures;  // method -> status
    std::vector<Step> steps;
    std::string holdMethod;
    bool held = false;
    // The system.
    bool hasDdiRoutine = true;
    bool win81 = true;  // what RtlIsNtDdiVersionAvailable(Windows 8.1) answers
    ULONG major = 10, minor = 0;
    int allocationsBeforeFailure = -1;  // -1: never fail
    bool failIrpBuild = false;
    bool failCreateDevice = false;
    LONGLONG filterCreationTime = -1;  // -1: no filter driver file
    Registry registry;
    std::vector<std::string> debugOutput;
    std::vector<std::string> breaches;
    std::map<PIRP, int> completions;
    LONG openHandles = 0;
    LONG threadReferences = 0;
    LONG threadsRunning = 0;
    std::atomic<LONGLONG> nowMs{0};
    int interfaceEnabled = 0;
    PDEVICE_OBJECT pdo = nullptr;
    void* notifyContext = nullptr;
    void (*notifyCallback)(void*, ULONG) = nullptr;
};

Books& books();
// Everything back to a fresh system; the lock guards the books from the
// driver's threads.
void Reset();
std::mutex& lock();

std::vector<std::string> Methods();  // the evaluations in order, sleeps left out
std::vector<std::string> Steps();    // evaluations and "sleep N"

void SetValue(const std::wstring& key, const std::wstring& name, ULONG type, const void* data,
              size_t size);
void SetDword(const std::wstring& key, const std::wstring& name, ULONG value);
void CreateKey(const std::wstring& key);
bool GetValue(const std::wstring& key, const std::wstring& name, Registry::Value* value);

// The driver object, with DriverEntry run against it.
PDRIVER_OBJECT LoadDriver(NTSTATUS* status);
void UnloadDriver(PDRIVER_OBJECT driver);
PDEVICE_OBJECT CreatePdo();

// Holds the next evaluations of method (on whatever thread) until Release;
// WaitHeld returns once one is held.
void Hold(const std::string& method);
void WaitHeld();
void Release();

// IoCancelIrp as the I/O manager does it.
bool CancelIrp(PIRP irp);
// Raises a firmware notification through the registered callback.
void Notify(ULONG code);

// A request to the driver's device, as the I/O manager builds it.
class Request {
public:
    Request(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, UCHAR minor = 0);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    void Control(ULONG code, ULONG outputLength);
    void SystemPower(SYSTEM_POWER_STATE state);
    NTSTATUS Dispatch();
    PIRP irp() { return m_irp; }
    int Completions() const;
    NTSTATUS Status() const { return m_irp->IoStatus.Status; }
    ULONG_PTR Information() const { return m_irp->IoStatus.Information; }
    UCHAR Byte() const { return m_buffer[0]; }

private:
    PIRP m_irp;
    PDEVICE_OBJECT m_device;
    UCHAR m_buffer[64] = {};
};

}  // namespace ks
