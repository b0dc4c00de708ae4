// The posture service's machine configuration: the model tables read from
// "POSTURESVC.ini" beside the program, the machine identity read from the
// firmware, the install checks that match one against the other, and the
// registry values that carry their decisions to every service start.
//
//     ReadConfigFile();            // at every program start, after g_workPath is set
//     CheckIsWorkaround();         // "/CHECK_AND_INSTALL", in this order
//     CheckIsConvertible();
//     CheckIsPidVidKeyboard();
//     DWORD convertible = PSVRegRead_DWORD(L"Convertible");  // -1 when absent
//
// Every system call goes through a MachineEnvironment; the program uses the
// Win32 one, tests put in their own (virtual clock, scripted firmware).
#pragma once

#include "VadChannel.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <vector>

// Directory of the executable, without trailing backslash; set by the
// program before ReadConfigFile.
extern wchar_t g_workPath[1024];

inline constexpr const wchar_t kConfigFileName[] = L"POSTURESVC.ini";
inline constexpr const wchar_t kPostureServiceKey[] =
    L"SOFTWARE\\NORVALE\\NORVALE System Driver\\NORVALE Posture Service";

// Register of the value-added device that answers the machine identity.
inline constexpr ULONG kIdentityRegister = 0x96;
// Status word of a register the firmware does not support.
inline constexpr DWORD kIdentityNotSupported = 0x8000;

namespace posture {

struct ManufacturerTag {
    const wchar_t* tag;  // substring of a "CONVERTIBLE_" section name
    DWORD word;          // manufacturer word of the firmware
};

// In the order they are tried on a section name; ConvertibleTables has one
// map per entry, at the same index.
inline constexpr std::array<ManufacturerTag, 6> kManufacturerTags = {{
    {L"QUANTA_", 0xFF50},
    {L"PEGATRON_", 0xFF40},
    {L"COMPAL_", 0xFF00},
    {L"INVENTEC_", 0xFF10},
    {L"BYD_", 0xFF70},
    {L"INHOUSE_", 1},
}};

// Index into kManufacturerTags (and ConvertibleTables) of a manufacturer
// word; -1 for any other word.
int ManufacturerIndex(DWORD manufacturerWord);

// One open posture service key, closed when destroyed.
class PostureKey {
public:
    virtual ~PostureKey() = default;
    // A REG_DWORD value; false when the write fails.
    virtual bool SetDword(const wchar_t* name, DWORD value) = 0;
    // The first 4 bytes of the value, whatever its type; false when the
    // query fails (also for a value longer than 4 bytes).
    virtual bool QueryDword(const wchar_t* name, DWORD& value) = 0;
};

// What the machine configuration needs of the system.
class MachineEnvironment {
public:
    virtual ~MachineEnvironment() = default;
    // One read of a register of the value-added device.
    virtual bool HciRead(ULONG registerNumber, HciReadResult& result) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    // Opens or creates the posture service key (non-volatile, full access);
    // null when neither works. created tells whether this call created it.
    virtual std::unique_ptr<PostureKey> CreatePostureKey(bool& created) = 0;
    // Opens the existing key with full access; null when that fails.
    virtual std::unique_ptr<PostureKey> OpenPostureKey() = 0;
};

// The real one: the device channel, ::Sleep and HKEY_LOCAL_MACHINE.
MachineEnvironment& Win32MachineEnvironment();

// Puts in the environment the functions below use; null puts the Win32 one
// back. Returns the one used before.
MachineEnvironment* SetMachineEnvironment(MachineEnvironment* environment);
MachineEnvironment& CurrentMachineEnvironment();

// Empties the four tables, for a fresh read of another file in tests; the
// program itself reads once and never clears them.
void ClearMachineTables();

enum class IdentityWord {
    Manufacturer,  // output word 2 of the reply: the model family code
    Machine,       // output word 3: the machine identifier
};

// The identity word as a reply gives it: 0 when the read failed,
// kIdentityNotSupported when the status is exactly that, else the word.
DWORD IdentityFromReply(bool readSucceeded, const HciReadResult& reply, IdentityWord word);

}  // namespace posture

// Tables filled once by ReadConfigFile; afterwards read without a lock.
extern std::array<std::map<DWORD, DWORD>, posture::kManufacturerTags.size()>
    ConvertibleTables;                                       // machine id -> Convertible
extern std::vector<DWORD> KbDockIds;                         // in file order
extern std::map<DWORD, std::map<DWORD, DWORD>> PidVidTable;  // manufacturer -> machine -> PID/VID
extern std::map<DWORD, std::map<DWORD, DWORD>> WorkaroundTable;  // manufacturer -> machine -> 1

// Reads g_workPath\POSTURESVC.ini into the tables. Returns 0.
DWORD ReadConfigFile();

// One identity word through one read of register 0x96.
DWORD GetMachineIdentity(posture::IdentityWord word);

// The install checks: each reads the identity and records its decision in
// the registry. Return 0.
DWORD CheckIsConvertible();
DWORD CheckIsPidVidKeyboard();
DWORD CheckIsWorkaround();

// 0, or E_FAIL when the key can be neither opened nor created. Convertible
// is written always; the other two only when this call created the key.
HRESULT PSVRegWrite_Convertible(DWORD value);
HRESULT PSVRegWrite_PIDVID(DWORD value);
HRESULT PSVRegWrite_WorkAround();

// The stored value, or -1 (0xFFFFFFFF) when the key or value cannot be read.
DWORD PSVRegRead_DWORD(const wchar_t* name);
DWORD PSVRegRead_WorkAround();
