// The control side of the simulated radio managers, for radioctl and the
// tests: installs the server (its class registrations in the 32-bit view and
// the state file), scripts the managers, sends sink calls to every process
// that loaded the server, and reads back the call log and the counts.
#pragma once

#include "RadioSimState.h"

#include <windows.h>

#include <string>
#include <vector>

namespace radiosim {

// Registers the three classes with the server at serverPath (ThreadingModel
// Both, 32-bit view) and creates a fresh state file. False on failure.
bool Install(const std::wstring& serverPath);
// Removes the registrations and the state file; true when none is left.
bool Uninstall();
// Whether the classes are registered and the state file exists.
bool Installed();

class SimControl {
public:
    // Maps the state file; Open() is false when it does not exist or cannot
    // be mapped, and Error() tells why.
    SimControl();
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;
    bool Open() const { return m_state != nullptr; }
    std::wstring Error() const { return m_error; }
    SimState& State() { return *m_state; }
    ManagerScript& Manager(LONG kind) { return m_state->managers[kind]; }

    // Every manager registered, one instance switched off, no failure,
    // nothing blocking, an empty call log.
    void Reset();
    void SetRegistered(LONG kind, bool registered);
    // count instances, each in state.
    void SetInstances(LONG kind, LONG count, LONG state);
    void SetRadio(LONG kind, LONG index, LONG state);
    void FailMethod(LONG kind, LONG method, HRESULT result);
    void BlockMethod(LONG kind, LONG method, DWORD milliseconds);

    // Queues the command for every live process that loaded the server and
    // waits (up to timeoutMs) until each has carried it out. The number of
    // processes that did; -1 when one did not in time.
    int Send(const Command& command, DWORD timeoutMs = 30000);
    int FireChange(LONG kind, LONG index, LONG state, DWORD timeoutMs = 30000);

    // The call log from sequence fromSequence on (1: all that is kept).
    std::vector<CallRecord> Calls(LONG fromSequence = 1);
    LONG NextSequence() const { return m_state->nextCall + 1; }
    // Processes that loaded the server and still run.
    std::vector<LONG> Clients();

private:
    SimState* m_state = nullptr;
    std::wstring m_error;
};

std::string MethodName(LONG method);
std::string KindName(LONG kind);
// "wlan", "wwan", "bt"; -1 when unknown.
LONG ParseKind(const std::string& text);
// Method names as MethodName prints them; kMethodNone when unknown.
LONG ParseMethod(const std::string& text);
// "on" 0, "off" 1, "hwoff" 2, or a number; -1 when unknown.
LONG ParseRadioState(const std::string& text);

}  // namespace radiosim
