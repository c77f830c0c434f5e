#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>

namespace dovo {

// A single-shot timer: calls back once, `ms` after start(), unless stopped
// or started anew before then.
class Timer
{
public:
    virtual ~Timer() = default;
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

// Where a source that paces itself takes its time from: the steady clock and
// Qt's timers in the program; in a test, a clock the test steps, so that how
// often the source asks reads the same on a busy machine as on a quiet one.
class Clock
{
public:
    virtual ~Clock() = default;
    // Milliseconds from some fixed point; only differences mean anything.
    virtual qint64 now() const = 0;
    // A timer that calls `fire` on the thread that made it.
    virtual std::unique_ptr<Timer> timer(std::function<void()> fire) = 0;

    static Clock& steady();
};

} // namespace dovo
