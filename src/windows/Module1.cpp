#include "windows/Module1.h"

#include "windows/WideText.h"

#include <cwchar>

namespace dovo::Module1 {

NOTIFYICONDATAW TrayData = {};

namespace {

bool shown = false;

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
    TrayData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
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
    // At login the taskbar may not be there yet: the add fails, and
    // TaskbarCreated brings the next try.
    shown = Shell_NotifyIconW(NIM_ADD, &TrayData) != FALSE;
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
