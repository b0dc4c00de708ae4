// The library's decisions over a scripted device: which requests each status
// byte leads to, every return code, and that each opened handle is closed
// once on every way out.
#include "DevicePath.h"
#include "RadioSupport.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "RadioSwitchContract.h"

using namespace btradio;

namespace {

const HANDLE kDevice = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x1234));

// Answers status reads from a script and records every operation.
class ScriptedPort : public RadioPort {
public:
    std::deque<BYTE> statuses;  // one per status read
    bool openFails = false;
    int failingStatusRead = 0;  // 1-based; 0: none fails
    DWORD failingControl = 0;
    std::vector<std::string> calls;
    int opened = 0, closed = 0;

    HANDLE Open() override {
        calls.push_back("open");
        if (openFails) return INVALID_HANDLE_VALUE;
        ++opened;
        return kDevice;
    }
    void Close(HANDLE device) override {
        EXPECT_EQ(device, kDevice);
        calls.push_back("close");
        ++closed;
    }
    int SendControl(HANDLE device, DWORD code) override {
        EXPECT_EQ(device, kDevice);
        calls.push_back(Name(code));
        return code == failingControl ? c_nRequestFailed : 0;
    }
    int QueryStatus(HANDLE device, BYTE* status) override {
        EXPECT_EQ(device, kDevice);
        calls.push_back("status");
        if (++m_reads == failingStatusRead) return c_nRequestFailed;
        EXPECT_FALSE(statuses.empty()) << "more status reads than scripted";
        if (statuses.empty()) return c_nRequestFailed;
        *status = statuses.front();
        statuses.pop_front();
        return 0;
    }
    void Sleep(DWORD milliseconds) override {
        calls.push_back("sleep " + std::to_string(milliseconds));
    }

    static std::string Name(DWORD code) {
        switch (code) {
            case IOCTL_RADIO_DETACH:
                return "detach";
            case IOCTL_RADIO_ATTACH:
                return "attach";
            case IOCTL_RADIO_ON:
                return "on";
            case IOCTL_RADIO_OFF:
                return "off";
            default:
                return "control " + std::to_string(code);
        }
    }

private:
    int m_reads = 0;
};

using Calls = std::vector<std::string>;

struct EnableCase {
    const char* name;
    BOOL enable;
    std::deque<BYTE> statuses;
    DWORD result;
    Calls calls;
};

}  // namespace

TEST(RadioSupport, EnableFollowsTheStatusByte) {
    const EnableCase cases[] = {
        {"on and attached, switch on", TRUE, {0xC1}, 0, {"open", "status", "close"}},
        {"powered, not attached, comes up",
         TRUE,
         {0x81, 0xC1},
         0,
         {"open", "status", "on", "sleep 2100", "attach", "status", "close"}},
        {"powered, not attached, stays down",
         TRUE,
         {0x81, 0x81},
         ERROR_FUNCTION_FAILED,
         {"open", "status", "on", "sleep 2100", "attach", "status", "close"}},
        {"switched on, not powered, comes up",
         TRUE,
         {0x01, 0xC1},
         0,
         {"open", "status", "on", "sleep 2100", "attach", "status", "close"}},
        {"switch off, switch on", TRUE, {0x00}, ERROR_NOT_READY, {"open", "status", "close"}},
        {"switch off but powered, switch on",
         TRUE,
         {0xC0},
         ERROR_NOT_READY,
         {"open", "status", "close"}},
        {"switched on, unpowered, switch off", FALSE, {0x01}, 0, {"open", "status", "close"}},
        {"switch off but attached, switch off",
         FALSE,
         {0xC0},
         0,
         {"open", "status", "detach", "sleep 200", "off", "close"}},
        {"powered only, switch off",
         FALSE,
         {0x80},
         0,
         {"open", "status", "detach", "sleep 200", "off", "close"}},
        {"attached only, switch off",
         FALSE,
         {0x41},
         0,
         {"open", "status", "detach", "sleep 200", "off", "close"}},
    };
    for (const EnableCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort port;
        port.statuses = c.statuses;
        EXPECT_EQ(EnableRadio(port, c.enable), c.result);
        EXPECT_EQ(port.calls, c.calls);
        EXPECT_TRUE(port.statuses.empty());
    }
}

TEST(RadioSupport, FailedRequestsGiveTheirCodesAndCloseTheDevice) {
    {
        ScriptedPort port;
        port.openFails = true;
        BOOL enabled = 7;
        EXPECT_EQ(EnableRadio(port, TRUE), static_cast<DWORD>(ERROR_OPEN_FAILED));
        EXPECT_EQ(QueryRadioEnabled(port, &enabled), static_cast<DWORD>(ERROR_OPEN_FAILED));
        EXPECT_EQ(enabled, 7);
        EXPECT_EQ(port.calls, (Calls{"open", "open"}));
    }
    {
        SCOPED_TRACE("first status read fails");
        ScriptedPort port;
        port.failingStatusRead = 1;
        EXPECT_EQ(EnableRadio(port, TRUE), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.calls, (Calls{"open", "status", "close"}));
    }
    {
        SCOPED_TRACE("switching on fails: no settle time, no attach");
        ScriptedPort port;
        port.statuses = {0x81};
        port.failingControl = IOCTL_RADIO_ON;
        EXPECT_EQ(EnableRadio(port, TRUE), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.calls, (Calls{"open", "status", "on", "close"}));
    }
    {
        SCOPED_TRACE("attach fails");
        ScriptedPort port;
        port.statuses = {0x81};
        port.failingControl = IOCTL_RADIO_ATTACH;
        EXPECT_EQ(EnableRadio(port, TRUE), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.calls, (Calls{"open", "status", "on", "sleep 2100", "attach", "close"}));
    }
    {
        SCOPED_TRACE("second status read fails");
        ScriptedPort port;
        port.statuses = {0x81};
        port.failingStatusRead = 2;
        EXPECT_EQ(EnableRadio(port, TRUE), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.closed, 1);
    }
    {
        SCOPED_TRACE("detach fails: the module is not powered off");
        ScriptedPort port;
        port.statuses = {0xC0};
        port.failingControl = IOCTL_RADIO_DETACH;
        EXPECT_EQ(EnableRadio(port, FALSE), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.calls, (Calls{"open", "status", "detach", "close"}));
    }
    {
        SCOPED_TRACE("power off fails");
        ScriptedPort port;
        port.statuses = {0xC0};
        port.failingControl = IOCTL_RADIO_OFF;
        EXPECT_EQ(EnableRadio(port, FALSE), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.closed, 1);
    }
    {
        SCOPED_TRACE("status read fails while asked for the state");
        ScriptedPort port;
        port.failingStatusRead = 1;
        BOOL enabled = 7;
        EXPECT_EQ(QueryRadioEnabled(port, &enabled), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(enabled, 7);
        EXPECT_EQ(port.calls, (Calls{"open", "status", "close"}));
    }
}

TEST(RadioSupport, OnlyTwoStatusBytesMeanOn) {
    for (int value = 0; value < 256; ++value) {
        ScriptedPort port;
        port.statuses = {static_cast<BYTE>(value)};
        BOOL enabled = 7;
        ASSERT_EQ(QueryRadioEnabled(port, &enabled), 0u);
        EXPECT_EQ(enabled, value == 0xC1 || value == 0x81 ? 1 : 0) << value;
        EXPECT_EQ(port.calls, (Calls{"open", "status", "close"}));
    }
    ScriptedPort port;
    EXPECT_EQ(QueryRadioEnabled(port, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(port.calls.empty());
}

TEST(RadioSupport, SequencesRefuseAnInvalidHandle) {
    ScriptedPort port;
    EXPECT_EQ(RadioOnSequence(port, INVALID_HANDLE_VALUE), c_nInvalidHandle);
    EXPECT_EQ(RadioOffSequence(port, INVALID_HANDLE_VALUE), c_nInvalidHandle);
    BYTE status = 0x55;
    EXPECT_EQ(QueryRadioStatus(INVALID_HANDLE_VALUE, &status), c_nInvalidHandle);
    EXPECT_EQ(SendRadioControl(INVALID_HANDLE_VALUE, IOCTL_RADIO_ON), c_nRequestFailed);
    EXPECT_EQ(status, 0x55);
    EXPECT_TRUE(port.calls.empty());
}

TEST(RadioSupport, DevicePathsAreCopiedWholeOrNotAtAll) {
    char path[8];
    std::memset(path, 'x', sizeof path);
    EXPECT_TRUE(CopyDevicePath("\\\\?\\abc", path, sizeof path));  // 7 characters and the end
    EXPECT_STREQ(path, "\\\\?\\abc");
    std::memset(path, 'x', sizeof path);
    EXPECT_FALSE(CopyDevicePath("\\\\?\\abcd", path, sizeof path));
    EXPECT_STREQ(path, "");
    const std::string longPath = "\\\\?\\" + std::string(2000, 'a');
    std::vector<char> buffer(c_nDevicePathCapacity, 'x');
    EXPECT_FALSE(CopyDevicePath(longPath.c_str(), buffer.data(), buffer.size()));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');  // nothing written past what it reports
}
