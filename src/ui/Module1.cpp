#include "ui/Module1.h"

#include "session/ErrorHandling.h"
#include "ui/Form1.h"
#include "ui/StatusNotifierTray.h"
#include "ui/XEmbedTrayWatch.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace dovo::Module1 {

TrayRecord TrayData;

void AddTrayIcon(Form1& window, const QString& tip)
{
    TrayData.window = &window;
    TrayData.tip = tip;
    TrayData.icon = window.windowIcon();
    TrayData.uID = 1;

    // Parented to the window so it can never outlive the QApplication.
    auto* trayIcon = new QSystemTrayIcon(TrayData.icon, &window);
    trayIcon->setToolTip(TrayData.tip);
    QObject::connect(trayIcon, &QSystemTrayIcon::activated, &window, &Form1::TrayIcon_Activated);
    TrayData.trayIcon = trayIcon;

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        WriteLine("dovo: no notification area found; minimising leaves the window in the "
                  "taskbar");
    }
    trayIcon->show();

    auto* busTray = new StatusNotifierTray(&window);
    // A panel that goes away must not take the hidden window with it.
    QObject::connect(busTray, &StatusNotifierTray::shownChanged, &window, [&window](bool shown) {
        if (!shown) {
            window.TrayIconLost();
        }
    });
    // Hidden and shown again, Qt's icon leaves the bus and comes back on a
    // connection of the same name with a new unique name.
    QObject::connect(busTray, &StatusNotifierTray::reregisterNeeded, trayIcon, [trayIcon] {
        trayIcon->hide();
        trayIcon->show();
    });
    busTray->follow();
    TrayData.busTray = busTray;

    if (!StatusNotifierTray::InUse()) {
        TrayData.xembedTray = XEmbedTrayWatch::Follow(&window);
    }
    if (TrayData.xembedTray) {
        QObject::connect(TrayData.xembedTray, &XEmbedTrayWatch::presentChanged, &window,
                         [&window](bool present) {
                             if (!present) {
                                 window.TrayIconLost();
                             }
                         });
    }
}

void RemoveTrayIcon()
{
    if (TrayData.trayIcon) {
        TrayData.trayIcon->hide();
        delete TrayData.trayIcon;
    }
}

// Where there is no notification area (GNOME without an AppIndicator
// extension) the desktop's notification service still shows a notice.
QDBusPendingCall NotifyDesktop(const QString& title, const QString& text)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QString app = QStringLiteral(DOVO_APP_ID);
    message.setArguments({title, 0u, app, title, text, QStringList(),
                          QVariantMap{{QStringLiteral("desktop-entry"), app}}, -1});
    return QDBusConnection::sessionBus().asyncCall(message);
}

void ShowNotice(const QString& title, const QString& text)
{
    if (TrayIconShown() && QSystemTrayIcon::supportsMessages()) {
        TrayData.trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 15000);
    } else if (TrayData.window) {
        TrayData.window->setToolTip(text);
        NotifyDesktop(title, text);
    }
}

bool TrayIconShown()
{
    if (!TrayData.trayIcon || !TrayData.trayIcon->isVisible()) {
        return false;
    }
    if (StatusNotifierTray::InUse()) {
        return TrayData.busTray && TrayData.busTray->shown();
    }
    // Qt's own answer can lag behind a tray that just went away.
    return QSystemTrayIcon::isSystemTrayAvailable() &&
           (!TrayData.xembedTray || TrayData.xembedTray->present());
}

} // namespace dovo::Module1
