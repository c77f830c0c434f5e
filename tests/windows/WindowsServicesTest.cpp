#include "windows/WindowsServices.h"

#include "FakeServices.h"
#include "session/OdometerSession.h"
#include "windows/RegistrySettings.h"
#include "windows/WideText.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using dovo::OdometerSession;
using dovo::RegistrySettings;
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

// In the test's own Wine prefix, under a name no Dovo uses.
constexpr const char* TestApp = "DovoCommitTest";
constexpr const char* Absent = "(absent)";

// "totalpixels" and "totalmpixels" as stored.
using Totals = std::pair<std::string, std::string>;

struct CommitCase
{
    const char* name;
    Totals before;         // stored first
    std::set<int> failing; // the writes that fail, counted from 1
    Totals after;          // stored then
    const char* said;      // in the error, or nullptr where none is thrown
};

TEST(RegistrySettings, WritesBothTotalsOrNeither)
{
    // 1000 twips and 8 blocks are saved; the blocks are written first.
    const std::vector<CommitCase> cases = {
        {"both written", {"566000", "7"}, {}, {"1000", "8"}, nullptr},
        {"the twips fail after the blocks were written",
         {"566000", "7"},
         {2},
         {"566000", "7"},
         "cannot save the total"},
        {"the twips fail where nothing was stored",
         {Absent, Absent},
         {2},
         {Absent, Absent},
         "cannot save the total"},
        {"the blocks cannot be put back either",
         {"566000", "7"},
         {2, 3},
         {"566000", "8"},
         "may not belong together"},
    };
    const auto stored = [] {
        RegistrySettings store;
        return Totals{store.GetSetting(TestApp, "odoledger", "totalpixels", Absent),
                      store.GetSetting(TestApp, "odoledger", "totalmpixels", Absent)};
    };
    const auto save = [](RegistrySettings& store, const Totals& totals) {
        for (const auto& [key, text] :
             {std::pair{"totalpixels", totals.first}, std::pair{"totalmpixels", totals.second}}) {
            if (text != Absent) {
                store.SaveSetting(TestApp, "odoledger", key, text);
            }
        }
        store.CommitSettings(TestApp);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteTreeW(HKEY_CURRENT_USER,
                       (L"Software\\VB and VBA Program Settings\\" + dovo::Widen(TestApp)).c_str());
        RegistrySettings first;
        save(first, c.before);
        int writes = 0;
        RegistrySettings store([&](HKEY key, const wchar_t* name, DWORD type, const BYTE* data,
                                   DWORD size) -> LSTATUS {
            if (c.failing.count(++writes) != 0) {
                return ERROR_ACCESS_DENIED;
            }
            return RegSetValueExW(key, name, 0, type, data, size);
        });
        std::string said;
        try {
            save(store, {"1000", "8"});
        } catch (const dovo::SettingsError& error) {
            said = error.what();
        }
        if (c.said == nullptr) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
        }
        EXPECT_EQ(stored(), c.after);
    }
}

} // namespace
