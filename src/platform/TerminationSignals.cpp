#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace dovo {

namespace {

std::array<int, 2> pipeEnds{-1, -1};
constexpr std::array<int, 3> handled{SIGTERM, SIGINT, SIGHUP};

void OnSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const auto written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (::pipe2(pipeEnds.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::drain);

    struct sigaction action = {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : handled) {
        ::sigaction(signalNumber, &action, nullptr);
    }
    // A write to a connection whose peer is gone (the X server, a bus
    // daemon, a compositor's socket) must fail with EPIPE, which each
    // client library takes as a lost connection, not end Dovo before it
    // saves: killed by SIGPIPE when the X server went away, the travel since
    // the last periodic save was lost (1 run in 3 under load).
    ::signal(SIGPIPE, SIG_IGN);
}

TerminationSignals::~TerminationSignals()
{
    for (const int signalNumber : handled) {
        ::signal(signalNumber, SIG_DFL);
    }
    if (pipeEnds[0] >= 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        pipeEnds = {-1, -1};
    }
}

void TerminationSignals::drain()
{
    unsigned char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1) {
        emit received(byte);
    }
}

} // namespace dovo
