#pragma once

#include <QDBusPendingCall>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

namespace dovo {

class Form1;
class StatusNotifierTray;
class XEmbedTrayWatch;

namespace Module1 {

// The notification-area icon as it was added, kept so the same icon is the
// one removed.
struct TrayRecord
{
    QPointer<QWidget> window;
    int uID = 0;
    QString tip;
    QIcon icon;
    QPointer<QSystemTrayIcon> trayIcon;
    QPointer<StatusNotifierTray> busTray;
    QPointer<XEmbedTrayWatch> xembedTray;
};

extern TrayRecord TrayData;

void AddTrayIcon(Form1& window, const QString& tip);
void RemoveTrayIcon();

// A one-time notice for the user: a balloon from the icon where there is
// one, else the window's tooltip and a desktop notification.
void ShowNotice(const QString& title, const QString& text);

// A notice from the desktop's notification service, which outlives the icon
// and the program; nothing happens where no service runs. Its answer is
// awaited through the event loop, if at all.
QDBusPendingCall NotifyDesktop(const QString& title, const QString& text);

// Only then may minimising hide the window: otherwise it could not be
// brought back. An icon on the session bus counts only while a panel shows
// it.
bool TrayIconShown();

} // namespace Module1
} // namespace dovo
