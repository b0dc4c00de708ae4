// The library as the Bluetooth stack loads it, against the real radio switch
// driver above the simulated ACPI firmware device: its return codes, and
// what the firmware saw (the method log), for each status byte of interest.
#include "BtSimClient.h"
#include "RadioSupportKey.h"
#include "StackHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using bttest::RadioSupportKey;
using bttest::StackHost;

namespace {

struct Evaluation {
    std::string method;
    double ms;  // since the first entry of the log
};

class RadioDevice : public ::testing::Test {
protected:
    acpibt::ControlChannel firmware;
    RadioSupportKey key;
    StackHost stack{key};

    void SetUp() override {
        ASSERT_TRUE(firmware.Open()) << "the simulated firmware device is not loaded";
        ASSERT_TRUE(stack.Loaded());
        ASSERT_TRUE(testsupport::WaitFor([] { return acpibt::FindRadioInterface().has_value(); }))
            << "the radio switch interface is not there";
        ASSERT_TRUE(firmware.Reset());
    }
    void TearDown() override {
        firmware.Reset();
        if (!acpibt::FindRadioInterface()) {
            // Plugged in again, the driver's start finds the switch off and
            // its power-on thread ends after two status reads.
            firmware.PlugAndWaitForStart();
            ::Sleep(300);
            firmware.Reset();
        }
    }

    // Sets the module's status byte and forgets what was evaluated so far.
    void Start(ULONG status, const acpibt::Script& script = {}) {
        ASSERT_TRUE(firmware.Reset());
        ASSERT_TRUE(firmware.SetScript(script));
        ASSERT_TRUE(firmware.SetStatus(status));
        ASSERT_TRUE(firmware.ClearLog());
    }

    std::vector<Evaluation> Evaluations() {
        std::vector<acpibt::LogEntry> entries;
        EXPECT_TRUE(firmware.ReadLog(&entries));
        std::vector<Evaluation> evaluations;
        for (const acpibt::LogEntry& entry : entries) {
            if (entry.kind != acpibt::kEventMethod) continue;
            evaluations.push_back({acpibt::MethodName(entry.code),
                                   static_cast<double>(entry.timeUs - entries[0].timeUs) / 1000.0});
        }
        return evaluations;
    }
    // The evaluated methods in order, the status reads left out.
    std::vector<std::string> Switching() {
        std::vector<std::string> methods;
        for (const Evaluation& e : Evaluations()) {
            if (e.method != "BTST") methods.push_back(e.method);
        }
        return methods;
    }
    ULONG Status() {
        acpibt::State state{};
        EXPECT_TRUE(firmware.QueryState(&state));
        return state.statusByte;
    }
};

using Methods = std::vector<std::string>;

}  // namespace

TEST_F(RadioDevice, StateIsOnForTwoStatusBytesOnly) {
    for (ULONG status : {0xC1u, 0x81u, 0xC0u, 0x01u, 0x00u, 0x41u}) {
        SCOPED_TRACE(status);
        Start(status);
        BOOL enabled = 7;
        EXPECT_EQ(stack.IsEnabled(&enabled), 0u);
        EXPECT_EQ(enabled, status == 0xC1 || status == 0x81 ? 1 : 0);
        EXPECT_EQ(Evaluations().size(), 1u) << "one status read, nothing switched";
    }
    Start(0xC1);
    EXPECT_EQ(stack.IsEnabled(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Evaluations().empty());
}

TEST_F(RadioDevice, NothingIsSwitchedWhenNothingHasToBe) {
    Start(0xC1);
    EXPECT_EQ(stack.Enable(TRUE), 0u);
    EXPECT_EQ(Evaluations().size(), 1u);

    Start(0x00);
    EXPECT_EQ(stack.Enable(TRUE), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(Evaluations().size(), 1u);
    EXPECT_EQ(Status(), 0x00u);

    Start(0x01);
    EXPECT_EQ(stack.Enable(FALSE), 0u);
    EXPECT_EQ(Evaluations().size(), 1u);
    EXPECT_EQ(Status(), 0x01u);
}

TEST_F(RadioDevice, SwitchingOnAttachesThePoweredModuleAfterItsSettleTime) {
    Start(0x81);
    EXPECT_EQ(stack.Enable(TRUE), 0u);
    EXPECT_EQ(Switching(), Methods{"AUSB"});
    EXPECT_EQ(Status(), 0xC1u);
    // The last evaluation of the "on" request and the first of "attach" lie
    // the library's 2100 ms apart.
    const std::vector<Evaluation> all = Evaluations();
    size_t attach = 0;
    while (attach < all.size() && all[attach].method != "AUSB") ++attach;
    ASSERT_GE(attach, 2u);
    EXPECT_GE(all[attach - 1].ms - all[attach - 2].ms, 2090.0);
    EXPECT_EQ(all.back().method, "BTST");

    // The module does not come up on USB: the call says so.
    acpibt::Script neverAttached{};
    neverAttached.attachNever = 1;
    Start(0x81, neverAttached);
    EXPECT_EQ(stack.Enable(TRUE), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    EXPECT_EQ(Switching(), Methods{"AUSB"});
    EXPECT_EQ(Status(), 0x81u);
}

TEST_F(RadioDevice, SwitchingOffDetachesAndPowersOff) {
    Start(0xC0);
    BOOL enabled = 7;
    EXPECT_EQ(stack.IsEnabled(&enabled), 0u);
    EXPECT_EQ(enabled, 0);
    ASSERT_TRUE(firmware.ClearLog());

    EXPECT_EQ(stack.Enable(FALSE), 0u);
    EXPECT_EQ(Switching(), (Methods{"DUSB", "BTPF"}));
    EXPECT_EQ(Status(), 0x00u);
    // The library waits 200 ms between its "detach" and "off" requests.
    const std::vector<Evaluation> all = Evaluations();
    size_t detach = 0;
    while (detach < all.size() && all[detach].method != "DUSB") ++detach;
    ASSERT_LT(detach + 1, all.size());
    EXPECT_GE(all[detach + 1].ms - all[detach].ms, 195.0);
}

TEST_F(RadioDevice, FailedRequestsAreDeviceErrors) {
    Start(0xC1);
    ASSERT_TRUE(firmware.Fail(acpibt::kBTST, static_cast<LONG>(0xC0000001)));
    BOOL enabled = 7;
    EXPECT_EQ(stack.IsEnabled(&enabled), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(enabled, 7);
    EXPECT_EQ(stack.Enable(TRUE), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_TRUE(Switching().empty());
}

TEST_F(RadioDevice, WithoutTheDeviceNothingOpens) {
    ASSERT_TRUE(firmware.SetPresent(false));
    ASSERT_TRUE(testsupport::WaitFor([] { return !acpibt::FindRadioInterface().has_value(); }));
    BOOL enabled = 7;
    EXPECT_EQ(stack.IsEnabled(&enabled), static_cast<DWORD>(ERROR_OPEN_FAILED));
    EXPECT_EQ(stack.Enable(TRUE), static_cast<DWORD>(ERROR_OPEN_FAILED));
    EXPECT_EQ(enabled, 7);
}

// The device is opened unshared, but the driver accepts every open: a call
// made while another one holds the device open is served, not refused.
TEST_F(RadioDevice, ConcurrentCallsAreBothServed) {
    Start(0x81);
    DWORD switching = 0xFFFFFFFF;
    std::thread on([&] { switching = stack.Enable(TRUE); });
    ::Sleep(700);  // inside the 2100 ms settle time
    BOOL enabled = 7;
    EXPECT_EQ(stack.IsEnabled(&enabled), 0u);
    EXPECT_EQ(enabled, 1);
    on.join();
    EXPECT_EQ(switching, 0u);
}
