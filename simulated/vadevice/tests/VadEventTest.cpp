// Event waits on HWPLG: pending until their event is raised, cancelled by
// CancelIo, by the end of their thread or process and by closing their
// handle, completed at once when so scripted.
#include "VadDeviceSupport.h"

#include "TestSupport.h"

#include <memory>
#include <thread>

using namespace vadtest;
using testsupport::WaitFor;

namespace {

// One wait as the posture service sends it: input {0, code}, output preset
// to {0xFFFFFFFF, 0}, an OVERLAPPED with a manual-reset event of its own.
struct Wait {
    Wait(HANDLE device, ULONG code) : event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        in = {0, code};
        overlapped.hEvent = event.get();
        returned = ::DeviceIoControl(device, IOCTL_HWPL_WAIT_EVENT, &in, 8, &out, 8, nullptr,
                                     &overlapped) != FALSE;
        error = returned ? 0 : ::GetLastError();
    }
    ~Wait() {  // the request must be over before its buffers go
        if (pending() && !Done(5000)) ADD_FAILURE() << "a wait is still pending";
    }
    bool pending() const { return error == ERROR_IO_PENDING; }
    bool Done(DWORD timeoutMs) const {
        return ::WaitForSingleObject(event.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    // Its end: the NTSTATUS and the value delivered in word 0.
    ::testing::AssertionResult EndedWith(ULONG_PTR status, ULONG value) const {
        if (!Done(5000)) return ::testing::AssertionFailure() << "still pending";
        if (overlapped.Internal == status && out.word0 == value) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "ended with status " << overlapped.Internal << ", value " << out.word0;
    }

    nrv::UniqueHandle event;
    vad::EventWait in, out = {vad::kNoEvent, 0};
    OVERLAPPED overlapped = {};
    bool returned;
    DWORD error;
};

constexpr ULONG_PTR kSuccess = 0, kCancelled = 0xC0000120;

class EventWaits : public DeviceTest {
protected:
    ULONG PendingFor(ULONG code) {
        const vadsim::DeviceState state = State();
        for (ULONG i = 0; i < state.codeCount; ++i) {
            if (state.pending[i].code == code) return state.pending[i].count;
        }
        return 0;
    }
    ULONG Raise(ULONG code, ULONG value, ULONG flags = 0) {
        vadsim::RaiseResult result = {};
        EXPECT_TRUE(control.Raise(code, value, flags, &result)) << control.Error();
        return result.completed + 10 * result.queued;
    }
};

}  // namespace

TEST_F(EventWaits, PendUntilAnEventWithTheirCodeIsRaised) {
    nrv::UniqueFileHandle g1 = OpenHwplg(), g2 = OpenHwplg();
    Wait a(g1.get(), 0x94), b(g2.get(), 0x94), c(g2.get(), 0x85);
    ASSERT_TRUE(a.pending() && b.pending() && c.pending()) << a.error;
    EXPECT_EQ(PendingFor(0x94), 2u);
    EXPECT_EQ(Raise(0x86, 1), 0u);
    EXPECT_FALSE(a.Done(50));

    EXPECT_EQ(Raise(0x94, 1), 2u);
    EXPECT_TRUE(a.EndedWith(kSuccess, 1));
    EXPECT_TRUE(b.EndedWith(kSuccess, 1));
    DWORD bytes = 0;
    EXPECT_TRUE(::GetOverlappedResult(g1.get(), &a.overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 8u);
    EXPECT_FALSE(c.Done(0));
    // A value of 0xFFFFFFFF completes the wait with no event for its caller.
    EXPECT_EQ(Raise(0x85, vad::kNoEvent), 1u);
    EXPECT_TRUE(c.EndedWith(kSuccess, vad::kNoEvent));
    EXPECT_EQ(State().pendingWaits, 0u);

    const std::vector<vadsim::LogEntry> requests = Logged(vadsim::kLogRequest);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, static_cast<ULONG>(IOCTL_HWPL_WAIT_EVENT));
    EXPECT_EQ(requests[0].outcome, static_cast<ULONG>(vadsim::kOutcomePending));
    EXPECT_EQ(requests[0].words[1], 0x94u);
}

TEST_F(EventWaits, CancelIoAndTheEndOfTheirThreadCancelThem) {
    nrv::UniqueFileHandle g = OpenHwplg();
    Wait a(g.get(), 0x85);
    ASSERT_TRUE(::CancelIo(g.get()));
    EXPECT_TRUE(a.EndedWith(kCancelled, vad::kNoEvent));
    DWORD bytes;
    EXPECT_FALSE(::GetOverlappedResult(g.get(), &a.overlapped, &bytes, FALSE));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // Wine signals the event of a wait whose thread ended, but may leave its
    // status block unwritten (the thread that would write it is gone).
    std::unique_ptr<Wait> b;
    std::thread([&] { b = std::make_unique<Wait>(g.get(), 0x85); }).join();
    EXPECT_TRUE(b->pending());
    EXPECT_TRUE(b->Done(5000));
    EXPECT_EQ(b->out.word0, vad::kNoEvent);
    EXPECT_TRUE(WaitFor([&] { return State().pendingWaits == 0; }));

    Wait again(g.get(), 0x85);  // the handle takes new waits
    EXPECT_EQ(Raise(0x85, 3), 1u);
    EXPECT_TRUE(again.EndedWith(kSuccess, 3));
}

TEST_F(EventWaits, ClosingAHandleEndsItsWaitsOnly) {
    nrv::UniqueFileHandle g1 = OpenHwplg(), g2 = OpenHwplg();
    Wait a(g1.get(), 0x94), b(g1.get(), 0x86), c(g2.get(), 0x94);
    EXPECT_EQ(State().pendingWaits, 3u);
    g1.reset();
    EXPECT_TRUE(a.EndedWith(kCancelled, vad::kNoEvent));
    EXPECT_TRUE(b.EndedWith(kCancelled, vad::kNoEvent));
    EXPECT_TRUE(WaitFor([&] { return State().pendingWaits == 1; }));
    EXPECT_EQ(Raise(0x94, 4), 1u);
    EXPECT_TRUE(c.EndedWith(kSuccess, 4));
}

// Run as a child process by the test below: leaves a wait pending and ends.
TEST(EventWaitsChild, EndsWithAWaitPending) {
    if (!::GetEnvironmentVariableW(L"NRV_VADSIM_CHILD", nullptr, 0)) GTEST_SKIP();
    auto* wait = new Wait(OpenHwplg().release(), 0x93);  // neither is ever closed
    ::ExitProcess(wait->pending() ? 0 : 1);
}

TEST_F(EventWaits, AProcessThatEndsLeavesNoWaitsBehind) {
    testsupport::ProcessOptions options;
    options.environment[L"NRV_VADSIM_CHILD"] = L"1";
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const testsupport::ProcessResult child =
        testsupport::RunProcess(self, L"--gtest_filter=EventWaitsChild.*", options);
    ASSERT_TRUE(child.started);
    EXPECT_EQ(child.exitCode, 0u);
    EXPECT_EQ(Logged(vadsim::kLogRequest).size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return State().pendingWaits == 0; }));
    EXPECT_TRUE(WaitFor([&] { return State().openHandles[vadsim::kDeviceHwplg] == 0; }));
}

TEST_F(EventWaits, CompleteAtOnceOrFromTheQueueWithoutPending) {
    nrv::UniqueFileHandle g = OpenHwplg();
    ASSERT_TRUE(control.SetEventMode(vadsim::kEventsCompleteAtOnce));
    {
        Wait wait(g.get(), 0x94);
        EXPECT_TRUE(wait.returned) << wait.error;  // no ERROR_IO_PENDING
        EXPECT_EQ(wait.out.word0, vad::kNoEvent);
    }
    ASSERT_TRUE(control.SetEventMode(vadsim::kEventsCompleteAtOnce, 5));
    EXPECT_EQ(Wait(g.get(), 0x94).out.word0, 5u);
    ASSERT_TRUE(control.SetEventMode(vadsim::kEventsPend));

    EXPECT_EQ(Raise(0x85, 9, vadsim::kRaiseQueue), 10u);  // nobody waits: queued
    EXPECT_EQ(State().queuedEvents, 1u);
    Wait queued(g.get(), 0x85);
    EXPECT_TRUE(queued.returned);
    EXPECT_EQ(queued.out.word0, 9u);
    EXPECT_EQ(Raise(0x85, 9), 0u);  // without the flag it is lost
    Wait pends(g.get(), 0x85);
    EXPECT_TRUE(pends.pending());
    EXPECT_EQ(Raise(0x85, 1), 1u);

    ASSERT_TRUE(control.FailRequests(vadsim::kRequestEventWait, 1));
    Wait failed(g.get(), 0x94);
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_IO_DEVICE));
}

TEST_F(EventWaits, AWaitOnAHandleThatIsNotOverlappedBlocksUntilRaised) {
    nrv::UniqueFileHandle g = OpenHwplgProbe();
    std::thread raiser([&] {
        vadsim::ControlChannel channel;
        if (WaitFor([&] { return PendingFor(0x86) == 1; })) channel.Raise(0x86, 6);
    });
    vad::EventWait in = {0, 0x86}, out = {vad::kNoEvent, 0};
    const Result r = Control(g.get(), IOCTL_HWPL_WAIT_EVENT, &in, 8, &out, 8);
    raiser.join();
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(out.word0, 6u);
}
