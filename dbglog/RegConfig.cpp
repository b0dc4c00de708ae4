#include "RegConfig.h"

#include "DbgLog.h"
#include "RegConfigDetail.h"

// Records of this class carry the member's qualified name as their tag.
#define REGCONFIG_LOG(level, tag, ...)                                                          \
    ::LogPrint(::dbglog::detail::SiteAddress(::LogSite{::dbglog::detail::kSourceFile<__FILE__>, \
                                                       __LINE__, tag, L"", (level)}),           \
               __VA_ARGS__)

namespace dbglog::detail {
RegCloseKeyFunction g_regCloseKey = ::RegCloseKey;
}  // namespace dbglog::detail

namespace {

constexpr const wchar_t* kOpenTag = L" (RegConfigAccess::Open)";
constexpr const wchar_t* kSetValueTag = L" (RegConfigAccess::SetValue)";
constexpr const wchar_t* kCloseTag = L" (RegConfigAccess::Close)";

unsigned Code(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

}  // namespace

HRESULT HResultFromRegistryError(LONG error) {
    if (error <= 0) return static_cast<HRESULT>(error);
    return static_cast<HRESULT>((static_cast<unsigned long>(error) & 0xFFFFu) | 0x80070000u);
}

RegConfigAccess::~RegConfigAccess() {
    // The last try: a key that fails to close here is forgotten, not closed
    // once more by its owner, since the system may by now have given the
    // same handle value to another key.
    Close();
    m_key.release();
}

HRESULT RegConfigAccess::Open(HKEY root, const wchar_t* subKey, REGSAM access) {
    if (m_key) {
        REGCONFIG_LOG(LogLevel::Error, kOpenTag, L"Error Code: 0x%x", Code(E_HANDLE));
        return E_HANDLE;
    }
    if (!subKey) {
        REGCONFIG_LOG(LogLevel::Error, kOpenTag, L"Error Code: 0x%x", Code(E_POINTER));
        return E_POINTER;
    }
    HKEY key = nullptr;
    const HRESULT hr = HResultFromRegistryError(::RegOpenKeyExW(root, subKey, 0, access, &key));
    if (FAILED(hr)) {
        REGCONFIG_LOG(LogLevel::Warning, kOpenTag, L"Open %s failed, %x", subKey, Code(hr));
        return hr;
    }
    m_key.reset(key);
    return hr;
}

HRESULT RegConfigAccess::SetValue(const wchar_t* name, DWORD type, DWORD data) {
    if (!m_key) {
        REGCONFIG_LOG(LogLevel::Error, kSetValueTag, L"Error Code: 0x%x", Code(E_HANDLE));
        return E_HANDLE;
    }
    const HRESULT hr = HResultFromRegistryError(::RegSetValueExW(
        m_key.get(), name, 0, type, reinterpret_cast<const BYTE*>(&data), sizeof(data)));
    if (FAILED(hr)) REGCONFIG_LOG(LogLevel::Error, kSetValueTag, L"Error Code: 0x%x", Code(hr));
    return hr;
}

HRESULT RegConfigAccess::Close() {
    if (!m_key) {
        REGCONFIG_LOG(LogLevel::Error, kCloseTag, L"Error Code: 0x%x", Code(E_HANDLE));
        return E_HANDLE;
    }
    const HRESULT hr = HResultFromRegistryError(dbglog::detail::g_regCloseKey(m_key.get()));
    if (FAILED(hr)) {
        REGCONFIG_LOG(LogLevel::Error, kCloseTag, L"Error Code: 0x%x", Code(hr));
        return hr;
    }
    m_key.release();
    return hr;
}
