#include "ui/Module1.h"

#include "platform/ErrorHandling.h"
#include "ui/Form1.h"

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
}

void RemoveTrayIcon()
{
    if (TrayData.trayIcon) {
        TrayData.trayIcon->hide();
        delete TrayData.trayIcon;
    }
}

void ShowNotice(const QString& title, const QString& text)
{
    if (TrayIconShown() && QSystemTrayIcon::supportsMessages()) {
        TrayData.trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 15000);
    } else if (TrayData.window) {
        TrayData.window->setToolTip(text);
    }
}

bool TrayIconShown()
{
    return TrayData.trayIcon && TrayData.trayIcon->isVisible() &&
           QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace dovo::Module1
