#pragma once

#include <QObject>
#include <QString>

class QDBusServiceWatcher;

namespace dovo {

// Whether an entry of the watcher's RegisteredStatusNotifierItems names the
// item that Qt exports on the bus connection whose unique name is service.
bool ListsOurItem(const QString& entry, const QString& service);

// Whether the icon Qt puts on the session bus (StatusNotifierItem) is
// really shown: registered with the watcher while a host (the panel) is
// there. Qt only checks for a host once, when the first tray icon is made,
// and goes on reporting a tray after the panel is gone.
class StatusNotifierTray final : public QObject
{
    Q_OBJECT

public:
    explicit StatusNotifierTray(QObject* parent = nullptr);

    // Qt chose the bus rather than the XEmbed tray for this process's icon.
    static bool InUse();

    // Starts following the watcher; call once the icon is shown.
    void follow();
    bool shown() const { return shown_; }

signals:
    void shownChanged(bool shown);
    // The watcher can no longer list our item: the icon must be put on the
    // bus again, from a new connection.
    void reregisterNeeded();

private slots:
    void refresh();

private:
    void setShown(bool shown);

    QDBusServiceWatcher* watcher_ = nullptr;
    bool shown_ = false;
    int refreshes_ = 0;
    int retries_ = 0;
    bool reregistered_ = false;
};

} // namespace dovo
