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

// QSettings opens its file as it is made, with a blocking open: a FIFO put
// in the file's place would hang the GUI thread before the window shows.
// The folder (QSettings::setPath's, else the user's) is learned from an
// instance whose file is in a folder that is not there; Dovo's own file is
// opened through QSettings only once read() found it a regular file.
QString SettingsPath(const QString& organisation)
{
    const QSettings probe(QSettings::NativeFormat, QSettings::UserScope,
                          organisation + QStringLiteral(".path/probe"));
    const QString folder = QFileInfo(QFileInfo(probe.fileName()).absolutePath()).absolutePath();
    return folder + '/' + organisation + QStringLiteral(".conf");
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

QString Reason(int error)
{
    if (error == ESPIPE) { // ReadAll's word for a FIFO, a socket, a device
        return QStringLiteral("it is not a regular file");
    }
    return QString::fromLocal8Bit(std::strerror(error));
}

int RenameWithoutReplacing(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

// 0, or the errno of the call that failed. QFile would take a read error
// for the end of the file.
int ReadAll(const QByteArray& name, QByteArray& bytes)
{
    // Non-blocking, so that a FIFO put there cannot stop the GUI thread.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    // A FIFO reads as empty here, and QSettings would block on it after.
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;
    }
    bytes.clear();
    int error = 0;
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            bytes.append(chunk, got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(fd);
    return error;
}

// O_EXCL never lets the copy replace anything, and the copy is on the disk
// before the original may be replaced.
int CopyToNewFile(const QByteArray& from, const QByteArray& to)
{
    QByteArray bytes;
    if (const int error = ReadAll(from, bytes)) {
        return error;
    }
    const int fd = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    for (qsizetype done = 0; done < bytes.size() && error == 0;) {
        const ssize_t put =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (put >= 0) {
            done += put;
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(to.constData());
    }
    return error;
}

// rename(2) would silently replace an earlier copy; never lose one.
int MoveToNewName(SettingsFile::MoveCall move, const QByteArray& from, const QByteArray& to)
{
    if (move(from.constData(), to.constData()) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // The file system lacks RENAME_NOREPLACE (NFS, some FUSE). A hard link
    // never replaces a name. A folder cannot be linked, but rename(2) puts a
    // folder only over an empty folder, which holds nothing to lose.
    struct stat status = {};
    if (::lstat(from.constData(), &status) != 0) {
        return errno;
    }
    if (S_ISDIR(status.st_mode)) {
        if (::rename(from.constData(), to.constData()) == 0) {
            return 0;
        }
        return errno == ENOTEMPTY || errno == ENOTDIR ? EEXIST : errno;
    }
    if (::link(from.constData(), to.constData()) != 0) {
        return errno;
    }
    // Should this fail, the kept name still holds the same file.
    ::unlink(from.constData());
    return 0;
}

// A name that stands there, even as a dangling link, or cannot be looked at.
bool Stands(const QString& path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ||
           (errno != ENOENT && errno != ENOTDIR);
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

SettingsFile::SettingsFile(QString organisation, MoveCall moveWithoutReplacing)
    : organisation_(std::move(organisation)), path_(SettingsPath(organisation_)),
      move_(moveWithoutReplacing ? moveWithoutReplacing : RenameWithoutReplacing)
{}

void SettingsFile::read()
{
    if (read_) {
        return;
    }
    const auto unreadable = [this](const QString& why) {
        return SettingsError(
            QString("cannot read the saved totals in " + path_ + ": " + why).toStdString());
    };
    const QByteArray name = QFile::encodeName(path_);
    struct stat status = {};
    if (::stat(name.constData(), &status) != 0) {
        // No file, or no folder for it: a first run.
        if (errno != ENOENT && errno != ENOTDIR) {
            throw unreadable(Reason(errno));
        }
        read_ = true;
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        read_ = true;
        damaged_ = true;
        keepAside();
        complain("Dovo's settings file " + path_ +
                 " is a folder, not a file. The totals start again from 0." +
                 keptAs(QStringLiteral("The folder was moved to ")));
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        throw unreadable(QStringLiteral("it is not a regular file"));
    }
    QByteArray bytes;
    if (const int error = ReadAll(name, bytes)) {
        throw unreadable(Reason(error));
    }
    std::map<QString, QString> loaded;
    auto parsed = QSettings::NoError;
    if (!bytes.isEmpty()) {
        const auto settings = OpenSettings(organisation_);
        const QStringList keys = settings->allKeys();
        for (const QString& key : keys) {
            if (!key.isEmpty()) {
                loaded.emplace(key, Text(settings->value(key)));
            }
        }
        parsed = settings->status();
        if (parsed == QSettings::AccessError) {
            throw unreadable(QStringLiteral("it could not be opened"));
        }
    }
    read_ = true;
    wasRead_ = true;
    loaded_ = std::move(loaded);
    if (bytes.isEmpty()) {
        damaged_ = true;
        keepAside();
        complain("Dovo's settings file " + path_ + " is empty. The totals start again from 0." +
                 keptAs(QStringLiteral("The empty file is kept as ")));
    } else if (parsed != QSettings::NoError) {
        damaged_ = true;
        keepAside();
        complain("Dovo's settings file " + path_ +
                 " is not a valid settings file. What cannot be read from it starts again from 0." +
                 keptAs(QStringLiteral("The file as it was is kept as ")));
    }
}

std::optional<QString> SettingsFile::value(const QString& section, const QString& key)
{
    read();
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
    read();
    const auto cannotSave = [this](const QString& why) {
        return SettingsError(
            QString("cannot save the totals to " + path_ + ": " + why).toStdString());
    };
    // Whether keepAside was tried for damage found by this commit.
    bool tried = false;
    if (!damaged_) {
        ClearAbandonedLocks(path_);
        // A file that cannot be read now is not damage: its totals may come
        // back once it can be read, so nothing is written over it.
        QByteArray bytes;
        const int error = ReadAll(QFile::encodeName(path_), bytes);
        if (error != 0 && error != ENOENT && error != ENOTDIR) {
            throw cannotSave("it cannot be read (" + Reason(error) +
                             "), so it is not written over");
        }
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
        // the file could be read just above.
        if (settings->status() == QSettings::AccessError) {
            fail();
        }
        damaged_ = true;
        tried = true;
        keepAside();
        complain("Dovo's settings file " + path_ + " was damaged after Dovo read it." +
                 keptAs(QStringLiteral("The damaged file is kept as "),
                        QStringLiteral(" The totals Dovo counted replace it.")));
    } else if (changedSinceKept()) {
        asidePath_.clear();
        tried = true;
        keepAside();
        complain("Dovo's settings file " + path_ + " was changed after Dovo found it damaged." +
                 keptAs(QStringLiteral("What it held is kept as "),
                        QStringLiteral(" The totals Dovo counted replace it.")));
    }
    if (damaged_ && asidePath_.isEmpty() && Stands(path_)) {
        // Told when the damage was found; each save tries once more.
        if (tried || !keepAside()) {
            throw cannotSave("the damaged file there could not be kept aside (" + asideFailure_ +
                             "), so it is not written over");
        }
        complain("Dovo's damaged settings file " + path_ + " is now kept as " + asidePath_ +
                 ". The totals Dovo counted replace it.");
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
    const QString name = FullKey(section, key);
    const bool missing = loaded_.find(name) == loaded_.end();
    if ((missing && damaged_) || !rejected_.insert(name).second) {
        return; // the damage that lost it, or this very text, has been told
    }
    damaged_ = true;
    keepAside();
    const QString problem =
        missing ? "Dovo's settings file " + path_ + " holds no saved total \"" + key + "\"."
                : "The saved total \"" + key + "\" in " + path_ + " is \"" + text +
                      "\", which is not a whole number from -2147483648 to 2147483647.";
    complain(problem + " That total starts again from 0." +
             keptAs(QStringLiteral("The file as it was is kept as ")));
}

// A folder is moved, since it cannot be copied in one step; a file is
// copied, so that it stays where it is until a clean write replaces it.
bool SettingsFile::keepAside()
{
    if (!asidePath_.isEmpty()) {
        return true;
    }
    const QByteArray from = QFile::encodeName(path_);
    struct stat status = {};
    const bool folder = ::stat(from.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    int error = EEXIST;
    for (int n = 1; n <= 9999 && error == EEXIST; ++n) {
        const QString candidate = path_ + ".damaged-" + QString::number(n);
        const QByteArray to = QFile::encodeName(candidate);
        struct stat taken = {};
        if (::lstat(to.constData(), &taken) == 0) {
            continue;
        }
        error = folder ? MoveToNewName(move_, from, to) : CopyToNewFile(from, to);
        if (error == 0) {
            asidePath_ = candidate;
            asideFailure_.clear();
            return true;
        }
    }
    asideFailure_ = Reason(error);
    return false;
}

// The end of a notice about damage: what happens to it and where the copy
// is, or why there is none.
QString SettingsFile::keptAs(const QString& saying, const QString& effect) const
{
    if (!asidePath_.isEmpty()) {
        return effect + " " + saying + asidePath_ + ".";
    }
    return " It could not be kept aside (" + asideFailure_ +
           "), so Dovo saves nothing over it until it can.";
}

void SettingsFile::complain(const QString& notice)
{
    WriteLine("dovo: " + notice.toStdString());
    notices_.push_back(notice.toStdString());
}

} // namespace dovo
