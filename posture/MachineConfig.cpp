// The machine configuration's decisions: the file's sections into tables, the
// identity into registry values. System calls go through the environment.
#include "MachineConfig.h"

#include "DbgLog.h"
#include "Storage.h"

#include <string>

wchar_t g_workPath[1024] = L"";

std::array<std::map<DWORD, DWORD>, posture::kManufacturerTags.size()> ConvertibleTables;
std::vector<DWORD> KbDockIds;
std::map<DWORD, std::map<DWORD, DWORD>> PidVidTable;
std::map<DWORD, std::map<DWORD, DWORD>> WorkaroundTable;

namespace posture {
namespace {

MachineEnvironment* g_environment = nullptr;  // null: the Win32 one

constexpr DWORD kReadWaitMs = 50;
constexpr DWORD kWorkaroundWaitMs = 1000;
constexpr DWORD kReadFailed = 0xFFFFFFFF;

bool Contains(const std::wstring& name, const wchar_t* part) {
    return name.find(part) != std::wstring::npos;
}

// A firmware that failed or does not know the register must not pick a
// model, even one a file lists under that word.
bool IsKnownIdentity(DWORD manufacturer, DWORD machine) {
    return manufacturer != 0 && manufacturer != kIdentityNotSupported && machine != 0 &&
           machine != kIdentityNotSupported;
}

// The table's entry for the machine of the manufacturer, if any.
const DWORD* FindModel(const std::map<DWORD, std::map<DWORD, DWORD>>& table, DWORD manufacturer,
                       DWORD machine) {
    if (!IsKnownIdentity(manufacturer, machine)) return nullptr;
    const auto outer = table.find(manufacturer);
    if (outer == table.end()) return nullptr;
    const auto inner = outer->second.find(machine);
    return inner == outer->second.end() ? nullptr : &inner->second;
}

void ReadConvertibleSection(const std::wstring& name, const storage::StorageHandle& section) {
    int index = -1;
    for (std::size_t i = 0; i < kManufacturerTags.size(); ++i) {
        if (Contains(name, kManufacturerTags[i].tag)) {
            index = static_cast<int>(i);
            break;
        }
    }
    if (index < 0) return;
    const DWORD machine = storage::ReadDword(section, L"MACHINE_ID");
    const DWORD convertible = storage::ReadDword(section, L"CONVERTIBLE");
    if (machine == 0 || convertible == 0) return;
    ConvertibleTables[static_cast<std::size_t>(index)].emplace(machine, convertible);
}

void ReadKbDockSection(const storage::StorageHandle& section) {
    const DWORD id = storage::ReadDword(section, L"KBDOCK_ID");
    if (id != 0) KbDockIds.push_back(id);
}

void ReadPidVidSection(const storage::StorageHandle& section) {
    DBGLOG_FUNCTION_TAG(ReadConfigFile);
    const DWORD pidVid = storage::ReadDword(section, L"PIDVID");
    const DWORD machine = storage::ReadDword(section, L"MACHINE_ID");
    const DWORD manufacturer = storage::ReadDword(section, L"MANUFACTURE_ID");
    if (pidVid == 0 || machine == 0 || manufacturer == 0) return;
    // A manufacturer already present keeps its first section's machine.
    PidVidTable.emplace(manufacturer, std::map<DWORD, DWORD>{{machine, pidVid}});
    LOG_TRACE(L"dwManufacture = %x, dwMachine = %x, dwPidVid = %x", manufacturer, machine, pidVid);
}

void ReadWorkaroundSection(const storage::StorageHandle& section) {
    DBGLOG_FUNCTION_TAG(ReadConfigFile);
    const DWORD machine = storage::ReadDword(section, L"MACHINE_ID");
    const DWORD manufacturer = storage::ReadDword(section, L"MANUFACTURE_ID");
    if (machine == 0 || manufacturer == 0) return;
    WorkaroundTable.emplace(manufacturer, std::map<DWORD, DWORD>{{machine, 1}});
    LOG_TRACE(L"dwManufacture = %x, dwMachine = %x", manufacturer, machine);
}

// An error record under the tag of the public function that failed.
#define POSTURE_LOG_ERROR(tag, ...)                                                         \
    do {                                                                                    \
        const ::LogSite site{::dbglog::detail::kSourceFile<__FILE__>, __LINE__, (tag), L"", \
                             ::LogLevel::Error};                                            \
        ::LogPrint(&site, __VA_ARGS__);                                                     \
    } while (false)

// Reads a value of the posture service key; writes no trace records itself.
DWORD ReadPostureValue(const wchar_t* tag, const wchar_t* name) {
    std::unique_ptr<PostureKey> key = CurrentMachineEnvironment().OpenPostureKey();
    if (!key) {
        POSTURE_LOG_ERROR(tag, L"Error Code: 0x%x", kReadFailed);
        return kReadFailed;
    }
    DWORD value = 0;  // a value shorter than 4 bytes leaves the rest 0
    if (!key->QueryDword(name, value)) {
        POSTURE_LOG_ERROR(tag, L"Error Code: 0x%x", kReadFailed);
        return kReadFailed;
    }
    return value;
}

enum class WriteRule { Always, OnlyIntoNewKey };

HRESULT WritePostureValue(const wchar_t* tag, const wchar_t* name, DWORD value, WriteRule rule) {
    bool created = false;
    std::unique_ptr<PostureKey> key = CurrentMachineEnvironment().CreatePostureKey(created);
    if (!key) {
        POSTURE_LOG_ERROR(tag, L"Error Code: 0x%x", E_FAIL);
        return E_FAIL;
    }
    // A key left from an earlier install keeps what it holds.
    if (rule == WriteRule::Always || created) key->SetDword(name, value);
    return S_OK;
}

}  // namespace

int ManufacturerIndex(DWORD manufacturerWord) {
    for (std::size_t i = 0; i < kManufacturerTags.size(); ++i) {
        if (kManufacturerTags[i].word == manufacturerWord) return static_cast<int>(i);
    }
    return -1;
}

MachineEnvironment* SetMachineEnvironment(MachineEnvironment* environment) {
    MachineEnvironment* previous = g_environment;
    g_environment = environment;
    return previous ? previous : &Win32MachineEnvironment();
}

MachineEnvironment& CurrentMachineEnvironment() {
    return g_environment ? *g_environment : Win32MachineEnvironment();
}

void ClearMachineTables() {
    for (auto& table : ConvertibleTables) table.clear();
    KbDockIds.clear();
    PidVidTable.clear();
    WorkaroundTable.clear();
}

DWORD IdentityFromReply(bool readSucceeded, const HciReadResult& reply, IdentityWord word) {
    if (!readSucceeded) return 0;
    if (reply.status == kIdentityNotSupported) return kIdentityNotSupported;
    return word == IdentityWord::Manufacturer ? reply.value2 : reply.value3;
}

}  // namespace posture

using posture::CurrentMachineEnvironment;
using posture::IdentityWord;

DWORD ReadConfigFile() {
    DBGLOG_FUNCTION_TAG(ReadConfigFile);
    ::TraceScope trace(L"ReadConfigFile", DBGLOG_SITE(::LogLevel::Info));

    // Built as a string: a work path of any length cannot overrun a buffer.
    const std::wstring path = std::wstring(g_workPath) + L"\\" + kConfigFileName;
    const std::vector<std::wstring> allSections = storage::IniFileStorage::SectionNames(path);
    if (allSections.empty()) {
        LOG_ERROR(L"ASSERT( %s )", L"!allSections.empty()");
        return 0;
    }
    for (const std::wstring& name : allSections) {
        storage::StorageHandle section = storage::IniFileStorage::MakeIniStorage(path, name);
        LOG_TRACE(L"Section: %s.", name.c_str());
        if (posture::Contains(name, L"CONVERTIBLE_"))
            posture::ReadConvertibleSection(name, section);
        if (posture::Contains(name, L"KBDOCK_")) posture::ReadKbDockSection(section);
        if (posture::Contains(name, L"PIDVID_")) posture::ReadPidVidSection(section);
        if (posture::Contains(name, L"WORKAROUND_")) posture::ReadWorkaroundSection(section);
    }
    return 0;
}

DWORD GetMachineIdentity(IdentityWord word) {
    DBGLOG_TRACE_FUNCTION(GetMachineIdentity);
    HciReadResult reply{};
    const bool succeeded = CurrentMachineEnvironment().HciRead(kIdentityRegister, reply);
    return posture::IdentityFromReply(succeeded, reply, word);
}

namespace {

struct MachineIdentity {
    DWORD manufacturer;
    DWORD machine;
};

// Waits, reads the manufacturer word, waits 50 ms, reads the machine word:
// the sequence every install check starts with.
MachineIdentity ReadIdentityAfter(posture::MachineEnvironment& environment, DWORD firstWaitMs) {
    environment.Sleep(firstWaitMs);
    const DWORD manufacturer = GetMachineIdentity(IdentityWord::Manufacturer);
    environment.Sleep(posture::kReadWaitMs);
    return {manufacturer, GetMachineIdentity(IdentityWord::Machine)};
}

}  // namespace

DWORD CheckIsConvertible() {
    DBGLOG_TRACE_FUNCTION(CheckIsConvertible);
    posture::MachineEnvironment& environment = CurrentMachineEnvironment();
    const auto [manufacturer, machine] = ReadIdentityAfter(environment, posture::kReadWaitMs);

    const int index = posture::ManufacturerIndex(manufacturer);
    if (index < 0) {
        environment.Sleep(posture::kReadWaitMs);
        return 0;
    }
    const auto& table = ConvertibleTables[static_cast<std::size_t>(index)];
    const auto found = table.find(machine);
    if (posture::IsKnownIdentity(manufacturer, machine) && found != table.end() &&
        found->second != 0) {
        PSVRegWrite_Convertible(found->second);
    }
    environment.Sleep(posture::kReadWaitMs);
    return 0;
}

DWORD CheckIsPidVidKeyboard() {
    DBGLOG_TRACE_FUNCTION(CheckIsPidVidKeyboard);
    posture::MachineEnvironment& environment = CurrentMachineEnvironment();
    const auto [manufacturer, machine] = ReadIdentityAfter(environment, posture::kReadWaitMs);
    LOG_TRACE(L"dwManufacture = 0x%x, dwMachine = 0x%x", manufacturer, machine);

    if (const DWORD* pidVid = posture::FindModel(PidVidTable, manufacturer, machine)) {
        LOG_TRACE(L"is PIDVID Keyboard PIDVID = %x", *pidVid);
        PSVRegWrite_PIDVID(*pidVid);
    }
    return 0;
}

DWORD CheckIsWorkaround() {
    DBGLOG_TRACE_FUNCTION(CheckIsWorkaround);
    posture::MachineEnvironment& environment = CurrentMachineEnvironment();
    const auto [manufacturer, machine] = ReadIdentityAfter(environment, posture::kWorkaroundWaitMs);

    if (posture::FindModel(WorkaroundTable, manufacturer, machine)) {
        LOG_TRACE(L"Need add the workaround");
        PSVRegWrite_WorkAround();
    }
    environment.Sleep(posture::kWorkaroundWaitMs);
    return 0;
}

HRESULT PSVRegWrite_Convertible(DWORD value) {
    DBGLOG_TRACE_FUNCTION(PSVRegWrite_Convertible);
    return posture::WritePostureValue(dbglogFunctionTag, L"Convertible", value,
                                      posture::WriteRule::Always);
}

HRESULT PSVRegWrite_PIDVID(DWORD value) {
    DBGLOG_TRACE_FUNCTION(PSVRegWrite_PIDVID);
    return posture::WritePostureValue(dbglogFunctionTag, L"KeyboardPidVid", value,
                                      posture::WriteRule::OnlyIntoNewKey);
}

HRESULT PSVRegWrite_WorkAround() {
    DBGLOG_TRACE_FUNCTION(PSVRegWrite_WorkAround);
    return posture::WritePostureValue(dbglogFunctionTag, L"NoWorkaround", 1,
                                      posture::WriteRule::OnlyIntoNewKey);
}

DWORD PSVRegRead_DWORD(const wchar_t* name) {
    DBGLOG_TRACE_FUNCTION(PSVRegRead_DWORD);
    return posture::ReadPostureValue(dbglogFunctionTag, name);
}

DWORD PSVRegRead_WorkAround() {
    DBGLOG_FUNCTION_TAG(PSVRegRead_WorkAround);
    return posture::ReadPostureValue(dbglogFunctionTag, L"NoWorkaround");
}
