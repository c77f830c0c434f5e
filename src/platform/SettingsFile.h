#pragma once

#include <QString>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace dovo {

// One organisation's settings file in the user's config folder, in QSettings'
// native format. Writes go through QSettings' atomic save, both values at
// once; a damaged file is kept aside for the user before it is replaced, and
// a file that cannot be read is left as it is until it can.
class SettingsFile
{
public:
    // rename(2) that fails with EEXIST rather than replace the target: by
    // default renameat2 with RENAME_NOREPLACE. Tests stand in for a file
    // system that lacks it.
    using MoveCall = int (*)(const char* from, const char* to);

    explicit SettingsFile(QString organisation, MoveCall moveWithoutReplacing = nullptr);

    QString path() const { return path_; }

    // The file was there and could be read, so a key missing from it is
    // damage rather than a first run.
    bool wasRead() const { return wasRead_; }

    // Reads the file until a read succeeds: throws SettingsError while it
    // cannot be read, and the next call tries again.
    std::optional<QString> value(const QString& section, const QString& key);
    void stage(const QString& section, const QString& key, const QString& text);

    // Throws SettingsError naming the file and the reason. Writes nothing
    // over a file it cannot read, nor over damage it could not keep aside.
    void commit();

    // Reports a stored text the program cannot use.
    void reject(const QString& section, const QString& key, const QString& text);

    // What the user must be told about this file since the last call: whole
    // sentences, each event once.
    std::vector<std::string> takeNotices() { return std::exchange(notices_, {}); }

private:
    void read();
    void writeClean();
    [[noreturn]] void fail() const;
    bool changedSinceKept() const;
    bool keepAside();
    QString keptAs(const QString& saying, const QString& effect = {}) const;
    void complain(const QString& notice);

    QString organisation_;
    QString path_;
    MoveCall move_;
    bool read_ = false;
    bool wasRead_ = false;
    bool damaged_ = false;
    // The copy of the damage in the file now, named by every complaint
    // about it until a clean write replaces it; or why none could be made.
    QString asidePath_;
    QString asideFailure_;
    std::map<QString, QString> loaded_;
    std::set<QString> rejected_;
    std::map<std::pair<QString, QString>, QString> staged_;
    std::vector<std::string> notices_;
};

} // namespace dovo
