#include "windows/Module1.h"

#include "windows/WideText.h"

#include <cwchar>
#include <iterator>

namespace dovo::Module1 {

NOTIFYICONDATAW TrayData = {};

namespace {

bool shown = false;
constexpr unsigned FirstRetryMilliseconds = 1000;
constexpr unsigned LongestRetryMilliseconds = 60000;

template <std::size_t N> void CopyInto(wchar_t (&field)[N], const std::string& text)
{
    // Cut to the field rather than failing: a long message still says its
    // beginning.
    std::wcsncpy(field, Widen(text).c_str(), N - 1);
    field[N - 1] = L'\0';
}

} // namespace

bool AddTrayIcon(HWND window, HICON icon, const std::string& tip)
{
    TrayData = {};
    TrayData.cbSize = sizeof TrayData;
    TrayData.hWnd = window;
    TrayData.uID = 1;
    // With version 4 the tip shows only when asked for.
    TrayData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    TrayData.uCallbackMessage = WM_TRAYICON;
    TrayData.hIcon = icon;
    CopyInto(TrayData.szTip, tip);
    return AddTrayIconAgain();
}

bool AddTrayIconAgain()
{
    if (TrayData.hWnd == nullptr) {
        return false;
    }
    // At login the taskbar may not be there yet, or too busy to answer: the
    // add fails, and the window tries again later. An add also fails for an icon the taskbar still
    // has (TaskbarCreated comes after a change of DPI too): a modify that succeeds says so.
    shown = Shell_NotifyIconW(NIM_ADD, &TrayData) != FALSE ||
            Shell_NotifyIconW(NIM_MODIFY, &TrayData) != FALSE;
    if (shown) {
        // Version 4 tells the keyboard's select (Enter, Space) apart from
        // the mouse; the version is forgotten with each add.
        TrayData.uVersion = NOTIFYICON_VERSION_4;
        Shell_NotifyIconW(NIM_SETVERSION, &TrayData);
    }
    return shown;
}

void RemoveTrayIcon()
{
    if (TrayData.hWnd != nullptr) {
        Shell_NotifyIconW(NIM_DELETE, &TrayData);
    }
    shown = false;
}

bool TrayIconShown()
{
    return shown;
}

unsigned RetryDelay(int failures)
{
    unsigned delay = FirstRetryMilliseconds;
    for (int n = 1; n < failures && delay < LongestRetryMilliseconds; ++n) {
        delay *= 2;
    }
    return delay < LongestRetryMilliseconds ? delay : LongestRetryMilliseconds;
}

bool BalloonFits(const std::string& text)
{
    return Widen(text).size() < std::size(TrayData.szInfo);
}

void ShowBalloon(const std::string& title, const std::string& text)
{
    if (!shown) {
        return;
    }
    NOTIFYICONDATAW balloon = TrayData;
    balloon.uFlags = NIF_INFO;
    balloon.dwInfoFlags = NIIF_WARNING;
    CopyInto(balloon.szInfoTitle, title);
    CopyInto(balloon.szInfo, text);
    Shell_NotifyIconW(NIM_MODIFY, &balloon);
}

} // namespace dovo::Module1
