// The machine configuration's system calls: the value-added device, Sleep
// and the posture service key under HKEY_LOCAL_MACHINE.
#include "MachineConfig.h"

#include "UniqueHandle.h"

namespace posture {
namespace {

class Win32PostureKey : public PostureKey {
public:
    explicit Win32PostureKey(nrv::UniqueHKey key) : m_key(std::move(key)) {}

    bool SetDword(const wchar_t* name, DWORD value) override {
        return ::RegSetValueExW(m_key.get(), name, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&value),
                                sizeof(value)) == ERROR_SUCCESS;
    }

    bool QueryDword(const wchar_t* name, DWORD& value) override {
        DWORD size = sizeof(value);
        return ::RegQueryValueExW(m_key.get(), name, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
    }

private:
    nrv::UniqueHKey m_key;
};

class Win32Environment : public MachineEnvironment {
public:
    bool HciRead(ULONG registerNumber, HciReadResult& result) override {
        CHwpldCtrlMgr channel;
        return channel.HciRead(registerNumber, result);
    }

    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

    std::unique_ptr<PostureKey> CreatePostureKey(bool& created) override {
        nrv::UniqueHKey key;
        DWORD disposition = 0;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPostureServiceKey, 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                              &disposition) != ERROR_SUCCESS) {
            return nullptr;
        }
        created = disposition == REG_CREATED_NEW_KEY;
        return std::make_unique<Win32PostureKey>(std::move(key));
    }

    std::unique_ptr<PostureKey> OpenPostureKey() override {
        nrv::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPostureServiceKey, 0, KEY_ALL_ACCESS, key.put()) !=
            ERROR_SUCCESS) {
            return nullptr;
        }
        return std::make_unique<Win32PostureKey>(std::move(key));
    }
};

}  // namespace

MachineEnvironment& Win32MachineEnvironment() {
    static Win32Environment environment;
    return environment;
}

}  // namespace posture
