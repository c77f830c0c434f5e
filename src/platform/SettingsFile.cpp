#include "platform/SettingsFile.h"

#include "session/ErrorHandling.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dovo {

namespace {

std::unique_ptr<QSettings> OpenSettings(const QString& organisation)
{
    auto settings =
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, organisation);
    settings->setAtomicSyncRequired(true);
    return settings;
}

QString FullKey(const QString& section, const QString& key)
{
    return section + '/' + key;
}

QString Text(const QVariant& value)
{
    // QSettings reads a value with a comma as a list; keep what the file says.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

// rename(2) would silently replace an earlier copy; never lose one.
bool MoveWithoutReplacing(const QString& from, const QString& to)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                       QFile::encodeName(to).constData(), RENAME_NOREPLACE) == 0;
}

// QSettings writes under a QLockFile beside the file. A process killed
// between creating that lock and writing its pid into it leaves it empty,
// and QLockFile calls such a lock stale only after 30 seconds: until then
// every save waits, on the GUI thread. A live holder has an flock on its lock
// from the moment it made it, so an empty lock that nobody holds is dead.
void ClearAbandonedLock(const QString& lockPath)
{
    const QByteArray name = QFile::encodeName(lockPath);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    struct stat held = {};
    struct stat named = {};
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_size == 0 &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(name.constData(), &named) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
        ::unlink(name.constData());
    }
    ::close(fd);
}

// The second name is the lock QLockFile takes while it removes a stale one.
void ClearAbandonedLocks(const QString& file)
{
    ClearAbandonedLock(file + QStringLiteral(".lock"));
    ClearAbandonedLock(file + QStringLiteral(".lock.rmlock"));
}

} // namespace

SettingsFile::SettingsFile(QString organisation) : organisation_(std::move(organisation))
{
    open();
}

void SettingsFile::open()
{
    path_ = OpenSettings(organisation_)->fileName();
    const QFileInfo info(path_);
    if (!info.exists()) {
        return;
    }
    if (info.isDir()) {
        damaged_ = true;
        const QString aside = keepAside(true);
        complain(QStringLiteral("is a folder, not a settings file; the totals start from 0") +
                 (aside.isEmpty() ? QString() : "; the folder was moved to " + aside));
        return;
    }
    if (!info.isReadable()) {
        damaged_ = true;
        const QString aside = keepAside(true);
        complain(QStringLiteral("cannot be read; the totals start from 0") +
                 (aside.isEmpty() ? QString() : "; the file was moved to " + aside));
        return;
    }
    wasRead_ = true;
    if (info.size() == 0) {
        damaged_ = true;
        const QString aside = keepAside(false);
        complain(QStringLiteral("is empty; the totals start from 0") +
                 (aside.isEmpty() ? QString() : "; it is kept as " + aside));
        return;
    }
    const auto settings = OpenSettings(organisation_);
    const QStringList keys = settings->allKeys();
    for (const QString& key : keys) {
        if (!key.isEmpty()) {
            loaded_.emplace(key, Text(settings->value(key)));
        }
    }
    if (settings->status() != QSettings::NoError) {
        damaged_ = true;
        const QString aside = keepAside(false);
        complain(QStringLiteral("is not a valid settings file; what cannot be read starts from 0") +
                 (aside.isEmpty() ? QString() : "; it is kept as " + aside));
    }
}

std::optional<QString> SettingsFile::value(const QString& section, const QString& key) const
{
    const auto found = loaded_.find(FullKey(section, key));
    if (found == loaded_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void SettingsFile::stage(const QString& section, const QString& key, const QString& text)
{
    staged_[{section, key}] = text;
}

void SettingsFile::commit()
{
    if (!damaged_) {
        ClearAbandonedLocks(path_);
        const auto settings = OpenSettings(organisation_);
        // Read first: QSettings keeps only its first error, so a file that
        // went bad since start would otherwise hide the outcome of the write.
        settings->allKeys();
        if (settings->status() == QSettings::NoError) {
            for (const auto& [name, text] : staged_) {
                settings->setValue(FullKey(name.first, name.second), text);
            }
            settings->sync();
            if (settings->status() != QSettings::NoError) {
                fail();
            }
            return;
        }
        // Qt keeps the changes of a failed write in its process-wide cache of
        // open files and writes them again when the file is next opened, so
        // an access error here is the same full disk once more, not damage:
        // the file can still be read.
        if (settings->status() == QSettings::AccessError &&
            QFile(path_).open(QIODevice::ReadOnly)) {
            fail();
        }
        damaged_ = true;
        const QString aside = keepAside(false);
        complain(QStringLiteral("is no longer a valid settings file; it is replaced") +
                 (aside.isEmpty() ? QString() : "; the damaged one is kept as " + aside));
    } else if (changedSinceKept()) {
        asidePath_.clear();
        const QString aside = keepAside(false);
        complain(QStringLiteral("was changed after it was found damaged; it is replaced") +
                 (aside.isEmpty() ? QString() : "; what it held is kept as " + aside));
    }
    writeClean();
}

// Until the first clean write replaces a damaged file, another program or a
// failing disk may write over it again; replacing that unseen would lose it.
bool SettingsFile::changedSinceKept() const
{
    if (asidePath_.isEmpty() || !QFileInfo(path_).isFile()) {
        return false;
    }
    // A folder or an unreadable file was moved aside, so whatever stands
    // there now came later.
    QFile kept(asidePath_);
    if (!QFileInfo(asidePath_).isFile() || !kept.open(QIODevice::ReadOnly)) {
        return true;
    }
    QFile now(path_);
    return !now.open(QIODevice::ReadOnly) || now.readAll() != kept.readAll();
}

void SettingsFile::writeClean()
{
    // A fresh file beside the damaged one, then one rename over it: the old
    // content is never parsed again and never carried forward, and there is
    // no moment without a complete file.
    const QString fresh = path_ + ".new";
    QFile::remove(fresh);
    ClearAbandonedLocks(fresh);
    {
        QSettings settings(fresh, QSettings::IniFormat);
        settings.setAtomicSyncRequired(true);
        for (const auto& [name, text] : staged_) {
            settings.setValue(FullKey(name.first, name.second), text);
        }
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            QFile::remove(fresh);
            fail();
        }
    }
    if (::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path_).constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(fresh);
        throw SettingsError(
            QString("cannot save the totals to " + path_ + ": " + reason).toStdString());
    }
    damaged_ = false;
    // The copy kept aside holds the damage just replaced; damage found after
    // this is another loss and needs a copy of its own.
    asidePath_.clear();
}

void SettingsFile::fail() const
{
    QString reason;
    const QFileInfo folder(QFileInfo(path_).absolutePath());
    if (folder.isSymLink() && !folder.exists()) {
        reason = "the folder " + folder.filePath() + " is a link to " + folder.symLinkTarget() +
                 ", which does not exist";
    } else if (!QDir().mkpath(folder.filePath())) {
        reason = "the folder " + folder.filePath() + " cannot be created";
    } else if (QFileInfo(path_).isDir()) {
        reason = QStringLiteral("a folder stands where the file should be");
    } else {
        QSaveFile probe(path_);
        if (!probe.open(QIODevice::WriteOnly)) {
            reason = probe.errorString();
        } else {
            probe.cancelWriting();
            reason = QStringLiteral("the file could not be written (is the disk full?)");
        }
    }
    throw SettingsError(
        QString("cannot save the totals to " + path_ + ": " + reason).toStdString());
}

void SettingsFile::reject(const QString& section, const QString& key, const QString& text)
{
    const bool missing = !value(section, key).has_value();
    if (missing && damaged_) {
        return; // the damage that lost it has been reported already
    }
    damaged_ = true;
    const QString aside = keepAside(false);
    QString problem = missing
                          ? "holds no saved total \"" + key + "\" in [" + section + "]"
                          : "the saved total \"" + key + "\" in [" + section + "] is \"" + text +
                                "\", which is not a whole number from -2147483648 to 2147483647";
    problem += QStringLiteral("; that total starts from 0");
    if (!aside.isEmpty()) {
        problem += "; the file as it was is kept as " + aside;
    }
    complain(problem);
}

QString SettingsFile::keepAside(bool move)
{
    if (!asidePath_.isEmpty()) {
        return asidePath_;
    }
    for (int n = 1; n <= 9999; ++n) {
        const QString candidate = path_ + ".damaged-" + QString::number(n);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink()) {
            continue;
        }
        if (move ? MoveWithoutReplacing(path_, candidate) : QFile::copy(path_, candidate)) {
            asidePath_ = candidate;
            return asidePath_;
        }
        if (move && errno == EEXIST) {
            continue;
        }
        break;
    }
    complain(QStringLiteral("could not be kept aside before it is replaced"));
    return {};
}

void SettingsFile::complain(const QString& problem)
{
    WriteLine("dovo: " + path_.toStdString() + ": " + problem.toStdString());
    notices_.push_back(path_.toStdString() + " " + problem.toStdString());
}

} // namespace dovo
