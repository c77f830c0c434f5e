#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

#include <optional>

namespace dovo {

// Where the pointer position comes from on this desktop: the X server, or a
// Wayland compositor that is asked in its own way. One is chosen at start.
//
// Positions are in Qt's global logical coordinates, the ones QScreen
// geometries use, so the density of the screen under the pointer applies
// to them unchanged. Nothing here ever blocks: a source that must ask
// another process answers from what it last heard.
class PointerSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Called once the program is ready to hear notice(): loads, connects or
    // asks whatever the source needs.
    virtual void start() {}

    // For the line at start, "dovo: pointer from <name>".
    virtual QString name() const = 0;

    // The latest known position, or nothing while none is known.
    virtual std::optional<QPoint> position() { return latest_; }

    // Bumped whenever the source lost the pointer and must not have its next
    // position taken as the end of a move.
    unsigned generation() const { return generation_; }

    // The pointer rested through a whole tick. Returns true when moved() will
    // be emitted at the next motion, so the caller may stop asking until
    // then; false when this source cannot tell motion.
    virtual bool sleepUntilMotion() { return false; }

    bool asleep() const { return asleep_; }

    // The machine woke: a caller asleep until motion looks at once. Where the
    // pointer is found is counted from the last sample, as any move is: a
    // new start there would lose a move made before the first tick.
    void lookAgain();

signals:
    // The pointer moved while the caller slept.
    void moved();

    // Something the user has to know about this desktop; said once.
    void notice(const QString& text);

    // Worth a line on standard error, not the user's attention.
    void remark(const QString& text);

protected:
    // A fresh position from the desktop; wakes a sleeping caller when it
    // differs from the last one.
    void report(const QPoint& position);

    // The desktop's word on the pointer is gone: keep nothing of it, and
    // start afresh from the next report.
    void loseTrack();

    void setAsleep(bool asleep) { asleep_ = asleep; }

    // Emits moved() once per sleep.
    void wake();

private:
    std::optional<QPoint> latest_;
    unsigned generation_ = 0;
    bool asleep_ = false;
};

} // namespace dovo
