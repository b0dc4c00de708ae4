// The radio work of the radio service: the three radio managers (WLAN, WWAN,
// Bluetooth) and their radio instances, recreated by the rebuild thread on a
// back-off schedule; the LED thread, woken by the named event "OnRadiOChange",
// which lights the wireless LED through the value-added device when any radio
// is on and records the LED state as "LEDSTATE"; and the WWAN power switch.
#pragma once

#include "RadioEnvironment.h"
#include "RadioInterfaces.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

inline constexpr const wchar_t kRadioChangeEventName[] = L"OnRadiOChange";
inline constexpr const wchar_t kLedStateKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\keyhub\\Parameters";
inline constexpr const wchar_t kLedStateValue[] = L"LEDSTATE";

// Register 0x56 words: the LED (0 lights it, 1 puts it out, then 0xFFFE) and
// the WWAN power (1, 0x2000).
inline constexpr ULONG kLedRegisterMask = 0xFFFE;
inline constexpr ULONG kWwanPowerOn = 1;
inline constexpr ULONG kWwanPowerMask = 0x2000;

// The notification sink a radio manager calls. It lives on the heap as long as
// anyone holds a reference: its manager, the connection point it is advised
// on, or a manager's thread inside one of its calls.
class CMediaRadioManagerNotifySink : public IMediaRadioManagerNotifySink {
public:
    // A new sink with one reference, the caller's.
    static CMediaRadioManagerNotifySink* Create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnInstanceAdd(IRadioInstance* instance) override;
    HRESULT STDMETHODCALLTYPE OnInstanceRemove(BSTR id) override;
    HRESULT STDMETHODCALLTYPE OnInstanceRadioChange(BSTR id, DEVICE_RADIO_STATE state) override;

    // Sinks of this process not yet freed.
    static LONG LiveCount();

private:
    CMediaRadioManagerNotifySink();
    virtual ~CMediaRadioManagerNotifySink();

    std::atomic<LONG> m_references{1};
};

// One radio manager of one kind: its COM objects, its instances and its sink.
class CRadioManager {
public:
    explicit CRadioManager(const CLSID& classId);
    ~CRadioManager();  // ReleaseRM, then lets go of the sink
    CRadioManager(const CRadioManager&) = delete;
    CRadioManager& operator=(const CRadioManager&) = delete;

    // Creates the manager, takes its instances and advises the sink: S_OK, or
    // the HRESULT of the step that failed (E_FAIL when it has no instance).
    HRESULT InitRM();
    // Releases the instances, unadvises and releases the COM objects: 0.
    int ReleaseRM();

    const std::vector<nrv::ComPtr<IRadioInstance>>& Instances() const {
        return m_RadioInstanceList;
    }
    bool Initialized() const { return m_initialized != 0; }

private:
    const CLSID m_classId;
    nrv::ComPtr<IMediaRadioManager> m_radioManager;
    nrv::ComPtr<IRadioInstanceCollection> m_instanceCollection;
    nrv::ComPtr<IConnectionPointContainer> m_connectionPointContainer;
    nrv::ComPtr<IConnectionPoint> m_connectionPoint;
    std::vector<nrv::ComPtr<IRadioInstance>> m_RadioInstanceList;
    CMediaRadioManagerNotifySink* m_sink;  // one reference
    LONG m_initialized = 0;
    DWORD m_adviseCookie = 0;
};

// The one radio control of the service: rebuild thread, LED thread, LED and
// WWAN power writes.
class CRadioManagerControl {
public:
    CRadioManagerControl();
    ~CRadioManagerControl();
    CRadioManagerControl(const CRadioManagerControl&) = delete;
    CRadioManagerControl& operator=(const CRadioManagerControl&) = delete;

    // Starts the rebuild thread: 0.
    int InitRMControl();
    // Starts the LED thread: 0.
    int RMStart();
    // Ends the rebuild thread (it sees the stop at its sleeps and between
    // managers; waited for up to kRebuildStopWaitMs), sets the stop flag and
    // wakes the LED thread: 0. May run again, from any thread.
    int RMStop();
    // One evaluation: every instance's state to the LED register and
    // "LEDSTATE". The HRESULT of the registry write.
    HRESULT ChangeLEDState();
    // Switches the WWAN power on: 0.
    int Force3GPower();

    // The rebuild wait counter: the current wait ends once it reaches 30.
    void SetWaitCounter(LONG value) { m_waitCounter.store(value); }
    LONG WaitCounter() const { return m_waitCounter.load(); }
    bool StopRequested() const { return m_stop.load() != 0; }

    // Waits until both threads have ended, at most timeoutMs: true when they
    // have (or never ran).
    bool WaitForThreads(DWORD timeoutMs);
    // Releases and frees the managers of the latest rebuild. Only once both
    // threads have ended.
    void ReleaseManagers();

    static constexpr LONG kWaitLimit = 30;
    static constexpr DWORD kSleepStepMs = 2000;
    static constexpr DWORD kRebuildStopWaitMs = 500;

private:
    static DWORD WINAPI InitThreadProc(void* self);
    static DWORD WINAPI StartThreadProc(void* self);
    void RebuildThread();
    void LedThread();
    // One rebuild pass: old managers released, three new ones created.
    // Whether one was kept.
    bool RebuildManagers();

    // Held by a rebuild from the release of the old managers until the new
    // list is complete, and by an evaluation for its whole pass over it.
    std::mutex m_listLock;
    std::vector<std::unique_ptr<CRadioManager>> m_RadioManagerList;
    std::atomic<LONG> m_stop{0};
    std::atomic<LONG> m_waitCounter{0};
    nrv::UniqueHandle m_stopEvent;  // manual reset: ends the rebuild thread's sleeps
    std::mutex m_threadLock;        // RMStop and WaitForThreads from two threads
    nrv::UniqueHandle m_rebuildThread;
    DWORD m_rebuildThreadId = 0;
    nrv::UniqueHandle m_ledThread;
    DWORD m_ledThreadId = 0;
};

// The service's radio control. Never destroyed: a thread that did not end at
// stop may still use it while the process exits.
CRadioManagerControl& RadioManagerControl();
