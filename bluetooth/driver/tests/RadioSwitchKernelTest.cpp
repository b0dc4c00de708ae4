// nrvrfsw.sys's own sources over a user-mode kernel substitute, for what Wine
// cannot show: the long sequences on a virtual clock, the settings and their
// type checks, the repair of "SupportDLL" with texts that do not fit, the
// Windows 8.1 check both ways, allocation failures, query-stop and removal
// while a power-on thread runs, and storms of waits, notifications, cancels
// and cleanups from several threads.
#include "KernelSubstitute.h"
#include "RadioSwitch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Names = std::vector<std::string>;

const std::wstring kParameters =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nrvrfsw\\Parameters";
const std::wstring kKeyhub =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\keyhub\\Parameters";
const std::wstring kUsbEnum =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nrvrfusb\\Enum";
const std::wstring kStack =
    L"\\REGISTRY\\Machine\\SOFTWARE\\Wow6432Node\\NORVALE\\BluetoothStack\\V1.0";
const std::wstring kRadioSupport =
    L"\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Radio Support";

class KernelDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ks::Reset();
        ks::CreateKey(kParameters);
    }
    void TearDown() override {
        if (m_device != nullptr) Remove();
        if (m_driver != nullptr) ks::UnloadDriver(m_driver);
        EXPECT_EQ(Names{}, ks::books().breaches);
        EXPECT_EQ(0, ks::books().openHandles) << "a handle outlived its use";
        EXPECT_EQ(0, ks::books().threadReferences);
        ks::Reset();
    }

    // DriverEntry and AddDevice; the device is not started.
    void Load() {
        NTSTATUS status;
        m_driver = ks::LoadDriver(&status);
        ASSERT_EQ(STATUS_SUCCESS, status);
        m_pdo = ks::CreatePdo();
        ASSERT_EQ(STATUS_SUCCESS, m_driver->DriverExtension->AddDevice(m_driver, m_pdo));
        m_device = m_driver->DeviceObject;
        ASSERT_NE(nullptr, m_device);
    }

    RadioSwitchExtension* Ext() {
        return static_cast<RadioSwitchExtension*>(m_device->DeviceExtension);
    }

    NTSTATUS Pnp(UCHAR minor) {
        ks::Request request(m_device, nullptr, IRP_MJ_PNP, minor);
        return request.Dispatch();
    }

    void Remove() {
        ks::Request request(m_device, nullptr, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        request.Dispatch();
        m_device = nullptr;
    }

    NTSTATUS Control(ULONG code, ULONG outputLength = 0, UCHAR* byte = nullptr,
                     ULONG_PTR* information = nullptr) {
        ks::Request request(m_device, &m_file, IRP_MJ_DEVICE_CONTROL);
        request.Control(code, outputLength);
        const NTSTATUS status = request.Dispatch();
        EXPECT_EQ(1, request.Completions());
        if (byte != nullptr) *byte = request.Byte();
        if (information != nullptr) *information = request.Information();
        return status;
    }

    void ClearSteps() {
        std::lock_guard<std::mutex> guard(ks::lock());
        ks::books().steps.clear();
    }

    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    FILE_OBJECT m_file = {};
};

TEST_F(KernelDriver, PowerOnSequenceWaits2100MsBeforeAttaching) {
    Load();
    ks::books().status = 0x01;
    EXPECT_EQ(STATUS_SUCCESS, PowerOnSequence(Ext()));
    EXPECT_EQ(Names({"BTST", "BTST", "BTPO", "BTST", "sleep 2100", "BTST", "AUSB", "BTST", "BTST"}),
              ks::Steps());
    EXPECT_EQ(0xC1, ks::books().status);

    // Bit 0 clear: the delay and two status reads, nothing else.
    ClearSteps();
    g_Settings.PowerOnDelay = 500;
    ks::books().status = 0x00;
    PowerOnSequence(Ext());
    EXPECT_EQ(Names({"sleep 500", "BTST", "BTST"}), ks::Steps());
}

TEST_F(KernelDriver, PowerOnModuleTriesFiveTimes100MsApart) {
    Load();
    ks::books().status = 0x01;
    ks::books().powerNever = true;
    EXPECT_EQ(STATUS_SUCCESS, PowerOnModule(Ext()));
    Names expected = {"BTST"};
    for (int i = 0; i < 5; ++i) expected.insert(expected.end(), {"BTPO", "BTST", "sleep 100"});
    EXPECT_EQ(expected, ks::Steps());

    ClearSteps();
    ks::books().status = 0x81;  // powered already: one read
    PowerOnModule(Ext());
    EXPECT_EQ(Names({"BTST"}), ks::Steps());
}

TEST_F(KernelDriver, AttachWaitsForTheUsbDevicesToGoOrCountsAnUnplugFailure) {
    Load();
    ks::CreateKey(kStack);
    ks::books().status = 0x81;
    // No Nrvrfusb key: 50 x 100 ms, no failure counted.
    AttachModule(Ext());
    Names expected = {"BTST"};
    for (int i = 0; i < 50; ++i) expected.push_back("sleep 100");
    expected.insert(expected.end(), {"AUSB", "BTST"});
    EXPECT_EQ(expected, ks::Steps());
    ks::Registry::Value value;
    EXPECT_FALSE(ks::GetValue(kParameters, L"UnplugFail", &value));

    // Count 0 at the first look: one more unplug failure, stored.
    ClearSteps();
    ks::books().status = 0x81;
    ks::SetDword(kUsbEnum, L"Count", 0);
    AttachModule(Ext());
    EXPECT_EQ(Names({"BTST", "AUSB", "BTST"}), ks::Steps());
    ASSERT_TRUE(ks::GetValue(kParameters, L"UnplugFail", &value));
    EXPECT_EQ(REG_DWORD, value.type);
    EXPECT_EQ(1u, *reinterpret_cast<const ULONG*>(value.data.data()));
}

TEST_F(KernelDriver, LedForcingTriesFiveTimesASecondApart) {
    Load();
    ks::SetDword(kKeyhub, L"LEDSTATE", 0);
    ks::books().rlstNeverOne = true;
    CheckLedState(Ext());
    Names expected = {"RLST"};
    for (int i = 0; i < 5; ++i) expected.insert(expected.end(), {"RLFO", "RLST", "sleep 1000"});
    EXPECT_EQ(expected, ks::Steps());
    EXPECT_EQ(Names({"Keyhub LEDSTATE = 0x00000000\n", "Check forceLED!\n"}),
              ks::books().debugOutput);

    // LEDSTATE 1, or no value under the key: nothing forced.
    ClearSteps();
    ks::SetDword(kKeyhub, L"LEDSTATE", 1);
    CheckLedState(Ext());
    EXPECT_TRUE(ks::Steps().empty());
}

TEST_F(KernelDriver, DetachAndPowerOffHolds130Ms) {
    Load();
    ks::books().status = 0xC1;
    PowerOffSequence(Ext());
    EXPECT_EQ(Names({"BTST", "BTST", "DUSB", "sleep 130", "BTST", "BTPF", "BTST", "BTST"}),
              ks::Steps());
}

// Values of another type or size are ignored; they never overwrite what
// lies beside the setting.
TEST_F(KernelDriver, SettingsAreReadOnlyWhenTheyFit) {
    const ULONG wide = 0x01010101;
    ks::SetValue(kParameters, L"Bluetooth", REG_DWORD, &wide, sizeof wide);
    ks::SetValue(kParameters, L"PowerOnDelay", REG_BINARY, &wide, 2);
    ks::SetDword(kParameters, L"QuickPowerOn", 1);
    ks::SetDword(kParameters, L"UnplugFail", 7);
    Load();
    EXPECT_EQ(0, g_Settings.Bluetooth);
    EXPECT_EQ(0u, g_Settings.PowerOnDelay);
    EXPECT_EQ(1u, g_Settings.QuickPowerOn);
    EXPECT_EQ(7u, g_Settings.UnplugFail);
}

TEST_F(KernelDriver, PowerOnDelayTurnsQuickPowerOnOff) {
    const UCHAR flag = 1;
    ks::SetValue(kParameters, L"Bluetooth", REG_BINARY, &flag, 1);
    ks::SetDword(kParameters, L"PowerOnDelay", 500);
    ks::SetDword(kParameters, L"QuickPowerOn", 1);
    Load();
    EXPECT_EQ(1, g_Settings.Bluetooth);
    EXPECT_EQ(500u, g_Settings.PowerOnDelay);
    EXPECT_EQ(0u, g_Settings.QuickPowerOn);
}

TEST_F(KernelDriver, AKnownFilterStampForcesADelayOnlyWhenTheReadSucceeds) {
    ks::books().filterCreationTime = 0x01CD7107D7A16200;
    Load();
    EXPECT_EQ(2000u, g_Settings.PowerOnDelay);
    EXPECT_EQ(0u, g_Settings.QuickPowerOn);
    Remove();
    ks::UnloadDriver(m_driver);
    m_driver = nullptr;

    // No Parameters key: the read fails and neither step is taken.
    ks::books().registry.keys.clear();
    Load();
    EXPECT_EQ(0u, g_Settings.PowerOnDelay);
    EXPECT_EQ(1u, g_Settings.QuickPowerOn);
}

TEST_F(KernelDriver, TheWindows81CheckBothWays) {
    struct Case {
        bool routine;
        bool win81;
        ULONG major, minor;
        BOOLEAN expected;
    };
    const Case cases[] = {{true, true, 6, 1, TRUE},
                          {true, false, 10, 0, FALSE},
                          {false, false, 6, 3, TRUE},
                          {false, false, 6, 2, FALSE},
                          {false, false, 10, 0, TRUE}};
    for (const Case& c : cases) {
        ks::Reset();
        ks::CreateKey(kParameters);
        ks::books().hasDdiRoutine = c.routine;
        ks::books().win81 = c.win81;
        ks::books().major = c.major;
        ks::books().minor = c.minor;
        Load();
        EXPECT_EQ(c.expected, g_IsWin81OrLater);
        // Without the BluetoothStack key a start sets and stores the flag on 8.1 and later.
        EXPECT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_START_DEVICE));
        EXPECT_EQ(c.expected ? 1 : 0, g_Settings.Bluetooth);
        Remove();
        ks::UnloadDriver(m_driver);
        m_driver = nullptr;
    }
}

TEST_F(KernelDriver, RepairLeavesTextsThatDoNotFitAlone) {
    const std::wstring longName(300, L'x');
    ks::SetValue(kRadioSupport, L"SupportDLL", REG_SZ, longName.c_str(),
                 (longName.size() + 1) * sizeof(wchar_t));
    const std::wstring folder = L"D:\\Bt\\";
    ks::SetValue(kParameters, L"RadioManagerPath", REG_SZ, folder.c_str(),
                 (folder.size() + 1) * sizeof(wchar_t));
    ks::SetValue(kParameters, L"RadioManagerDLLx64", REG_SZ, L"Radio.dll", sizeof(L"Radio.dll"));
    Load();
    RepairRadioSupport();
    ks::Registry::Value value;
    ASSERT_TRUE(ks::GetValue(kRadioSupport, L"SupportDLL", &value));
    EXPECT_EQ((longName.size() + 1) * sizeof(wchar_t), value.data.size());

    // A value that fits is rewritten from the two settings.
    const std::wstring other = L"C:\\Windows\\x\\Other.dll";
    ks::SetValue(kRadioSupport, L"SupportDLL", REG_SZ, other.c_str(),
                 (other.size() + 1) * sizeof(wchar_t));
    RepairRadioSupport();
    ASSERT_TRUE(ks::GetValue(kRadioSupport, L"SupportDLL", &value));
    EXPECT_EQ(L"D:\\Bt\\Radio.dll",
              std::wstring(reinterpret_cast<const wchar_t*>(value.data.data())));
    EXPECT_EQ(1, static_cast<int>(std::count(ks::books().debugOutput.begin(),
                                             ks::books().debugOutput.end(),
                                             "Strings do not match! Reparing reg.. \n")));
}

TEST_F(KernelDriver, RepairWithAPathTooLongForTheBufferWritesNothing) {
    const std::wstring folder(250, L'f');
    ks::SetValue(kParameters, L"RadioManagerPath", REG_SZ, folder.c_str(),
                 (folder.size() + 1) * sizeof(wchar_t));
    const std::wstring other = L"C:\\Other.dll";
    ks::SetValue(kRadioSupport, L"SupportDLL", REG_SZ, other.c_str(),
                 (other.size() + 1) * sizeof(wchar_t));
    Load();
    RepairRadioSupport();
    ks::Registry::Value value;
    ASSERT_TRUE(ks::GetValue(kRadioSupport, L"SupportDLL", &value));
    EXPECT_EQ(other, std::wstring(reinterpret_cast<const wchar_t*>(value.data.data())));
}

TEST_F(KernelDriver, AllocationAndRequestFailures) {
    ks::books().allocationsBeforeFailure = 0;
    NTSTATUS status;
    m_driver = ks::LoadDriver(&status);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
    ks::UnloadDriver(m_driver);
    m_driver = nullptr;
    ks::books().allocationsBeforeFailure = -1;

    // A device that cannot be created: the failure is returned, nothing stays.
    ks::books().failCreateDevice = true;
    m_driver = ks::LoadDriver(&status);
    m_pdo = ks::CreatePdo();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, m_driver->DriverExtension->AddDevice(m_driver, m_pdo));
    EXPECT_EQ(0, ks::books().interfaceEnabled);
    EXPECT_EQ(nullptr, m_driver->DeviceObject);
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, m_driver->DriverExtension->AddDevice(m_driver, nullptr));
    ks::books().failCreateDevice = false;
    ks::UnloadDriver(m_driver);
    m_driver = nullptr;

    // No IRP for an evaluation: the status read fails with 1 byte, value 0.
    Load();
    ks::books().status = 0xC1;
    ks::books().failIrpBuild = true;
    UCHAR byte = 0xEE;
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              Control(IOCTL_RADIO_GET_STATUS, 1, &byte, &information));
    EXPECT_EQ(0, byte);
    EXPECT_EQ(1u, information);
    ks::books().failIrpBuild = false;
}

TEST_F(KernelDriver, GetStatusWithoutABufferWritesNothing) {
    Load();
    ULONG_PTR information = 99;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Control(IOCTL_RADIO_GET_STATUS, 0, nullptr, &information));
    EXPECT_EQ(0u, information);
    EXPECT_TRUE(ks::Methods().empty());
}

// A start with the flag set runs a power-on thread: query-stop is refused
// while it runs, removal returns only after it has finished, and its handle
// does not outlive it.
TEST_F(KernelDriver, PowerOnThreadBlocksQueryStopAndRemoval) {
    const UCHAR flag = 1;
    ks::SetValue(kParameters, L"Bluetooth", REG_BINARY, &flag, 1);
    Load();
    ks::books().status = 0x01;
    ks::Hold("AUSB");
    ASSERT_EQ(STATUS_SUCCESS, Pnp(IRP_MN_START_DEVICE));
    ks::WaitHeld();  // the thread is inside its sequence
    ASSERT_NE(nullptr, Ext()->PowerOnThreadHandle);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Pnp(IRP_MN_QUERY_STOP_DEVICE));
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        Remove();
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(removed);
    ks::Release();
    removal.join();
    EXPECT_EQ(0, ks::books().threadsRunning);
    EXPECT_EQ(Names({"BTST", "BTST", "BTPO", "BTST", "BTST", "AUSB", "BTST", "BTST"}),
              ks::Methods());
}

TEST_F(KernelDriver, ResumeWithoutQuickPowerOnStartsAPowerOnThread) {
    ks::SetDword(kParameters, L"QuickPowerOn", 0);
    Load();
    ks::books().status = 0x81;
    {
        ks::Request sleep(m_device, nullptr, IRP_MJ_POWER, IRP_MN_SET_POWER);
        sleep.SystemPower(PowerSystemSleeping3);
        EXPECT_EQ(STATUS_SUCCESS, sleep.Dispatch());
    }
    EXPECT_TRUE(Ext()->WasOnBeforeSleep);
    ks::books().status = 0x01;
    ClearSteps();
    {
        ks::Request resume(m_device, nullptr, IRP_MJ_POWER, IRP_MN_SET_POWER);
        resume.SystemPower(PowerSystemWorking);
        EXPECT_EQ(STATUS_SUCCESS, resume.Dispatch());
    }
    EXPECT_FALSE(Ext()->WasOnBeforeSleep);
    Remove();  // waits for the thread
    const auto steps = ks::Steps();
    EXPECT_NE(steps.end(), std::find(steps.begin(), steps.end(), "priority 16"));
    EXPECT_EQ(Names({"BTST", "BTST", "BTPO", "BTST", "BTST", "AUSB", "BTST", "BTST"}),
              ks::Methods());
    EXPECT_EQ(0, ks::books().threadsRunning);
}

// A request in flight holds the device: removal waits for it, and a
// request that comes once removal has begun is refused.
TEST_F(KernelDriver, RemovalWaitsForARequestInFlight) {
    Load();
    ks::books().status = 0x01;
    ks::Hold("BTPO");
    std::atomic<bool> done{false}, removed{false};
    std::thread request([&] {
        ks::Request on(m_device, &m_file, IRP_MJ_DEVICE_CONTROL);
        on.Control(IOCTL_RADIO_ON, 0);
        EXPECT_EQ(STATUS_SUCCESS, on.Dispatch());
        done = true;
    });
    ks::WaitHeld();
    PDEVICE_OBJECT device = m_device;
    std::thread removal([&] {
        Remove();
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(removed);
    {
        ks::Request late(device, &m_file, IRP_MJ_DEVICE_CONTROL);
        late.Control(IOCTL_RADIO_GET_STATUS, 1);
        EXPECT_EQ(STATUS_DELETE_PENDING, late.Dispatch());
        EXPECT_EQ(1, late.Completions());
    }
    ks::Release();
    request.join();
    removal.join();
    EXPECT_TRUE(done);
}

// Waits, notifications, cancels and handle cleanups from four threads: every
// wait is completed exactly once, and no completion or lock breaks a rule.
TEST_F(KernelDriver, StormOfWaitsNotificationsCancelsAndCleanups) {
    Load();
    constexpr int kFiles = 8;
    constexpr int kWaits = 20000;
    FILE_OBJECT files[kFiles] = {};
    std::vector<std::unique_ptr<ks::Request>> waits;
    waits.reserve(kWaits);
    std::mutex waitsLock;
    std::atomic<bool> stop{false};
    std::atomic<long> notifications{0}, cancels{0}, cleanups{0};

    const auto start = std::chrono::steady_clock::now();
    std::thread notifier([&] {
        while (!stop) {
            ks::Notify((notifications++ & 1) ? 0x80 : 0x90);
        }
    });
    std::thread canceller([&] {
        std::mt19937 random(1);
        while (!stop) {
            PIRP irp = nullptr;
            {
                std::lock_guard<std::mutex> guard(waitsLock);
                if (!waits.empty()) irp = waits[random() % waits.size()]->irp();
            }
            if (irp != nullptr && ks::CancelIrp(irp)) ++cancels;
        }
    });
    std::thread cleaner([&] {
        std::mt19937 random(2);
        while (!stop) {
            ks::Request cleanup(m_device, &files[random() % kFiles], IRP_MJ_CLEANUP);
            cleanup.Dispatch();
            ++cleanups;
        }
    });
    std::mt19937 random(3);
    for (int i = 0; i < kWaits; ++i) {
        auto request = std::make_unique<ks::Request>(m_device, &files[random() % kFiles],
                                                     IRP_MJ_DEVICE_CONTROL);
        request->Control((i & 1) ? IOCTL_RADIO_WAIT_NOTIFY80 : IOCTL_RADIO_WAIT_NOTIFY90, 0);
        {
            std::lock_guard<std::mutex> guard(waitsLock);
            waits.push_back(std::move(request));
        }
        waits.back()->Dispatch();
    }
    stop = true;
    notifier.join();
    canceller.join();
    cleaner.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Remove();  // completes whatever still waits
    int once = 0;
    for (const auto& wait : waits) {
        EXPECT_EQ(1, wait->Completions());
        once += wait->Completions() == 1;
    }
    EXPECT_EQ(kWaits, once);
    std::printf(
        "storm: %d waits, %ld notifications, %ld cancels, %ld cleanups in %.2f s "
        "(%.0f waits/s, %.0f notifications/s, %.0f cancels/s, %.0f cleanups/s)\n",
        kWaits, notifications.load(), cancels.load(), cleanups.load(), seconds, kWaits / seconds,
        notifications / seconds, cancels / seconds, cleanups / seconds);
}

}  // namespace
