#pragma once

#include <windows.h>

#include <shellapi.h>
#include <string>

namespace dovo::Module1 {

// The icon's clicks arrive at the window as this message, the mouse
// message in lParam.
inline constexpr UINT WM_TRAYICON = WM_APP + 1;

// The notification-area icon as it was added, kept so the same icon is the
// one removed (and added again when Explorer restarts).
extern NOTIFYICONDATAW TrayData;

// True when the notification area took the icon; only then may minimising
// hide the window, or it could not be brought back.
bool AddTrayIcon(HWND window, HICON icon, const std::string& tip);
// After Explorer restarted: the same icon again.
bool AddTrayIconAgain();
void RemoveTrayIcon();
bool TrayIconShown();

// A balloon from the icon, for what the user must hear once.
void ShowBalloon(const std::string& title, const std::string& text);

} // namespace dovo::Module1
