// The Windows radio-management interfaces, declared from their documented
// definitions (MinGW's headers lack them): the method order is the vtable
// order. Used by the radio service and by the simulated radio managers.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

enum DEVICE_RADIO_STATE {
    DRS_RADIO_ON = 0,
    DRS_SW_RADIO_OFF = 1,
    DRS_HW_RADIO_OFF = 2,
    DRS_SW_HW_RADIO_OFF = 3,
    DRS_HW_RADIO_ON_UNCONTROLLABLE = 4,
    DRS_RADIO_INVALID = 5,
    DRS_HW_RADIO_OFF_UNCONTROLLABLE = 6,
};

enum SYSTEM_RADIO_STATE {
    SRS_RADIO_ENABLED = 0,
    SRS_RADIO_DISABLED = 1,
};

// {70AA1C9E-F2B4-4C61-86D3-6B9FB75FD1A2}
inline constexpr IID IID_IRadioInstance = {
    0x70AA1C9E, 0xF2B4, 0x4C61, {0x86, 0xD3, 0x6B, 0x9F, 0xB7, 0x5F, 0xD1, 0xA2}};
// {E5791FAE-5665-4E0C-95BE-5FDE31644185}
inline constexpr IID IID_IRadioInstanceCollection = {
    0xE5791FAE, 0x5665, 0x4E0C, {0x95, 0xBE, 0x5F, 0xDE, 0x31, 0x64, 0x41, 0x85}};
// {6CFDCAB5-FC47-42A5-9241-074B58830E73}
inline constexpr IID IID_IMediaRadioManager = {
    0x6CFDCAB5, 0xFC47, 0x42A5, {0x92, 0x41, 0x07, 0x4B, 0x58, 0x83, 0x0E, 0x73}};
// {89D81F5F-C147-49ED-A11C-77B20C31E7C9}
inline constexpr IID IID_IMediaRadioManagerNotifySink = {
    0x89D81F5F, 0xC147, 0x49ED, {0xA1, 0x1C, 0x77, 0xB2, 0x0C, 0x31, 0xE7, 0xC9}};

// The three radio managers' classes, in the order the service creates them.
// {833A69FB-5E17-4893-85A5-1EF469217372}
inline constexpr CLSID CLSID_WlanRadioManager = {
    0x833A69FB, 0x5E17, 0x4893, {0x85, 0xA5, 0x1E, 0xF4, 0x69, 0x21, 0x73, 0x72}};
// {1910E202-236A-43E6-9469-FE0B3149F3D9}
inline constexpr CLSID CLSID_WwanRadioManager = {
    0x1910E202, 0x236A, 0x43E6, {0x94, 0x69, 0xFE, 0x0B, 0x31, 0x49, 0xF3, 0xD9}};
// {AFD198AC-5F30-4E89-A789-5DDF60A69366}
inline constexpr CLSID CLSID_BluetoothRadioManager = {
    0xAFD198AC, 0x5F30, 0x4E89, {0xA7, 0x89, 0x5D, 0xDF, 0x60, 0xA6, 0x93, 0x66}};

struct IRadioInstance : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRadioManagerSignature(GUID* signature) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInstanceSignature(BSTR* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFriendlyName(LCID lcid, BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRadioState(DEVICE_RADIO_STATE* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRadioState(DEVICE_RADIO_STATE state,
                                                    UINT32 timeoutSec) = 0;
    virtual BOOL STDMETHODCALLTYPE IsMultiComm() = 0;
    virtual BOOL STDMETHODCALLTYPE IsAssociatingDevice() = 0;
};

struct IRadioInstanceCollection : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(UINT32* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, IRadioInstance** instance) = 0;
};

struct IMediaRadioManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRadioInstances(IRadioInstanceCollection** collection) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSystemRadioStateChange(SYSTEM_RADIO_STATE state,
                                                               UINT32 timeoutSec) = 0;
};

struct IMediaRadioManagerNotifySink : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnInstanceAdd(IRadioInstance* instance) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInstanceRemove(BSTR id) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInstanceRadioChange(BSTR id, DEVICE_RADIO_STATE state) = 0;
};
