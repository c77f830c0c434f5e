#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace dovo {

// One line on standard error. Nothing in the program may include <iostream>:
// its static initialiser builds the standard streams and their locale at
// every start, which maps about 400 KiB more of libstdc++ (GCC 12).
void WriteLine(std::string_view line);

// Where errors go that escape an event handler. Each becomes one line on the
// error stream; the same line again within a minute is only counted, so an
// error that recurs every tick cannot flood the journal.
class ErrorReporter
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Sink = std::function<void(std::string_view line)>;

    explicit ErrorReporter(Sink out, Clock clock = &std::chrono::steady_clock::now);

    void Report(std::string_view handler, std::string_view message);

private:
    struct Seen
    {
        std::chrono::steady_clock::time_point lastShown;
        std::size_t suppressed = 0;
    };

    void Forget(std::chrono::steady_clock::time_point now);

    Sink out_;
    Clock clock_;
    std::map<std::string, Seen, std::less<>> seen_;
};

ErrorReporter& DefaultErrorReporter();

// Runs one event handler so that nothing it throws reaches Qt's event loop,
// which cannot carry exceptions.
template <typename Handler> void HandleErrors(std::string_view handler, Handler&& body) noexcept
{
    try {
        std::forward<Handler>(body)();
    } catch (const std::exception& error) {
        DefaultErrorReporter().Report(handler, error.what());
    } catch (...) {
        DefaultErrorReporter().Report(handler, "unknown error");
    }
}

} // namespace dovo
