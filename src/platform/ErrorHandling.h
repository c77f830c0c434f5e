#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>

namespace dovo {

// Where errors go that escape an event handler. Each becomes one line on the
// error stream; the same line again within a minute is only counted, so an
// error that recurs every tick cannot flood the journal.
class ErrorReporter
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit ErrorReporter(std::ostream& out, Clock clock = &std::chrono::steady_clock::now);

    void Report(std::string_view handler, std::string_view message);

private:
    struct Seen
    {
        std::chrono::steady_clock::time_point lastShown;
        std::size_t suppressed = 0;
    };

    void Forget(std::chrono::steady_clock::time_point now);

    std::ostream& out_;
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
