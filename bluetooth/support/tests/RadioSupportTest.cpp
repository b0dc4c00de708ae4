// What the real driver cannot be made to do on demand: a failing switching
// request at each step of the sequences (each one a device error, with the
// handle closed once and nothing sent after it), and device paths that do
// not fit the library's buffer.
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

// Answers status reads from a script, fails one request, records each call.
class ScriptedPort : public RadioPort {
public:
    std::deque<BYTE> statuses;
    DWORD failing = 0;  // a control code, or IOCTL_RADIO_GET_STATUS for the last status read
    std::vector<std::string> calls;

    HANDLE Open() override {
        calls.push_back("open");
        return kDevice;
    }
    void Close(HANDLE device) override {
        EXPECT_EQ(device, kDevice);
        calls.push_back("close");
    }
    int SendControl(HANDLE, DWORD code) override {
        calls.push_back(code == IOCTL_RADIO_ON       ? "on"
                        : code == IOCTL_RADIO_ATTACH ? "attach"
                        : code == IOCTL_RADIO_DETACH ? "detach"
                        : code == IOCTL_RADIO_OFF    ? "off"
                                                     : "other");
        return code == failing ? c_nRequestFailed : 0;
    }
    int QueryStatus(HANDLE, BYTE* status) override {
        calls.push_back("status");
        if (statuses.empty()) return c_nRequestFailed;
        *status = statuses.front();
        statuses.pop_front();
        return failing == IOCTL_RADIO_GET_STATUS && statuses.empty() ? c_nRequestFailed : 0;
    }
    void Sleep(DWORD milliseconds) override {
        calls.push_back("sleep " + std::to_string(milliseconds));
    }
};

using Calls = std::vector<std::string>;

}  // namespace

TEST(RadioSupport, EachFailedRequestIsADeviceError) {
    const struct {
        BOOL enable;
        std::deque<BYTE> statuses;
        DWORD failing;
        Calls calls;
    } cases[] = {
        {TRUE, {0x81}, IOCTL_RADIO_GET_STATUS, {"open", "status", "close"}},
        {TRUE, {0x81}, IOCTL_RADIO_ON, {"open", "status", "on", "close"}},
        {TRUE,
         {0x81},
         IOCTL_RADIO_ATTACH,
         {"open", "status", "on", "sleep 2100", "attach", "close"}},
        {TRUE,
         {0x81, 0xC1},
         IOCTL_RADIO_GET_STATUS,
         {"open", "status", "on", "sleep 2100", "attach", "status", "close"}},
        {FALSE, {0xC0}, IOCTL_RADIO_DETACH, {"open", "status", "detach", "close"}},
        {FALSE, {0xC0}, IOCTL_RADIO_OFF, {"open", "status", "detach", "sleep 200", "off", "close"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.calls));
        ScriptedPort port;
        port.statuses = c.statuses;
        port.failing = c.failing;
        EXPECT_EQ(EnableRadio(port, c.enable), static_cast<DWORD>(ERROR_IO_DEVICE));
        EXPECT_EQ(port.calls, c.calls);
    }
    ScriptedPort port;
    port.statuses = {0xC1};
    port.failing = IOCTL_RADIO_GET_STATUS;
    BOOL enabled = 7;
    EXPECT_EQ(QueryRadioEnabled(port, &enabled), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(enabled, 7);
    EXPECT_EQ(port.calls, (Calls{"open", "status", "close"}));
    // An invalid handle is refused before anything is sent.
    EXPECT_EQ(RadioOnSequence(port, INVALID_HANDLE_VALUE), c_nInvalidHandle);
    EXPECT_EQ(RadioOffSequence(port, INVALID_HANDLE_VALUE), c_nInvalidHandle);
    EXPECT_EQ(QueryRadioStatus(INVALID_HANDLE_VALUE, nullptr), c_nInvalidHandle);
    EXPECT_EQ(port.calls.size(), 3u);
}

TEST(RadioSupport, DevicePathsAreCopiedWholeOrNotAtAll) {
    char path[8];
    EXPECT_TRUE(CopyDevicePath("\\\\?\\abc", path, sizeof path));  // 7 characters and the end
    EXPECT_STREQ(path, "\\\\?\\abc");
    EXPECT_FALSE(CopyDevicePath("\\\\?\\abcd", path, sizeof path));
    EXPECT_STREQ(path, "");
    const std::string longPath = "\\\\?\\" + std::string(2000, 'a');
    std::vector<char> buffer(c_nDevicePathCapacity, 'x');
    EXPECT_FALSE(CopyDevicePath(longPath.c_str(), buffer.data(), buffer.size()));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');  // nothing written past what it reports
}
