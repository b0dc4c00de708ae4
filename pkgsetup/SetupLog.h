// The setup program's log: one plain-text line per step, "date time  step:
// result", appended to the file named by "-log" (or pkgsetup.log in the
// temporary folder). Each line is written through at once, so a log read
// while the setup runs, or after it was ended, holds every finished step.
#pragma once

#include <windows.h>

#include <string>

#include "UniqueHandle.h"

namespace pkgsetup {

class SetupLog {
public:
    // Opens (creating, and its folder too when missing) the file at path.
    explicit SetupLog(const std::wstring& path);
    bool IsOpen() const { return m_file.valid(); }
    const std::wstring& Path() const { return m_path; }

    void Write(const std::wstring& step, const std::wstring& result);
    // A failed step with the Windows error and its text.
    void Failure(const std::wstring& step, const std::wstring& what, DWORD error);

private:
    nrv::UniqueFileHandle m_file;
    std::wstring m_path;
};

// "error N: text" for a Windows error code.
std::wstring DescribeError(DWORD error);

}  // namespace pkgsetup
