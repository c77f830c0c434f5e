#include "platform/SettingsFile.h"

#include "core/OdometerState.h"
#include "platform/FileSettings.h"
#include "settings/SavedTotals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Each test gets its own config folder; QSettings is pointed at it directly
// because it reads XDG_CONFIG_HOME only once per process.
class SettingsFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        config = folder.filePath(QStringLiteral("config"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
        testing::internal::CaptureStderr();
    }
    void TearDown() override { testing::internal::GetCapturedStderr(); }

    // Standard error since the last call.
    static std::string errors()
    {
        std::string said = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        return said;
    }

    QString file() const { return config + "/Dovo.conf"; }

    void write(const QByteArray& bytes, const QString& path = {})
    {
        const QString target = path.isEmpty() ? file() : path;
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile out(target);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }

    static QByteArray read(const QString& path)
    {
        QFile in(path);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<unreadable>");
    }

    dovo::OdometerState load()
    {
        dovo::FileSettings services;
        dovo::OdometerState state;
        dovo::Load(state, services);
        return state;
    }

    void loadAndSave(std::int32_t twips, std::int32_t blocks)
    {
        dovo::FileSettings services;
        dovo::OdometerState state;
        dovo::Load(state, services);
        state.TotalTwips = twips;
        state.TotalBlocks = blocks;
        dovo::Save(state, services);
    }

    QTemporaryDir folder;
    QString config;
};

TEST_F(SettingsFileTest, FirstRunStartsAtZeroQuietlyAndSavesBothKeys)
{
    const auto state = load();
    EXPECT_EQ(state.TotalTwips, 0);
    EXPECT_EQ(state.TotalBlocks, 0);
    loadAndSave(1234, 5);
    EXPECT_EQ(read(file()), "[odoledger]\ntotalmpixels=5\ntotalpixels=1234\n");
    EXPECT_EQ(errors(), "");
}

TEST_F(SettingsFileTest, SavedValuesComeBackUnchanged)
{
    write("[odoledger]\ntotalpixels=-20\ntotalmpixels=2147483647\n");
    const auto state = load();
    EXPECT_EQ(state.TotalTwips, -20);
    EXPECT_EQ(state.TotalBlocks, 2147483647);
    EXPECT_EQ(errors(), "");
}

struct DamageCase
{
    const char* name;
    QByteArray content;
    std::int32_t twips;
    std::int32_t blocks;
    const char* says;
    // Written over the file while Dovo runs, after its first save or before.
    QByteArray again = {};
    bool againBeforeSave = false;
};

TEST_F(SettingsFileTest, ADamagedFileIsReportedKeptAsideAndReplacedCleanly)
{
    const std::vector<DamageCase> cases = {
        {"empty file", "", 0, 0, "holds no saved total \"totalpixels\""},
        {"letters", "[odoledger]\ntotalpixels=abc\ntotalmpixels=5\n", 0, 5, "is \"abc\""},
        {"empty value", "[odoledger]\ntotalpixels=\ntotalmpixels=5\n", 0, 5, "is \"\""},
        {"two numbers", "[odoledger]\ntotalpixels=12 34\ntotalmpixels=5\n", 0, 5, "\"12 34\""},
        {"fraction", "[odoledger]\ntotalpixels=7\ntotalmpixels=1.5\n", 7, 0, "\"1.5\""},
        {"too big", "[odoledger]\ntotalpixels=99999999999\ntotalmpixels=1\n", 0, 1,
         "\"99999999999\""},
        {"list", "[odoledger]\ntotalpixels=1,2\ntotalmpixels=1\n", 0, 1, "\"1, 2\""},
        {"binary", QByteArray("\x00\xff\x13[odo\x01\n=\x80\x80", 12), 0, 0,
         "is not a valid settings file"},
        {"damaged again after a save", "[odoledger]\ntotalpixels=abc\ntotalmpixels=5\n", 0, 5,
         "is \"abc\"", QByteArray("\x00\xff[odo\x01\n=\x80", 8)},
        {"damaged again before the first save", "[odoledger]\ntotalpixels=7\ntotalmpixels=x\n", 7,
         0, "is \"x\"", QByteArray("\x00\xff[odo\x01\n=\x80", 8), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config).removeRecursively();
        errors();
        write(c.content + "\n[other]\njunk=1\n");
        const QByteArray before = read(file());

        dovo::FileSettings services;
        dovo::OdometerState state;
        dovo::Load(state, services);
        EXPECT_EQ(state.TotalTwips, c.twips);
        EXPECT_EQ(state.TotalBlocks, c.blocks);
        const std::string said = errors();
        EXPECT_NE(said.find(file().toStdString()), std::string::npos) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_NE(said.find("kept as " + file().toStdString() + ".damaged-1"), std::string::npos)
            << said;
        EXPECT_EQ(read(file() + ".damaged-1"), before);

        if (c.againBeforeSave) {
            write(c.again);
        }
        dovo::Save(state, services);
        const QByteArray after = read(file());
        EXPECT_EQ(after, "[odoledger]\ntotalmpixels=" + QByteArray::number(c.blocks) +
                             "\ntotalpixels=" + QByteArray::number(c.twips) + "\n");

        if (c.again.isEmpty()) {
            continue;
        }
        if (!c.againBeforeSave) {
            write(c.again);
            dovo::Save(state, services);
        }
        const std::string againSaid = errors();
        EXPECT_NE(againSaid.find("kept as " + file().toStdString() + ".damaged-2"),
                  std::string::npos)
            << againSaid;
        EXPECT_EQ(read(file() + ".damaged-1"), before);
        EXPECT_EQ(read(file() + ".damaged-2"), c.again);
        EXPECT_EQ(read(file()), after);
    }
}

TEST_F(SettingsFileTest, AnEarlierKeptCopyIsNeverOverwritten)
{
    write("first copy", file() + ".damaged-1");
    write("[odoledger]\ntotalpixels=x\ntotalmpixels=1\n");
    load();
    EXPECT_EQ(read(file() + ".damaged-1"), "first copy");
    EXPECT_EQ(read(file() + ".damaged-2"), "[odoledger]\ntotalpixels=x\ntotalmpixels=1\n");
}

TEST_F(SettingsFileTest, AFolderWhereTheFileShouldBeIsMovedAsideAndTheSaveSucceeds)
{
    QDir().mkpath(file() + "/inside");
    const auto state = load();
    EXPECT_EQ(state.TotalTwips, 0);
    const std::string said = errors();
    EXPECT_NE(said.find("is a folder"), std::string::npos) << said;
    EXPECT_TRUE(QFileInfo(file() + ".damaged-1/inside").isDir());
    loadAndSave(10, 1);
    EXPECT_EQ(read(file()), "[odoledger]\ntotalmpixels=1\ntotalpixels=10\n");
}

TEST_F(SettingsFileTest, AnUnwritableLocationFailsWithThePathAndLeavesTheOldFileAlone)
{
    // A plain file where the config folder must be stops the write even for
    // root, for whom permission bits do not.
    QDir().mkpath(folder.path());
    config = folder.filePath(QStringLiteral("blocked/config"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
    write("not a folder", folder.filePath(QStringLiteral("blocked")));

    dovo::FileSettings services;
    dovo::OdometerState state;
    dovo::Load(state, services);
    try {
        dovo::Save(state, services);
        FAIL() << "the save should have failed";
    } catch (const dovo::SettingsError& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find(file().toStdString()), std::string::npos) << what;
        EXPECT_NE(what.find("cannot be created"), std::string::npos) << what;
    }
    EXPECT_EQ(read(folder.filePath(QStringLiteral("blocked"))), "not a folder");
}

// Root reads through permission bits, but not through the kernel:
// /proc/self/mem fails a read at offset 0 with EIO, as that page is never
// mapped, and a link to itself cannot be opened. A FIFO read as a file
// would hang the program before its window shows.
TEST_F(SettingsFileTest, AFileThatCannotBeReadIsLeftAsItIsAndReadOnceItCanBe)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/proc/self/mem", "Input/output error"},
        {"Dovo.conf", "Too many levels of symbolic links"},
        {"fifo", "it is not a regular file"},
    };
    for (const auto& [target, says] : cases) {
        SCOPED_TRACE(target);
        QDir(config).removeRecursively();
        QDir().mkpath(config);
        if (std::string(target) == "fifo") {
            ASSERT_EQ(::mkfifo(QFile::encodeName(QDir(config).filePath(target)).constData(), 0600),
                      0);
        }
        ASSERT_EQ(::symlink(target, QFile::encodeName(file()).constData()), 0);
        errors();

        dovo::FileSettings services;
        dovo::OdometerState state;
        try {
            dovo::Load(state, services);
            ADD_FAILURE() << "the load should have failed";
        } catch (const dovo::SettingsError& error) {
            EXPECT_NE(std::string(error.what()).find(file().toStdString() + ": " + says),
                      std::string::npos)
                << error.what();
        }
        EXPECT_THROW(dovo::Save(state, services), dovo::SettingsError);
        EXPECT_EQ(QFileInfo(file()).symLinkTarget(), QDir(config).filePath(target));
        EXPECT_FALSE(QFileInfo(file() + ".damaged-1").isSymLink() ||
                     QFileInfo::exists(file() + ".damaged-1"));
        EXPECT_EQ(errors(), ""); // the caller tells the error it was given

        ASSERT_TRUE(QFile::remove(file()));
        write("[odoledger]\ntotalpixels=4321\ntotalmpixels=5\n");
        dovo::Load(state, services);
        EXPECT_EQ(state.TotalTwips, 4321);
        EXPECT_EQ(state.TotalBlocks, 5);
    }
}

int NoRenameWithoutReplacing(const char*, const char*)
{
    errno = EINVAL;
    return -1;
}

// Each damage is told once, as sentences for the user and on standard error;
// what cannot be kept aside is not written over. A file size limit stands in
// for a disk with room for the totals but not for a copy of a large file.
struct KeepAsideCase
{
    const char* name;
    bool folder; // else a file with a damaged total
    dovo::SettingsFile::MoveCall move;
    rlim_t sizeLimit;
    const char* says;
};

TEST_F(SettingsFileTest, DamageIsToldOnceAndWhatCannotBeKeptAsideIsNotWrittenOver)
{
    const KeepAsideCase cases[] = {
        {"a folder, where rename cannot refuse to replace", true, &NoRenameWithoutReplacing,
         RLIM_INFINITY, "The folder was moved to "},
        {"a damaged total", false, nullptr, RLIM_INFINITY, "The file as it was is kept as "},
        {"a damaged total, and no room for a copy", false, nullptr, 4096,
         "It could not be kept aside (File too large), so Dovo saves nothing over it"},
    };
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config).removeRecursively();
        if (c.folder) {
            QDir().mkpath(file() + "/inside");
        } else {
            write("[odoledger]\ntotalmpixels=7q\n[other]\njunk=" + QByteArray(8192, 'x') + "\n");
        }
        const QByteArray before = read(file());
        const bool kept = c.sizeLimit == RLIM_INFINITY;
        errors();
        const rlimit limit = {c.sizeLimit, RLIM_INFINITY};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);

        dovo::SettingsFile settings(QStringLiteral("Dovo"), c.move);
        for (int load = 0; load < 2; ++load) {
            if (const auto text = settings.value("odoledger", "totalmpixels")) {
                settings.reject("odoledger", "totalmpixels", *text);
            }
        }
        const auto notices = settings.takeNotices();
        ASSERT_EQ(notices.size(), 1u);
        const std::string& notice = notices.front();
        EXPECT_TRUE(
            notice.starts_with("Dovo's settings file " + file().toStdString()) ||
            notice.starts_with("The saved total \"totalmpixels\" in " + file().toStdString()))
            << notice;
        EXPECT_NE(notice.find(" again from 0. " + std::string(c.says) +
                              (kept ? file().toStdString() + ".damaged-1." : "")),
                  std::string::npos)
            << notice;
        EXPECT_EQ(errors(), "dovo: " + notice + "\n");

        settings.stage("odoledger", "totalmpixels", "0");
        for (int save = 0; save < 2; ++save) {
            try {
                settings.commit();
                EXPECT_TRUE(kept) << "the save should have failed";
            } catch (const dovo::SettingsError& error) {
                EXPECT_FALSE(kept) << error.what();
                EXPECT_NE(
                    std::string(error.what()).find("could not be kept aside (File too large)"),
                    std::string::npos)
                    << error.what();
            }
        }
        const rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        EXPECT_TRUE(settings.takeNotices().empty());
        EXPECT_EQ(errors(), "");
        EXPECT_EQ(read(file()), kept ? "[odoledger]\ntotalmpixels=0\n" : before);
        EXPECT_EQ(QFileInfo::exists(file() + ".damaged-1"), kept);
        if (!c.folder && kept) {
            EXPECT_EQ(read(file() + ".damaged-1"), before);
        }
        EXPECT_EQ(QFileInfo(file() + ".damaged-1/inside").isDir(), c.folder);
    }
}

// Root writes through permission bits, so a save is made to fail by a plain
// file where the folder must be, or by a file size limit standing in for a
// full disk (EFBIG where ENOSPC would come).
struct BrokenSaveCase
{
    const char* name;
    bool fileTooBig; // else the folder is blocked
};

TEST_F(SettingsFileTest, FailedSavesAreNeverTakenForDamageAndAGoodOneFollows)
{
    const BrokenSaveCase cases[] = {{"folder blocked", false}, {"disk full", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config).removeRecursively();
        const QByteArray other = "\n[other]\njunk=" + QByteArray(8192, 'x') + "\n";
        write("[odoledger]\ntotalmpixels=1\ntotalpixels=1\n" + other);
        errors();
        dovo::FileSettings services;
        dovo::OdometerState state;
        dovo::Load(state, services);
        const QByteArray before = read(file());
        state.TotalTwips = 50;
        if (c.fileTooBig) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small = {0, RLIM_INFINITY};
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        } else {
            QFile::remove(file());
            QDir().rmdir(config);
            write("blocker", config);
        }
        // The second failure is the one a cached failed write used to turn
        // into damage.
        for (int i = 0; i < 2; ++i) {
            try {
                dovo::Save(state, services);
                ADD_FAILURE() << "the save should have failed";
            } catch (const dovo::SettingsError& error) {
                EXPECT_EQ(std::string(error.what()).find("is not"), std::string::npos)
                    << error.what();
            }
        }
        if (c.fileTooBig) {
            EXPECT_EQ(read(file()), before);
            const rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        } else {
            QFile::remove(config);
        }
        state.TotalTwips = 99;
        EXPECT_NO_THROW(dovo::Save(state, services));
        const QByteArray after = read(file());
        EXPECT_TRUE(after.startsWith("[odoledger]\ntotalmpixels=1\ntotalpixels=99\n"))
            << after.toStdString();
        EXPECT_EQ(after.contains("junk"), c.fileTooBig);
        EXPECT_FALSE(QFileInfo::exists(file() + ".damaged-1"));
        EXPECT_EQ(errors(), "");
    }
}

// A save killed between creating its lock file and writing into it leaves
// the lock empty; Qt would wait 30 s before calling it stale.
TEST_F(SettingsFileTest, AnEmptyLockLeftByAKilledSaveDoesNotHoldUpTheNext)
{
    struct Case
    {
        const char* left;
        QByteArray file;
    };
    const Case cases[] = {
        {".lock", "[odoledger]\ntotalpixels=1\ntotalmpixels=1\n"},
        // the fresh copy that replaces a damaged file has a lock of its own
        {".new.lock", "damaged"},
        // killed while removing a stale lock: an old lock and an empty rmlock
        {".lock.rmlock", "[odoledger]\ntotalpixels=1\ntotalmpixels=1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.left);
        QDir(config).removeRecursively();
        write(c.file);
        write({}, file() + c.left);
        if (QByteArray(c.left) == ".lock.rmlock") {
            write("4194304\ndovo\nelsewhere\n", file() + ".lock");
            QFile old(file() + ".lock");
            ASSERT_TRUE(old.open(QIODevice::ReadWrite));
            old.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                            QFileDevice::FileModificationTime);
        }
        // The lock is kept looking fresh while the save runs, so a save that
        // waited for Qt to call it stale would wait for good instead of 30 s.
        auto save = std::async(std::launch::async, [this] { loadAndSave(7, 2); });
        const QByteArray left = QFile::encodeName(file() + c.left);
        int waited = 0;
        while (save.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            utimensat(AT_FDCWD, left.constData(), nullptr, 0);
            if (++waited == 600) {
                // Only a hang gets here; the save cannot be abandoned.
                ADD_FAILURE() << "the save waits on the lock left behind";
                std::_Exit(1);
            }
        }
        save.get();
        EXPECT_EQ(read(file()), "[odoledger]\ntotalmpixels=2\ntotalpixels=7\n");
        errors();
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
