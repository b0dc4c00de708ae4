#include "VadSimModel.h"

namespace vadsim {

namespace {

void CopyBytes(void* to, const void* from, ULONG count) {
    auto* t = static_cast<unsigned char*>(to);
    const auto* f = static_cast<const unsigned char*>(from);
    for (ULONG i = 0; i < count; ++i) t[i] = f[i];
}

void ZeroBytes(void* to, ULONG count) {
    auto* t = static_cast<unsigned char*>(to);
    for (ULONG i = 0; i < count; ++i) t[i] = 0;
}

template <typename T>
bool ReadInput(const void* input, ULONG inputLength, T* value) {
    if (input == nullptr || inputLength < sizeof(T)) return false;
    CopyBytes(value, input, sizeof(T));
    return true;
}

// How much of a request's input the log keeps.
constexpr ULONG kWordsLogged = sizeof(LogEntry::words) / sizeof(ULONG);

}  // namespace

void Model::Reset() {
    const ULONG open[kDeviceCount] = {m_openHandles[0], m_openHandles[1], m_openHandles[2]};
    IndicatorState indicators;
    CopyBytes(&indicators, &m_indicators, sizeof indicators);
    ZeroBytes(this, sizeof *this);
    CopyBytes(m_openHandles, open, sizeof open);
    // Open handles and presence stay as they are: the links are the driver's.
    CopyBytes(m_indicators.openHandles, indicators.openHandles, sizeof indicators.openHandles);
    CopyBytes(m_indicators.absent, indicators.absent, sizeof indicators.absent);

    m_registers[0] = {kIdentityRegister, 0, {kDefaultManufacturerWord, kDefaultMachineWord, 0}};
    m_registerCount = 1;
    const char names[][5] = {"VCID", "CTST", "PLST"};
    for (const auto& name : names) m_methods[m_methodCount++] = {vad::MethodName(name), 0, 0};
    m_polled = {kPolledRegister, 0, 0, 0, 0, 0};
    m_eventMode = {kEventsPend, vad::kNoEvent};
    m_nextSequence = 1;
}

LogEntry* Model::Append(ULONG kind, ULONG device, ULONGLONG timeUs) {
    LogEntry* entry = &m_log[(m_nextSequence - 1) % kLogCapacity];
    ZeroBytes(entry, sizeof *entry);
    entry->sequence = m_nextSequence++;
    entry->kind = kind;
    entry->device = device;
    entry->timeUs = timeUs;
    return entry;
}

bool Model::ConsumeFailure(ULONG kind) {
    ULONG& count = m_failRequest[kind];
    if (count == 0) return false;
    if (count != kAlways) --count;
    return true;
}

ULONG Model::Open(ULONG device, ULONGLONG timeUs) {
    LogEntry* entry = Append(kLogOpen, device, timeUs);
    ULONG outcome = kOutcomeSuccess;
    if (device >= kDeviceCount) {
        outcome = kOutcomeInvalidRequest;
    } else if (m_failOpen[device] != 0) {
        if (m_failOpen[device] != kAlways) --m_failOpen[device];
        outcome = kOutcomeNotReady;
    } else if (device == kDeviceHwpld && m_openHandles[device] != 0) {
        // One opener at a time: the device is opened without sharing.
        outcome = kOutcomeSharingViolation;
    } else {
        ++m_openHandles[device];
    }
    entry->outcome = outcome;
    return outcome;
}

void Model::Close(ULONG device, ULONGLONG timeUs) {
    Append(kLogClose, device, timeUs);
    if (device < kDeviceCount && m_openHandles[device] != 0) --m_openHandles[device];
}

Answer Model::Handle(const Request& request) {
    ULONG words[kWordsLogged] = {};
    const ULONG inputLength = request.input != nullptr ? request.inputLength : 0;
    CopyBytes(words, request.input, inputLength < sizeof words ? inputLength : sizeof words);

    LogEntry* entry = Append(kLogRequest, request.device, request.timeUs);
    entry->code = request.code;
    entry->inputLength = inputLength;
    entry->outputLength = request.output != nullptr ? request.outputLength : 0;
    CopyBytes(entry->words, words, sizeof words);

    Answer answer{};
    void* output = request.output;
    const ULONG outputLength = entry->outputLength;
    const bool onRegisterDevice = request.device == kDeviceHwplz || request.device == kDeviceHwpld;
    if (request.refused != kOutcomeSuccess) {
        answer.outcome = request.refused;  // a handle whose open was refused
    } else if (request.code == IOCTL_HWPL_REGISTER) {
        answer.outcome = onRegisterDevice
                             ? RegisterRequest(words, inputLength, output, outputLength, &answer)
                             : kOutcomeInvalidRequest;
    } else if (request.code == IOCTL_HWPL_EVAL_METHOD) {
        answer.outcome = request.device == kDeviceHwplz
                             ? MethodRequest(words, inputLength, output, outputLength, &answer)
                             : kOutcomeInvalidRequest;
    } else if (request.code == IOCTL_HWPL_WAIT_EVENT) {
        answer.outcome = request.device == kDeviceHwplg
                             ? EventWaitRequest(words, inputLength, output, outputLength, &answer)
                             : kOutcomeInvalidRequest;
    } else {
        answer.outcome = kOutcomeInvalidRequest;
    }
    if (answer.outcome != kOutcomeSuccess) answer.bytes = 0;
    entry->outcome = answer.outcome;
    if (answer.outcome == kOutcomeSuccess) {
        // The status word, the method's result or the event's value.
        const ULONG word = request.code == IOCTL_HWPL_EVAL_METHOD ? vad::kMethodResultWord : 0;
        entry->answer = static_cast<const ULONG*>(output)[word];
    }
    return answer;
}

ULONG Model::RegisterRequest(const ULONG* words, ULONG inputLength, void* output,
                             ULONG outputLength, Answer* answer) {
    if (inputLength < sizeof(vad::RegisterBlock)) return kOutcomeInvalidParameter;
    if (output == nullptr || outputLength < sizeof(vad::RegisterBlock)) {
        return kOutcomeBufferTooSmall;
    }
    const ULONG function = words[0];
    if (function != vad::kFunctionRead && function != vad::kFunctionWrite) {
        return kOutcomeInvalidParameter;
    }
    const bool read = function == vad::kFunctionRead;
    if (ConsumeFailure(read ? kRequestRegisterRead : kRequestRegisterWrite)) {
        return kOutcomeDeviceError;
    }
    ULONG out[6] = {};
    // Writes succeed with status 0; the log keeps what was written.
    if (read) ReadRegister(words, out);
    CopyBytes(output, out, sizeof out);
    answer->bytes = sizeof out;
    return kOutcomeSuccess;
}

void Model::ReadRegister(const ULONG* in, ULONG* out) {
    const ULONG number = in[1];
    if (number == m_polled.registerNumber) {
        if (in[5] == 0) {  // start request: arms the not-ready answers
            m_polledRemaining = m_polled.notReadyCount;
            out[0] = m_polled.startStatus;
        } else if (m_polledRemaining != 0) {
            --m_polledRemaining;
            out[0] = kStatusNotReady;
        } else {
            out[0] = m_polled.finalStatus;
            out[2] = m_polled.value2;
            out[4] = m_polled.value4;
        }
        return;
    }
    for (ULONG i = 0; i < m_registerCount; ++i) {
        const RegisterScript& script = m_registers[i];
        if (script.registerNumber != number) continue;
        out[0] = script.status;
        out[2] = script.values[0];
        out[3] = script.values[1];
        out[4] = script.values[2];
        return;
    }
    out[0] = kStatusNoSuchRegister;
}

ULONG Model::MethodRequest(const ULONG* words, ULONG inputLength, void* output, ULONG outputLength,
                           Answer* answer) {
    if (inputLength < sizeof(vad::MethodRequest)) return kOutcomeInvalidParameter;
    if (output == nullptr || outputLength < sizeof(vad::MethodReply)) {
        return kOutcomeBufferTooSmall;
    }
    if (words[1] != vad::kMethodInputLength || words[2] != vad::kMethodSignature) {
        return kOutcomeInvalidParameter;
    }
    if (ConsumeFailure(kRequestMethod)) return kOutcomeDeviceError;
    const ULONG name = words[3];
    for (ULONG i = 0; i < m_methodCount; ++i) {
        const MethodEntry& method = m_methods[i];
        if (method.name != name) continue;
        if (method.fails == kMethodFail) return kOutcomeDeviceError;
        vad::MethodReply reply = {};
        reply.words[vad::kMethodResultWord] = method.result;
        // A short reply ends before the result word.
        const ULONG bytes = method.fails == kMethodShortReply
                                ? vad::kMethodResultWord * sizeof(ULONG)
                                : static_cast<ULONG>(sizeof reply);
        CopyBytes(output, &reply, bytes);
        answer->bytes = bytes;
        return kOutcomeSuccess;
    }
    return kOutcomeNotFound;
}

ULONG Model::EventWaitRequest(const ULONG* words, ULONG inputLength, void* output,
                              ULONG outputLength, Answer* answer) {
    if (inputLength < sizeof(vad::EventWait)) return kOutcomeInvalidParameter;
    if (output == nullptr || outputLength < sizeof(vad::EventWait)) {
        return kOutcomeBufferTooSmall;
    }
    if (ConsumeFailure(kRequestEventWait)) return kOutcomeDeviceError;
    const ULONG code = words[1];
    vad::EventWait result = {vad::kNoEvent, 0};
    if (m_eventMode.mode == kEventsCompleteAtOnce) {
        result.word0 = m_eventMode.value;
    } else if (!TakeQueuedEvent(code, &result.word0)) {
        answer->eventCode = code;
        return kOutcomePending;
    }
    CopyBytes(output, &result, sizeof result);
    answer->bytes = sizeof result;
    return kOutcomeSuccess;
}

bool Model::QueueEvent(ULONG code, ULONG value) {
    if (m_queuedCount == kMaxQueuedEvents) return false;
    m_queued[m_queuedCount++] = {code, value};
    return true;
}

bool Model::TakeQueuedEvent(ULONG code, ULONG* value) {
    for (ULONG i = 0; i < m_queuedCount; ++i) {
        if (m_queued[i].code != code) continue;
        *value = m_queued[i].value;
        for (ULONG j = i + 1; j < m_queuedCount; ++j) m_queued[j - 1] = m_queued[j];
        --m_queuedCount;
        return true;
    }
    return false;
}

void Model::FillState(DeviceState* state) const {
    CopyBytes(state->openHandles, m_openHandles, sizeof m_openHandles);
    CopyBytes(state->absent, m_absent, sizeof m_absent);
    state->queuedEvents = m_queuedCount;
    state->eventMode = m_eventMode.mode;
}

ULONG Model::IndicatorOpen(ULONG indicator) {
    if (indicator >= kIndicatorCount) return kOutcomeInvalidRequest;
    // One opener at a time: opened for writing without sharing.
    if (m_indicators.openHandles[indicator] != 0) return kOutcomeSharingViolation;
    ++m_indicators.openHandles[indicator];
    return kOutcomeSuccess;
}

void Model::IndicatorClose(ULONG indicator) {
    if (indicator < kIndicatorCount && m_indicators.openHandles[indicator] != 0) {
        --m_indicators.openHandles[indicator];
    }
}

ULONG Model::IndicatorWrite(ULONG indicator, ULONG length, ULONG refused) {
    if (indicator >= kIndicatorCount) return kOutcomeInvalidRequest;
    ULONG outcome = refused;
    if (outcome == kOutcomeSuccess && length != 1) outcome = kOutcomeInvalidParameter;
    if (outcome != kOutcomeSuccess) {
        ++m_indicators.refused[indicator];
        return outcome;
    }
    m_indicators.state[indicator] ^= 1;
    ++m_indicators.writes[indicator];
    return kOutcomeSuccess;
}

void Model::FillIndicators(IndicatorState* state) const {
    CopyBytes(state, &m_indicators, sizeof m_indicators);
}

Answer Model::Control(ULONG code, const void* input, ULONG inputLength, void* output,
                      ULONG outputLength) {
    Answer answer{};
    switch (code) {
        case IOCTL_VADSIM_RESET:
            Reset();
            answer.outcome = kOutcomeSuccess;
            break;
        case IOCTL_VADSIM_SET_REGISTER: {
            RegisterScript script;
            answer.outcome = ReadInput(input, inputLength, &script) ? SetRegister(script)
                                                                    : kOutcomeInvalidParameter;
            break;
        }
        case IOCTL_VADSIM_SET_METHOD: {
            MethodScript script;
            answer.outcome = ReadInput(input, inputLength, &script) ? SetMethod(script)
                                                                    : kOutcomeInvalidParameter;
            break;
        }
        case IOCTL_VADSIM_SET_POLLED: {
            PolledScript script;
            answer.outcome = kOutcomeInvalidParameter;
            if (ReadInput(input, inputLength, &script)) {
                m_polled = script;
                m_polledRemaining = 0;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        }
        case IOCTL_VADSIM_FAIL_OPEN: {
            FailOpen request;
            answer.outcome = kOutcomeInvalidParameter;
            if (ReadInput(input, inputLength, &request) && request.device < kDeviceCount) {
                m_failOpen[request.device] = request.count;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        }
        case IOCTL_VADSIM_SET_PRESENCE: {
            Presence presence;
            answer.outcome = kOutcomeInvalidParameter;
            if (ReadInput(input, inputLength, &presence) && presence.device < kDeviceCount) {
                m_absent[presence.device] = presence.present ? 0 : 1;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        }
        case IOCTL_VADSIM_SET_INDICATOR_PRESENCE: {
            IndicatorPresence presence;
            answer.outcome = kOutcomeInvalidParameter;
            if (ReadInput(input, inputLength, &presence) && presence.indicator < kIndicatorCount) {
                m_indicators.absent[presence.indicator] = presence.present ? 0 : 1;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        }
        case IOCTL_VADSIM_QUERY_INDICATORS:
            answer.outcome = kOutcomeBufferTooSmall;
            if (output != nullptr && outputLength >= sizeof(IndicatorState)) {
                CopyBytes(output, &m_indicators, sizeof m_indicators);
                answer.bytes = sizeof m_indicators;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        case IOCTL_VADSIM_FAIL_REQUEST: {
            FailRequest request;
            answer.outcome = kOutcomeInvalidParameter;
            if (ReadInput(input, inputLength, &request) && request.kind < kRequestKindCount) {
                m_failRequest[request.kind] = request.count;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        }
        case IOCTL_VADSIM_SET_EVENT_MODE: {
            EventMode mode;
            answer.outcome = kOutcomeInvalidParameter;
            if (ReadInput(input, inputLength, &mode) &&
                (mode.mode == kEventsPend || mode.mode == kEventsCompleteAtOnce)) {
                m_eventMode = mode;
                answer.outcome = kOutcomeSuccess;
            }
            break;
        }
        case IOCTL_VADSIM_READ_LOG: {
            LogQuery query = {0};
            if (input != nullptr && inputLength != 0 && !ReadInput(input, inputLength, &query)) {
                answer.outcome = kOutcomeInvalidParameter;
                break;
            }
            answer.outcome = ReadLog(query.fromSequence, output, outputLength, &answer);
            break;
        }
        default:
            answer.outcome = kOutcomeInvalidRequest;
            break;
    }
    return answer;
}

ULONG Model::SetRegister(const RegisterScript& script) {
    for (ULONG i = 0; i < m_registerCount; ++i) {
        if (m_registers[i].registerNumber == script.registerNumber) {
            m_registers[i] = script;
            return kOutcomeSuccess;
        }
    }
    if (m_registerCount == kMaxRegisters) return kOutcomeInvalidParameter;
    m_registers[m_registerCount++] = script;
    return kOutcomeSuccess;
}

ULONG Model::SetMethod(const MethodScript& script) {
    if (script.action > kMethodShortReply) return kOutcomeInvalidParameter;
    for (ULONG i = 0; i < m_methodCount; ++i) {
        if (m_methods[i].name != script.name) continue;
        if (script.action == kMethodRemove) {
            for (ULONG j = i + 1; j < m_methodCount; ++j) m_methods[j - 1] = m_methods[j];
            --m_methodCount;
        } else {
            m_methods[i] = {script.name, script.action, script.result};
        }
        return kOutcomeSuccess;
    }
    if (script.action == kMethodRemove) return kOutcomeSuccess;
    if (m_methodCount == kMaxMethods) return kOutcomeInvalidParameter;
    m_methods[m_methodCount++] = {script.name, script.action, script.result};
    return kOutcomeSuccess;
}

ULONG Model::ReadLog(ULONG fromSequence, void* output, ULONG outputLength, Answer* answer) const {
    if (output == nullptr || outputLength < sizeof(LogHeader)) return kOutcomeBufferTooSmall;
    LogHeader header = {};
    header.nextSequence = m_nextSequence;
    header.oldestSequence = m_nextSequence > kLogCapacity ? m_nextSequence - kLogCapacity : 1;
    ULONG sequence = fromSequence > header.oldestSequence ? fromSequence : header.oldestSequence;
    const ULONG room = (outputLength - sizeof header) / sizeof(LogEntry);
    auto* entries = static_cast<unsigned char*>(output) + sizeof header;
    for (; sequence < m_nextSequence && header.count < room; ++sequence, ++header.count) {
        CopyBytes(entries + header.count * sizeof(LogEntry), &m_log[(sequence - 1) % kLogCapacity],
                  sizeof(LogEntry));
    }
    CopyBytes(output, &header, sizeof header);
    answer->bytes = sizeof header + header.count * sizeof(LogEntry);
    return kOutcomeSuccess;
}

}  // namespace vadsim
