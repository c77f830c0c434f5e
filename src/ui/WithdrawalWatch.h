#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>

#include <functional>

class QWindow;

namespace dovo {

// Calls back once the window manager has let go of a window the program
// withdrew. A window mapped again before that may be managed with the state
// it had (Openbox kept a restored window marked hidden); ICCCM 4.1.4 asks a
// client to wait for WM_STATE to be removed or set to Withdrawn. A manager
// that never says so is given a few seconds.
class WithdrawalWatch final : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // After hide(); done runs once, from the event loop or at once.
    static void Await(QWindow& window, std::function<void()> done);

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    WithdrawalWatch(unsigned window, unsigned wmState, std::function<void()> done);
    ~WithdrawalWatch() override;
    void finish();

    unsigned window_;
    unsigned wmState_;
    std::function<void()> done_;
    QTimer deadline_;
};

} // namespace dovo
