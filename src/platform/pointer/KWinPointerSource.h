#pragma once

#include "platform/pointer/PointerSource.h"

#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTimer>
#include <QVariantList>

#include <functional>
#include <optional>

class QDBusMessage;
class QDBusServiceWatcher;

namespace dovo {

// The position a report of the KWin script names, or nothing when the call
// is not one: two finite numbers, x and y in logical pixels.
std::optional<QPoint> PointFromReport(const QVariantList& arguments);

// The KWin script for the program in programDir: the one installed beside
// it, or the sources' only for a program run from its build folder, so that
// an installed Dovo never has KWin load code from a build tree.
QString KWinScriptPath(const QString& programDir, const QString& buildDir,
                       const QString& sourceDataDir);

// The pointer as KWin sees it, from a small KWin script of Dovo's that calls
// back over the session bus whenever the pointer moves (data/kwin/).
class KWinPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit KWinPointerSource(QObject* parent = nullptr);
    ~KWinPointerSource() override;

    QString name() const override { return QStringLiteral("KWin"); }
    void start() override;
    bool sleepUntilMotion() override;

private:
    // The object the script calls. A virtual object rather than an adaptor
    // so that a call of any signature gets an answer here: KWin 5 and 6
    // send JavaScript numbers as different D-Bus types.
    class Receiver final : public QDBusVirtualObject
    {
    public:
        explicit Receiver(KWinPointerSource& source) : source_(source) {}
        bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
        QString introspect(const QString& path) const override;

    private:
        KWinPointerSource& source_;
    };

    void heard(const QPoint& position);
    void refused(const QString& sender);
    void ownName();
    void loadScript();
    void sendScript(unsigned attempt);
    void kwinOwnerChanged(const QString& newOwner);
    void checkScript();
    void armCheck();
    void fail(const QString& text);
    void afterReply(const QDBusMessage& message,
                    std::function<void(const QDBusMessage& reply)> then);

    Receiver receiver_{*this};
    QDBusServiceWatcher* kwinWatcher_ = nullptr;
    QString scriptPath_;
    // The unique name of org.kde.KWin's owner, the only one heard.
    QString kwinOwner_;
    bool ownerKnown_ = false;
    QElapsedTimer clock_;
    QTimer check_;
    qint64 lastReportMs_ = 0;
    qint64 lastCheckMs_ = 0;
    int backOffMs_;
    // Bumped by every load and by KWin going away, so that answers to an
    // older attempt are ignored.
    unsigned attempt_ = 0;
    bool nameOwned_ = false;
    bool heardSinceLoad_ = false;
    bool failureTold_ = false;
    bool refusalTold_ = false;
};

} // namespace dovo
