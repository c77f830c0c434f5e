#include "session/ErrorHandling.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace std::chrono_literals;

struct Step
{
    std::chrono::seconds at;
    const char* handler;
    const char* message;
};

struct RateCase
{
    const char* name;
    std::vector<Step> steps;
    std::string expected;
};

TEST(ErrorReporter, ShowsEachMessageAtMostOnceAMinuteWithACount)
{
    const std::vector<RateCase> cases = {
        {"single", {{0s, "Timer1_Timer", "overflow"}}, "dovo: Timer1_Timer: overflow\n"},
        {"every tick for a minute and a bit",
         {{0s, "Timer1_Timer", "overflow"},
          {1s, "Timer1_Timer", "overflow"},
          {59s, "Timer1_Timer", "overflow"},
          {60s, "Timer1_Timer", "overflow"},
          {61s, "Timer1_Timer", "overflow"}},
         "dovo: Timer1_Timer: overflow\n"
         "dovo: Timer1_Timer: overflow (2 more since the last report)\n"},
        {"different handlers are separate",
         {{0s, "Timer1_Timer", "overflow"}, {1s, "Form_Load", "overflow"}},
         "dovo: Timer1_Timer: overflow\ndovo: Form_Load: overflow\n"},
        {"after a quiet spell no count",
         {{0s, "autosave", "disk full"}, {600s, "autosave", "disk full"}},
         "dovo: autosave: disk full\ndovo: autosave: disk full\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        std::chrono::steady_clock::time_point now{};
        dovo::ErrorReporter reporter([&out](std::string_view line) { out.append(line) += '\n'; },
                                     [&now] { return now; });
        for (const auto& step : c.steps) {
            now = std::chrono::steady_clock::time_point{} + step.at;
            reporter.Report(step.handler, step.message);
        }
        EXPECT_EQ(out, c.expected);
    }
}

TEST(HandleErrors, NothingEscapesAHandler)
{
    EXPECT_NO_THROW(dovo::HandleErrors("test", [] { throw std::runtime_error("boom"); }));
    EXPECT_NO_THROW(dovo::HandleErrors("test", [] { throw 42; }));
}

} // namespace
