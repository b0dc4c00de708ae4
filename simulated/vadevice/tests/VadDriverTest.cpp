// nrvvadsim.sys's own dispatch code in user mode, on the kernel stand-in of
// KernelStub.h: what the I/O manager gets back for each IRP (status, pending
// with a cancel routine, one completion), the paths Wine does not take
// (IRP_MJ_CLEANUP with waits still pending, a failed IRP_MJ_CREATE, a raise
// racing a cancellation, unload with waits pending), and the kernel's rules
// on locks and completion, which the stand-in checks on every call.
#include "KernelStub.h"

#include "VadSimControl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

using kstub::Request;

constexpr ULONG kControl = vadsim::kDeviceCount;

class Driver : public ::testing::Test {
protected:
    DRIVER_OBJECT driver = {};
    FILE_OBJECT files[6] = {};
    FILE_OBJECT controlFile = {};
    bool loaded = false;

    void SetUp() override {
        kstub::ResetBooks();
        ASSERT_EQ(DriverEntry(&driver, nullptr), STATUS_SUCCESS);
        loaded = true;
        ASSERT_EQ(Open(kControl, &controlFile), STATUS_SUCCESS);
    }

    void TearDown() override {
        if (loaded) Unload();
        EXPECT_TRUE(kstub::books().devices.empty());
        EXPECT_TRUE(kstub::books().links.empty());
        for (const std::string& breach : kstub::books().breaches) ADD_FAILURE() << breach;
    }

    void Unload() {
        driver.DriverUnload(&driver);
        loaded = false;
    }

    PDEVICE_OBJECT Device(ULONG id) {
        for (PDEVICE_OBJECT device = driver.DeviceObject; device; device = device->NextDevice) {
            if (*static_cast<ULONG*>(device->DeviceExtension) == id) return device;
        }
        ADD_FAILURE() << "no device " << id;
        return nullptr;
    }

    NTSTATUS Simple(ULONG id, PFILE_OBJECT file, UCHAR major) {
        Request request(Device(id), file, major);
        return request.Dispatch(&driver);
    }
    NTSTATUS Open(ULONG id, PFILE_OBJECT file) { return Simple(id, file, IRP_MJ_CREATE); }
    NTSTATUS Cleanup(ULONG id, PFILE_OBJECT file) { return Simple(id, file, IRP_MJ_CLEANUP); }
    NTSTATUS Close(ULONG id, PFILE_OBJECT file) { return Simple(id, file, IRP_MJ_CLOSE); }

    NTSTATUS ReadIdentity(ULONG id, PFILE_OBJECT file) {
        const ULONG words[6] = {vad::kFunctionRead, 0x96, 0, 0, 0, 0};
        Request request(Device(id), file, IRP_MJ_DEVICE_CONTROL);
        request.Control(IOCTL_HWPL_REGISTER, words, sizeof words, sizeof words);
        return request.Dispatch(&driver);
    }

    std::unique_ptr<Request> Wait(ULONG code, PFILE_OBJECT file) {
        auto request =
            std::make_unique<Request>(Device(vadsim::kDeviceHwplg), file, IRP_MJ_DEVICE_CONTROL);
        const vad::EventWait in = {0, code};
        request->Control(IOCTL_HWPL_WAIT_EVENT, &in, sizeof in, sizeof in);
        EXPECT_EQ(request->Dispatch(&driver), STATUS_PENDING);
        return request;
    }

    template <typename T>
    NTSTATUS Control(ULONG code, const T& input, ULONG outputLength = 0,
                     Request* answer = nullptr) {
        Request own(Device(kControl), &controlFile, IRP_MJ_DEVICE_CONTROL);
        Request& request = answer != nullptr ? *answer : own;
        request.Control(code, &input, sizeof input, outputLength);
        return request.Dispatch(&driver);
    }

    ULONG Raise(ULONG code, ULONG value) {
        Request request(Device(kControl), &controlFile, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(Control(IOCTL_VADSIM_RAISE_EVENT, vadsim::RaiseEvent{code, value, 0},
                          sizeof(vadsim::RaiseResult), &request),
                  STATUS_SUCCESS);
        return request.Word(0);
    }

    vadsim::DeviceState State() {
        Request request(Device(kControl), &controlFile, IRP_MJ_DEVICE_CONTROL);
        request.Control(IOCTL_VADSIM_QUERY_STATE, nullptr, 0, sizeof(vadsim::DeviceState));
        EXPECT_EQ(request.Dispatch(&driver), STATUS_SUCCESS);
        vadsim::DeviceState state;
        std::memcpy(&state, request.Buffer(), sizeof state);
        return state;
    }
};

bool Cancelled(Request& request) {
    return request.Completions() == 1 && request.Status() == STATUS_CANCELLED &&
           request.Information() == 0;
}

}  // namespace

TEST_F(Driver, CreatesTheSixDevicesWithTheirLinks) {
    const std::set<std::wstring> devices = {L"\\Device\\HWPLZ",
                                            L"\\Device\\HWPLD",
                                            L"\\Device\\HWPLG",
                                            L"\\Device\\NrvVadSimControl",
                                            L"\\Device\\NrvSlateIndicator",
                                            L"\\Device\\NrvDockIndicator"};
    const std::set<std::wstring> links = {
        L"\\DosDevices\\HWPLZ",
        L"\\DosDevices\\HWPLD",
        L"\\DosDevices\\HWPLG",
        L"\\DosDevices\\NrvVadSimControl",
        L"\\DosDevices\\root#nrvslateindicator#0000#{317fc439-3f77-41c8-b09e-08ad63272aa3}",
        L"\\DosDevices\\root#nrvdockindicator#0000#{a84e689b-0dce-493a-a164-acde05478fc3}"};
    EXPECT_EQ(kstub::books().devices, devices);
    EXPECT_EQ(kstub::books().links, links);
    for (ULONG id = 0; id <= kControl; ++id) {
        const ULONG flags = Device(id)->Flags;
        EXPECT_TRUE(flags & DO_BUFFERED_IO) << id;
        EXPECT_FALSE(flags & DO_DEVICE_INITIALIZING) << id;
        EXPECT_EQ((flags & DO_EXCLUSIVE) != 0, id == vadsim::kDeviceHwpld) << id;
    }
    for (ULONG major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) {
        EXPECT_NE(driver.MajorFunction[major], nullptr) << major;
    }
}

TEST_F(Driver, ASecondCreateOfHwpldFailsAndItsHandleIsRefused) {
    ASSERT_EQ(Open(vadsim::kDeviceHwpld, &files[0]), STATUS_SUCCESS);
    EXPECT_EQ(Open(vadsim::kDeviceHwpld, &files[1]), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(ReadIdentity(vadsim::kDeviceHwpld, &files[1]), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(ReadIdentity(vadsim::kDeviceHwpld, &files[0]), STATUS_SUCCESS);
    // Closing the refused one frees nothing.
    EXPECT_EQ(Cleanup(vadsim::kDeviceHwpld, &files[1]), STATUS_SUCCESS);
    EXPECT_EQ(Close(vadsim::kDeviceHwpld, &files[1]), STATUS_SUCCESS);
    EXPECT_EQ(Open(vadsim::kDeviceHwpld, &files[2]), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(State().openHandles[vadsim::kDeviceHwpld], 1u);

    EXPECT_EQ(Close(vadsim::kDeviceHwpld, &files[0]), STATUS_SUCCESS);
    EXPECT_EQ(State().openHandles[vadsim::kDeviceHwpld], 0u);
    EXPECT_EQ(Open(vadsim::kDeviceHwpld, &files[3]), STATUS_SUCCESS);
    EXPECT_EQ(ReadIdentity(vadsim::kDeviceHwpld, &files[3]), STATUS_SUCCESS);
}

TEST_F(Driver, AWaitPendsWithACancelRoutineUntilItsEventIsRaised) {
    ASSERT_EQ(Open(vadsim::kDeviceHwplg, &files[0]), STATUS_SUCCESS);
    std::unique_ptr<Request> wait = Wait(0x94, &files[0]);
    EXPECT_NE(wait->irp()->CancelRoutine, nullptr);
    EXPECT_EQ(wait->Completions(), 0);
    EXPECT_EQ(State().pendingWaits, 1u);

    EXPECT_EQ(Raise(0x86, 1), 0u);
    EXPECT_EQ(wait->Completions(), 0);
    EXPECT_EQ(Raise(0x94, 7), 1u);
    EXPECT_EQ(wait->Completions(), 1);
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), 8u);
    EXPECT_EQ(wait->Word(0), 7u);
    EXPECT_EQ(wait->Word(1), 0u);
    EXPECT_EQ(wait->irp()->CancelRoutine, nullptr);
    EXPECT_EQ(State().pendingWaits, 0u);
    EXPECT_EQ(Raise(0x94, 7), 0u);
}

TEST_F(Driver, CleanupEndsTheWaitsOfItsFileOnly) {
    Open(vadsim::kDeviceHwplg, &files[0]);
    Open(vadsim::kDeviceHwplg, &files[1]);
    std::unique_ptr<Request> a = Wait(0x94, &files[0]), b = Wait(0x86, &files[0]),
                             c = Wait(0x94, &files[1]);
    EXPECT_EQ(Cleanup(vadsim::kDeviceHwplg, &files[0]), STATUS_SUCCESS);
    EXPECT_TRUE(Cancelled(*a));
    EXPECT_TRUE(Cancelled(*b));
    EXPECT_EQ(c->Completions(), 0);
    EXPECT_EQ(State().pendingWaits, 1u);
    EXPECT_EQ(Close(vadsim::kDeviceHwplg, &files[0]), STATUS_SUCCESS);
    EXPECT_EQ(c->Completions(), 0);

    // A close that comes without a cleanup ends them too.
    EXPECT_EQ(Close(vadsim::kDeviceHwplg, &files[1]), STATUS_SUCCESS);
    EXPECT_TRUE(Cancelled(*c));
    EXPECT_EQ(State().openHandles[vadsim::kDeviceHwplg], 0u);
}

TEST_F(Driver, TheCancelRoutineTakesTheWaitOutAndCompletesIt) {
    Open(vadsim::kDeviceHwplg, &files[0]);
    std::unique_ptr<Request> a = Wait(0x85, &files[0]), b = Wait(0x85, &files[0]);
    ASSERT_TRUE(kstub::CancelIrp(Device(vadsim::kDeviceHwplg), a->irp()));
    EXPECT_TRUE(Cancelled(*a));
    EXPECT_EQ(State().pendingWaits, 1u);
    EXPECT_EQ(Raise(0x85, 1), 1u);
    EXPECT_EQ(b->Completions(), 1);
    EXPECT_EQ(a->Completions(), 1);
}

TEST_F(Driver, AWaitCancelledBeforeItIsQueuedIsCompletedAtOnce) {
    Open(vadsim::kDeviceHwplg, &files[0]);
    Request wait(Device(vadsim::kDeviceHwplg), &files[0], IRP_MJ_DEVICE_CONTROL);
    const vad::EventWait in = {0, 0x94};
    wait.Control(IOCTL_HWPL_WAIT_EVENT, &in, 8, 8);
    wait.irp()->Cancel = TRUE;
    EXPECT_EQ(wait.Dispatch(&driver), STATUS_CANCELLED);
    EXPECT_TRUE(Cancelled(wait));
    EXPECT_EQ(State().pendingWaits, 0u);
}

TEST_F(Driver, ARaiseLeavesAWaitWhoseCancellationHasBegun) {
    Open(vadsim::kDeviceHwplg, &files[0]);
    std::unique_ptr<Request> wait = Wait(0x93, &files[0]);
    // The I/O manager has taken the cancel routine but not yet called it.
    wait->irp()->Cancel = TRUE;
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(wait->irp(), nullptr);
    ASSERT_NE(routine, nullptr);
    EXPECT_EQ(Raise(0x93, 1), 0u);
    EXPECT_EQ(wait->Completions(), 0);

    kstub::books().cancelLockHeld = true;
    routine(Device(vadsim::kDeviceHwplg), wait->irp());
    EXPECT_FALSE(kstub::books().cancelLockHeld);
    EXPECT_TRUE(Cancelled(*wait));
    EXPECT_EQ(State().pendingWaits, 0u);
}

TEST_F(Driver, UnloadCancelsTheWaitsAndDeletesEverything) {
    Open(vadsim::kDeviceHwplg, &files[0]);
    std::unique_ptr<Request> a = Wait(0x94, &files[0]), b = Wait(0x85, &files[0]);
    Unload();
    EXPECT_TRUE(Cancelled(*a));
    EXPECT_TRUE(Cancelled(*b));
    EXPECT_TRUE(kstub::books().devices.empty());
    EXPECT_TRUE(kstub::books().links.empty());
}

TEST_F(Driver, PresenceRemovesAndRestoresALink) {
    ASSERT_EQ(Control(IOCTL_VADSIM_SET_PRESENCE, vadsim::Presence{vadsim::kDeviceHwpld, 0}),
              STATUS_SUCCESS);
    EXPECT_EQ(kstub::books().links.count(L"\\DosDevices\\HWPLD"), 0u);
    EXPECT_EQ(kstub::books().links.size(), 5u);
    ASSERT_EQ(Control(IOCTL_VADSIM_SET_PRESENCE, vadsim::Presence{vadsim::kDeviceHwpld, 0}),
              STATUS_SUCCESS);
    EXPECT_EQ(State().absent[vadsim::kDeviceHwpld], 1u);
    ASSERT_EQ(Control(IOCTL_VADSIM_RESET, 0), STATUS_SUCCESS);
    EXPECT_EQ(kstub::books().links.count(L"\\DosDevices\\HWPLD"), 1u);

    // Unloading with a link gone deletes only the others.
    ASSERT_EQ(Control(IOCTL_VADSIM_SET_PRESENCE, vadsim::Presence{vadsim::kDeviceHwplg, 0}),
              STATUS_SUCCESS);
    EXPECT_FALSE(kstub::books().mutexHeld);
    Unload();
}

TEST_F(Driver, CodesThatAreNotBufferedGetNoBufferLookedAt) {
    Open(vadsim::kDeviceHwplz, &files[0]);
    Request request(Device(vadsim::kDeviceHwplz), &files[0], IRP_MJ_DEVICE_CONTROL);
    request.Control(CTL_CODE(0x22, 0xA20, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr, 24, 24);
    request.irp()->AssociatedIrp.SystemBuffer = reinterpret_cast<PVOID>(1);  // not a buffer
    EXPECT_EQ(request.Dispatch(&driver), STATUS_INVALID_DEVICE_REQUEST);
    request.irp()->AssociatedIrp.SystemBuffer = nullptr;
}

namespace {

constexpr ULONG kSlate = kControl + 1;  // the indicators' device ids follow the control device
constexpr ULONG kDock = kControl + 2;

}  // namespace

TEST_F(Driver, IndicatorWritesToggleAndASecondOpenersFail) {
    auto write = [&](ULONG id, PFILE_OBJECT file, ULONG length) {
        Request request(Device(id), file, IRP_MJ_WRITE);
        request.stack().Parameters.Write.Length = length;
        const NTSTATUS status = request.Dispatch(&driver);
        EXPECT_EQ(request.Completions(), 1);
        EXPECT_EQ(request.Information(), NT_SUCCESS(status) ? length : 0u);
        return status;
    };
    EXPECT_EQ(Device(kSlate)->Flags & DO_EXCLUSIVE, static_cast<ULONG>(DO_EXCLUSIVE));
    ASSERT_EQ(Open(kSlate, &files[0]), STATUS_SUCCESS);
    EXPECT_EQ(Open(kSlate, &files[1]), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(write(kSlate, &files[0], 1), STATUS_SUCCESS);
    EXPECT_EQ(write(kSlate, &files[1], 1), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(write(kSlate, &files[0], 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Simple(kSlate, &files[0], IRP_MJ_DEVICE_CONTROL), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(Open(kDock, &files[2]), STATUS_SUCCESS);
    EXPECT_EQ(write(kDock, &files[2], 1), STATUS_SUCCESS);
    EXPECT_EQ(write(kDock, &files[2], 1), STATUS_SUCCESS);
    EXPECT_EQ(write(vadsim::kDeviceHwplz, &files[3], 1), STATUS_INVALID_DEVICE_REQUEST);

    Request query(Device(kControl), &controlFile, IRP_MJ_DEVICE_CONTROL);
    query.Control(IOCTL_VADSIM_QUERY_INDICATORS, nullptr, 0, sizeof(vadsim::IndicatorState));
    ASSERT_EQ(query.Dispatch(&driver), STATUS_SUCCESS);
    vadsim::IndicatorState state;
    std::memcpy(&state, query.Buffer(), sizeof state);
    EXPECT_EQ(state.state[0], 1u);
    EXPECT_EQ(state.writes[0], 1u);
    EXPECT_EQ(state.refused[0], 2u);
    EXPECT_EQ(state.state[1], 0u);
    EXPECT_EQ(state.writes[1], 2u);
    EXPECT_EQ(state.openHandles[0], 1u);

    // Only the counted open's close frees the indicator.
    Close(kSlate, &files[1]);
    EXPECT_EQ(Open(kSlate, &files[4]), STATUS_SHARING_VIOLATION);
    Close(kSlate, &files[0]);
    EXPECT_EQ(Open(kSlate, &files[5]), STATUS_SUCCESS);
}

TEST_F(Driver, IndicatorPresenceRemovesAndRestoresItsLink) {
    const wchar_t* link =
        L"\\DosDevices\\root#nrvdockindicator#0000#{a84e689b-0dce-493a-a164-acde05478fc3}";
    ASSERT_EQ(Control(IOCTL_VADSIM_SET_INDICATOR_PRESENCE,
                      vadsim::IndicatorPresence{vadsim::kIndicatorDock, 0}),
              STATUS_SUCCESS);
    EXPECT_EQ(kstub::books().links.count(link), 0u);
    EXPECT_EQ(kstub::books().links.size(), 5u);
    ASSERT_EQ(Control(IOCTL_VADSIM_RESET, 0), STATUS_SUCCESS);  // stays removed
    EXPECT_EQ(kstub::books().links.count(link), 0u);
    ASSERT_EQ(Control(IOCTL_VADSIM_SET_INDICATOR_PRESENCE,
                      vadsim::IndicatorPresence{vadsim::kIndicatorDock, 1}),
              STATUS_SUCCESS);
    EXPECT_EQ(kstub::books().links.count(link), 1u);
    EXPECT_EQ(Control(IOCTL_VADSIM_SET_INDICATOR_PRESENCE, vadsim::IndicatorPresence{2, 1}),
              STATUS_INVALID_PARAMETER);
}
