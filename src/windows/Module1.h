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
// The same icon again: after Explorer restarted, or when an add failed.
bool AddTrayIconAgain();
void RemoveTrayIcon();
bool TrayIconShown();

// How long to wait before the next add, after this many failed in a row:
// soon at first, for a taskbar that is only slow, then less often.
unsigned RetryDelay(int failures);

// A balloon from the icon, for what the user must hear once.
void ShowBalloon(const std::string& title, const std::string& text);
// The balloon holds all of text; ShowBalloon cuts what does not fit.
bool BalloonFits(const std::string& text);

} // namespace dovo::Module1
