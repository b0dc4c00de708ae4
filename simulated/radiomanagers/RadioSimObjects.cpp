// The simulated radio managers' objects. Reference counts are interlocked;
// sink calls are made outside every lock, each with a reference held on the
// sink, as a connection point must.
#include "RadioSimObjects.h"

#include <olectl.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace radiosim {

void ResetScripts(SimState& state) {
    for (ManagerScript& manager : state.managers) {
        manager.registered = 1;
        manager.instanceCount = 1;
        for (LONG& radio : manager.states) radio = DRS_SW_RADIO_OFF;
        manager.failMethod = kMethodNone;
        manager.failResult = 0;
        manager.blockMethod = kMethodNone;
        manager.blockMs = 0;
        manager.notifications = 0;
        manager.stateReads = 0;
    }
    for (CallRecord& record : state.calls) record.sequence = 0;
    state.nextCall = 0;
}

namespace {

SimState* g_state = nullptr;
std::atomic<LONG> g_liveInProcess{0};

ManagerScript& Script(LONG kind) {
    return g_state->managers[kind];
}

void Record(LONG kind, LONG method, LONG index, HRESULT result) {
    const LONG sequence = ::InterlockedIncrement(&g_state->nextCall);
    CallRecord& record = g_state->calls[(sequence - 1) % kCallCapacity];
    record.sequence = 0;
    record.processId = static_cast<LONG>(::GetCurrentProcessId());
    record.kind = kind;
    record.method = method;
    record.index = index;
    record.result = result;
    ::InterlockedExchange(&record.sequence, sequence);
}

// The scripted answer of a call: blocks first when asked, then the failure
// or S_OK.
HRESULT Enter(LONG kind, LONG method) {
    ManagerScript& script = Script(kind);
    if (script.blockMethod == method && script.blockMs > 0)
        ::Sleep(static_cast<DWORD>(script.blockMs));
    if (script.failMethod == method) return static_cast<HRESULT>(script.failResult);
    return S_OK;
}

// Counts an object of the prefix and of this process for its lifetime.
class Counted {
protected:
    explicit Counted(LONG kind) : m_kind(kind) {
        ::InterlockedIncrement(&Script(kind).liveObjects);
        g_liveInProcess.fetch_add(1);
    }
    virtual ~Counted() {
        ::InterlockedDecrement(&Script(m_kind).liveObjects);
        g_liveInProcess.fetch_sub(1);
    }
    ULONG AddReference() { return static_cast<ULONG>(m_references.fetch_add(1) + 1); }
    ULONG ReleaseReference(LONG freeMethod) {
        const LONG count = m_references.fetch_sub(1) - 1;
        if (count == 0) {
            Record(m_kind, freeMethod, -1, S_OK);
            delete this;
        }
        return static_cast<ULONG>(count);
    }
    const LONG m_kind;

private:
    std::atomic<LONG> m_references{1};
};

class Instance : public IRadioInstance, private Counted {
public:
    Instance(LONG kind, LONG index) : Counted(kind), m_index(index) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IRadioInstance)) {
            *object = static_cast<IRadioInstance*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(kFreeInstance); }

    HRESULT STDMETHODCALLTYPE GetRadioManagerSignature(GUID* signature) override {
        if (signature == nullptr) return E_POINTER;
        *signature = GUID{};
        signature->Data1 = static_cast<unsigned long>(m_kind);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetInstanceSignature(BSTR* id) override {
        if (id == nullptr) return E_POINTER;
        *id = InstanceId(m_kind, m_index);
        return *id != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetFriendlyName(LCID /*lcid*/, BSTR* name) override {
        return GetInstanceSignature(name);
    }
    HRESULT STDMETHODCALLTYPE GetRadioState(DEVICE_RADIO_STATE* state) override {
        ::InterlockedIncrement(&Script(m_kind).stateReads);
        HRESULT hr = Enter(m_kind, kGetRadioState);
        // A failed call leaves DRS_RADIO_ON behind: only a caller that looks
        // at the result tells it from a radio that is on.
        if (FAILED(hr) && state != nullptr) *state = DRS_RADIO_ON;
        if (SUCCEEDED(hr)) {
            if (state == nullptr) {
                hr = E_POINTER;
            } else {
                *state =
                    static_cast<DEVICE_RADIO_STATE>(Script(m_kind).states[m_index % kMaxInstances]);
            }
        }
        Record(m_kind, kGetRadioState, m_index, hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SetRadioState(DEVICE_RADIO_STATE /*state*/,
                                            UINT32 /*timeout*/) override {
        return E_NOTIMPL;
    }
    BOOL STDMETHODCALLTYPE IsMultiComm() override { return FALSE; }
    BOOL STDMETHODCALLTYPE IsAssociatingDevice() override { return FALSE; }

    static BSTR InstanceId(LONG kind, LONG index) {
        wchar_t text[32];
        const wchar_t* names[] = {L"WLAN", L"WWAN", L"BT"};
        ::wsprintfW(text, L"NRVSIM-%s-%d", names[kind], static_cast<int>(index));
        return ::SysAllocString(text);
    }

private:
    const LONG m_index;
};

class Collection : public IRadioInstanceCollection, private Counted {
public:
    Collection(LONG kind, LONG count) : Counted(kind), m_count(count) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IRadioInstanceCollection)) {
            *object = static_cast<IRadioInstanceCollection*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(kFreeCollection); }

    HRESULT STDMETHODCALLTYPE GetCount(UINT32* count) override {
        HRESULT hr = Enter(m_kind, kGetCount);
        if (SUCCEEDED(hr)) {
            if (count == nullptr) {
                hr = E_POINTER;
            } else {
                *count = static_cast<UINT32>(m_count);
            }
        }
        Record(m_kind, kGetCount, -1, hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, IRadioInstance** instance) override {
        HRESULT hr = Enter(m_kind, kGetAt);
        if (SUCCEEDED(hr)) {
            if (instance == nullptr) {
                hr = E_POINTER;
            } else if (index >= static_cast<UINT32>(m_count)) {
                hr = E_INVALIDARG;
            } else {
                *instance = new Instance(m_kind, static_cast<LONG>(index));
            }
        }
        Record(m_kind, kGetAt, static_cast<LONG>(index), hr);
        return hr;
    }

private:
    const LONG m_count;
};

class ConnectionPoint;

// The connection points of this process, by kind, for the sink calls.
std::mutex g_pointsLock;
std::vector<ConnectionPoint*> g_points[kKindCount];

class ConnectionPoint : public IConnectionPoint, private Counted {
public:
    explicit ConnectionPoint(LONG kind) : Counted(kind) {
        std::lock_guard<std::mutex> lock(g_pointsLock);
        g_points[kind].push_back(this);
    }
    ~ConnectionPoint() override {
        {
            std::lock_guard<std::mutex> lock(g_pointsLock);
            std::vector<ConnectionPoint*>& points = g_points[m_kind];
            for (auto it = points.begin(); it != points.end(); ++it) {
                if (*it == this) {
                    points.erase(it);
                    break;
                }
            }
        }
        for (Advised& advised : m_sinks) {
            ::InterlockedDecrement(&Script(m_kind).advisedSinks);
            advised.sink->Release();
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IConnectionPoint)) {
            *object = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(kFreeConnectionPoint); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (iid == nullptr) return E_POINTER;
        *iid = IID_IMediaRadioManagerNotifySink;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** c) override {
        if (c != nullptr) *c = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* unknown, DWORD* cookie) override {
        HRESULT hr = Enter(m_kind, kAdvise);
        IMediaRadioManagerNotifySink* sink = nullptr;
        if (SUCCEEDED(hr) && (unknown == nullptr || cookie == nullptr)) hr = E_POINTER;
        if (SUCCEEDED(hr) && FAILED(unknown->QueryInterface(IID_IMediaRadioManagerNotifySink,
                                                            reinterpret_cast<void**>(&sink)))) {
            hr = CONNECT_E_CANNOTCONNECT;
        }
        if (SUCCEEDED(hr)) {
            std::lock_guard<std::mutex> lock(g_pointsLock);
            *cookie = ++m_lastCookie;
            m_sinks.push_back({*cookie, sink});
            ::InterlockedIncrement(&Script(m_kind).advisedSinks);
        }
        Record(m_kind, kAdvise, -1, hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        HRESULT hr = Enter(m_kind, kUnadvise);
        IMediaRadioManagerNotifySink* sink = nullptr;
        if (SUCCEEDED(hr)) {
            std::lock_guard<std::mutex> lock(g_pointsLock);
            hr = CONNECT_E_NOCONNECTION;
            for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
                if (it->cookie == cookie) {
                    sink = it->sink;
                    m_sinks.erase(it);
                    hr = S_OK;
                    break;
                }
            }
        }
        if (sink != nullptr) {
            ::InterlockedDecrement(&Script(m_kind).advisedSinks);
            sink->Release();
        }
        Record(m_kind, kUnadvise, -1, hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** e) override {
        if (e != nullptr) *e = nullptr;
        return E_NOTIMPL;
    }

    // With g_pointsLock held: a reference to each advised sink.
    void CollectSinks(std::vector<IMediaRadioManagerNotifySink*>& sinks) {
        for (Advised& advised : m_sinks) {
            advised.sink->AddRef();
            sinks.push_back(advised.sink);
        }
    }

private:
    struct Advised {
        DWORD cookie;
        IMediaRadioManagerNotifySink* sink;
    };
    std::vector<Advised> m_sinks;  // guarded by g_pointsLock
    DWORD m_lastCookie = 0;
};

class Manager : public IMediaRadioManager, public IConnectionPointContainer, private Counted {
public:
    explicit Manager(LONG kind) : Counted(kind), m_point(new ConnectionPoint(kind)) {}
    ~Manager() override { m_point->Release(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IMediaRadioManager)) {
            *object = static_cast<IMediaRadioManager*>(this);
        } else if (::IsEqualIID(iid, IID_IConnectionPointContainer)) {
            const HRESULT hr = Enter(m_kind, kQueryContainer);
            Record(m_kind, kQueryContainer, -1, hr);
            if (FAILED(hr)) return hr;
            *object = static_cast<IConnectionPointContainer*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(kFreeManager); }

    HRESULT STDMETHODCALLTYPE GetRadioInstances(IRadioInstanceCollection** collection) override {
        HRESULT hr = Enter(m_kind, kGetRadioInstances);
        if (SUCCEEDED(hr)) {
            if (collection == nullptr) {
                hr = E_POINTER;
            } else {
                LONG count = Script(m_kind).instanceCount;
                if (count < 0) count = 0;
                if (count > kMaxInstances) count = kMaxInstances;
                *collection = new Collection(m_kind, count);
            }
        }
        Record(m_kind, kGetRadioInstances, -1, hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE OnSystemRadioStateChange(SYSTEM_RADIO_STATE /*state*/,
                                                       UINT32 /*timeout*/) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** e) override {
        if (e != nullptr) *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        HRESULT hr = Enter(m_kind, kFindConnectionPoint);
        if (SUCCEEDED(hr)) {
            if (point == nullptr) {
                hr = E_POINTER;
            } else if (!::IsEqualIID(iid, IID_IMediaRadioManagerNotifySink)) {
                *point = nullptr;
                hr = CONNECT_E_NOCONNECTION;
            } else {
                m_point->AddRef();
                *point = m_point;
            }
        }
        Record(m_kind, kFindConnectionPoint, -1, hr);
        return hr;
    }

private:
    ConnectionPoint* const m_point;
};

// References to every sink advised on a manager of the kind in this process.
std::vector<IMediaRadioManagerNotifySink*> SinksOf(LONG kind) {
    std::vector<IMediaRadioManagerNotifySink*> sinks;
    std::lock_guard<std::mutex> lock(g_pointsLock);
    for (ConnectionPoint* point : g_points[kind]) point->CollectSinks(sinks);
    return sinks;
}

void FireChange(LONG kind, LONG index, LONG state) {
    Script(kind).states[index % kMaxInstances] = state;
    BSTR id = Instance::InstanceId(kind, index);
    for (IMediaRadioManagerNotifySink* sink : SinksOf(kind)) {
        sink->OnInstanceRadioChange(id, static_cast<DEVICE_RADIO_STATE>(state));
        ::InterlockedIncrement(&Script(kind).notifications);
        sink->Release();
    }
    ::SysFreeString(id);
}

}  // namespace

void SetState(SimState* state) {
    g_state = state;
}

SimState* State() {
    return g_state;
}

LONG KindOfClass(const CLSID& classId) {
    if (::IsEqualCLSID(classId, CLSID_WlanRadioManager)) return kWlan;
    if (::IsEqualCLSID(classId, CLSID_WwanRadioManager)) return kWwan;
    if (::IsEqualCLSID(classId, CLSID_BluetoothRadioManager)) return kBluetooth;
    return -1;
}

HRESULT CreateManager(LONG kind, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (g_state == nullptr || kind < 0 || kind >= kKindCount) return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT hr = Script(kind).registered != 0 ? Enter(kind, kCreate) : REGDB_E_CLASSNOTREG;
    if (SUCCEEDED(hr)) {
        Manager* manager = new Manager(kind);
        hr = manager->QueryInterface(iid, object);
        manager->Release();
    }
    Record(kind, kCreate, -1, hr);
    return hr;
}

void Execute(const Command& command) {
    if (g_state == nullptr) return;
    switch (command.kind) {
        case kFireChange:
            if (command.manager >= 0 && command.manager < kKindCount)
                FireChange(command.manager, command.instance, command.state);
            break;
        case kFireAdd:
            if (command.manager >= 0 && command.manager < kKindCount) {
                Instance* instance = new Instance(command.manager, command.instance);
                for (IMediaRadioManagerNotifySink* sink : SinksOf(command.manager)) {
                    sink->OnInstanceAdd(instance);
                    ::InterlockedIncrement(&Script(command.manager).notifications);
                    sink->Release();
                }
                instance->Release();
            }
            break;
        case kFireRemove:
            if (command.manager >= 0 && command.manager < kKindCount) {
                BSTR id = Instance::InstanceId(command.manager, command.instance);
                for (IMediaRadioManagerNotifySink* sink : SinksOf(command.manager)) {
                    sink->OnInstanceRemove(id);
                    ::InterlockedIncrement(&Script(command.manager).notifications);
                    sink->Release();
                }
                ::SysFreeString(id);
            }
            break;
        case kStorm: {
            std::vector<std::thread> threads;
            for (LONG kind = 0; kind < kKindCount; ++kind) {
                if ((command.manager & (1 << kind)) == 0) continue;
                threads.emplace_back([kind, command] {
                    for (LONG i = 0; i < command.count; ++i) {
                        const LONG state =
                            i + 1 == command.count
                                ? command.state
                                : static_cast<LONG>(i % 2 == 0 ? DRS_RADIO_ON : DRS_SW_RADIO_OFF);
                        FireChange(kind, 0, state);
                    }
                });
            }
            for (std::thread& thread : threads) thread.join();
            break;
        }
        default:
            break;
    }
}

IMediaRadioManagerNotifySink* TakeAdvisedSink(LONG kind) {
    std::vector<IMediaRadioManagerNotifySink*> sinks = SinksOf(kind);
    if (sinks.empty()) return nullptr;
    for (size_t i = 1; i < sinks.size(); ++i) sinks[i]->Release();
    return sinks.front();
}

LONG LiveObjectsInProcess() {
    return g_liveInProcess.load();
}

}  // namespace radiosim
