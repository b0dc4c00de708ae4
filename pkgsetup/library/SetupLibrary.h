// DEDUZ45O.DLL, the setup program's library: copying with verification and
// the file digest the verification uses. pkgsetup loads it by name from its
// own folder and finds these exports under their plain names.
#pragma once

#include <windows.h>

extern "C" {

// CRC-32 (the ZIP polynomial) and size of a file's contents. Returns a
// Windows error code (0 on success).
typedef DWORD(WINAPI* DzFileDigestFunction)(const wchar_t* path, DWORD* crc, ULONGLONG* size);

// Copies source to target through a temporary file beside target, checks the
// copy against the source (size and CRC-32) and then puts it in target's
// place. When target is in use and cannot be replaced, the checked copy is
// scheduled to replace it at the next restart and the result is
// ERROR_SUCCESS_REBOOT_REQUIRED (3010). Any other result but 0 is the
// Windows error of the step that failed; target is then unchanged and no
// temporary file is left.
typedef DWORD(WINAPI* DzCopyVerifiedFunction)(const wchar_t* source, const wchar_t* target);
}

namespace pkgsetup {
inline constexpr wchar_t kLibraryName[] = L"DEDUZ45O.DLL";
inline constexpr char kFileDigestExport[] = "DzFileDigest";
inline constexpr char kCopyVerifiedExport[] = "DzCopyVerified";
}  // namespace pkgsetup
