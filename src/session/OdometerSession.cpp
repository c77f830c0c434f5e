#include "session/OdometerSession.h"

#include "core/Arithmetic.h"
#include "session/ErrorHandling.h"
#include "settings/SavedTotals.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace dovo {

namespace {

// The store's messages start mid-sentence ("cannot save the totals to ...").
std::string Sentence(std::string text)
{
    if (!text.empty()) {
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    return text;
}

std::string SaveFailureNotice(const std::string& what)
{
    return Sentence(what) + ". Dovo keeps counting and tries again at every periodic save.";
}

std::string ReadFailureNotice(const std::string& what)
{
    return Sentence(what) +
           ". Dovo counts from 0 for now and saves nothing over the stored totals until it can "
           "read them; it tries again at every periodic save, and adds what it counted.";
}

} // namespace

OdometerSession::OdometerSession(PointerServices& pointer, SettingsStore& store,
                                 SessionWindow& window)
    : pointer_(pointer), store_(store), window_(window)
{}

void OdometerSession::Load()
{
    std::vector<std::string> more;
    HandleErrors("Form_Load", [this, &more] {
        try {
            dovo::Load(state_, store_);
            Saved();
        } catch (const SettingsError& error) {
            // Half a load is no total at all: count from 0 and add the
            // stored totals once they can be read.
            state_.TotalTwips = 0;
            state_.TotalBlocks = 0;
            unread_ = true;
            DefaultErrorReporter().Report("Form_Load", error.what());
            more.push_back(ReadFailureNotice(error.what()));
        }
    });
    TellNotices(std::move(more));
    HandleErrors("Form_Load", [this] { Start(state_, pointer_); });
}

void OdometerSession::TellNotices(std::vector<std::string> more)
{
    std::vector<std::string> notices;
    HandleErrors("notices", [this, &notices] { notices = store_.TakeNotices(); });
    notices.insert(notices.end(), more.begin(), more.end());
    // One notice for all of them: a second balloon would replace the first
    // before it is read.
    std::string joined;
    for (const auto& notice : notices) {
        joined += (joined.empty() ? "" : "\n") + Sentence(notice);
    }
    if (!joined.empty()) {
        HandleErrors("notices", [this, &joined] { window_.TellUser(joined); });
    }
}

int OdometerSession::Interval() const
{
    if (unloaded_) {
        return 0;
    }
    switch (next_) {
    case Next::OnMotion:
        return 0;
    case Next::Slowly:
        return RestingMilliseconds;
    case Next::Tick:
        break;
    }
    return TickMilliseconds;
}

OdometerSession::TickResult OdometerSession::StartAfresh(const std::function<void()>& wake)
{
    afresh_ = true;
    restingTicks_ = 0;
    return Tick(wake);
}

OdometerSession::TickResult OdometerSession::Tick(const std::function<void()>& wake)
{
    TickResult result;
    const OdometerState before = state_;
    if (unloaded_) {
        return result;
    }
    HandleErrors("Timer1_Timer", [this, &result] {
        // Asked at every tick, so the desktop's own word is taken even when
        // the window reported a fresh start as well.
        const bool reacquired = pointer_.PointerReacquired();
        if (std::exchange(afresh_, false) || reacquired) {
            Start(state_, pointer_);
        }
        Step(state_, pointer_);
        result.readouts =
            Readouts(state_.TotalTwips, state_.TotalBlocks, pointer_.DecimalSeparator());
    });
    next_ = Next::Tick;
    // A tick that changed nothing will be followed by more of the same until
    // the pointer moves. The readouts were made above, so a reset already
    // shows its zeros before the tick rests.
    if (!(state_ == before)) {
        restingTicks_ = 0;
        return result;
    }
    restingTicks_ = std::min(restingTicks_ + 1, TicksBeforeResting);
    const bool seesAll = pointer_.SeesAllMotion();
    if (!seesAll && restingTicks_ < TicksBeforeResting) {
        return result;
    }
    if (pointer_.SleepUntilMotion([this, wake] {
            restingTicks_ = 0;
            next_ = Next::Tick;
            wake();
        })) {
        result.next = seesAll ? Next::OnMotion : Next::Slowly;
    }
    next_ = result.next;
    return result;
}

void OdometerSession::Reset()
{
    HandleErrors("Command1_Click", [this] {
        dovo::Reset(state_);
        restingTicks_ = 0;
        // The zeros show at the next tick even while the pointer rests.
        next_ = Next::Tick;
        // The user wants 0 from here on, not the stored totals back.
        resetWhileUnread_ = unread_;
    });
}

void OdometerSession::ReadAgain()
{
    if (!unread_) {
        return;
    }
    OdometerState stored;
    try {
        dovo::Load(stored, store_);
    } catch (const SettingsError&) {
        TellNotices();
        throw;
    }
    TellNotices();
    if (!resetWhileUnread_) {
        const std::int32_t twips = CheckedAdd(stored.TotalTwips, state_.TotalTwips);
        state_.TotalBlocks = CheckedAdd(stored.TotalBlocks, state_.TotalBlocks);
        state_.TotalTwips = twips;
    }
    savedTwips_ = stored.TotalTwips;
    savedBlocks_ = stored.TotalBlocks;
    unread_ = false;
}

void OdometerSession::Saved()
{
    savedTwips_ = state_.TotalTwips;
    savedBlocks_ = state_.TotalBlocks;
    saveFailing_ = false;
}

void OdometerSession::SaveIfChanged(const char* handler)
{
    HandleErrors(handler, [this, handler] {
        try {
            ReadAgain();
        } catch (const SettingsError& error) {
            // Told at load already; the stored totals stay as they are.
            DefaultErrorReporter().Report(handler, error.what());
            return;
        }
        if (state_.TotalTwips == savedTwips_ && state_.TotalBlocks == savedBlocks_) {
            return;
        }
        try {
            Save(state_, store_);
        } catch (const SettingsError& error) {
            DefaultErrorReporter().Report(handler, error.what());
            // Once for a run of failures: they recur at every periodic save.
            std::vector<std::string> more;
            if (!std::exchange(saveFailing_, true)) {
                more.push_back(SaveFailureNotice(error.what()));
            }
            TellNotices(std::move(more));
            return;
        }
        Saved();
        TellNotices();
    });
}

std::optional<std::string> OdometerSession::Unload(CloseReason reason)
{
    if (unloaded_) {
        return std::nullopt;
    }
    unloaded_ = true;
    HandleErrors("Form_Unload", [this] { window_.StopTimers(); });
    std::optional<std::string> failure;
    try {
        try {
            ReadAgain();
        } catch (const SettingsError& error) {
            throw SettingsError(std::string(error.what()) +
                                "; what Dovo counted since it started is not saved, so that "
                                "the stored totals are not written over");
        }
        Save(state_, store_);
        Saved();
    } catch (const SettingsError& error) {
        failure = error.what();
    } catch (const std::exception& error) {
        failure = std::string("Form_Unload: ") + error.what();
    }
    // What the store found while saving is told with the failure, if any:
    // after a box the user has already looked away.
    std::vector<std::string> notices;
    HandleErrors("Form_Unload", [this, &notices] { notices = store_.TakeNotices(); });
    if (failure) {
        exitCode_ = 1;
        WriteLine("dovo: " + *failure);
        std::string told = Sentence(*failure) + ".";
        for (const auto& notice : notices) {
            told += "\n" + Sentence(notice);
        }
        HandleErrors("Form_Unload", [this, reason, &told] {
            // Only a user who closed the window is there to read a box; a
            // signal or the end of the session must not wait for anyone.
            if (reason == CloseReason::User) {
                window_.TellCloseFailure(told);
            } else {
                window_.NotifyCloseFailure(told);
            }
        });
    } else if (!notices.empty()) {
        TellNotices(std::move(notices));
    }
    // Removed even when the save failed: a stale icon would outlive us.
    HandleErrors("Form_Unload", [this] { window_.RemoveTrayIcon(); });
    return failure;
}

} // namespace dovo
