// A machine for the configuration's decisions: scripted identity replies, a
// virtual clock behind Sleep and an in-memory posture service key.
#pragma once

#include "MachineConfig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace posturetest {

class FakeMachine : public posture::MachineEnvironment {
public:
    // What register 0x96 answers.
    bool readSucceeds = true;
    ULONG status = 0;
    DWORD manufacturer = 0;
    DWORD machine = 0;

    // The key: whether it exists, whether it can be opened or created at all.
    bool keyExists = false;
    bool keyFails = false;
    std::map<std::wstring, DWORD> values;
    int valueWrites = 0;

    // Virtual milliseconds slept, and every sleep and read in order
    // ("sleep 50", "read 0x96").
    ULONGLONG now = 0;
    std::vector<std::string> steps;

    bool HciRead(ULONG registerNumber, HciReadResult& result) override {
        char text[32];
        std::snprintf(text, sizeof(text), "read 0x%lx", static_cast<unsigned long>(registerNumber));
        steps.push_back(text);
        if (!readSucceeds) return false;
        result = {status, manufacturer, machine};
        return true;
    }

    void Sleep(DWORD milliseconds) override {
        now += milliseconds;
        steps.push_back("sleep " + std::to_string(milliseconds));
    }

    std::unique_ptr<posture::PostureKey> CreatePostureKey(bool& created) override {
        if (keyFails) return nullptr;
        created = !keyExists;
        keyExists = true;
        return std::make_unique<Key>(*this);
    }

    std::unique_ptr<posture::PostureKey> OpenPostureKey() override {
        if (keyFails || !keyExists) return nullptr;
        return std::make_unique<Key>(*this);
    }

    // The whole "/CHECK_AND_INSTALL" sequence of checks.
    void RunInstallChecks();

private:
    class Key : public posture::PostureKey {
    public:
        explicit Key(FakeMachine& owner) : m_owner(owner) {}
        bool SetDword(const wchar_t* name, DWORD value) override {
            m_owner.values[name] = value;
            ++m_owner.valueWrites;
            return true;
        }
        bool QueryDword(const wchar_t* name, DWORD& value) override {
            const auto found = m_owner.values.find(name);
            if (found == m_owner.values.end()) return false;
            value = found->second;
            return true;
        }

    private:
        FakeMachine& m_owner;
    };
};

inline void FakeMachine::RunInstallChecks() {
    EXPECT_EQ(CheckIsWorkaround(), 0u);
    EXPECT_EQ(CheckIsConvertible(), 0u);
    EXPECT_EQ(CheckIsPidVidKeyboard(), 0u);
}

// Puts an environment in place for the life of the object, through the
// function that sets it, and the one used before back when destroyed.
template <typename Environment, Environment* (*Set)(Environment*)>
class UseEnvironmentOf {
public:
    explicit UseEnvironmentOf(Environment& environment) : m_previous(Set(&environment)) {}
    ~UseEnvironmentOf() { Set(m_previous); }
    UseEnvironmentOf(const UseEnvironmentOf&) = delete;
    UseEnvironmentOf& operator=(const UseEnvironmentOf&) = delete;

private:
    Environment* m_previous;
};

using UseEnvironment =
    UseEnvironmentOf<posture::MachineEnvironment, posture::SetMachineEnvironment>;

// Points g_workPath at a folder.
inline void SetWorkPath(const std::wstring& folder) {
    ASSERT_LT(folder.size(), std::size(g_workPath));
    folder.copy(g_workPath, folder.size());
    g_workPath[folder.size()] = L'\0';
}

}  // namespace posturetest
