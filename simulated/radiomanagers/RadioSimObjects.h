// The simulated radio managers' COM objects: the manager (with its
// connection-point container), its instance collection, its instances and
// its connection point for IMediaRadioManagerNotifySink. They read their
// script from, and log their calls to, the state given to SetState. The
// server DLL gives them the shared file; unit tests give them a state of
// their own and create managers directly.
#pragma once

#include "RadioInterfaces.h"
#include "RadioSimState.h"

#include <windows.h>

namespace radiosim {

// The state the objects use (must outlive them).
void SetState(SimState* state);
SimState* State();

// Which manager a class id names; -1 for none.
LONG KindOfClass(const CLSID& classId);

// What CoCreateInstance of the kind's class gives: a manager, or the
// scripted failure (REGDB_E_CLASSNOTREG when not registered).
HRESULT CreateManager(LONG kind, REFIID iid, void** object);

// Carries out a command in this process: the sink calls go to every sink
// advised on a manager of the kind in this process. Returns when done.
void Execute(const Command& command);

// A reference to the first sink advised on a manager of the kind in this
// process, as a manager's thread holds one while it calls; null when none.
IMediaRadioManagerNotifySink* TakeAdvisedSink(LONG kind);

// Objects of this process not yet freed.
LONG LiveObjectsInProcess();

}  // namespace radiosim
