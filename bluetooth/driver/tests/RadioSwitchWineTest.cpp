// The real nrvrfsw.sys under Wine, loaded by Wine's Plug and Play manager
// through nrvrfsw.inf above the simulated ACPI firmware device (fixture
// "btsim"): its I/O controls against the status bytes that matter, checked
// against the device's log of method evaluations (which methods, in which
// order, how far apart), its wait queues, the worker behind notification
// 0x90, sleep and resume, start and removal.
//
// Wine's RtlIsNtDdiVersionAvailable is a stub that answers FALSE, so under
// Wine the driver takes itself for older than Windows 8.1: starts do not set
// the Bluetooth flag and the LED check is skipped. The flag is set and
// cleared here through IOCTL_RADIO_ON and IOCTL_RADIO_OFF.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BtSimClient.h"
#include "TestSupport.h"

namespace {

using acpibt::ControlChannel;
using acpibt::LogEntry;
namespace reg = acpibt::registry;

constexpr ULONG kRemoveDevice = 0x02;                         // IRP_MN_REMOVE_DEVICE
constexpr LONG kDeviceError = static_cast<LONG>(0xC0000185);  // STATUS_IO_DEVICE_ERROR

struct Evaluation {
    std::string method;
    double ms;  // since the first entry read
};

class RadioSwitchDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.Open()) << "the simulated device is not loaded (fixture btsim)";
        Plug();
        ASSERT_TRUE(m_sim.Reset());
        ASSERT_TRUE(reg::Clean());
        m_radio = acpibt::WaitAndOpenRadio();
        ASSERT_TRUE(m_radio.valid());
        SetFlag(false);
    }
    void TearDown() override {
        m_radio.reset();
        reg::Clean();
    }

    // The Bluetooth flag through the driver's own controls.
    void SetFlag(bool on) {
        ASSERT_TRUE(m_sim.SetStatus(on ? 0x81 : 0x01));
        ASSERT_TRUE(Control(on ? IOCTL_RADIO_ON : IOCTL_RADIO_OFF).ok);
        ASSERT_TRUE(m_sim.ClearLog());
    }

    void Plug() { ASSERT_TRUE(m_sim.PlugAndWaitForStart()); }

    void Replug() {
        m_radio.reset();
        ASSERT_TRUE(m_sim.SetPresent(false));
        Plug();
    }

    acpibt::RadioResult Control(ULONG code, DWORD outputLength = 0) {
        return acpibt::RadioControl(m_radio.get(), code, outputLength);
    }

    std::vector<LogEntry> Log() {
        std::vector<LogEntry> entries;
        EXPECT_TRUE(m_sim.ReadLog(&entries));
        return entries;
    }

    std::vector<Evaluation> Evaluations() {
        std::vector<Evaluation> result;
        const auto entries = Log();
        for (const LogEntry& entry : entries) {
            if (entry.kind != acpibt::kEventMethod) continue;
            const double ms = (entry.timeUs - entries.front().timeUs) / 1000.0;
            result.push_back({acpibt::MethodName(entry.code), ms});
        }
        return result;
    }

    // The log as text, one entry a line, for failure messages.
    static std::string Describe(const std::vector<LogEntry>& entries) {
        std::string text;
        for (const LogEntry& entry : entries) {
            text += acpibt::FormatLogEntry(entry, entries.front().timeUs) + "\n";
        }
        return text;
    }

    std::vector<std::string> Methods() {
        std::vector<std::string> names;
        for (const Evaluation& evaluation : Evaluations()) names.push_back(evaluation.method);
        return names;
    }

    // Waits until the log holds count evaluations (and a little longer, so
    // that one too many would show).
    std::vector<std::string> MethodsAfter(size_t count, DWORD timeoutMs = 15000) {
        testsupport::WaitFor([&] { return Methods().size() >= count; }, timeoutMs);
        ::Sleep(300);
        return Methods();
    }

    std::vector<BYTE> FlagInRegistry() {
        return reg::GetBinary(reg::kDriverParameters, L"Bluetooth").value_or(std::vector<BYTE>{});
    }

    ControlChannel m_sim;
    nrv::UniqueFileHandle m_radio;
};

using Names = std::vector<std::string>;

// A wait request in flight on a handle opened for overlapped I/O.
class PendingWait {
public:
    PendingWait(HANDLE device, ULONG code)
        : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        m_overlapped.hEvent = m_event.get();
        DWORD bytes = 0;
        m_started =
            ::DeviceIoControl(device, code, nullptr, 0, nullptr, 0, &bytes, &m_overlapped) ||
            ::GetLastError() == ERROR_IO_PENDING;
    }
    PendingWait(const PendingWait&) = delete;
    PendingWait& operator=(const PendingWait&) = delete;
    bool Started() const { return m_started; }
    bool Done(DWORD timeoutMs = 0) const {
        return ::WaitForSingleObject(m_event.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    LONG Status() const { return static_cast<LONG>(m_overlapped.Internal); }

private:
    nrv::UniqueHandle m_event;
    OVERLAPPED m_overlapped = {};
    bool m_started = false;
};

TEST_F(RadioSwitchDriver, GetStatusReadsTheStatusMethodOnce) {
    for (ULONG status : {0x00UL, 0x01UL, 0x81UL, 0xC1UL}) {
        ASSERT_TRUE(m_sim.SetStatus(status));
        ASSERT_TRUE(m_sim.ClearLog());
        const auto result = Control(IOCTL_RADIO_GET_STATUS, 1);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(1u, result.returned);
        EXPECT_EQ(status, result.status);
        EXPECT_EQ(Names({"BTST"}), Methods());
    }
}

TEST_F(RadioSwitchDriver, GetStatusPassesAFailedEvaluationOn) {
    ASSERT_TRUE(m_sim.Fail(acpibt::kBTST, kDeviceError));
    const auto result = Control(IOCTL_RADIO_GET_STATUS, 1);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), result.error);
}

// Without an output buffer nothing is evaluated and nothing written.
TEST_F(RadioSwitchDriver, GetStatusWithoutABufferIsRefused) {
    const auto result = Control(IOCTL_RADIO_GET_STATUS, 0);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), result.error);
    EXPECT_TRUE(Methods().empty());
    const auto unknown = Control(0x13880020);
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), unknown.error);
}

TEST_F(RadioSwitchDriver, DetachAndAttachFollowTheStatusBits) {
    struct Case {
        ULONG code;
        ULONG status;
        Names expected;
    };
    const Case cases[] = {
        {IOCTL_RADIO_DETACH, 0xC1, {"BTST", "DUSB"}}, {IOCTL_RADIO_DETACH, 0x81, {"BTST"}},
        {IOCTL_RADIO_ATTACH, 0x81, {"BTST", "AUSB"}}, {IOCTL_RADIO_ATTACH, 0xC1, {"BTST"}},
        {IOCTL_RADIO_ATTACH, 0x01, {"BTST"}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(m_sim.SetStatus(c.status));
        ASSERT_TRUE(m_sim.ClearLog());
        EXPECT_TRUE(Control(c.code).ok);
        EXPECT_EQ(c.expected, Methods()) << std::hex << c.code << " at 0x" << c.status;
    }
}

TEST_F(RadioSwitchDriver, OnPowersTheModuleAndStoresTheFlag) {
    // Switched off: nothing changes, the flag stays 0.
    ASSERT_TRUE(m_sim.SetStatus(0x00));
    EXPECT_TRUE(Control(IOCTL_RADIO_ON).ok);
    EXPECT_EQ(Names({"BTST"}), Methods());
    EXPECT_EQ(std::vector<BYTE>{0}, FlagInRegistry());

    ASSERT_TRUE(m_sim.SetStatus(0x01));
    ASSERT_TRUE(m_sim.ClearLog());
    EXPECT_TRUE(Control(IOCTL_RADIO_ON).ok);
    EXPECT_EQ(Names({"BTST", "BTST", "BTPO", "BTST"}), Methods());
    EXPECT_EQ(std::vector<BYTE>{1}, FlagInRegistry());
}

TEST_F(RadioSwitchDriver, OnGivesUpAfterFiveAttempts100MsApart) {
    ASSERT_TRUE(m_sim.SetScript({0, 0, 1, 0, 0, 0}));  // BTPO never powers
    ASSERT_TRUE(m_sim.SetStatus(0x01));
    EXPECT_TRUE(Control(IOCTL_RADIO_ON).ok);
    const auto evaluations = Evaluations();
    Names expected = {"BTST", "BTST"};
    for (int i = 0; i < 5; ++i) expected.insert(expected.end(), {"BTPO", "BTST"});
    EXPECT_EQ(expected, Methods());
    ASSERT_EQ(expected.size(), evaluations.size());
    for (size_t i = 4; i < evaluations.size(); i += 2) {
        EXPECT_GE(evaluations[i].ms - evaluations[i - 1].ms, 95.0) << "attempt " << i / 2;
    }
}

TEST_F(RadioSwitchDriver, OffDetachesThenPowersOff130MsLater) {
    SetFlag(true);
    ASSERT_TRUE(m_sim.SetStatus(0xC1));
    EXPECT_TRUE(Control(IOCTL_RADIO_OFF).ok);
    EXPECT_EQ(std::vector<BYTE>{0}, FlagInRegistry());
    const auto evaluations = Evaluations();
    const Names expected = {"BTST", "BTST", "BTST", "DUSB", "BTST", "BTPF", "BTST", "BTST"};
    ASSERT_EQ(expected, Methods());
    EXPECT_GE(evaluations[4].ms - evaluations[3].ms, 125.0);

    // A failed status read still stores the flag and still runs the sequence,
    // which stops at its own failed first read.
    SetFlag(true);
    ASSERT_TRUE(m_sim.Fail(acpibt::kBTST, kDeviceError));
    EXPECT_FALSE(Control(IOCTL_RADIO_OFF).ok);
    EXPECT_EQ(std::vector<BYTE>{0}, FlagInRegistry());
    EXPECT_EQ(Names({"BTST", "BTST"}), Methods());
}

TEST_F(RadioSwitchDriver, WaitsCompleteOldestFirstOnePerNotification) {
    nrv::UniqueFileHandle device = acpibt::WaitAndOpenRadio(true);
    ASSERT_TRUE(device.valid());
    ULONG taken = 0;
    ASSERT_TRUE(m_sim.Notify(0x80, &taken));  // nothing queued: nothing happens
    EXPECT_EQ(1u, taken);
    PendingWait first(device.get(), IOCTL_RADIO_WAIT_NOTIFY80);
    PendingWait second(device.get(), IOCTL_RADIO_WAIT_NOTIFY80);
    PendingWait third(device.get(), IOCTL_RADIO_WAIT_NOTIFY80);
    PendingWait other(device.get(), IOCTL_RADIO_WAIT_NOTIFY90);
    ASSERT_TRUE(first.Started() && second.Started() && third.Started() && other.Started());
    EXPECT_FALSE(first.Done(200));
    const PendingWait* waits[] = {&first, &second, &third};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_sim.Notify(0x80));
        EXPECT_TRUE(waits[i]->Done(2000)) << i;
        EXPECT_EQ(0, waits[i]->Status());
        for (int j = i + 1; j < 3; ++j) EXPECT_FALSE(waits[j]->Done(100)) << j;
    }
    EXPECT_FALSE(other.Done());
    ASSERT_TRUE(m_sim.Notify(0x90));
    EXPECT_TRUE(other.Done(2000));
}

// Wine sends IRP_MJ_CLEANUP for a closed handle only once its requests have
// ended, so the waits of one handle are ended here through their cancel
// routines (CancelIoEx), as the I/O manager does when their thread or process
// ends; the other handle's wait stays queued and is the next one served.
TEST_F(RadioSwitchDriver, CancellingOneHandlesWaitsLeavesTheOthersQueued) {
    nrv::UniqueFileHandle mine = acpibt::WaitAndOpenRadio(true);
    nrv::UniqueFileHandle theirs = acpibt::WaitAndOpenRadio(true);
    ASSERT_TRUE(mine.valid() && theirs.valid());
    PendingWait a(mine.get(), IOCTL_RADIO_WAIT_NOTIFY80);
    PendingWait b(mine.get(), IOCTL_RADIO_WAIT_NOTIFY90);
    PendingWait c(theirs.get(), IOCTL_RADIO_WAIT_NOTIFY80);
    ASSERT_TRUE(a.Started() && b.Started() && c.Started());
    ASSERT_TRUE(::CancelIoEx(mine.get(), nullptr));
    EXPECT_TRUE(a.Done(2000));
    EXPECT_TRUE(b.Done(2000));
    EXPECT_EQ(static_cast<LONG>(0xC0000120), a.Status());  // STATUS_CANCELLED
    EXPECT_EQ(static_cast<LONG>(0xC0000120), b.Status());
    EXPECT_FALSE(c.Done(200));
    mine.reset();
    ASSERT_TRUE(m_sim.Notify(0x80));
    EXPECT_TRUE(c.Done(2000));
    EXPECT_EQ(0, c.Status());
}

TEST_F(RadioSwitchDriver, Notification90WakesTheWorkerWhichFollowsTheFlag) {
    // Flag 0: the worker wakes and evaluates nothing.
    ASSERT_TRUE(m_sim.SetStatus(0x01));
    ASSERT_TRUE(m_sim.Notify(0x90));
    EXPECT_TRUE(MethodsAfter(1, 500).empty());

    // Flag 1, switch off: the power-off sequence on a module that is off.
    SetFlag(true);
    ASSERT_TRUE(m_sim.SetStatus(0x00));
    ASSERT_TRUE(m_sim.Notify(0x90));
    EXPECT_EQ(Names({"BTST", "BTST", "BTST"}), MethodsAfter(3));

    // Flag 1, switch on: power on, 2.1 s, attach.
    ASSERT_TRUE(m_sim.SetStatus(0x01));
    ASSERT_TRUE(m_sim.ClearLog());
    ASSERT_TRUE(m_sim.Notify(0x90));
    const Names expected = {"BTST", "BTST", "BTST", "BTPO", "BTST", "BTST", "AUSB", "BTST", "BTST"};
    EXPECT_EQ(expected, MethodsAfter(expected.size()));
    const auto evaluations = Evaluations();
    ASSERT_EQ(expected.size(), evaluations.size());
    EXPECT_GE(evaluations[5].ms - evaluations[4].ms, 2090.0);
}

TEST_F(RadioSwitchDriver, SleepRecordsTheModuleAndQuickResumePowersItOn) {
    LONG status = 0;
    // 0x81 before S3: resume evaluates BTST, BTPO and AUSB once each.
    ASSERT_TRUE(m_sim.SetStatus(0x81));
    ASSERT_TRUE(m_sim.SystemPower(4, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(Names({"BTST"}), Methods());
    ASSERT_TRUE(m_sim.SetStatus(0x01));
    ASSERT_TRUE(m_sim.SystemPower(1, &status));
    EXPECT_EQ(Names({"BTST", "BTST", "BTPO", "AUSB"}), Methods());

    // Resumed once: a second S0 evaluates nothing.
    ASSERT_TRUE(m_sim.ClearLog());
    ASSERT_TRUE(m_sim.SystemPower(1, &status));
    EXPECT_TRUE(Methods().empty());

    // 0x01 before hibernation: nothing on resume.
    ASSERT_TRUE(m_sim.SetStatus(0x01));
    ASSERT_TRUE(m_sim.SystemPower(5, &status));
    ASSERT_TRUE(m_sim.SystemPower(1, &status));
    EXPECT_EQ(Names({"BTST"}), Methods());

    // A failed read on entry keeps what the previous one found.
    ASSERT_TRUE(m_sim.SetStatus(0x81));
    ASSERT_TRUE(m_sim.SystemPower(4, &status));
    ASSERT_TRUE(m_sim.Fail(acpibt::kBTST, kDeviceError, 1));
    ASSERT_TRUE(m_sim.SystemPower(4, &status));
    ASSERT_TRUE(m_sim.ClearLog());
    ASSERT_TRUE(m_sim.SystemPower(1, &status));
    EXPECT_EQ(Names({"BTST", "BTPO", "AUSB"}), Methods());
}

// Each start compares "SupportDLL" with the library's name, case-sensitively.
TEST_F(RadioSwitchDriver, StartRepairsTheSupportLibraryEntry) {
    const std::wstring kept = L"C:\\Windows\\x\\NrvBtRadio64.dll";
    const std::wstring fixed =
        L"%ProgramFiles(x86)%\\NORVALE\\NORVALE System Driver\\NrvBtRadio64.dll";
    struct Case {
        std::wstring before;
        std::wstring after;
    };
    const Case cases[] = {{kept, kept},
                          {L"C:\\Windows\\x\\Other.dll", fixed},
                          {L"C:\\Windows\\x\\nrvbtradio64.dll", fixed}};
    for (const Case& c : cases) {
        ASSERT_TRUE(reg::SetString(reg::kRadioSupport, L"SupportDLL", c.before));
        Replug();
        EXPECT_EQ(c.after, reg::GetString(reg::kRadioSupport, L"SupportDLL").value_or(L"-"));
    }
    // No "Radio Support" key: none is made.
    ASSERT_TRUE(reg::DeleteTree(reg::kBthport));
    Replug();
    EXPECT_FALSE(reg::KeyExists(reg::kRadioSupport));
}

// Removal completes the waits, and a removal that comes while the start's
// power-on thread runs returns only after its whole sequence.
TEST_F(RadioSwitchDriver, RemovalCompletesWaitsAndWaitsForThePowerOnThread) {
    {
        nrv::UniqueFileHandle device = acpibt::WaitAndOpenRadio(true);
        PendingWait w80(device.get(), IOCTL_RADIO_WAIT_NOTIFY80);
        PendingWait w90(device.get(), IOCTL_RADIO_WAIT_NOTIFY90);
        ASSERT_TRUE(w80.Started() && w90.Started());
        m_radio.reset();
        ASSERT_TRUE(m_sim.SetPresent(false));
        EXPECT_TRUE(w80.Done(2000));
        EXPECT_TRUE(w90.Done(2000));
        EXPECT_EQ(0, w80.Status());
        EXPECT_FALSE(acpibt::FindRadioInterface().has_value());
    }
    Plug();
    m_radio = acpibt::WaitAndOpenRadio();
    SetFlag(true);
    m_radio.reset();
    // Whatever the flag made this stack do ends with its removal; from here
    // on the log holds the next start's work alone.
    ASSERT_TRUE(m_sim.SetPresent(false));
    ASSERT_TRUE(m_sim.SetStatus(0x01));
    ASSERT_TRUE(m_sim.ClearLog());
    ASSERT_TRUE(m_sim.SetPresent(true));  // start: the flag is 1, a power-on thread runs
    ASSERT_TRUE(testsupport::WaitFor([&] { return Methods().size() >= 3; }));
    ASSERT_TRUE(m_sim.SetPresent(false));  // returns once the stack is removed
    const auto entries = Log();
    ULONGLONG lastEvaluation = 0, removal = 0;
    std::vector<std::string> methods;
    for (const LogEntry& entry : entries) {
        if (entry.kind == acpibt::kEventMethod) {
            lastEvaluation = entry.timeUs;
            methods.push_back(acpibt::MethodName(entry.code));
        }
        if (entry.kind == acpibt::kEventPnp && entry.code == kRemoveDevice) {
            removal = entry.timeUs;
        }
    }
    // The whole power-on sequence, to the attach and the status reads after it.
    EXPECT_EQ(Names({"BTST", "BTST", "BTPO", "BTST", "BTST", "AUSB", "BTST", "BTST"}), methods)
        << Describe(entries);
    EXPECT_GT(removal, lastEvaluation) << Describe(entries);

    // A start with the flag set and the switch off powers nothing; its
    // power-on thread reads the status twice and ends before the next test.
    ASSERT_TRUE(m_sim.SetStatus(0x00));
    ASSERT_TRUE(m_sim.ClearLog());
    Plug();
    EXPECT_EQ(Names({"BTST", "BTST"}), MethodsAfter(2));
}

}  // namespace
