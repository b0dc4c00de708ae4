// The main dialog, its three pages (welcome, options, progress), the About
// and Disclaimer boxes, fonts, colours, timers and the painted progress bar.
#include "Extractor.h"
#include "DialogTemplate.h"

#include <commctrl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace sfx {
namespace {

// Control ids.
constexpr int idNext = 1000, idExit = 1001, idBannerTitle = 1002, idBanner = 1003,
              idFolderEdit = 1004, idBrowse = 1005, idOverwrite = 1006, idRunCommand = 1007,
              idOpenFolder = 1009, idText = 1012, idBar = 1013, idExtractTo = 1014,
              idOptions = 1015, idFooter = 1016, idError = 1017, idAllowDelete = 1018;
constexpr int timerClose = 7002, timerNext = 7004;
constexpr WPARAM cmdAbout = 0x10, cmdDisclaimer = 0x20, cmdClose = 0x30, cmdError = 0x40;
constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;
constexpr int kBarRange = 1024;

enum class ExitAction { None, Progress };
enum class NextAction { None, Options, Progress };

struct Ui {
    ExtractorState* state = nullptr;
    bool modeless = false;
    HWND main = nullptr;
    HWND page = nullptr;
    int pageIndex = 0;
    NextAction next = NextAction::None;
    ExitAction exit = ExitAction::None;
    HFONT bannerFont = nullptr, footerFont = nullptr, errorFont = nullptr, textFont = nullptr;
    UINT_PTR countdownTimer = 0;
    int remaining = 0;
    // Progress page.
    uint64_t entries = 0, total = 0, done = 0;
    uint64_t finished = 0, skipped = 0, current = 0;
    bool running = false;
    bool errorShown = false;
};
Ui g_ui;

// Progress bar subclass.
struct Bar {
    WNDPROC previous = nullptr;
    int position = 0;
    HFONT font = nullptr;
    wchar_t text[kPathChars] = {};
    int length = 0;
};
Bar g_bar;

ExtractorState& state() {
    return *g_ui.state;
}
bool isSilent() {
    return (state().options & optSilent) != 0;
}
bool isAuto() {
    return (state().options & optAuto) != 0;
}

void text(UINT id, const wchar_t* fallback, wchar_t* buffer, int chars) {
    loadText(state(), id, fallback, buffer, chars);
}

void setItemText(HWND dialog, int id, UINT stringId, const wchar_t* fallback) {
    wchar_t buffer[kPathChars];
    text(stringId, fallback, buffer, kPathChars);
    ::SetDlgItemTextW(dialog, id, buffer);
}

UINT boxFlags(UINT flags) {
    return flags | MB_TOPMOST | (state().rightToLeft ? MB_RTLREADING : 0);
}

int askYesNo(HWND owner, UINT id, const wchar_t* fallback) {
    wchar_t question[kPathChars];
    text(id, fallback, question, kPathChars);
    return ::MessageBoxW(owner, question, L"Archive Extractor",
                         boxFlags(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
}

void addRtl(HWND window) {
    if (window != nullptr && state().rightToLeft)
        ::SetWindowLongPtrW(window, GWL_EXSTYLE,
                            ::GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
}

void postClose(LPARAM value) {
    ::PostMessageW(g_ui.main, WM_SYSCOMMAND, cmdClose, value);
}
void postError(ResultCode code) {
    ::PostMessageW(g_ui.main, WM_SYSCOMMAND, cmdError, code);
}

void killCountdown() {
    if (g_ui.countdownTimer != 0) ::KillTimer(g_ui.main, g_ui.countdownTimer);
    g_ui.countdownTimer = 0;
}

void onTimer(UINT_PTR timer) {
    const int was = g_ui.remaining--;
    if (was > 1) return;
    killCountdown();
    if (timer == timerClose)
        postClose(state().dialogResult);
    else
        ::PostMessageW(g_ui.main, WM_COMMAND, MAKEWPARAM(idNext, 0), 0);
}

void startCountdown(UINT_PTR timer, int seconds) {
    if (seconds == -1) {
        killCountdown();
        return;
    }
    if (g_ui.countdownTimer != 0) {
        g_ui.remaining = seconds;
        if (seconds == 0) onTimer(g_ui.countdownTimer);
        return;
    }
    g_ui.remaining = seconds;
    if (seconds > 0) {
        g_ui.countdownTimer = ::SetTimer(g_ui.main, timer, 1000, nullptr);
    } else {
        g_ui.countdownTimer = timer;
        onTimer(timer);
    }
}

// --- Templates ---

DialogTemplate g_mainTemplate, g_pageTemplate, g_boxTemplate;

const DLGTEMPLATE* mainTemplate() {
    DialogTemplate& t = g_mainTemplate;
    t.begin(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 360, 118,
            L"NORVALE Archive Extractor");
    t.item(WS_VISIBLE | SS_LEFT, 0, 0, 0, 363, 26, idBanner, kStatic, L"");
    t.item(WS_VISIBLE | SS_LEFT | SS_NOPREFIX, WS_EX_TRANSPARENT, 10, 2, 340, 22, idBannerTitle,
           kStatic, L"");
    t.item(WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 289, 100, 62, 14, idNext, kButton,
           L"Next");
    t.item(WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 219, 100, 62, 14, idExit, kButton, L"Exit");
    t.item(WS_VISIBLE | WS_DISABLED | SS_LEFT, 0, 10, 99, 200, 8, idFooter, kStatic, L"");
    t.item(WS_VISIBLE | SS_ETCHEDHORZ, 0, 0, 26, 362, 1, static_cast<DWORD>(-1), kStatic, L"");
    t.item(WS_VISIBLE | SS_ETCHEDHORZ, 0, 0, 96, 362, 1, static_cast<DWORD>(-1), kStatic, L"");
    return t.complete() ? t.get() : nullptr;
}

const DLGTEMPLATE* pageTemplate(int index) {
    DialogTemplate& t = g_pageTemplate;
    t.begin(WS_CHILD | DS_CONTROL | DS_3DLOOK, WS_EX_CONTROLPARENT, 360, 70, L"");
    if (index == 1) {
        t.item(WS_VISIBLE | SS_LEFT, 0, 10, 11, 341, 42, idText, kStatic, L"");
    } else if (index == 2) {
        t.item(WS_VISIBLE | SS_LEFT, 0, 10, 2, 200, 8, static_cast<DWORD>(-1), kStatic,
               L"Extract to folder:");
        t.item(WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_STATICEDGE, 10, 11, 341, 13,
               idFolderEdit, kEdit, L"");
        t.item(WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 289, 27, 62, 14, idBrowse, kButton,
               L"Browse...");
        t.item(WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 10, 27, 270, 10, idOverwrite, kButton,
               L"Overwrite existing files");
        t.item(WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 10, 38, 270, 10, idRunCommand, kButton,
               L"Run command after extraction");
        t.item(WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 10, 49, 270, 10, idAllowDelete,
               kButton, L"Allow folder delete when command is complete");
        t.item(WS_DISABLED | BS_AUTOCHECKBOX, 0, 10, 60, 270, 10, idOpenFolder, kButton,
               L"Open folder after extraction");
    } else {
        t.item(WS_VISIBLE | SS_SIMPLE | SS_NOPREFIX, 0, 10, 2, 271, 8, idExtractTo, kStatic, L"");
        t.item(WS_VISIBLE, 0, 10, 11, 271, 14, idBar, 0, L"", PROGRESS_CLASSW);
        t.item(BS_PUSHBUTTON, 0, 0, 55, 9, 14, IDCANCEL, kButton, L"");
        t.item(WS_VISIBLE | SS_LEFT, 0, 10, 27, 341, 42, idText, kStatic, L"");
        t.item(SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, WS_EX_STATICEDGE, 10, 27, 341, 42, idError,
               kStatic, L"");
        t.item(WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 289, 11, 62, 14, idOptions, kButton,
               L"Options...");
    }
    return t.complete() ? t.get() : nullptr;
}

const DLGTEMPLATE* aboutTemplate() {
    DialogTemplate& t = g_boxTemplate;
    t.begin(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 320, 76, L"About");
    t.item(WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 13, 8, 294, 42, idText, kStatic, L"");
    t.item(WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 130, 56, 60, 14, IDOK, kButton, L"OK");
    return t.complete() ? t.get() : nullptr;
}

// The English Disclaimer carries its texts; other languages take 143-147.
constexpr const wchar_t* kDisclaimerEnglish[5] = {
    L"This extractor decompresses the attached archive, created with the WinZip utility, and uses "
    L"modified decompression code from the zlib package.",
    L"The software is provided \"as is\", without warranty of any kind, express or implied.",
    L"NORVALE Archive Extractor. Copyright (C) NORVALE. All rights reserved.",
    L"zlib: Copyright (C) 1995-2022 Jean-loup Gailly and Mark Adler.",
    L"WinZip is a registered trademark of its owner.",
};

const DLGTEMPLATE* disclaimerTemplate(bool english) {
    DialogTemplate& t = g_boxTemplate;
    t.begin(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 340, 119,
            L"Disclaimer");
    const short tops[5] = {6, 30, 48, 66, 84};
    const short heights[5] = {22, 16, 16, 16, 10};
    for (int i = 0; i < 5; ++i)
        t.item(WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 8, tops[i], 324, heights[i], 1019 + i,
               kStatic, english ? kDisclaimerEnglish[i] : L"");
    t.item(WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 140, 100, 60, 14, IDOK, kButton, L"OK");
    return t.complete() ? t.get() : nullptr;
}

// --- Fonts ---

HFONT deriveFont(HWND control, const wchar_t* face, LONG weight, LONG height, bool keepHeight) {
    HFONT base = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW font{};
    if (base == nullptr || ::GetObjectW(base, sizeof(font), &font) == 0) return nullptr;
    if (face != nullptr) ::lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    if (weight != 0) font.lfWeight = weight;
    if (!keepHeight) font.lfHeight = height;
    if (state().languageGiven) font.lfCharSet = state().charSet;
    return ::CreateFontIndirectW(&font);
}

int clientHeight(HWND dialog, int id) {
    RECT r{};
    ::GetClientRect(::GetDlgItem(dialog, id), &r);
    return r.bottom - r.top;
}

void createFonts(HWND dialog) {
    const int titleHeight = clientHeight(dialog, idBannerTitle);
    const int half = titleHeight / 2;
    g_ui.bannerFont =
        deriveFont(::GetDlgItem(dialog, idBannerTitle),
                   state().charSet == SHIFTJIS_CHARSET ? L"MS PMincho" : L"Times New Roman",
                   FW_BOLD, half != 0 ? half : 18, false);
    g_ui.footerFont =
        deriveFont(::GetDlgItem(dialog, idFooter), L"Times New Roman", FW_NORMAL, 0, true);
    g_ui.errorFont =
        deriveFont(::GetDlgItem(dialog, idFooter), nullptr, 0, half - 1, half - 1 == 0);
    if (state().languageGiven)
        g_ui.textFont = deriveFont(::GetDlgItem(dialog, idNext), nullptr, FW_NORMAL, 0, true);
}

void deleteFonts() {
    HFONT* fonts[] = {&g_ui.bannerFont, &g_ui.footerFont, &g_ui.errorFont, &g_ui.textFont};
    for (HFONT* f : fonts) {
        if (*f != nullptr) ::DeleteObject(*f);
        *f = nullptr;
    }
}

// --- Progress bar ---

LRESULT CALLBACK barProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) {
        const wchar_t* source = reinterpret_cast<const wchar_t*>(lParam);
        ::lstrcpynW(g_bar.text, source != nullptr ? source : L"", kPathChars);
        RECT r{};
        ::GetClientRect(bar, &r);
        HDC dc = ::GetDC(bar);
        HGDIOBJ old = g_bar.font ? ::SelectObject(dc, g_bar.font) : nullptr;
        ::PathCompactPathW(dc, g_bar.text, static_cast<UINT>(r.right - r.left - 2));
        if (old) ::SelectObject(dc, old);
        ::ReleaseDC(bar, dc);
        g_bar.length = static_cast<int>(std::wcslen(g_bar.text));
        ::InvalidateRect(bar, nullptr, TRUE);
        return TRUE;
    }
    if (message == WM_GETTEXT) {
        const int chars = static_cast<int>(wParam);
        if (chars <= 0) return 0;
        ::lstrcpynW(reinterpret_cast<wchar_t*>(lParam), g_bar.text, chars);
        return static_cast<LRESULT>(std::wcslen(reinterpret_cast<wchar_t*>(lParam)));
    }
    if (message == WM_GETTEXTLENGTH) return g_bar.length;
    if (message == WM_PAINT && g_bar.position <= kBarRange) {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(bar, &ps);
        RECT client{};
        ::GetClientRect(bar, &client);
        const bool hint = g_bar.position < 0;
        const int fill = hint ? COLOR_WINDOW : COLOR_BTNFACE;
        const UINT format = DT_SINGLELINE | DT_VCENTER | (hint ? DT_CENTER : 0) | DT_NOPREFIX;
        RECT textRect = client;
        ::InflateRect(&textRect, -4, -4);
        const int filled = hint ? 0 : (client.right - client.left) * g_bar.position / kBarRange;
        HGDIOBJ old = g_bar.font ? ::SelectObject(dc, g_bar.font) : nullptr;
        ::SetBkMode(dc, TRANSPARENT);
        RECT done = client;
        done.right = client.left + filled;
        ::FillRect(dc, &done, ::GetSysColorBrush(COLOR_HIGHLIGHT));
        ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOW));
        ::DrawTextW(dc, g_bar.text, g_bar.length, &textRect, format);
        RECT rest = client;
        rest.left = client.left + filled;
        HRGN clip = ::CreateRectRgnIndirect(&rest);
        ::SelectClipRgn(dc, clip);
        ::FillRect(dc, &rest, ::GetSysColorBrush(fill));
        ::SetTextColor(dc, ::GetSysColor(COLOR_HIGHLIGHT));
        ::DrawTextW(dc, g_bar.text, g_bar.length, &textRect, format);
        ::SelectClipRgn(dc, nullptr);
        ::DeleteObject(clip);
        if (old) ::SelectObject(dc, old);
        ::EndPaint(bar, &ps);
        return 0;
    }
    const LRESULT result = ::CallWindowProcW(g_bar.previous, bar, message, wParam, lParam);
    if (message == PBM_SETPOS)
        g_bar.position = static_cast<int>(wParam);
    else if (message == WM_SETFONT)
        g_bar.font = reinterpret_cast<HFONT>(wParam);
    return result;
}

void setBar(HWND page, int position, const wchar_t* barText) {
    HWND bar = ::GetDlgItem(page, idBar);
    ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position < 0 ? 0 : position), 0);
    g_bar.position = position;
    ::SetWindowTextW(bar, barText);
}

// --- Progress page ---

void showError(HWND page, ResultCode code) {
    wchar_t message[260];
    text(messageIdFor(code), L"Error....", message, 228);
    if (message[0] == L'\0') std::wcscpy(message, L"Error....");
    int number = displayedNumber(code);
    if (code >= rc::LaunchFailed && code <= rc::LaunchFailed + 32) number = code - rc::LaunchFailed;
    wchar_t line[300];
    ::wsprintfW(line, L"%ls \r\n[%d]", message, number);
    HWND error = ::GetDlgItem(page, idError);
    if (g_ui.errorFont)
        ::SendMessageW(error, WM_SETFONT, reinterpret_cast<WPARAM>(g_ui.errorFont), FALSE);
    if (messageIdFor(code) == 123) {
        const LONG_PTR style = ::GetWindowLongPtrW(error, GWL_STYLE);
        ::SetWindowLongPtrW(error, GWL_STYLE, style ^ SS_CENTERIMAGE);
    }
    ::SetWindowTextW(error, line);
    ::ShowWindow(::GetDlgItem(page, idText), SW_HIDE);
    ::ShowWindow(error, SW_SHOW);
    g_ui.errorShown = true;
}

void informationText(wchar_t* out, size_t chars) {
    ExtractorState& s = state();
    out[0] = L'\0';
    if (s.information[0] != L'\0') {
        ::lstrcpynW(out, s.information, static_cast<int>(chars));
        return;
    }
    if ((s.options & optRunCommand) == 0 || s.command[0] == L'\0') return;
    text(136, L"Setup will start after extraction.", out, static_cast<int>(chars));
    const wchar_t* command = s.commandVariant == 1 ? s.derivedCommand : s.command;
    auto room = [&]() { return chars - std::wcslen(out) - 1; };
    if (room() > std::wcslen(command) + 6) {
        std::wcscat(out, L"\r\n\t\"");
        std::wcscat(out, command);
        std::wcscat(out, L"\" ");
        if (room() > std::wcslen(s.parameters)) std::wcscat(out, s.parameters);
    }
    if ((s.options & optRestartNotice) != 0 && room() > 100) {
        wchar_t restart[kPathChars];
        text(137, L"", restart, kPathChars);
        std::wcscat(out, L"\r\n\r\n");
        std::wcsncat(out, restart, room());
    }
}

void enterReady(HWND page) {
    HWND bar = ::GetDlgItem(page, idBar);
    ::SendMessageW(bar, PBM_SETRANGE32, 0, kBarRange);
    setItemText(g_ui.main, idNext, 109, L"Start");
    if (isAuto()) {
        setBar(page, 0, L"");
        ::EnableWindow(::GetDlgItem(page, idOptions), FALSE);
        ::EnableWindow(::GetDlgItem(g_ui.main, idNext), FALSE);
        ::SetFocus(::GetDlgItem(g_ui.main, idExit));
    } else {
        wchar_t hint[kPathChars];
        text(135, L"Please click the Start button.", hint, kPathChars);
        setBar(page, -1, hint);
    }
    setItemText(page, idOptions, 111, L"Options...");
    wchar_t line[kPathChars];
    text(134, L"Extract to:", line, kPathChars);
    const size_t used = std::wcslen(line);
    if (used + 2 < static_cast<size_t>(kPathChars)) {
        std::wcscat(line, L"  ");
        std::wcsncat(line, state().folder, kPathChars - used - 3);
    }
    ::SetDlgItemTextW(page, idExtractTo, line);
    wchar_t information[511];
    informationText(information, 511);
    ::SetDlgItemTextW(page, idText, information);
}

void enterRunning(HWND page, bool showFolder) {
    setBar(page, 0, L"");
    ::EnableWindow(::GetDlgItem(page, idOptions), FALSE);
    ::EnableWindow(::GetDlgItem(g_ui.main, idNext), FALSE);
    ::ShowWindow(::GetDlgItem(page, idExtractTo), showFolder ? SW_SHOW : SW_HIDE);
    ::SetFocus(::GetDlgItem(g_ui.main, idExit));
}

void enterWarning(HWND page) {
    setBar(page, 0, L"");
    ::ShowWindow(::GetDlgItem(page, idExtractTo), SW_HIDE);
    // The user may still start, or choose another folder, even with auto.
    ::EnableWindow(::GetDlgItem(page, idOptions), TRUE);
    ::EnableWindow(::GetDlgItem(g_ui.main, idNext), TRUE);
    ::SetFocus(::GetDlgItem(g_ui.main, idExit));
}

void enterDone(HWND page) {
    wchar_t done[kPathChars] = {};
    if ((state().options & optRunCommand) == 0)
        text(119, L"Task completed successfully.", done, kPathChars);
    setBar(page, kBarRange, done);
}

void startExtraction(HWND page) {
    if (g_ui.running) {
        ::PostMessageW(g_ui.main, WM_COMMAND, MAKEWPARAM(idExit, 0), 0);
        return;
    }
    g_ui.entries = state().entryCount;
    g_ui.total = state().totalSize;
    g_ui.done = g_ui.finished = g_ui.skipped = g_ui.current = 0;
    ExtractTask task{};
    task.owner = g_ui.main;
    task.pumpDialog = page;
    task.notifyWindow = page;
    task.progressMessage = kMsgProgress;
    task.completionMessage = kMsgCompletion;
    task.completionWParam = 10;
    for (int i = 0; i < 4; ++i) task.completionValues[i] = i;
    task.work = extractionWork;
    task.argument = g_ui.state;
    enterRunning(page, true);
    g_ui.running = true;
    if (!startTask(task)) {
        g_ui.running = false;
        state().dialogResult = rc::WorkerStart;
        enterRunning(page, false);
        showError(page, rc::WorkerStart);
    }
}

// The progress page's Exit action.
int progressExit() {
    if (isSilent()) {
        if (g_ui.running) {
            state().dialogResult = rc::Cancelled;
            cancelTask();
            g_ui.running = false;
        }
        return 1;
    }
    if (!g_ui.running) return 0;
    killCountdown();
    if (askYesNo(g_ui.main, 118, L"Exit?") != IDYES) return -1;
    state().dialogResult = rc::Cancelled;
    if (g_ui.page != nullptr) showError(g_ui.page, rc::Cancelled);
    ::UpdateWindow(g_ui.main);
    if (g_ui.page != nullptr) ::UpdateWindow(g_ui.page);
    cancelTask();
    g_ui.running = false;
    return 1;
}

INT_PTR CALLBACK progressProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            HWND bar = ::GetDlgItem(page, idBar);
            g_bar = Bar{};
            g_bar.previous = reinterpret_cast<WNDPROC>(
                ::SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(barProc)));
            ::SendMessageW(bar, WM_SETFONT,
                           ::SendDlgItemMessageW(page, idExtractTo, WM_GETFONT, 0, 0), FALSE);
            g_ui.errorShown = false;
            enterReady(page);
            const ResultCode code = state().dialogResult;
            if (code == rc::Ok) {
                if (isAuto()) ::PostMessageW(page, kMsgStart, 0, 0);
            } else if (code == rc::DescriptionMissing || code == rc::DescriptionMalformed ||
                       code == rc::LogPath || code == rc::ReservedWarning ||
                       code == rc::DiskSpace) {
                enterWarning(page);
                showError(page, code);
            } else {
                enterRunning(page, false);
                showError(page, code);
            }
            return FALSE;
        }
        case kMsgStart:
            startExtraction(page);
            return TRUE;
        case kMsgProgress:
            switch (wParam) {
                case kNoticeEntryStart:
                    g_ui.current = static_cast<uint64_t>(lParam);
                    break;
                case kNoticeBytes:
                    g_ui.done += static_cast<uint64_t>(lParam);
                    if (lParam > 0 && g_ui.total > 0) {
                        const double position = 1024.0 * static_cast<double>(g_ui.done) /
                                                static_cast<double>(g_ui.total);
                        // The bar has 1,025 positions; most chunks do not move it.
                        if (static_cast<int>(position) != g_bar.position) {
                            ::SendDlgItemMessageW(page, idBar, PBM_SETPOS,
                                                  static_cast<WPARAM>(position), 0);
                            ::InvalidateRect(::GetDlgItem(page, idBar), nullptr, FALSE);
                        }
                    }
                    break;
                case kNoticeResult: {
                    const ResultCode code = static_cast<ResultCode>(lParam);
                    state().dialogResult = code;
                    if (code == rc::Skipped)
                        ++g_ui.skipped;
                    else if (code != rc::Ok)
                        showError(page, code);
                    break;
                }
                case kNoticeEntryEnd:
                    if (++g_ui.finished == g_ui.entries) {
                        ::SendDlgItemMessageW(page, idBar, PBM_SETPOS, kBarRange, 0);
                        ::InvalidateRect(::GetDlgItem(page, idBar), nullptr, FALSE);
                    }
                    break;
                case kNoticeName:
                    ::SetDlgItemTextW(page, idBar, reinterpret_cast<const wchar_t*>(lParam));
                    break;
                default:
                    break;
            }
            return TRUE;
        case kMsgCompletion:
            if (wParam == 10 && lParam >= 0 && lParam <= 3) {
                g_ui.running = false;
                cancelTask();  // the worker has ended: release its record
                if (lParam == 0)
                    enterDone(page);
                else
                    ::InvalidateRect(page, nullptr, TRUE);
                ::PostMessageW(page, lParam == 0 ? kMsgSucceeded : kMsgFailed, 0, 0);
            }
            return TRUE;
        case kMsgSucceeded:
            state().dialogResult = rc::Ok;
            if ((state().options & optRunCommand) != 0) {
                state().dialogResult = rc::RunCommandNow;
                startCountdown(timerClose, 0);
            } else {
                startCountdown(timerClose, isSilent() ? 0 : 2);
            }
            return TRUE;
        case kMsgFailed:
            if (isSilent())
                startCountdown(timerClose, 0);
            else if (isAuto())
                startCountdown(timerClose, 5);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == idOptions) ::PostMessageW(g_ui.main, WM_COMMAND, wParam, lParam);
            return TRUE;
        case WM_QUERYENDSESSION:
            state().dialogResult = rc::Cancelled;
            cancelTask();
            g_ui.running = false;
            ::SetWindowLongPtrW(page, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case WM_CTLCOLORSTATIC: {
            HWND control = reinterpret_cast<HWND>(lParam);
            HDC dc = reinterpret_cast<HDC>(wParam);
            if (::GetDlgCtrlID(control) == idError && ::IsWindowVisible(control)) {
                if (g_ui.errorFont) ::SelectObject(dc, g_ui.errorFont);
                ::SetTextColor(dc, RGB(192, 0, 0));
                ::SetBkMode(dc, TRANSPARENT);
                return reinterpret_cast<INT_PTR>(::GetStockObject(NULL_BRUSH));
            }
            if (g_ui.textFont) ::SelectObject(dc, g_ui.textFont);
            return FALSE;
        }
        default:
            return FALSE;
    }
}

// --- Welcome and options pages ---

INT_PTR CALLBACK welcomeProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetDlgItemTextW(page, idText, state().welcome);
        if (isAuto()) startCountdown(timerNext, 5);
        return FALSE;
    }
    if (message == WM_CTLCOLORSTATIC && g_ui.textFont) {
        ::SelectObject(reinterpret_cast<HDC>(wParam), g_ui.textFont);
        return FALSE;
    }
    (void)lParam;
    return FALSE;
}

void cleanFolderText(wchar_t* path) {
    ::PathUnquoteSpacesW(path);
    ::PathRemoveBlanksW(path);
    wchar_t expanded[kPathChars];
    const DWORD n = ::ExpandEnvironmentStringsW(path, expanded, kPathChars);
    if (n > 0 && n <= static_cast<DWORD>(kPathChars)) std::memcpy(path, expanded, sizeof(expanded));
    sanitizePath(path);
}

// The options page's Next action: 1 to go on, 0 to stay.
int applyOptions(HWND page) {
    wchar_t folder[kPathChars] = {};
    ::GetDlgItemTextW(page, idFolderEdit, folder, kPathChars);
    cleanFolderText(folder);
    ::SetDlgItemTextW(page, idFolderEdit, folder);
    if (!checkDiskSpace(state(), folder)) {
        wchar_t message[kPathChars];
        text(121, L"No disk space for extraction.", message, kPathChars);
        ::MessageBoxW(page, message, L"Archive Extractor", boxFlags(MB_OK | MB_ICONHAND));
        return 0;
    }
    resolveExtractionFolder(state(), folder);
    ::SetDlgItemTextW(page, idFolderEdit, state().folder);
    auto setOption = [](uint8_t bit, bool on) {
        if (on)
            state().options |= bit;
        else
            state().options &= static_cast<uint8_t>(~bit);
    };
    setOption(optOverwrite, ::IsDlgButtonChecked(page, idOverwrite) == BST_CHECKED);
    setOption(optRunCommand, ::IsDlgButtonChecked(page, idRunCommand) == BST_CHECKED);
    setOption(optAllowFolderDelete, ::IsDlgButtonChecked(page, idAllowDelete) == BST_CHECKED);
    return 1;
}

INT_PTR CALLBACK optionsProc(HWND page, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        ExtractorState& s = state();
        s.dialogResult = rc::Ok;
        setItemText(g_ui.main, idNext, 108, L"Next");
        setItemText(page, idBrowse, 110, L"Browse...");
        setItemText(page, static_cast<int>(-1), 112, L"Extract to folder:");
        setItemText(page, idOverwrite, 113, L"Overwrite existing files");
        setItemText(page, idRunCommand, 114, L"Run command after extraction");
        setItemText(page, idAllowDelete, 115, L"Allow folder delete when command is complete");
        const bool hasCommand = s.command[0] != L'\0';
        const bool run = (s.options & optRunCommand) != 0;
        ::CheckDlgButton(page, idOverwrite,
                         (s.options & optOverwrite) ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(page, idRunCommand, run && hasCommand ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(
            page, idAllowDelete,
            run && hasCommand && (s.options & optAllowFolderDelete) ? BST_CHECKED : BST_UNCHECKED);
        ::ShowWindow(::GetDlgItem(page, idRunCommand), hasCommand ? SW_SHOW : SW_HIDE);
        ::ShowWindow(::GetDlgItem(page, idAllowDelete), hasCommand ? SW_SHOW : SW_HIDE);
        ::EnableWindow(::GetDlgItem(page, idAllowDelete), run);
        ::SendDlgItemMessageW(page, idFolderEdit, EM_LIMITTEXT, kPathChars, 0);
        ::SetDlgItemTextW(page, idFolderEdit, s.folder);
        return FALSE;
    }
    if (message == WM_COMMAND) {
        if (LOWORD(wParam) == idBrowse) {
            BROWSEINFOW info{};
            info.hwndOwner = page;
            info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NONEWFOLDERBUTTON;
            PIDLIST_ABSOLUTE list = ::SHBrowseForFolderW(&info);
            if (list != nullptr) {
                wchar_t path[MAX_PATH];
                if (::SHGetPathFromIDListW(list, path)) ::SetDlgItemTextW(page, idFolderEdit, path);
                ::CoTaskMemFree(list);
            }
        } else if (LOWORD(wParam) == idRunCommand) {
            ::EnableWindow(::GetDlgItem(page, idAllowDelete),
                           ::IsDlgButtonChecked(page, idRunCommand) == BST_CHECKED);
        }
        return TRUE;
    }
    if (message == WM_CTLCOLORSTATIC && g_ui.textFont) {
        ::SelectObject(reinterpret_cast<HDC>(wParam), g_ui.textFont);
        return FALSE;
    }
    return FALSE;
}

// --- Main dialog ---

bool switchPage(int index) {
    if (g_ui.page != nullptr) {
        if (!::DestroyWindow(g_ui.page)) ::ShowWindow(g_ui.page, SW_HIDE);
        g_ui.page = nullptr;
    }
    g_ui.next = NextAction::None;
    g_ui.exit = ExitAction::None;
    DLGPROC procs[] = {nullptr, welcomeProc, optionsProc, progressProc};
    const WORD resources[] = {0, 130, 131, 132};
    HWND page = nullptr;
    if (const DLGTEMPLATE* t = pageTemplate(index))
        page = ::CreateDialogIndirectParamW(state().instance, t, g_ui.main, procs[index], 0);
    if (page == nullptr)
        page = ::CreateDialogParamW(state().instance, MAKEINTRESOURCEW(resources[index]), g_ui.main,
                                    procs[index], 0);
    if (page == nullptr) return false;
    g_ui.page = page;
    g_ui.pageIndex = index;
    g_ui.next = index == 2   ? NextAction::Options
                : index == 3 ? NextAction::Progress
                             : NextAction::None;
    g_ui.exit = index == 3 ? ExitAction::Progress : ExitAction::None;
    int top = clientHeight(g_ui.main, idBanner);
    if (top == 0) top = 42;
    ::SetWindowPos(page, nullptr, 0, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (!isSilent()) ::ShowWindow(page, SW_SHOW);
    return true;
}

void addSystemMenu(HWND dialog) {
    HMENU menu = ::GetSystemMenu(dialog, FALSE);
    if (menu == nullptr) return;
    UINT at = 0;
    wchar_t item[kPathChars];
    if (state().about[0] != L'\0') {
        text(105, L"About...", item, kPathChars);
        ::InsertMenuW(menu, at++, MF_BYPOSITION | MF_STRING, cmdAbout, item);
        ::InsertMenuW(menu, at++, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    }
    text(106, L"Disclaimer...", item, kPathChars);
    ::InsertMenuW(menu, at++, MF_BYPOSITION | MF_STRING, cmdDisclaimer, item);
    ::InsertMenuW(menu, at, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
}

INT_PTR CALLBACK aboutProc(HWND box, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        ::SetDlgItemTextW(box, idText, state().about);
        addRtl(::GetDlgItem(box, idText));
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(box, LOWORD(wParam));
        return TRUE;
    }
    if (message == WM_CTLCOLORSTATIC && g_ui.textFont) {
        ::SelectObject(reinterpret_cast<HDC>(wParam), g_ui.textFont);
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK disclaimerProc(HWND box, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        for (int i = 0; i < 5; ++i) {
            if (state().primaryLanguage != LANG_ENGLISH) {
                wchar_t line[kPathChars];
                loadText(state(), 143 + i, i == 0 ? L"NORVALE Archive Extractor" : L"", line,
                         kPathChars);
                ::SetDlgItemTextW(box, 1019 + i, line);
            }
            addRtl(::GetDlgItem(box, 1019 + i));
        }
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(box, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void closeDialog(HWND dialog, LPARAM value) {
    if (g_ui.modeless) {
        ::PostQuitMessage(static_cast<int>(state().dialogResult));
        ::DestroyWindow(dialog);
    } else {
        ::EndDialog(dialog, value);
    }
}

void exitPressed(int id) {
    if (g_ui.exit == ExitAction::Progress) {
        const int r = progressExit();
        if (r != 0) {
            if (r != -1) postClose(id);
            return;
        }
    }
    killCountdown();
    if (!isSilent() && askYesNo(g_ui.main, 117, L"Exit?") != IDYES) return;
    postClose(id);
}

void nextPressed() {
    killCountdown();
    if (g_ui.next == NextAction::Options) {
        if (applyOptions(g_ui.page) < 1) return;
    } else if (g_ui.next == NextAction::Progress) {
        ::PostMessageW(g_ui.page, kMsgStart, 0, 0);
        return;
    }
    if (!switchPage(3)) postError(rc::PageCreate);
}

INT_PTR CALLBACK mainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            g_ui.main = dialog;
            addRtl(dialog);
            addRtl(::GetDlgItem(dialog, idBannerTitle));
            addRtl(::GetDlgItem(dialog, idFooter));
            HICON icon = ::LoadIconW(state().instance, MAKEINTRESOURCEW(107));
            if (icon) ::SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            createFonts(dialog);
            // Static controls paint with the font they were given.
            if (g_ui.bannerFont)
                ::SendDlgItemMessageW(dialog, idBannerTitle, WM_SETFONT,
                                      reinterpret_cast<WPARAM>(g_ui.bannerFont), FALSE);
            if (g_ui.footerFont)
                ::SendDlgItemMessageW(dialog, idFooter, WM_SETFONT,
                                      reinterpret_cast<WPARAM>(g_ui.footerFont), FALSE);
            setItemText(dialog, idNext, 108, L"Next");
            setItemText(dialog, idExit, 107, L"Exit");
            ::SetDlgItemTextW(dialog, idBannerTitle, state().banner);
            addSystemMenu(dialog);
            const int first = (state().welcome[0] == L'\0' || isSilent()) ? 3 : 1;
            if (!switchPage(first)) {
                postError(rc::PageCreate);
            } else if (isSilent()) {
                ::SetWindowPos(
                    dialog, nullptr, 0, 0, 0, 0,
                    SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
                ::ShowWindow(dialog, SW_HIDE);
            }
            return TRUE;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (HIWORD(wParam) != 0) return FALSE;
            if (id == IDOK || id == IDCANCEL || id == idExit)
                exitPressed(id);
            else if (id == idNext)
                nextPressed();
            else if (id == idOptions && !g_ui.running && !switchPage(2))
                postError(rc::PageCreate);
            return TRUE;
        }
        case WM_CLOSE:
            ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return TRUE;
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case cmdAbout:
                    if (const DLGTEMPLATE* t = aboutTemplate())
                        ::DialogBoxIndirectParamW(state().instance, t, dialog, aboutProc, 0);
                    return TRUE;
                case cmdDisclaimer:
                    if (const DLGTEMPLATE* t =
                            disclaimerTemplate(state().primaryLanguage == LANG_ENGLISH))
                        ::DialogBoxIndirectParamW(state().instance, t, dialog, disclaimerProc, 0);
                    return TRUE;
                case cmdClose:
                    closeDialog(dialog, lParam);
                    return TRUE;
                case cmdError: {
                    state().dialogResult = static_cast<ResultCode>(lParam);
                    showErrorBox(state(), static_cast<int32_t>(lParam));
                    closeDialog(dialog, lParam);
                    return TRUE;
                }
                default:
                    return FALSE;
            }
        case WM_TIMER:
            if (wParam == timerClose || wParam == timerNext) onTimer(wParam);
            return TRUE;
        case WM_QUERYENDSESSION:
            if (g_ui.page != nullptr)
                return ::SendMessageW(g_ui.page, WM_QUERYENDSESSION, wParam, lParam) != 0;
            return FALSE;
        case WM_CTLCOLORSTATIC: {
            HWND control = reinterpret_cast<HWND>(lParam);
            HDC dc = reinterpret_cast<HDC>(wParam);
            const int id = ::GetDlgCtrlID(control);
            if (id == idBanner) return reinterpret_cast<INT_PTR>(::GetStockObject(WHITE_BRUSH));
            if (id == idBannerTitle) {
                if (g_ui.bannerFont) ::SelectObject(dc, g_ui.bannerFont);
                ::SetBkColor(dc, RGB(255, 255, 255));
                return reinterpret_cast<INT_PTR>(::GetStockObject(WHITE_BRUSH));
            }
            if (id == idFooter && g_ui.footerFont) ::SelectObject(dc, g_ui.footerFont);
            return FALSE;
        }
        case WM_DESTROY:
            killCountdown();
            deleteFonts();
            if (g_ui.page != nullptr) ::DestroyWindow(g_ui.page);
            g_ui.page = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

void loadCommonControls() {
    // comctl32 is not a known DLL: load it from the system folder only.
    HMODULE comctl = ::LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (comctl == nullptr) comctl = ::LoadLibraryW(L"comctl32.dll");
    if (comctl == nullptr) return;
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<InitFn>(
        reinterpret_cast<void*>(::GetProcAddress(comctl, "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    if (init) init(&controls);
}

}  // namespace

void loadText(const ExtractorState& s, UINT id, const wchar_t* fallback, wchar_t* buffer,
              int chars) {
    buffer[0] = L'\0';
    HRSRC block = ::FindResourceExW(s.instance, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), s.langId);
    const wchar_t* p = nullptr;
    if (block != nullptr) {
        HGLOBAL loaded = ::LoadResource(s.instance, block);
        p = loaded ? static_cast<const wchar_t*>(::LockResource(loaded)) : nullptr;
    }
    if (p != nullptr) {
        for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
        const int length = *p;
        if (length > 0) {
            if (length < chars) {
                std::memcpy(buffer, p + 1, static_cast<size_t>(length) * sizeof(wchar_t));
                buffer[length] = L'\0';
            }
            return;
        }
    }
    if (fallback != nullptr) ::lstrcpynW(buffer, fallback, chars);
}

void showErrorBox(ExtractorState& s, int32_t number) {
    if ((s.options & (optAuto | optSilent)) != 0) return;
    ExtractorState* saved = g_ui.state;
    g_ui.state = &s;
    wchar_t message[kPathChars];
    text(120, L"Error occurred in system module.", message, kPathChars - 16);
    wchar_t line[kPathChars + 16];
    ::wsprintfW(line, L"%ls [%d]", message, number);
    ::MessageBoxW(g_ui.main, line, L"Archive Extractor", boxFlags(MB_OK | MB_ICONHAND));
    g_ui.state = saved != nullptr ? saved : &s;
}

INT_PTR runMainDialogModal(ExtractorState& s) {
    loadCommonControls();
    g_ui = Ui{};
    g_ui.state = &s;
    g_ui.modeless = false;
    const DLGTEMPLATE* t = mainTemplate();
    INT_PTR r = t ? ::DialogBoxIndirectParamW(s.instance, t, nullptr, mainProc, 0) : -1;
    if (r == -1) r = ::DialogBoxParamW(s.instance, MAKEINTRESOURCEW(129), nullptr, mainProc, 0);
    g_ui.main = nullptr;
    return r;
}

void runMainDialogModeless(ExtractorState& s) {
    loadCommonControls();
    g_ui = Ui{};
    g_ui.state = &s;
    g_ui.modeless = true;
    const DLGTEMPLATE* t = mainTemplate();
    HWND dialog = t ? ::CreateDialogIndirectParamW(s.instance, t, nullptr, mainProc, 0) : nullptr;
    if (dialog == nullptr)
        dialog = ::CreateDialogParamW(s.instance, MAKEINTRESOURCEW(129), nullptr, mainProc, 0);
    if (dialog == nullptr) {
        s.dialogResult = rc::MainDialog;
        showErrorBox(s, rc::PageCreate);
        return;
    }
    if (!isSilent()) {
        ::ShowWindow(dialog, SW_SHOW);
        ::UpdateWindow(dialog);
    }
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_ui.page != nullptr && ::IsDialogMessageW(g_ui.page, &msg)) continue;
        if (::IsDialogMessageW(dialog, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    g_ui.main = nullptr;
}

}  // namespace sfx
