// 100 unplugs and replugs of the simulated firmware device with waits pending
// on the real nrvrfsw.sys, and the device host's handle count before and
// after: every removal completes the waits, every plug brings the interface
// back, and the cycles leave no handle behind in the device host.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "BtSimClient.h"
#include "TestSupport.h"

namespace {

// Wine's device hosts of this prefix (the bus and the driver share one).
std::vector<DWORD> DeviceHosts() {
    std::vector<DWORD> ids;
    nrv::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"winedevice.exe") == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

// The system handle table (SystemHandleInformation).
struct HandleEntry {
    USHORT processId;
    USHORT backTrace;
    UCHAR type;
    UCHAR attributes;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

std::vector<unsigned char> ReadHandleTable() {
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) ==
           static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    }
    return buffer;
}

struct HostHandles {
    DWORD keys = 0;    // registry keys
    DWORD others = 0;  // everything else
};

// The device hosts' handles, registry keys apart: Wine's
// IoSetDeviceInterfaceState opens the interface's three registry keys (and
// its Plug and Play manager the device's Enum key) and never closes them,
// seven keys per unplug and replug, whatever the driver does.
HostHandles CountHostHandles() {
    nrv::UniqueHKey probe;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM", 0, KEY_READ, probe.put());
    const auto buffer = ReadHandleTable();
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    int keyType = -1;
    const auto self = static_cast<USHORT>(::GetCurrentProcessId());
    const auto probeValue = static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(probe.get()));
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == self && table->entries[i].value == probeValue) {
            keyType = table->entries[i].type;
        }
    }
    HostHandles result;
    for (DWORD id : DeviceHosts()) {
        for (ULONG i = 0; i < table->count; ++i) {
            if (table->entries[i].processId != static_cast<USHORT>(id)) continue;
            if (table->entries[i].type == keyType) {
                ++result.keys;
            } else {
                ++result.others;
            }
        }
    }
    return result;
}

TEST(RadioSwitchCycles, UnplugAndReplugWithWaitsPending) {
    acpibt::ControlChannel sim;
    ASSERT_TRUE(sim.Open()) << "the simulated device is not loaded (fixture btsim)";
    ASSERT_TRUE(sim.SetPresent(true));
    ASSERT_TRUE(testsupport::WaitFor([] { return acpibt::FindRadioInterface().has_value(); }));
    ASSERT_TRUE(sim.Reset());
    ASSERT_FALSE(DeviceHosts().empty());
    const HostHandles before = CountHostHandles();
    constexpr int kCycles = 100;
    const ULONGLONG start = ::GetTickCount64();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        nrv::UniqueFileHandle device = acpibt::WaitAndOpenRadio(true);
        ASSERT_TRUE(device.valid()) << "cycle " << cycle << ", error " << ::GetLastError() << ", "
                                    << (acpibt::FindRadioInterface() ? "listed" : "not listed");
        nrv::UniqueHandle events[2] = {
            nrv::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
            nrv::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr))};
        OVERLAPPED waits[2] = {};
        const ULONG codes[2] = {IOCTL_RADIO_WAIT_NOTIFY80, IOCTL_RADIO_WAIT_NOTIFY90};
        for (int i = 0; i < 2; ++i) {
            waits[i].hEvent = events[i].get();
            DWORD bytes = 0;
            ASSERT_FALSE(::DeviceIoControl(device.get(), codes[i], nullptr, 0, nullptr, 0, &bytes,
                                           &waits[i]));
            ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
        }
        ASSERT_TRUE(sim.SetPresent(false)) << "cycle " << cycle;
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(events[i].get(), 5000))
                << "cycle " << cycle << ": a wait outlived the removal";
            EXPECT_EQ(0u, waits[i].Internal);
        }
        device.reset();
        ASSERT_FALSE(acpibt::FindRadioInterface().has_value()) << "cycle " << cycle;
        ASSERT_TRUE(sim.SetPresent(true));
        ASSERT_TRUE(testsupport::WaitFor([] { return acpibt::FindRadioInterface().has_value(); }))
            << "cycle " << cycle;
    }
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    acpibt::State state = {};
    ASSERT_TRUE(sim.QueryState(&state));
    EXPECT_EQ(1u, state.callbacks);
    EXPECT_EQ(1u, state.interfaceRefs);
    // Wine's PnP threads settle after the last plug.
    HostHandles after;
    testsupport::WaitFor([&] { return (after = CountHostHandles()).others <= before.others; },
                         3000);
    std::printf(
        "%d cycles in %llu ms (%.1f ms each); device host handles other than registry keys: %lu "
        "before, %lu after; registry keys: %lu before, %lu after\n",
        kCycles, elapsed, static_cast<double>(elapsed) / kCycles,
        static_cast<unsigned long>(before.others), static_cast<unsigned long>(after.others),
        static_cast<unsigned long>(before.keys), static_cast<unsigned long>(after.keys));
    EXPECT_LE(after.others, before.others + 2) << "handles left behind by the cycles";
    EXPECT_LE(after.keys, before.keys + 7 * kCycles + 2) << "more keys than Wine's own leak";
}

}  // namespace
