#pragma once

#include <QString>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dovo {

// One organisation's settings file in the user's config folder, in QSettings'
// native format. Writes go through QSettings' atomic save, both values at
// once; a damaged file is kept aside for the user before it is replaced.
class SettingsFile
{
public:
    explicit SettingsFile(QString organisation);

    QString path() const { return path_; }

    // The file was there at start and could be read, so a key missing from
    // it is damage rather than a first run.
    bool wasRead() const { return wasRead_; }

    std::optional<QString> value(const QString& section, const QString& key) const;
    void stage(const QString& section, const QString& key, const QString& text);

    // Throws SettingsError naming the file and the reason.
    void commit();

    // Reports a stored text the program cannot use.
    void reject(const QString& section, const QString& key, const QString& text);

    // What the user must be told about this file since the last call, each
    // notice once.
    std::vector<std::string> takeNotices() { return std::exchange(notices_, {}); }

private:
    void open();
    void writeClean();
    [[noreturn]] void fail() const;
    bool changedSinceKept() const;
    QString keepAside(bool move);
    void complain(const QString& problem);

    QString organisation_;
    QString path_;
    bool wasRead_ = false;
    bool damaged_ = false;
    // The copy of the damage in the file now, named by every complaint
    // about it until a clean write replaces it.
    QString asidePath_;
    std::map<QString, QString> loaded_;
    std::map<std::pair<QString, QString>, QString> staged_;
    std::vector<std::string> notices_;
};

} // namespace dovo
