// The dock and posture monitor: short-lived workers that read the machine's
// real state (a firmware method or the list of enumerated keyboards) and flip
// each of Windows' two indicators whose reported state differs. Workers run
// one at a time: each takes the dock event as a token and sets it again when
// done.
#pragma once

#include <windows.h>

// Result of the state queries.
using DockState = LONG;
inline constexpr DockState kDockUndocked = 0;  // slate mode, not docked
inline constexpr DockState kDockCradle = 1;    // slate mode, docked
inline constexpr DockState kDockKeyboard = 2;  // laptop mode, docked
inline constexpr DockState kDockNoState = -1;  // nothing changes (255 too)

// Firmware events the service waits for.
inline constexpr ULONG c_nNotifyCode_DockingEvent = 0x94;
inline constexpr ULONG c_nNotifyCode_ConvertibleEvent = 0x93;
inline constexpr ULONG c_nNotifyCode_PLSTEvent = 0x86;

// "VCID" of a cradle.
inline constexpr ULONG kCradleDockId = 0x2651F351;

// {317FC439-3F77-41C8-B09E-08AD63272AA3}: the laptop/slate mode indicator.
inline constexpr GUID SLATE_INDICATOR_GUID = {
    0x317FC439, 0x3F77, 0x41C8, {0xB0, 0x9E, 0x08, 0xAD, 0x63, 0x27, 0x2A, 0xA3}};
// {A84E689B-0DCE-493A-A164-ACDE05478FC3}: the docking mode indicator.
inline constexpr GUID DOCK_INDICATOR_GUID = {
    0xA84E689B, 0x0DCE, 0x493A, {0xA1, 0x64, 0xAC, 0xDE, 0x05, 0x47, 0x8F, 0xC3}};

inline constexpr const wchar_t kKeyboardListKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\kbdclass\\Enum";

// Waits of the workers, in milliseconds.
inline constexpr DWORD kQueryPauseMs = 2;  // after a query without a state
inline constexpr int kQueryTries = 3;
inline constexpr DWORD kTogglePauseMs = 500;  // after a failed indicator write
inline constexpr int kToggleTries = 10;
inline constexpr DWORD kResumeSettleMs = 4000;  // before the first query after resume
inline constexpr DWORD kResumeAfterMs = 1000;   // after the worker's toggles on resume

// Method "VCID": 0 undocked, the cradle id, a keyboard dock of KbDockIds.
DockState GetCurrentDockStatus();
// Method "CTST", low byte: 0 clamshell, 1 tablet.
DockState GetCurrentPanelStatus();
// Method "PLST", low byte: lid and posture.
DockState GetCurrentPLSTStatus();
// The keyboard list: 2 when a keyboard with g_keyboardPidVid is enumerated.
DockState GetCurrentKeyboardStatus();

// One write to the indicator of the class: 0, or E_FAIL.
HRESULT ToggleDockState(const GUID& indicator);
// ToggleDockState up to 10 times, 500 ms after each failure; true when one
// write succeeded.
bool ToggleDockStateUntilDone(const GUID& indicator);

// The worker bodies.
void DockStatusThread();
void DockStatusThread_PIDVID();
