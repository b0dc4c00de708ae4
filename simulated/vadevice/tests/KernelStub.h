// A user-mode stand-in for the kernel routines nrvvadsim.sys calls, so that
// the driver's own dispatch code runs inside a test program. Compiled with
// _NTOSKRNL_, _NTHALDLL_ and _NTSYSTEM_, the DDK headers declare those
// routines without dllimport and this file defines them. It keeps books of
// what the driver did: the devices and links that exist, every completion of
// every IRP, the spin lock and cancel lock, and breaches of the kernel's
// rules (completing an IRP twice or while holding the spin lock, releasing a
// lock that is not held, deleting a link that does not exist).
#pragma once

#include <wdm.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kstub {

struct Books {
    std::set<std::wstring> devices;
    std::set<std::wstring> links;
    std::map<PIRP, int> completions;
    std::vector<std::string> breaches;
    int spinLocksHeld = 0;
    bool cancelLockHeld = false;
    bool mutexHeld = false;
    LONGLONG ticks = 0;  // the performance counter, 10 MHz
};

Books& books();
void ResetBooks();

// IoCancelIrp as the I/O manager does it: marks the IRP cancelled, takes its
// cancel routine and calls it holding the cancel spin lock. False when the
// IRP had no cancel routine.
bool CancelIrp(PDEVICE_OBJECT device, PIRP irp);

// One request as the I/O manager builds it: an IRP with its current stack
// location and, for buffered requests, a system buffer.
class Request {
public:
    Request(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major);
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Fills the stack location and system buffer of a device control request.
    void Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
    NTSTATUS Dispatch(PDRIVER_OBJECT driver);

    PIRP irp() { return &m_irp; }
    IO_STACK_LOCATION& stack() { return m_stack; }
    int Completions() const;
    NTSTATUS Status() const { return m_irp.IoStatus.Status; }
    ULONG_PTR Information() const { return m_irp.IoStatus.Information; }
    ULONG Word(int index) const;
    const unsigned char* Buffer() const { return m_buffer; }

private:
    IRP m_irp;
    IO_STACK_LOCATION m_stack;
    alignas(16) unsigned char m_buffer[1024];
};

}  // namespace kstub
