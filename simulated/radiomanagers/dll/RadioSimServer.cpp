// nrvradiosim.dll: the simulated radio managers as an in-process COM server
// for the three radio-manager classes. The objects read their script from
// the prefix's state file (mapped once per process); a thread of the server
// carries out the control tool's commands (sink calls) in this process.
#include "RadioSimObjects.h"
#include "RadioSimState.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::once_flag g_attachOnce;
radiosim::SimState* g_mapped = nullptr;
radiosim::Client* g_client = nullptr;

std::wstring StateFilePath() {
    wchar_t folder[MAX_PATH] = L"";
    const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"";
    return std::wstring(folder) + radiosim::kStateFileName;
}

bool ProcessAlive(LONG processId) {
    nrv::UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId)));
    if (!process) return false;
    DWORD code = 0;
    return ::GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

DWORD WINAPI CommandThread(void* parameter) {
    const HANDLE event = parameter;
    for (;;) {
        if (::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return 1;
        while (g_client->done < g_client->written) {
            const radiosim::Command command =
                g_client->commands[g_client->done % radiosim::kCommandCapacity];
            radiosim::Execute(command);
            ::InterlockedIncrement(&g_client->done);
        }
    }
}

// Maps the state file and takes a client slot with its command thread.
void Attach() {
    nrv::UniqueFileHandle file(::CreateFileW(StateFilePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return;
    nrv::UniqueHandle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0,
                                                   sizeof(radiosim::SimState), nullptr));
    if (!mapping) return;
    auto* state = static_cast<radiosim::SimState*>(
        ::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(radiosim::SimState)));
    if (state == nullptr) return;
    if (state->magic != radiosim::kStateMagic || state->size != sizeof(radiosim::SimState)) {
        ::UnmapViewOfFile(state);
        return;
    }
    g_mapped = state;  // kept for the life of the process
    radiosim::SetState(state);

    const LONG self = static_cast<LONG>(::GetCurrentProcessId());
    for (radiosim::Client& client : state->clients) {
        const LONG owner = client.processId;
        if (owner != 0 && ProcessAlive(owner)) continue;
        if (::InterlockedCompareExchange(&client.processId, self, owner) != owner) continue;
        client.done = client.written;
        g_client = &client;
        break;
    }
    if (g_client == nullptr) return;

    // Any process of the prefix (the service, the control tool) may signal it.
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const std::wstring name = radiosim::kCommandEventPrefix + std::to_wstring(self);
    const HANDLE event = ::CreateEventW(&attributes, FALSE, FALSE, name.c_str());
    if (event == nullptr) return;
    // The event and the thread live as long as the process.
    const HANDLE thread = ::CreateThread(nullptr, 0, CommandThread, event, 0, nullptr);
    if (thread != nullptr) ::CloseHandle(thread);
}

class ClassFactory : public IClassFactory {
public:
    explicit ClassFactory(LONG kind) : m_kind(kind) {}
    virtual ~ClassFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_references;
        if (count == 0) delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        std::call_once(g_attachOnce, Attach);
        if (g_mapped == nullptr) return REGDB_E_CLASSNOTREG;
        return radiosim::CreateManager(m_kind, iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL /*lock*/) override { return S_OK; }

private:
    const LONG m_kind;
    std::atomic<ULONG> m_references{1};
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID classId, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    const LONG kind = radiosim::KindOfClass(classId);
    if (kind < 0) return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new ClassFactory(kind);
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

// The server stays loaded: its command thread runs as long as the process.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}
