// The Bluetooth stack's "Radio Support" key under HKEY_LOCAL_MACHINE for one
// test: the key and whichever of its parents were missing are created, and
// removed again at the end; a key that was there keeps its "SupportDLL" as it
// was found. Tests that use it hold the ctest lock "bthport-registry".
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace bttest {

class RadioSupportKey {
public:
    static constexpr const char* kPath =
        "SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio Support";

    RadioSupportKey() {
        const char* parts[] = {"SYSTEM\\CurrentControlSet\\Services\\BTHPORT",
                               "SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters", kPath};
        for (const char* part : parts) {
            if (!Exists(part)) m_created.push_back(part);
            HKEY key = nullptr;
            if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, part, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr) == ERROR_SUCCESS) {
                ::RegCloseKey(key);
            }
        }
        if (m_created.empty()) m_found = Value();
    }
    ~RadioSupportKey() {
        if (!m_created.empty()) {
            ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, m_created.front().c_str());
            ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, m_created.front().c_str());
        } else if (m_found) {
            Set(*m_found, m_foundType);
        } else {
            DeleteValue();
        }
    }
    RadioSupportKey(const RadioSupportKey&) = delete;
    RadioSupportKey& operator=(const RadioSupportKey&) = delete;

    static bool Exists(const char* path = kPath) {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return false;
        }
        ::RegCloseKey(key);
        return true;
    }

    // Stores bytes exactly as given (a string value needs its terminator).
    void Set(const std::string& bytes, DWORD type = REG_SZ) const {
        ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, kPath, "SupportDLL", type, bytes.data(),
                          static_cast<DWORD>(bytes.size()));
    }
    void DeleteValue() const { ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPath, "SupportDLL"); }
    // Removes the key itself, for tests that need it missing.
    void DeleteKey() const { ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPath); }

    // The value's bytes as stored, or nothing when it does not exist.
    std::optional<std::string> Value(DWORD* type = nullptr) {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        DWORD size = 0, valueType = 0;
        std::optional<std::string> bytes;
        if (::RegQueryValueExA(key, "SupportDLL", nullptr, &valueType, nullptr, &size) ==
            ERROR_SUCCESS) {
            std::string data(size, '\0');
            if (::RegQueryValueExA(key, "SupportDLL", nullptr, &valueType,
                                   reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
                data.resize(size);
                bytes = data;
                if (type) *type = valueType;
                m_foundType = valueType;
            }
        }
        ::RegCloseKey(key);
        return bytes;
    }

private:
    std::vector<std::string> m_created;  // outermost first
    std::optional<std::string> m_found;
    DWORD m_foundType = REG_SZ;
};

}  // namespace bttest
