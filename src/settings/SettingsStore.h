#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace dovo {

// The settings store could not be read or written; what() says where and
// why, in words meant for the user.
class SettingsError : public std::runtime_error
{
public:
    explicit SettingsError(const std::string& what) : std::runtime_error(what) {}
};

// The per-user store the totals live in: a file on Linux, the registry on
// Windows.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;

    // The stored text, or defaultText when the key is absent.
    virtual std::string GetSetting(const std::string& app, const std::string& section,
                                   const std::string& key, const std::string& defaultText) = 0;

    // Staged until CommitSettings, so that both totals are written together
    // and a failure never leaves one old and one new.
    virtual void SaveSetting(const std::string& app, const std::string& section,
                             const std::string& key, const std::string& text) = 0;

    // Throws SettingsError when the store cannot be written.
    virtual void CommitSettings(const std::string& app) = 0;

    // A stored text that is not a valid value: tell the user, and keep it
    // aside where nothing will overwrite it.
    virtual void RejectSetting(const std::string& app, const std::string& section,
                               const std::string& key, const std::string& text) = 0;

    // What the store found that the user must be told (a damaged value kept
    // aside, a store it could not read), each notice once: taken, it is gone.
    virtual std::vector<std::string> TakeNotices() = 0;
};

} // namespace dovo
