// The simulated radio managers' shared state: what each manager answers
// (its script), what was called (the call log), live counts, and the
// commands the control tool sends to every process that loaded the server.
// The in-process server maps it from one file of the prefix, so the control
// tool and the service share it; unit tests give the objects a private copy.
#pragma once

#include <windows.h>

namespace radiosim {

enum Kind : LONG {
    kWlan = 0,
    kWwan = 1,
    kBluetooth = 2,
};
inline constexpr LONG kKindCount = 3;

// The steps a manager takes part in, as the call log and the failure and
// blocking scripts name them.
enum Method : LONG {
    kMethodNone = 0,
    kCreate = 1,             // class factory CreateInstance (CoCreateInstance)
    kGetRadioInstances = 2,  // IMediaRadioManager
    kGetCount = 3,           // IRadioInstanceCollection
    kGetAt = 4,
    kQueryContainer = 5,  // QueryInterface(IID_IConnectionPointContainer)
    kFindConnectionPoint = 6,
    kAdvise = 8,
    kGetRadioState = 9,  // IRadioInstance
    kUnadvise = 10,
    // Final releases (the object is freed), logged only.
    kFreeInstance = 20,
    kFreeCollection = 21,
    kFreeManager = 22,
    kFreeConnectionPoint = 23,
};

inline constexpr LONG kMaxInstances = 8;

struct ManagerScript {
    LONG registered;             // 0: creating the class fails with REGDB_E_CLASSNOTREG
    LONG instanceCount;          // what GetCount answers
    LONG states[kMaxInstances];  // DEVICE_RADIO_STATE of each instance
    LONG failMethod;             // Method that fails with failResult (0: none)
    LONG failResult;
    LONG blockMethod;  // Method whose calls sleep blockMs first (0: none)
    LONG blockMs;
    // Counts over every process of the prefix.
    LONG liveObjects;    // managers, collections, instances, connection points
    LONG advisedSinks;   // sinks advised and not unadvised
    LONG notifications;  // sink calls made
    LONG stateReads;     // GetRadioState calls
    LONG reserved[3];
};

struct CallRecord {
    LONG sequence;  // 1, 2, ... (0: slot not written yet)
    LONG processId;
    LONG kind;
    LONG method;
    LONG index;  // instance index (GetAt, GetRadioState), else -1
    LONG result;
};
inline constexpr LONG kCallCapacity = 8192;

enum CommandKind : LONG {
    kFireChange = 1,  // instance's state set to state, OnInstanceRadioChange to every sink
    kFireAdd = 2,     // OnInstanceAdd with a new instance object
    kFireRemove = 3,  // OnInstanceRemove
    // For each manager in the mask (bit 1 << kind), on a thread of its own:
    // count changes of instance 0, alternating off and on, the last one
    // setting state.
    kStorm = 4,
};

struct Command {
    LONG kind;      // CommandKind
    LONG manager;   // Kind, or the mask of kStorm
    LONG instance;  // instance index
    LONG state;     // DEVICE_RADIO_STATE
    LONG count;     // kStorm
};

inline constexpr LONG kCommandCapacity = 64;

// One process that loaded the server: its commands, in a ring.
struct Client {
    LONG processId;  // 0: free
    LONG written;    // commands queued so far
    LONG done;       // commands carried out so far
    LONG reserved;
    Command commands[kCommandCapacity];
};
inline constexpr LONG kMaxClients = 8;

inline constexpr LONG kStateMagic = 0x4E525253;  // "SRRN"

struct SimState {
    LONG magic;
    LONG size;
    ManagerScript managers[kKindCount];
    LONG nextCall;
    LONG reserved[3];
    CallRecord calls[kCallCapacity];
    Client clients[kMaxClients];
};

// The file that holds the state, under the Windows folder of the prefix.
inline constexpr const wchar_t kStateFileName[] = L"\\Temp\\NrvRadioSim.state";
// Each client waits on "Global\NrvRadioSimCommand.<process id>".
inline constexpr const wchar_t kCommandEventPrefix[] = L"Global\\NrvRadioSimCommand.";
// The server's file name, for the class registrations.
inline constexpr const wchar_t kServerFileName[] = L"nrvradiosim.dll";

// A new script: every manager registered with one instance, switched off.
void ResetScripts(SimState& state);

}  // namespace radiosim
