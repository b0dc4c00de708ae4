// For the tests that talk to the loaded simulated device: opens with the
// modes the services use, plain DeviceIoControl requests, and a fixture that
// resets the device before each test.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"
#include "UniqueHandle.h"
#include "VadSimClient.h"
#include "VadSimControl.h"

namespace vadtest {

// The device table's open modes: HWPLZ read, shared for reading; HWPLD no
// access, not shared; HWPLG read, shared for reading, overlapped (the
// presence probe opens it without).
inline nrv::UniqueFileHandle Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags) {
    return nrv::UniqueFileHandle(
        ::CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr));
}
inline nrv::UniqueFileHandle OpenHwplz() {
    return Open(vad::kRegisterDevicePath, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
}
inline nrv::UniqueFileHandle OpenHwpld() {
    return Open(vad::kDirectDevicePath, 0, 0, FILE_ATTRIBUTE_NORMAL);
}
inline nrv::UniqueFileHandle OpenHwplg() {
    return Open(vad::kEventDevicePath, GENERIC_READ, FILE_SHARE_READ,
                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
}
inline nrv::UniqueFileHandle OpenHwplgProbe() {
    return Open(vad::kEventDevicePath, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
}

struct Result {
    bool ok = false;
    DWORD error = 0;  // when !ok
    DWORD bytes = 0;
};

inline Result Control(HANDLE device, DWORD code, const void* input, DWORD inputLength, void* output,
                      DWORD outputLength) {
    Result result;
    result.ok = ::DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output,
                                  outputLength, &result.bytes, nullptr) != FALSE;
    if (!result.ok) result.error = ::GetLastError();
    return result;
}

struct RegisterResult : Result {
    vad::RegisterBlock out = {};
};

inline RegisterResult Exchange(HANDLE device, const vad::RegisterBlock& in, DWORD inputLength = 24,
                               DWORD outputLength = 24) {
    RegisterResult result;
    static_cast<Result&>(result) =
        Control(device, IOCTL_HWPL_REGISTER, &in, inputLength, &result.out, outputLength);
    return result;
}

// As the posture service reads and writes: open HWPLD, one request, close.
inline RegisterResult ExchangeOnHwpld(const vad::RegisterBlock& in) {
    nrv::UniqueFileHandle device = OpenHwpld();
    return Exchange(device.get(), in);
}

constexpr vad::RegisterBlock kReadIdentity = {{vad::kFunctionRead, 0x96, 0, 0, 0, 0}};

struct MethodResult : Result {
    vad::MethodReply reply = {};
};

// As the posture service evaluates a method: HWPLZ opened for it, a zeroed
// OVERLAPPED on a handle that is not overlapped.
inline MethodResult Evaluate(const char (&name)[5]) {
    nrv::UniqueFileHandle device = OpenHwplz();
    const vad::MethodRequest request = {0, 8, vad::kMethodSignature, vad::MethodName(name), {}};
    OVERLAPPED overlapped = {};
    MethodResult result;
    result.ok =
        ::DeviceIoControl(device.get(), IOCTL_HWPL_EVAL_METHOD,
                          const_cast<vad::MethodRequest*>(&request), sizeof request, &result.reply,
                          sizeof result.reply, &result.bytes, &overlapped) != FALSE;
    if (!result.ok) result.error = ::GetLastError();
    return result;
}

// Whether an open is refused with error. On Windows the refusal fails
// CreateFile; Wine opens the handle whatever IRP_MJ_CREATE answers, and the
// device then fails every request on it with the refusal.
inline ::testing::AssertionResult OpenIsRefused(nrv::UniqueFileHandle (*open)(), DWORD error) {
    nrv::UniqueFileHandle handle = open();
    const DWORD failure = handle ? Exchange(handle.get(), kReadIdentity).error : ::GetLastError();
    if (failure == error) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the open or its request failed with " << failure;
}

// Whether an open gives a handle the device serves (HWPLG refuses register
// requests as such, not as a refused handle).
inline ::testing::AssertionResult OpenWorks(nrv::UniqueFileHandle (*open)()) {
    nrv::UniqueFileHandle handle = open();
    if (!handle) return ::testing::AssertionFailure() << "CreateFile: " << ::GetLastError();
    const RegisterResult r = Exchange(handle.get(), kReadIdentity);
    if (r.ok || r.error == ERROR_INVALID_FUNCTION) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "a request on the handle failed with " << r.error;
}

class DeviceTest : public ::testing::Test {
protected:
    vadsim::ControlChannel control;

    void SetUp() override {
        ASSERT_TRUE(control.Open()) << "the simulated device is not loaded: " << control.Error();
        ASSERT_TRUE(control.Reset()) << control.Error();
    }

    // The log's entries of one kind.
    std::vector<vadsim::LogEntry> Logged(ULONG kind) {
        std::vector<vadsim::LogEntry> all, some;
        EXPECT_TRUE(control.ReadLog(&all)) << control.Error();
        for (const vadsim::LogEntry& entry : all) {
            if (entry.kind == kind) some.push_back(entry);
        }
        return some;
    }

    vadsim::DeviceState State() {
        vadsim::DeviceState state = {};
        EXPECT_TRUE(control.QueryState(&state)) << control.Error();
        return state;
    }
};

// Runs vadctl.exe (beside the test binary) with both output streams captured;
// its text-mode line ends are folded to "\n".
inline testsupport::ProcessResult RunVadctl(const std::wstring& args) {
    testsupport::ProcessOptions options;
    options.captureStandardError = true;
    options.captureStandardOutput = true;
    testsupport::ProcessResult result =
        testsupport::RunProcess(testsupport::ExeDirectory() + L"\\vadctl.exe", args, options);
    std::erase(result.standardOutput, '\r');
    return result;
}

}  // namespace vadtest
