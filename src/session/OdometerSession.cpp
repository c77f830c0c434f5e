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

OdometerSession::OdometerSession(Services& services, SessionWindow& window)
    : services_(services), window_(window)
{}

void OdometerSession::Load()
{
    HandleErrors("Form_Load", [this] {
        try {
            dovo::Load(state_, services_);
            Saved();
        } catch (const SettingsError& error) {
            // Half a load is no total at all: count from 0 and add the
            // stored totals once they can be read.
            state_.TotalTwips = 0;
            state_.TotalBlocks = 0;
            unread_ = true;
            DefaultErrorReporter().Report("Form_Load", error.what());
            window_.TellUser(ReadFailureNotice(error.what()));
        }
    });
    HandleErrors("Form_Load", [this] { Start(state_, services_); });
}

OdometerSession::TickResult OdometerSession::Tick(const std::function<void()>& wake)
{
    TickResult result;
    const OdometerState before = state_;
    HandleErrors("Timer1_Timer", [this, &result] {
        if (services_.PointerReacquired()) {
            Start(state_, services_);
        }
        Step(state_, services_);
        result.readouts =
            Readouts(state_.TotalTwips, state_.TotalBlocks, services_.DecimalSeparator());
    });
    // A tick that changed nothing will be followed by more of the same until
    // the pointer moves. The readouts were made above, so a reset already
    // shows its zeros before the tick rests.
    if (!(state_ == before) || unloaded_) {
        restingTicks_ = 0;
        return result;
    }
    restingTicks_ = std::min(restingTicks_ + 1, TicksBeforeResting);
    const bool seesAll = services_.SeesAllMotion();
    if (!seesAll && restingTicks_ < TicksBeforeResting) {
        return result;
    }
    if (services_.SleepUntilMotion([this, wake] {
            restingTicks_ = 0;
            wake();
        })) {
        result.next = seesAll ? Next::OnMotion : Next::Slowly;
    }
    return result;
}

void OdometerSession::Reset()
{
    HandleErrors("Command1_Click", [this] {
        dovo::Reset(state_);
        restingTicks_ = 0;
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
    dovo::Load(stored, services_);
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
            Save(state_, services_);
        } catch (const SettingsError& error) {
            DefaultErrorReporter().Report(handler, error.what());
            // Once for a run of failures: they recur at every periodic save.
            if (!std::exchange(saveFailing_, true)) {
                window_.TellUser(SaveFailureNotice(error.what()));
            }
            return;
        }
        Saved();
    });
}

std::optional<std::string> OdometerSession::Unload()
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
        Save(state_, services_);
        Saved();
    } catch (const SettingsError& error) {
        failure = error.what();
    } catch (const std::exception& error) {
        failure = std::string("Form_Unload: ") + error.what();
    }
    if (failure) {
        exitCode_ = 1;
        WriteLine("dovo: " + *failure);
        HandleErrors("Form_Unload", [this, &failure] { window_.TellCloseFailure(*failure); });
    }
    // Removed even when the save failed: a stale icon would outlive us.
    HandleErrors("Form_Unload", [this] { window_.RemoveTrayIcon(); });
    return failure;
}

} // namespace dovo
