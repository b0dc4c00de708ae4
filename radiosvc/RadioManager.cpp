// The radio managers, the rebuild and LED threads and the register writes.
// Every system call goes through the radio environment.
#include "RadioManager.h"

#include "DbgLog.h"

#include <utility>

using radio::CurrentRadioEnvironment;

namespace {

std::atomic<LONG> g_liveSinks{0};

struct ManagerKind {
    const CLSID* classId;
    const wchar_t* initText;
};

constexpr ManagerKind kManagerKinds[] = {
    {&CLSID_WlanRadioManager, L"RMWlan init"},
    {&CLSID_WwanRadioManager, L"RMWwan init"},
    {&CLSID_BluetoothRadioManager, L"RMBT init"},
};

// Opens or creates "OnRadiOChange" and signals it once: whether it was signalled.
bool SignalRadioChange() {
    nrv::UniqueHandle event = CurrentRadioEnvironment().OpenChangeEvent();
    if (!event) return false;
    ::SetEvent(event.get());
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// CMediaRadioManagerNotifySink

CMediaRadioManagerNotifySink::CMediaRadioManagerNotifySink() {
    g_liveSinks.fetch_add(1);
}

CMediaRadioManagerNotifySink::~CMediaRadioManagerNotifySink() {
    g_liveSinks.fetch_sub(1);
}

CMediaRadioManagerNotifySink* CMediaRadioManagerNotifySink::Create() {
    return new CMediaRadioManagerNotifySink();
}

LONG CMediaRadioManagerNotifySink::LiveCount() {
    return g_liveSinks.load();
}

HRESULT STDMETHODCALLTYPE CMediaRadioManagerNotifySink::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IMediaRadioManagerNotifySink)) {
        *object = static_cast<IMediaRadioManagerNotifySink*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CMediaRadioManagerNotifySink::AddRef() {
    return static_cast<ULONG>(m_references.fetch_add(1) + 1);
}

ULONG STDMETHODCALLTYPE CMediaRadioManagerNotifySink::Release() {
    const LONG count = m_references.fetch_sub(1) - 1;
    // The last reference frees the sink: a manager's thread that still calls
    // it holds one, so it never finds freed memory.
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE
CMediaRadioManagerNotifySink::OnInstanceAdd(IRadioInstance* /*instance*/) {
    DBGLOG_TRACE_FUNCTION(CMediaRadioManagerNotifySink::OnInstanceAdd);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMediaRadioManagerNotifySink::OnInstanceRemove(BSTR /*id*/) {
    DBGLOG_TRACE_FUNCTION(CMediaRadioManagerNotifySink::OnInstanceRemove);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
CMediaRadioManagerNotifySink::OnInstanceRadioChange(BSTR /*id*/, DEVICE_RADIO_STATE /*state*/) {
    DBGLOG_TRACE_FUNCTION(CMediaRadioManagerNotifySink::OnInstanceRadioChange);
    SignalRadioChange();
    return S_OK;
}

// ---------------------------------------------------------------------------
// CRadioManager

CRadioManager::CRadioManager(const CLSID& classId)
    : m_classId(classId), m_sink(CMediaRadioManagerNotifySink::Create()) {}

CRadioManager::~CRadioManager() {
    ReleaseRM();
    m_sink->Release();
}

HRESULT CRadioManager::InitRM() {
    DBGLOG_TRACE_FUNCTION(CRadioManager::InitRM);
    radio::RadioEnvironment& environment = CurrentRadioEnvironment();
    HRESULT hr = environment.CreateRadioManager(m_classId, m_radioManager.put());
    if (FAILED(hr)) {
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    hr = m_radioManager->GetRadioInstances(m_instanceCollection.put());
    if (FAILED(hr)) {
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    UINT32 count = 0;
    hr = m_instanceCollection->GetCount(&count);
    if (FAILED(hr)) {
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    LOG_INFO(L"GetCount = %d", static_cast<int>(count));
    if (count == 0) return E_FAIL;
    for (UINT32 index = 0; index < count; ++index) {
        nrv::ComPtr<IRadioInstance> instance;
        m_instanceCollection->GetAt(index, instance.put());
        if (instance) m_RadioInstanceList.push_back(std::move(instance));
    }
    hr = m_radioManager->QueryInterface(IID_IConnectionPointContainer,
                                        m_connectionPointContainer.put_void());
    if (FAILED(hr)) {
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    hr = m_connectionPointContainer->FindConnectionPoint(IID_IMediaRadioManagerNotifySink,
                                                         m_connectionPoint.put());
    if (FAILED(hr)) {
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    nrv::ComPtr<IUnknown> sink;
    hr = m_sink->QueryInterface(IID_IUnknown, sink.put_void());
    if (FAILED(hr)) {
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    hr = m_connectionPoint->Advise(sink.get(), &m_adviseCookie);
    if (FAILED(hr)) {
        m_adviseCookie = 0;
        LOG_ERROR(L"Error Code: 0x%x", hr);
        return hr;
    }
    m_initialized = 1;
    return S_OK;
}

int CRadioManager::ReleaseRM() {
    DBGLOG_TRACE_FUNCTION(CRadioManager::ReleaseRM);
    m_RadioInstanceList.clear();
    if (m_adviseCookie != 0 && m_connectionPoint) {
        m_connectionPoint->Unadvise(m_adviseCookie);
        m_adviseCookie = 0;
    }
    m_radioManager.reset();
    m_instanceCollection.reset();
    m_connectionPointContainer.reset();
    m_connectionPoint.reset();
    m_initialized = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// CRadioManagerControl

CRadioManagerControl::CRadioManagerControl()
    : m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CRadioManagerControl::~CRadioManagerControl() {
    RMStop();
    if (WaitForThreads(INFINITE)) ReleaseManagers();
}

CRadioManagerControl& RadioManagerControl() {
    static CRadioManagerControl* const control = new CRadioManagerControl();
    return *control;
}

int CRadioManagerControl::InitRMControl() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::InitRMControl);
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_stop.store(0);
    if (m_stopEvent) ::ResetEvent(m_stopEvent.get());
    m_rebuildThread.reset(::CreateThread(nullptr, 0, InitThreadProc, this, 0, &m_rebuildThreadId));
    if (!m_rebuildThread) LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
    return 0;
}

int CRadioManagerControl::RMStart() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::RMStart);
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_ledThread.reset(::CreateThread(nullptr, 0, StartThreadProc, this, 0, &m_ledThreadId));
    if (!m_ledThread) LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
    return 0;
}

int CRadioManagerControl::RMStop() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::RMStop);
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        // The rebuild thread is never terminated: it may hold the list lock
        // or be inside a radio manager. It sees the flag at its sleeps, which
        // the stop event ends, and between managers.
        m_stop.store(1);
        if (m_stopEvent) ::SetEvent(m_stopEvent.get());
        if (m_rebuildThread &&
            ::WaitForSingleObject(m_rebuildThread.get(), kRebuildStopWaitMs) == WAIT_OBJECT_0) {
            m_rebuildThread.reset();
        }
    }
    nrv::UniqueHandle event = CurrentRadioEnvironment().OpenChangeEvent();
    if (event) {
        LOG_TRACE(L"Stop Services!");
        ::SetEvent(event.get());
    }
    return 0;
}

bool CRadioManagerControl::WaitForThreads(DWORD timeoutMs) {
    std::lock_guard<std::mutex> lock(m_threadLock);
    HANDLE threads[2];
    DWORD count = 0;
    if (m_rebuildThread) threads[count++] = m_rebuildThread.get();
    if (m_ledThread) threads[count++] = m_ledThread.get();
    if (count == 0) return true;
    if (::WaitForMultipleObjects(count, threads, TRUE, timeoutMs) >= WAIT_OBJECT_0 + count)
        return false;
    m_rebuildThread.reset();
    m_ledThread.reset();
    return true;
}

void CRadioManagerControl::ReleaseManagers() {
    std::lock_guard<std::mutex> lock(m_listLock);
    m_RadioManagerList.clear();
}

DWORD WINAPI CRadioManagerControl::InitThreadProc(void* self) {
    static_cast<CRadioManagerControl*>(self)->RebuildThread();
    return 0;
}

DWORD WINAPI CRadioManagerControl::StartThreadProc(void* self) {
    static_cast<CRadioManagerControl*>(self)->LedThread();
    return 0;
}

bool CRadioManagerControl::RebuildManagers() {
    DBGLOG_FUNCTION_TAG(CRadioManagerControl::InitThreadProc);
    std::lock_guard<std::mutex> lock(m_listLock);
    // The old managers go first, each with its sink's advise.
    m_RadioManagerList.clear();
    bool added = false;
    for (const ManagerKind& kind : kManagerKinds) {
        if (StopRequested()) break;
        auto manager = std::make_unique<CRadioManager>(*kind.classId);
        LOG_TRACE(L"%s", kind.initText);
        if (SUCCEEDED(manager->InitRM())) {
            m_RadioManagerList.push_back(std::move(manager));
            added = true;
        }
        // A manager that failed is released and freed with its unique_ptr.
    }
    return added;
}

void CRadioManagerControl::RebuildThread() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::InitThreadProc);
    radio::RadioEnvironment& environment = CurrentRadioEnvironment();
    LONG a = 29;
    LONG n = 0;
    bool pendingSignal = false;
    while (!StopRequested()) {
        // Waits of 2, 2, 6, 14, 26 and 42 seconds after the first six passes,
        // 60 seconds after every later one.
        if (a >= 1) {
            m_waitCounter.store(a);
            a -= 2 * n;
            ++n;
        } else {
            m_waitCounter.store(0);
        }
        if (RebuildManagers()) pendingSignal = true;
        if (StopRequested()) break;
        if (pendingSignal) {
            LOG_TRACE(L"bSetEvent == TRUE");
            nrv::UniqueHandle event = environment.OpenChangeEvent();
            if (event) {
                LOG_TRACE(L"SetEvent");
                ::SetEvent(event.get());
                pendingSignal = false;
            }
        }
        while (m_waitCounter.load() < kWaitLimit) {
            if (environment.SleepUnlessWoken(kSleepStepMs, m_stopEvent.get()) || StopRequested())
                return;
            m_waitCounter.fetch_add(1);
        }
    }
}

void CRadioManagerControl::LedThread() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::StartThreadProc);
    nrv::UniqueHandle event = CurrentRadioEnvironment().OpenChangeEvent();
    if (!event) {
        // Without its event the thread could only spin; the LED stays as it is.
        LOG_ERROR(L"Error Code: 0x%x", HRESULT_FROM_WIN32(::GetLastError()));
        return;
    }
    LOG_TRACE(L"WaitForSingleObject!");
    ::WaitForSingleObject(event.get(), INFINITE);
    LOG_TRACE(L"Get signel!");
    while (!StopRequested()) {
        ChangeLEDState();
        LOG_TRACE(L"WaitForSingleObject!");
        ::WaitForSingleObject(event.get(), INFINITE);
        LOG_TRACE(L"Get signel!");
    }
}

HRESULT CRadioManagerControl::ChangeLEDState() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::ChangeLEDState);
    radio::RadioEnvironment& environment = CurrentRadioEnvironment();
    std::unique_ptr<radio::RegisterChannel> channel = environment.OpenRegisterChannel();
    bool radioOn = false;
    {
        std::lock_guard<std::mutex> lock(m_listLock);
        for (const std::unique_ptr<CRadioManager>& manager : m_RadioManagerList) {
            LOG_TRACE(L"m_RadioInstanceList.count = %d",
                      static_cast<int>(manager->Instances().size()));
            for (const nrv::ComPtr<IRadioInstance>& instance : manager->Instances()) {
                DEVICE_RADIO_STATE state = DRS_RADIO_INVALID;
                const HRESULT hr = instance->GetRadioState(&state);
                LOG_INFO(L"RadioState = %d", static_cast<int>(state));
                // A radio whose state cannot be read does not count as on.
                if (SUCCEEDED(hr) && state == DRS_RADIO_ON) radioOn = true;
            }
        }
    }
    const ULONG ledWord = radioOn ? 0 : 1;
    const DWORD ledState = radioOn ? 1 : 0;
    if (channel) channel->WriteRegister56(ledWord, kLedRegisterMask);
    const HRESULT hr = environment.StoreLedState(ledState);
    if (FAILED(hr)) LOG_ERROR(L"Error Code: 0x%x", hr);
    return hr;
}

int CRadioManagerControl::Force3GPower() {
    DBGLOG_TRACE_FUNCTION(CRadioManagerControl::Force3GPower);
    std::unique_ptr<radio::RegisterChannel> channel =
        CurrentRadioEnvironment().OpenRegisterChannel();
    if (channel) channel->WriteRegister56(kWwanPowerOn, kWwanPowerMask);
    LOG_TRACE(L"set power");
    return 0;
}
