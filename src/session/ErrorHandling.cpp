#include "session/ErrorHandling.h"

#include <cstdio>

namespace dovo {

namespace {

constexpr auto QuietPeriod = std::chrono::minutes(1);
constexpr std::size_t MaxRemembered = 64;

} // namespace

void WriteLine(std::string_view line)
{
    std::string whole(line);
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    // The Windows C runtime buffers stderr fully where it is not a console.
    std::fflush(stderr);
}

ErrorReporter::ErrorReporter(Sink out, Clock clock) : out_(std::move(out)), clock_(std::move(clock))
{}

void ErrorReporter::Report(std::string_view handler, std::string_view message)
{
    const auto now = clock_();
    std::string line = "dovo: ";
    line.append(handler).append(": ").append(message);

    auto found = seen_.find(line);
    if (found != seen_.end() && now - found->second.lastShown < QuietPeriod) {
        ++found->second.suppressed;
        return;
    }
    std::size_t repeats = 0;
    if (found != seen_.end()) {
        repeats = found->second.suppressed;
        found->second = Seen{now, 0};
    } else {
        Forget(now);
        seen_.emplace(line, Seen{now, 0});
    }
    if (repeats > 0) {
        line += " (" + std::to_string(repeats) + " more since the last report)";
    }
    out_(line);
}

void ErrorReporter::Forget(std::chrono::steady_clock::time_point now)
{
    if (seen_.size() < MaxRemembered) {
        return;
    }
    std::erase_if(seen_, [now](const auto& entry) {
        return now - entry.second.lastShown >= QuietPeriod && entry.second.suppressed == 0;
    });
    if (seen_.size() >= MaxRemembered) {
        seen_.erase(seen_.begin());
    }
}

ErrorReporter& DefaultErrorReporter()
{
    // Never destroyed: the save at exit reports through it from a std::atexit
    // hook, and a function-local static first built after that hook was
    // registered would be destroyed before the hook runs.
    static ErrorReporter* const reporter = new ErrorReporter(&WriteLine);
    return *reporter;
}

} // namespace dovo
