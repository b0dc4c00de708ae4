// Owners for Windows handles, keys, modules and runtime streams: each
// releases its resource exactly once, when it goes out of scope or is reset.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <utility>

namespace nrv {

template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    T get() const { return m_value; }
    bool valid() const { return m_value != Traits::Invalid(); }
    explicit operator bool() const { return valid(); }

    T release() { return std::exchange(m_value, Traits::Invalid()); }
    void reset(T value = Traits::Invalid()) {
        T old = std::exchange(m_value, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    // For out-parameters of creating calls; releases what is held first.
    T* put() {
        reset();
        return &m_value;
    }

private:
    T m_value = Traits::Invalid();
};

struct KernelHandleTraits {  // events, threads, processes, snapshots: null when absent
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFile: INVALID_HANDLE_VALUE when absent
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY key) { ::RegCloseKey(key); }
};
struct ModuleTraits {
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE module) { ::FreeLibrary(module); }
};
struct LocalMemoryTraits {  // buffers the system allocated with LocalAlloc
    static HLOCAL Invalid() { return nullptr; }
    static void Close(HLOCAL memory) { ::LocalFree(memory); }
};
struct ServiceHandleTraits {  // service control manager and service handles
    static SC_HANDLE Invalid() { return nullptr; }
    static void Close(SC_HANDLE handle) { ::CloseServiceHandle(handle); }
};
struct DeviceInfoSetTraits {  // SetupDiGetClassDevs: INVALID_HANDLE_VALUE when absent
    static HDEVINFO Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HDEVINFO set) { ::SetupDiDestroyDeviceInfoList(set); }
};
struct StreamTraits {
    static FILE* Invalid() { return nullptr; }
    static void Close(FILE* stream) { std::fclose(stream); }
};

using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using UniqueFileHandle = UniqueResource<HANDLE, FileHandleTraits>;
using UniqueHKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;
using UniqueLocalMemory = UniqueResource<HLOCAL, LocalMemoryTraits>;
using UniqueStream = UniqueResource<FILE*, StreamTraits>;
using UniqueServiceHandle = UniqueResource<SC_HANDLE, ServiceHandleTraits>;
using UniqueDeviceInfoSet = UniqueResource<HDEVINFO, DeviceInfoSetTraits>;

// Owner of one COM interface pointer: released once.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_pointer = std::exchange(other.m_pointer, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* get() const { return m_pointer; }
    T* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }
    void reset() {
        if (T* old = std::exchange(m_pointer, nullptr)) old->Release();
    }
    // For out-parameters of creating calls; releases what is held first.
    T** put() {
        reset();
        return &m_pointer;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

private:
    T* m_pointer = nullptr;
};

// Restores the thread's last-error code when it goes out of scope.
class PreserveLastError {
public:
    PreserveLastError() : m_error(::GetLastError()) {}
    ~PreserveLastError() { ::SetLastError(m_error); }
    DWORD Saved() const { return m_error; }
    PreserveLastError(const PreserveLastError&) = delete;
    PreserveLastError& operator=(const PreserveLastError&) = delete;

private:
    DWORD m_error;
};

}  // namespace nrv
