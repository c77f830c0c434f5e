#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;
struct xcb_connection_t;

namespace dovo {

// XInput 2 raw motion on the root window, on a connection of its own so
// that Qt's event handling never sees it. Raw events come from every
// pointing device, synthetic ones (XTest) included, whatever window the
// pointer is over and even while another client grabs the pointer. The
// same connection answers the pointer queries, which on Qt's would wake its
// event-reader thread as well.
class X11MotionWatch final : public QObject
{
    Q_OBJECT

public:
    // Nothing, with the reason in why, when the server has no XInput 2.
    static std::unique_ptr<X11MotionWatch> open(QString& why);
    ~X11MotionWatch() override;

    // Asks the server for the next motion. Selecting is a one-way request,
    // so this never waits for the server; moved() may come at once for an
    // event that was already queued.
    void arm();

    // The pointer in the server's own pixels, asked on this connection.
    bool queryPointer(int& x, int& y);

signals:
    // Once per arm(): the pointer moved.
    void moved();

private:
    X11MotionWatch(xcb_connection_t* connection, unsigned root, unsigned char opcode);
    void select(bool on);
    void drain();

    xcb_connection_t* connection_;
    unsigned root_;
    unsigned char opcode_;
    bool armed_ = false;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace dovo
