#include "windows/RegistrySettings.h"

#include "session/ErrorHandling.h"
#include "windows/WideText.h"

#include <windows.h>

#include <list>

namespace dovo {

namespace {

constexpr const char* RootName = "HKEY_CURRENT_USER";
constexpr const char* SettingsRoot = "Software\\VB and VBA Program Settings";
constexpr std::size_t ShownTextLength = 40;

std::wstring KeyPath(const std::string& app, const std::string& section)
{
    return Widen(std::string(SettingsRoot) + "\\" + app + "\\" + section);
}

class Key
{
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key()
    {
        if (handle != nullptr) {
            RegCloseKey(handle);
        }
    }
    HKEY handle = nullptr;
};

struct RawValue
{
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or another error.
LSTATUS ReadValue(HKEY key, const std::wstring& name, RawValue& value)
{
    DWORD size = 0;
    for (;;) {
        value.data.resize(size);
        LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &value.type,
                                          value.data.empty() ? nullptr : value.data.data(), &size);
        if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && size > value.data.size())) {
            continue;
        }
        value.data.resize(size);
        return status;
    }
}

// One value a commit writes, and what it held before.
struct Replacement
{
    std::string section;
    HKEY key = nullptr;
    std::wstring name;
    std::wstring text;
    LSTATUS found = ERROR_FILE_NOT_FOUND; // or ERROR_SUCCESS, and old holds it
    RawValue old;
};

std::string TextOf(const RawValue& value)
{
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) {
        // Never a number, so it is kept aside like any damaged text.
        return "(a registry value of type " + std::to_string(value.type) + ", not text)";
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()),
                      value.data.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return Narrow(text);
}

// Short and printable, for a message about a damaged value.
std::string Shown(const std::string& text)
{
    std::string shown;
    for (const char c : text.substr(0, ShownTextLength)) {
        shown += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
    return text.size() > ShownTextLength ? shown + "..." : shown;
}

} // namespace

RegistrySettings::RegistrySettings()
    : RegistrySettings([](HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
          return RegSetValueExW(key, name, 0, type, data, size);
      })
{}

RegistrySettings::RegistrySettings(ValueWriter writeValue) : writeValue_(std::move(writeValue)) {}

std::string RegistrySettings::KeyName(const std::string& app, const std::string& section)
{
    return std::string(RootName) + "\\" + SettingsRoot + "\\" + app + "\\" + section;
}

std::string RegistrySettings::GetSetting(const std::string& app, const std::string& section,
                                         const std::string& key, const std::string& defaultText)
{
    Key opened;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(app, section).c_str(), 0,
                                   KEY_QUERY_VALUE, &opened.handle);
    if (status == ERROR_FILE_NOT_FOUND) {
        return defaultText;
    }
    RawValue value;
    if (status == ERROR_SUCCESS) {
        status = ReadValue(opened.handle, Widen(key), value);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return defaultText;
    }
    if (status != ERROR_SUCCESS) {
        throw SettingsError("Dovo cannot read " + key + " in " + KeyName(app, section) + ": " +
                            SystemMessage(static_cast<unsigned long>(status)));
    }
    return TextOf(value);
}

void RegistrySettings::SaveSetting(const std::string&, const std::string& section,
                                   const std::string& key, const std::string& text)
{
    staged_[section][key] = text;
}

void RegistrySettings::CommitSettings(const std::string& app)
{
    const auto staged = std::exchange(staged_, {});
    const auto cannotSave = [&app](const std::string& section, LSTATUS status) {
        return "Dovo cannot save the total in " + KeyName(app, section) + ": " +
               SystemMessage(static_cast<unsigned long>(status));
    };
    // What each value holds before it is written, so that a later write
    // that fails can put it back: one total saved without the other would
    // count blocks that were never travelled, or lose them.
    std::list<Key> keys;
    std::vector<Replacement> writes;
    for (const auto& [section, values] : staged) {
        Key& created = keys.emplace_back();
        LSTATUS status = RegCreateKeyExW(
            HKEY_CURRENT_USER, KeyPath(app, section).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &created.handle, nullptr);
        if (status != ERROR_SUCCESS) {
            throw SettingsError(cannotSave(section, status));
        }
        for (const auto& [key, text] : values) {
            Replacement& write = writes.emplace_back();
            write.section = section;
            write.key = created.handle;
            write.name = Widen(key);
            write.text = Widen(text);
            write.found = ReadValue(created.handle, write.name, write.old);
            if (write.found != ERROR_SUCCESS && write.found != ERROR_FILE_NOT_FOUND) {
                throw SettingsError(cannotSave(section, write.found));
            }
        }
    }
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const Replacement& write = writes[i];
        const LSTATUS status =
            writeValue_(write.key, write.name.c_str(), REG_SZ,
                        reinterpret_cast<const BYTE*>(write.text.c_str()),
                        static_cast<DWORD>((write.text.size() + 1) * sizeof(wchar_t)));
        if (status == ERROR_SUCCESS) {
            continue;
        }
        std::string said = cannotSave(write.section, status);
        LSTATUS undone = ERROR_SUCCESS;
        for (std::size_t j = i; j-- > 0;) {
            const Replacement& done = writes[j];
            LSTATUS result = ERROR_SUCCESS;
            if (done.found == ERROR_FILE_NOT_FOUND) {
                result = RegDeleteValueW(done.key, done.name.c_str());
            } else {
                result =
                    writeValue_(done.key, done.name.c_str(), done.old.type, done.old.data.data(),
                                static_cast<DWORD>(done.old.data.size()));
            }
            if (result != ERROR_SUCCESS && undone == ERROR_SUCCESS) {
                undone = result;
            }
        }
        if (undone != ERROR_SUCCESS) {
            said += "; nor could it put back what it had already written there (" +
                    SystemMessage(static_cast<unsigned long>(undone)) +
                    "), so the saved totals may not belong together";
        }
        throw SettingsError(said);
    }
}

void RegistrySettings::RejectSetting(const std::string& app, const std::string& section,
                                     const std::string& key, const std::string& text)
{
    const std::string said = "The saved total \"" + key + "\" in " + KeyName(app, section) +
                             " is not a number (\"" + Shown(text) + "\"); ";
    Key opened;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(app, section).c_str(), 0,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE, &opened.handle);
    RawValue value;
    if (status == ERROR_SUCCESS) {
        status = ReadValue(opened.handle, Widen(key), value);
    }
    std::string aside;
    for (int n = 1; status == ERROR_SUCCESS; ++n) {
        aside = key + ".damaged-" + std::to_string(n);
        RawValue existing;
        const LSTATUS found = ReadValue(opened.handle, Widen(aside), existing);
        if (found == ERROR_FILE_NOT_FOUND) {
            status = RegSetValueExW(opened.handle, Widen(aside).c_str(), 0, value.type,
                                    value.data.data(), static_cast<DWORD>(value.data.size()));
            if (status == ERROR_SUCCESS) {
                status = RegDeleteValueW(opened.handle, Widen(key).c_str());
            }
            break;
        }
        if (found != ERROR_SUCCESS) {
            status = found;
        }
    }
    if (status == ERROR_SUCCESS) {
        notices_.push_back(said + "it is kept there as \"" + aside +
                           "\", and that total starts from 0.");
    } else {
        notices_.push_back(said + "it could not be kept aside (" +
                           SystemMessage(static_cast<unsigned long>(status)) +
                           "), and that total starts from 0.");
    }
    WriteLine("dovo: " + notices_.back());
}

std::vector<std::string> RegistrySettings::TakeNotices()
{
    return std::exchange(notices_, {});
}

} // namespace dovo
