#pragma once

#include <string>

namespace dovo {

// What the session asks of the window that drives it, each program's own
// toolkit calls.
class SessionWindow
{
public:
    virtual ~SessionWindow() = default;

    // Puts one sentence in front of the user without waiting for them: a
    // balloon from the icon, else what the desktop has instead.
    virtual void TellUser(const std::string& text) = 0;

    // The close has begun: no tick and no periodic save any more.
    virtual void StopTimers() = 0;

    // The save at a close by the user failed: shown, and waited for, before
    // the program ends. Asked before the icon goes: while the user reads
    // about it, Dovo is still there in the notification area.
    virtual void TellCloseFailure(const std::string& text) = 0;

    // The save at a close nobody asked for in the window (a signal, the end
    // of the desktop session) failed: sent where it outlives the program, if
    // the desktop still has such a place, without waiting for anyone.
    virtual void NotifyCloseFailure(const std::string& text) = 0;

    virtual void RemoveTrayIcon() = 0;
};

} // namespace dovo
