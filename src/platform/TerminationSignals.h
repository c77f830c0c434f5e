#pragma once

#include <QObject>

class QSocketNotifier;

namespace dovo {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread. The
// handler only writes the signal number to a pipe; everything else happens
// in the event loop, where it is safe.
class TerminationSignals final : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* notifier_ = nullptr;
};

} // namespace dovo
