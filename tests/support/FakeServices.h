#pragma once

#include "core/PointerServices.h"
#include "session/SessionWindow.h"
#include "settings/SettingsStore.h"

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace dovo::testing {

// A scripted pointer: it visits the queued positions in turn (and stays on
// the last), and the factors are whatever the test sets.
class FakePointer : public PointerServices
{
public:
    std::deque<ScreenPoint> pointer;
    float factorX = 15.0f;
    float factorY = 15.0f;
    std::string separator = ".";
    int factorReads = 0;
    bool canSleep = false;      // the desktop can tell motion
    std::function<void()> wake; // set while the odometer sleeps
    bool reacquired = false;    // the next read is a new starting point
    bool seesAllMotion = true;

    void GetCursorPos(ScreenPoint& point) override
    {
        if (!pointer.empty()) {
            point = pointer.front();
            if (pointer.size() > 1) {
                pointer.pop_front();
            }
        }
    }
    bool PointerReacquired() override { return std::exchange(reacquired, false); }
    bool SleepUntilMotion(std::function<void()> callback) override
    {
        if (canSleep) {
            wake = std::move(callback);
        }
        return canSleep;
    }
    bool SeesAllMotion() override { return seesAllMotion; }
    float TwipsPerPixelX() override
    {
        ++factorReads;
        return factorX;
    }
    float TwipsPerPixelY() override
    {
        ++factorReads;
        return factorY;
    }
    std::string DecimalSeparator() override { return separator; }
};

// A settings store in a map that records every commit; a rejected value is
// kept aside, and said in a notice, as the real stores do.
class FakeStore : public SettingsStore
{
public:
    std::map<std::string, std::string> stored; // "section/key" -> text
    std::map<std::string, std::string> staged;
    std::vector<std::map<std::string, std::string>> commits;
    std::vector<std::string> rejected; // "section/key=text"
    std::vector<std::string> notices;  // not yet taken
    bool failCommit = false;
    bool failRead = false; // a read error other than "not found"

    std::string GetSetting(const std::string&, const std::string& section, const std::string& key,
                           const std::string& defaultText) override
    {
        if (failRead) {
            throw SettingsError("cannot read " + key + ": the store is locked");
        }
        const auto found = stored.find(section + "/" + key);
        return found == stored.end() ? defaultText : found->second;
    }
    void SaveSetting(const std::string&, const std::string& section, const std::string& key,
                     const std::string& text) override
    {
        staged[section + "/" + key] = text;
    }
    void CommitSettings(const std::string&) override
    {
        if (failCommit) {
            staged.clear();
            throw SettingsError("cannot save the totals: disk on fire");
        }
        for (const auto& [key, text] : staged) {
            stored[key] = text;
        }
        commits.push_back(staged);
        staged.clear();
    }
    void RejectSetting(const std::string&, const std::string& section, const std::string& key,
                       const std::string& text) override
    {
        const std::string name = section + "/" + key;
        rejected.push_back(name + "=" + text);
        stored.erase(name);
        stored[name + ".damaged"] = text;
        notices.push_back(name + " is damaged (\"" + text + "\"); it starts from 0");
    }
    std::vector<std::string> TakeNotices() override { return std::exchange(notices, {}); }
};

// A scripted desktop, both ports in one, for the session and the window.
class FakeServices final : public FakePointer, public FakeStore
{};

// The window a session drives: what it was told, and what it did at close.
class FakeWindow final : public SessionWindow
{
public:
    std::vector<std::string> told;
    bool timersStopped = false;
    bool iconRemoved = false;
    bool closeFailureTold = false;     // in a box, while the icon was still there
    bool closeFailureNotified = false; // without waiting for anyone

    void TellUser(const std::string& text) override { told.push_back(text); }
    void TellCloseFailure(const std::string&) override { closeFailureTold = !iconRemoved; }
    void NotifyCloseFailure(const std::string&) override { closeFailureNotified = !iconRemoved; }
    void StopTimers() override { timersStopped = true; }
    void RemoveTrayIcon() override { iconRemoved = true; }
};

} // namespace dovo::testing
