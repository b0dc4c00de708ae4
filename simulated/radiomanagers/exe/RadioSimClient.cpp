// The simulated radio managers' control side.
#include "RadioSimClient.h"

#include "RadioInterfaces.h"
#include "RadioSimObjects.h"
#include "UniqueHandle.h"

#include <cstdlib>
#include <cstring>

namespace radiosim {
namespace {

const CLSID* const kClasses[kKindCount] = {&CLSID_WlanRadioManager, &CLSID_WwanRadioManager,
                                           &CLSID_BluetoothRadioManager};
const wchar_t* const kClassNames[kKindCount] = {L"NORVALE simulated WLAN radio manager",
                                                L"NORVALE simulated WWAN radio manager",
                                                L"NORVALE simulated Bluetooth radio manager"};
constexpr wchar_t kClsidKey[] = L"Software\\Classes\\CLSID";

std::wstring StatePath() {
    wchar_t folder[MAX_PATH] = L"";
    const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"";
    return std::wstring(folder) + kStateFileName;
}

std::wstring ClassKeyName(LONG kind) {
    wchar_t text[64] = L"";
    ::StringFromGUID2(*kClasses[kind], text, 64);
    return text;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

bool ProcessAlive(LONG processId) {
    nrv::UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId)));
    if (!process) return false;
    DWORD code = 0;
    return ::GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

}  // namespace

bool Install(const std::wstring& serverPath) {
    // A state file still mapped by a process (a service left running) cannot
    // be deleted; it is then written over in place.
    Uninstall();
    for (LONG kind = 0; kind < kKindCount; ++kind) {
        const std::wstring key = std::wstring(kClsidKey) + L"\\" + ClassKeyName(kind);
        nrv::UniqueHKey classKey;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, classKey.put(), nullptr) != ERROR_SUCCESS ||
            !SetString(classKey.get(), nullptr, kClassNames[kind])) {
            return false;
        }
        nrv::UniqueHKey server;
        if (::RegCreateKeyExW(classKey.get(), L"InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, server.put(), nullptr) != ERROR_SUCCESS ||
            !SetString(server.get(), nullptr, serverPath) ||
            !SetString(server.get(), L"ThreadingModel", L"Both")) {
            return false;
        }
    }
    nrv::UniqueFileHandle file(::CreateFileW(StatePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) return false;
    auto* state = new SimState{};
    state->magic = kStateMagic;
    state->size = sizeof(SimState);
    ResetScripts(*state);
    DWORD written = 0;
    const bool ok = ::WriteFile(file.get(), state, sizeof(SimState), &written, nullptr) &&
                    written == sizeof(SimState);
    delete state;
    return ok;
}

bool Uninstall() {
    nrv::UniqueHKey classes;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClsidKey, 0, KEY_ALL_ACCESS, classes.put()) ==
        ERROR_SUCCESS) {
        for (LONG kind = 0; kind < kKindCount; ++kind)
            ::RegDeleteTreeW(classes.get(), ClassKeyName(kind).c_str());
    }
    ::DeleteFileW(StatePath().c_str());
    return !Installed() && ::GetFileAttributesW(StatePath().c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool Installed() {
    for (LONG kind = 0; kind < kKindCount; ++kind) {
        const std::wstring key =
            std::wstring(kClsidKey) + L"\\" + ClassKeyName(kind) + L"\\InprocServer32";
        nrv::UniqueHKey server;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, server.put()) !=
            ERROR_SUCCESS) {
            return false;
        }
    }
    return ::GetFileAttributesW(StatePath().c_str()) != INVALID_FILE_ATTRIBUTES;
}

SimControl::SimControl() {
    const std::wstring path = StatePath();
    nrv::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        m_error = L"cannot open " + path + L": error " + std::to_wstring(::GetLastError());
        return;
    }
    nrv::UniqueHandle mapping(
        ::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, sizeof(SimState), nullptr));
    if (!mapping) {
        m_error = L"cannot map " + path + L": error " + std::to_wstring(::GetLastError());
        return;
    }
    auto* state = static_cast<SimState*>(
        ::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SimState)));
    if (state == nullptr) {
        m_error = L"cannot map a view of " + path + L": error " + std::to_wstring(::GetLastError());
        return;
    }
    if (state->magic != kStateMagic || state->size != sizeof(SimState)) {
        ::UnmapViewOfFile(state);
        m_error = path + L" is not a state file of this build";
        return;
    }
    m_state = state;
}

SimControl::~SimControl() {
    if (m_state != nullptr) ::UnmapViewOfFile(m_state);
}

void SimControl::Reset() {
    ResetScripts(*m_state);
    // With no process using the objects, counts a process that died left
    // behind start again from 0.
    if (Clients().empty()) {
        for (ManagerScript& manager : m_state->managers) {
            manager.liveObjects = 0;
            manager.advisedSinks = 0;
        }
    }
}

void SimControl::SetRegistered(LONG kind, bool registered) {
    Manager(kind).registered = registered ? 1 : 0;
}

void SimControl::SetInstances(LONG kind, LONG count, LONG state) {
    Manager(kind).instanceCount = count;
    for (LONG i = 0; i < kMaxInstances; ++i) Manager(kind).states[i] = state;
}

void SimControl::SetRadio(LONG kind, LONG index, LONG state) {
    Manager(kind).states[index % kMaxInstances] = state;
}

void SimControl::FailMethod(LONG kind, LONG method, HRESULT result) {
    Manager(kind).failResult = result;
    Manager(kind).failMethod = method;
}

void SimControl::BlockMethod(LONG kind, LONG method, DWORD milliseconds) {
    Manager(kind).blockMs = static_cast<LONG>(milliseconds);
    Manager(kind).blockMethod = method;
}

std::vector<LONG> SimControl::Clients() {
    std::vector<LONG> clients;
    for (const Client& client : m_state->clients) {
        if (client.processId != 0 && ProcessAlive(client.processId))
            clients.push_back(client.processId);
    }
    return clients;
}

int SimControl::Send(const Command& command, DWORD timeoutMs) {
    struct Target {
        Client* client;
        LONG ticket;
    };
    std::vector<Target> targets;
    for (Client& client : m_state->clients) {
        if (client.processId == 0 || !ProcessAlive(client.processId)) continue;
        const std::wstring name = kCommandEventPrefix + std::to_wstring(client.processId);
        nrv::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        if (!event) continue;
        client.commands[client.written % kCommandCapacity] = command;
        const LONG ticket = ::InterlockedIncrement(&client.written);
        ::SetEvent(event.get());
        targets.push_back({&client, ticket});
    }
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (const Target& target : targets) {
        while (target.client->done < target.ticket) {
            if (::GetTickCount64() >= end) return -1;
            ::Sleep(1);
        }
    }
    return static_cast<int>(targets.size());
}

int SimControl::FireChange(LONG kind, LONG index, LONG state, DWORD timeoutMs) {
    return Send(Command{kFireChange, kind, index, state, 1}, timeoutMs);
}

std::vector<CallRecord> SimControl::Calls(LONG fromSequence) {
    std::vector<CallRecord> calls;
    const LONG last = m_state->nextCall;
    LONG first = fromSequence < 1 ? 1 : fromSequence;
    if (last - first + 1 > kCallCapacity) first = last - kCallCapacity + 1;
    for (LONG sequence = first; sequence <= last; ++sequence) {
        const CallRecord& record = m_state->calls[(sequence - 1) % kCallCapacity];
        if (record.sequence == sequence) calls.push_back(record);
    }
    return calls;
}

std::string MethodName(LONG method) {
    switch (method) {
        case kCreate:
            return "create";
        case kGetRadioInstances:
            return "GetRadioInstances";
        case kGetCount:
            return "GetCount";
        case kGetAt:
            return "GetAt";
        case kQueryContainer:
            return "QueryConnectionPointContainer";
        case kFindConnectionPoint:
            return "FindConnectionPoint";
        case kAdvise:
            return "Advise";
        case kGetRadioState:
            return "GetRadioState";
        case kUnadvise:
            return "Unadvise";
        case kFreeInstance:
            return "free-instance";
        case kFreeCollection:
            return "free-collection";
        case kFreeManager:
            return "free-manager";
        case kFreeConnectionPoint:
            return "free-connection-point";
        default:
            return "none";
    }
}

std::string KindName(LONG kind) {
    switch (kind) {
        case kWlan:
            return "wlan";
        case kWwan:
            return "wwan";
        case kBluetooth:
            return "bt";
        default:
            return "?";
    }
}

LONG ParseKind(const std::string& text) {
    for (LONG kind = 0; kind < kKindCount; ++kind) {
        if (text == KindName(kind)) return kind;
    }
    return -1;
}

LONG ParseMethod(const std::string& text) {
    for (LONG method : {kCreate, kGetRadioInstances, kGetCount, kGetAt, kQueryContainer,
                        kFindConnectionPoint, kAdvise, kGetRadioState, kUnadvise}) {
        if (text == MethodName(method)) return method;
    }
    return kMethodNone;
}

LONG ParseRadioState(const std::string& text) {
    if (text == "on") return DRS_RADIO_ON;
    if (text == "off") return DRS_SW_RADIO_OFF;
    if (text == "hwoff") return DRS_HW_RADIO_OFF;
    if (text.empty()) return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (*end != '\0' || value < 0) return -1;
    return static_cast<LONG>(value);
}

}  // namespace radiosim
