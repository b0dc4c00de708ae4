// The radio service host: RadioSvc.exe installs ("/INSTALL") and removes
// ("/UNINSTALL") itself and runs as the service "NRVRadioSvc": it starts the
// radio work, registers for Bluetooth device-interface and suspend/resume
// notifications and keeps a hidden window whose message loop holds the
// service thread until it is stopped.
#pragma once

#include <windows.h>

inline constexpr const wchar_t kRadioServiceName[] = L"NRVRadioSvc";
inline constexpr const wchar_t kNotifyWindowClass[] = L"NRVRadioSvc_CLASS";
inline constexpr const wchar_t kNotifyWindowTitle[] = L"NRVRadioSvc_Wnd";

inline constexpr DWORD kRadioAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT;
inline constexpr DWORD kRadioStartWaitHintMs = 30000;
inline constexpr DWORD kRadioStopWaitHintMs = 50000;
// How long ServiceMain waits, after its loop ends, for the radio threads.
inline constexpr DWORD kRadioThreadsStopWaitMs = 1000;
// How long it waits for the control handler's stop-pending report, and then
// for the handler to return (its answer goes out after it returns).
inline constexpr DWORD kStopPendingWaitMs = 3000;
inline constexpr DWORD kControlReplyGraceMs = 50;

// {0850302A-B344-4FDA-9BE9-90576B8D46F0}
inline constexpr GUID kBthportInterfaceClass = {
    0x0850302A, 0xB344, 0x4FDA, {0x9B, 0xE9, 0x90, 0x57, 0x6B, 0x8D, 0x46, 0xF0}};
// {B142FC3E-FA4E-460B-8ABC-072B628B3C70}
inline constexpr GUID kRfcommInterfaceClass = {
    0xB142FC3E, 0xFA4E, 0x460B, {0x8A, 0xBC, 0x07, 0x2B, 0x62, 0x8B, 0x3C, 0x70}};

// Set first thing by wWinMain.
void SetProgramIdentity(HINSTANCE instance);

// The whole command line: "/INSTALL" installs and starts the service,
// "/UNINSTALL" removes it (exactly, case-sensitively); then, in every case,
// the dispatcher is started.
void RunRadioCommandLine(const wchar_t* commandLine);

HRESULT InstallService(const wchar_t* serviceName);
HRESULT UninstallService(const wchar_t* serviceName);

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, void* eventData, void* context);
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL NotifyWindowMain();

// The service's last reported status (for tests).
SERVICE_STATUS CurrentServiceStatus();
// Puts the host's state back to that of a new process (for tests that run
// ServiceMain more than once).
void ResetServiceHostForTest();
