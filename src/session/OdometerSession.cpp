#include "session/OdometerSession.h"

#include "session/ErrorHandling.h"
#include "settings/SavedTotals.h"

namespace dovo {

OdometerSession::OdometerSession(Services& services) : services_(services) {}

void OdometerSession::Load()
{
    HandleErrors("Form_Load", [this] {
        dovo::Load(state_, services_);
        savedTwips_ = state_.TotalTwips;
        savedBlocks_ = state_.TotalBlocks;
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
    // shows its zeros before the tick sleeps.
    result.maySleep = state_ == before && !unloaded_ && services_.SleepUntilMotion(wake);
    return result;
}

void OdometerSession::Reset()
{
    HandleErrors("Command1_Click", [this] { dovo::Reset(state_); });
}

void OdometerSession::SaveIfChanged(const char* handler)
{
    HandleErrors(handler, [this] {
        if (state_.TotalTwips == savedTwips_ && state_.TotalBlocks == savedBlocks_) {
            return;
        }
        Save(state_, services_);
        savedTwips_ = state_.TotalTwips;
        savedBlocks_ = state_.TotalBlocks;
    });
}

std::optional<std::string> OdometerSession::Unload()
{
    if (unloaded_) {
        return std::nullopt;
    }
    unloaded_ = true;
    try {
        Save(state_, services_);
        savedTwips_ = state_.TotalTwips;
        savedBlocks_ = state_.TotalBlocks;
        return std::nullopt;
    } catch (const SettingsError& error) {
        exitCode_ = 1;
        return std::string(error.what());
    } catch (const std::exception& error) {
        exitCode_ = 1;
        return std::string("Form_Unload: ") + error.what();
    }
}

} // namespace dovo
