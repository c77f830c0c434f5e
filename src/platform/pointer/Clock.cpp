#include "platform/pointer/Clock.h"

#include <QElapsedTimer>
#include <QTimer>

namespace dovo {

namespace {

class QtTimer final : public Timer
{
public:
    explicit QtTimer(std::function<void()> fire)
    {
        timer_.setSingleShot(true);
        // A coarse timer may fire 5 % early, which would make "once a
        // second" more often than that; a precise one costs nothing at the
        // rates these timers run.
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, std::move(fire));
    }
    void start(int ms) override { timer_.start(ms); }
    void stop() override { timer_.stop(); }
    bool isActive() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};

class SteadyClock final : public Clock
{
public:
    SteadyClock() { started_.start(); }
    qint64 now() const override { return started_.elapsed(); }
    std::unique_ptr<Timer> timer(std::function<void()> fire) override
    {
        return std::make_unique<QtTimer>(std::move(fire));
    }

private:
    QElapsedTimer started_;
};

} // namespace

Clock& Clock::steady()
{
    static SteadyClock clock;
    return clock;
}

} // namespace dovo
