#include "VadSimClient.h"

#include <cstring>

namespace vadsim {

ControlChannel::ControlChannel()
    : m_device(::CreateFileW(kControlDevicePath, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!m_device) m_error = ::GetLastError();
}

bool ControlChannel::Send(ULONG code, const void* input, DWORD inputLength, void* output,
                          DWORD outputLength, DWORD* returned) {
    if (!m_device) {
        m_error = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD bytes = 0;
    if (!::DeviceIoControl(m_device.get(), code, const_cast<void*>(input), inputLength, output,
                           outputLength, &bytes, nullptr)) {
        m_error = ::GetLastError();
        return false;
    }
    if (returned != nullptr) *returned = bytes;
    return true;
}

namespace {
template <typename T>
bool SendInput(ControlChannel& channel, ULONG code, const T& input) {
    return channel.Send(code, &input, sizeof input, nullptr, 0);
}
}  // namespace

bool ControlChannel::Reset() {
    return Send(IOCTL_VADSIM_RESET, nullptr, 0, nullptr, 0);
}

bool ControlChannel::SetRegister(const RegisterScript& script) {
    return SendInput(*this, IOCTL_VADSIM_SET_REGISTER, script);
}

bool ControlChannel::SetIdentity(ULONG manufacturer, ULONG machine) {
    return SetRegister({kIdentityRegister, 0, {manufacturer, machine, 0}});
}

bool ControlChannel::SetIdentityUnavailable() {
    return SetRegister({kIdentityRegister, vad::kStatusNotAvailable, {0, 0, 0}});
}

bool ControlChannel::SetMethod(ULONG name, ULONG result) {
    return SendInput(*this, IOCTL_VADSIM_SET_METHOD, MethodScript{name, kMethodResult, result});
}

bool ControlChannel::FailMethod(ULONG name) {
    return SendInput(*this, IOCTL_VADSIM_SET_METHOD, MethodScript{name, kMethodFail, 0});
}

bool ControlChannel::RemoveMethod(ULONG name) {
    return SendInput(*this, IOCTL_VADSIM_SET_METHOD, MethodScript{name, kMethodRemove, 0});
}

bool ControlChannel::SetPolled(const PolledScript& script) {
    return SendInput(*this, IOCTL_VADSIM_SET_POLLED, script);
}

bool ControlChannel::FailOpens(ULONG device, ULONG count) {
    return SendInput(*this, IOCTL_VADSIM_FAIL_OPEN, FailOpen{device, count});
}

bool ControlChannel::SetPresent(ULONG device, bool present) {
    return SendInput(*this, IOCTL_VADSIM_SET_PRESENCE, Presence{device, present ? 1ul : 0ul});
}

bool ControlChannel::FailRequests(ULONG kind, ULONG count) {
    return SendInput(*this, IOCTL_VADSIM_FAIL_REQUEST, FailRequest{kind, count});
}

bool ControlChannel::SetEventMode(ULONG mode, ULONG value) {
    return SendInput(*this, IOCTL_VADSIM_SET_EVENT_MODE, EventMode{mode, value});
}

bool ControlChannel::ShortMethodReply(ULONG name, ULONG result) {
    return SendInput(*this, IOCTL_VADSIM_SET_METHOD, MethodScript{name, kMethodShortReply, result});
}

bool ControlChannel::SetCancelMode(ULONG mode) {
    return SendInput(*this, IOCTL_VADSIM_SET_CANCEL_MODE, CancelMode{mode});
}

bool ControlChannel::CompleteCancelled(ULONG* completed) {
    CancelledResult result = {};
    if (!Send(IOCTL_VADSIM_COMPLETE_CANCELLED, nullptr, 0, &result, sizeof result)) return false;
    if (completed != nullptr) *completed = result.completed;
    return true;
}

bool ControlChannel::QueryTiming(Timing* timing) {
    return Send(IOCTL_VADSIM_QUERY_TIMING, nullptr, 0, timing, sizeof *timing);
}

bool ControlChannel::Raise(ULONG code, ULONG value, ULONG flags, RaiseResult* result) {
    const RaiseEvent event = {code, value, flags};
    RaiseResult answer = {};
    if (!Send(IOCTL_VADSIM_RAISE_EVENT, &event, sizeof event, &answer, sizeof answer)) {
        return false;
    }
    if (result != nullptr) *result = answer;
    return true;
}

bool ControlChannel::QueryState(DeviceState* state) {
    return Send(IOCTL_VADSIM_QUERY_STATE, nullptr, 0, state, sizeof *state);
}

bool ControlChannel::QueryIndicators(IndicatorState* state) {
    return Send(IOCTL_VADSIM_QUERY_INDICATORS, nullptr, 0, state, sizeof *state);
}

bool ControlChannel::SetIndicatorPresent(ULONG indicator, bool present) {
    return SendInput(*this, IOCTL_VADSIM_SET_INDICATOR_PRESENCE,
                     IndicatorPresence{indicator, present ? 1ul : 0ul});
}

bool ControlChannel::ReadLog(std::vector<LogEntry>* entries, ULONG fromSequence) {
    entries->clear();
    std::vector<unsigned char> buffer(sizeof(LogHeader) + 128 * sizeof(LogEntry));
    for (;;) {
        const LogQuery query = {fromSequence};
        DWORD returned = 0;
        if (!Send(IOCTL_VADSIM_READ_LOG, &query, sizeof query, buffer.data(),
                  static_cast<DWORD>(buffer.size()), &returned)) {
            return false;
        }
        LogHeader header;
        memcpy(&header, buffer.data(), sizeof header);
        const auto* first = reinterpret_cast<const LogEntry*>(buffer.data() + sizeof header);
        entries->insert(entries->end(), first, first + header.count);
        if (header.count == 0) return true;
        fromSequence = first[header.count - 1].sequence + 1;
        if (fromSequence >= header.nextSequence) return true;
    }
}

}  // namespace vadsim
