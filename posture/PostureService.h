// The posture service host: POSTURESVC.exe is the service and its own
// installer. With a switch it checks the machine, installs or removes the
// service and exits; without one it runs as the service: it chooses how the
// machine reports docking and posture from the registry decisions of its
// install, starts the dock workers and waits for firmware events or keyboard
// changes until it is stopped.
#pragma once

#include "PostureEnvironment.h"

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>

inline constexpr const wchar_t kServiceName[] = L"POSTURESVC";
inline constexpr const wchar_t kServiceDisplayName[] = L"NORVALE Posture Service";
inline constexpr const wchar_t kServiceExecutable[] = L"POSTURESVC.exe";
inline constexpr const wchar_t kDockEventName[] = L"POSTURESVC_DOCKEVENT";

// Machine word of the model whose suspend always defers the dock workers.
inline constexpr DWORD kSuspendDeferredMachine = 0xA9;
// Start-pending and stop-pending wait hints.
inline constexpr DWORD kStartWaitHintMs = 30000;
inline constexpr DWORD kStopWaitHintMs = 50000;
// Controls accepted at all times: stop and power events.
inline constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT;

// Process-wide state. The decisions are written by ServiceMain before any
// worker starts and only read afterwards; the flags that several threads
// write are atomic.
extern SERVICE_STATUS ServiceStatus;
extern DWORD g_keyboardPidVid;  // -1: no detachable USB keyboard
extern bool g_DockRotation;
extern bool g_isConvertible;
extern bool g_isReverseDockConvertible;
extern bool g_isWorkaround;
extern std::atomic<bool> g_isSuspend;
extern std::atomic<LONG> g_isStopRequested;
extern ULONG ulNotifyCodeSvc;
extern std::optional<std::wstring> g_slateIndicatorPath;
extern std::optional<std::wstring> g_dockIndicatorPath;
// Events shared between threads; null while they do not exist.
extern std::atomic<HANDLE> g_hStopEvent;
extern std::atomic<HANDLE> g_hDockEvent;
extern std::atomic<HANDLE> g_hKbdChangeEvent;

// A reference of the worker's own to the dock event, so that the event
// lives as long as a worker that outlasts ServiceMain; empty when the
// service has withdrawn the event (it is stopping; GetLastError is then
// ERROR_SUCCESS) or the handle cannot be duplicated (GetLastError says why).
nrv::UniqueHandle HoldDockEvent();

// The executable's folder into g_workPath: 1, or E_FAIL.
HRESULT InitWorkPath(HMODULE module);

// The path of the first present interface of the class, or none.
std::optional<std::wstring> GetDevicePath(const GUID& interfaceClass);

// Whether the machine has a laptop/slate or a docking indicator: 0, or E_FAIL.
HRESULT CommandCheck();

// The service control manager side: 0, or E_POINTER.
HRESULT InstallService();
HRESULT UninstallService();
// After an uninstall: Windows' indicators back to slate mode and undocked.
void RestoreIndicators();

// The program's command line (all after the program name): its exit code.
int RunCommandLine(const wchar_t* arguments);
// Hands the process to the service control manager; returns when the
// service has stopped (at once outside the manager).
void RunServiceDispatcher();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, void* eventData, void* context);
