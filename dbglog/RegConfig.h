// Owner of one open registry key for writing a configuration value:
//
//     RegConfigAccess access;
//     if (SUCCEEDED(access.Open(HKEY_LOCAL_MACHINE, L"SYSTEM\\...\\Parameters", KEY_ALL_ACCESS)))
//         access.SetValue(L"LEDSTATE", REG_DWORD, state);
//
// Every failure is logged and returned as an HRESULT; nothing throws. The
// destructor closes the key, so destroying an object whose key is not open
// logs one E_HANDLE record.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

// Registry error codes as HRESULTs: 0x80070000 plus the code's low 16 bits;
// zero and negative values pass unchanged.
HRESULT HResultFromRegistryError(LONG error);

class RegConfigAccess {
public:
    RegConfigAccess() = default;
    virtual ~RegConfigAccess();
    RegConfigAccess(const RegConfigAccess&) = delete;
    RegConfigAccess& operator=(const RegConfigAccess&) = delete;

    // E_HANDLE when a key is open already, E_POINTER without a sub key.
    HRESULT Open(HKEY root, const wchar_t* subKey, REGSAM access);
    // Writes the 4 bytes of data with the given registry type (REG_DWORD for
    // a number). E_HANDLE when no key is open.
    HRESULT SetValue(const wchar_t* name, DWORD type, DWORD data);
    // Closes the key; a key that fails to close stays held. E_HANDLE when no
    // key is open.
    HRESULT Close();

    bool IsOpen() const { return m_key.valid(); }

private:
    nrv::UniqueHKey m_key;
};
