#include "windows/WindowsServices.h"

#include "FakeServices.h"
#include "session/OdometerSession.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using dovo::OdometerSession;
using dovo::WindowsServices;

// The pointer as GetCursorPos would report it, between ticks: at a place,
// or unreadable (a secure desktop has the input), or unreadable for one
// read only.
struct Event
{
    enum Kind
    {
        At,
        Unreadable,
        OneReadFails,
        Tick
    } kind;
    LONG x = 0;
    LONG y = 0;
};

Event at(LONG x, LONG y)
{
    return {Event::At, x, y};
}
constexpr Event unreadable{Event::Unreadable};
constexpr Event oneReadFails{Event::OneReadFails};
constexpr Event tick{Event::Tick};

struct ReacquireCase
{
    const char* name;
    std::vector<Event> events; // the session loads after the first
    std::int32_t twips;
};

TEST(WindowsServices, CountsNoJumpThePointerDidNotTravel)
{
    // 15 twips a pixel at 96 dpi; every move is straight.
    const std::vector<ReacquireCase> cases = {
        {"a start into a locked session counts from where the pointer is found",
         {unreadable, tick, at(400, 300), tick, at(400, 310), tick},
         150},
        {"a lock screen between two moves",
         {at(100, 100), tick, at(100, 110), tick, unreadable, tick, at(900, 700), tick,
          at(900, 720), tick},
         450},
        {"a lock screen that ends between the two reads of a tick",
         {at(100, 100), tick, unreadable, tick, at(900, 700), oneReadFails, tick, tick,
          at(900, 710), tick},
         150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<POINT> pointer;
        bool failNext = false;
        WindowsServices services([&pointer, &failNext](POINT& position) {
            if (std::exchange(failNext, false)) {
                return false;
            }
            if (pointer) {
                position = *pointer;
            }
            return pointer.has_value();
        });
        dovo::testing::FakeWindow window;
        dovo::testing::FakeStore store;
        OdometerSession session(services, store, window);
        bool loaded = false;
        for (const Event& event : c.events) {
            switch (event.kind) {
            case Event::At:
                pointer = POINT{event.x, event.y};
                break;
            case Event::Unreadable:
                pointer.reset();
                break;
            case Event::OneReadFails:
                failNext = true;
                break;
            case Event::Tick:
                session.Tick([] {});
                break;
            }
            if (!loaded) {
                session.Load();
                loaded = true;
            }
        }
        EXPECT_EQ(session.state().TotalTwips, c.twips);
    }
}

} // namespace
