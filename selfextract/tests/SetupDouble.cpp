// A substitute for the package's setup program: records how it was started
// (command line, working folder, its own path, the files beside it) into the
// file named by NRV_SETUP_RECORD, one item a line, and exits with the code
// in NRV_SETUP_EXIT (0 when unset).
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t record[MAX_PATH];
    wchar_t exitText[32];
    if (::GetEnvironmentVariableW(L"NRV_SETUP_EXIT", exitText, 32) == 0) exitText[0] = L'\0';
    if (::GetEnvironmentVariableW(L"NRV_SETUP_RECORD", record, MAX_PATH) > 0) {
        std::wstring text = ::GetCommandLineW();
        wchar_t folder[MAX_PATH];
        ::GetCurrentDirectoryW(MAX_PATH, folder);
        wchar_t self[MAX_PATH];
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        text += L"\n";
        text += folder;
        text += L"\n";
        text += self;
        text += L"\n";
        WIN32_FIND_DATAW found;
        HANDLE find = ::FindFirstFileW((std::wstring(folder) + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    text += std::wstring(found.cFileName) + L" ";
            } while (::FindNextFileW(find, &found));
            ::FindClose(find);
        }
        text += L"\n";
        const int n =
            ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(n), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), n, nullptr, nullptr);
        bytes.resize(static_cast<size_t>(n - 1));
        HANDLE file = ::CreateFileW(record, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            ::CloseHandle(file);
        }
    }
    return exitText[0] != L'\0' ? _wtoi(exitText) : 0;
}
