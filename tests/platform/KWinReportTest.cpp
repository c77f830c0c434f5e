// What the KWin script's calls may carry: KWin 5 and 6 send JavaScript
// numbers as different D-Bus types, and anything else on the bus may call
// with anything at all; only two sane numbers are a position, and only
// from KWin. Run under dbus-run-session, with stand-ins for KWin and for
// any other program.
#include "platform/pointer/KWinPointerSource.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

namespace {

struct Row
{
    const char* name;
    QVariantList arguments;
    std::optional<QPoint> expected;
};

TEST(KWinReport, OnlyTwoFiniteNumbersAreAPosition)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {"int32 (KWin 5)", {5, 7}, QPoint(5, 7)},
        {"double, rounded (KWin 6)", {5.4, 7.6}, QPoint(5, 8)},
        {"left of and above the primary screen", {-1280, -3}, QPoint(-1280, -3)},
        {"uint32", {5u, 7u}, QPoint(5, 7)},
        {"int64", {qlonglong(5), qlonglong(7)}, QPoint(5, 7)},
        {"one number", {5}, std::nullopt},
        {"three numbers", {5, 7, 9}, std::nullopt},
        {"strings", {QStringLiteral("5"), QStringLiteral("7")}, std::nullopt},
        {"booleans", {true, false}, std::nullopt},
        {"not a number", {nan, 7.0}, std::nullopt},
        {"infinite", {5.0, inf}, std::nullopt},
        {"beyond any desktop", {5.0, 1e12}, std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(dovo::PointFromReport(row.arguments), row.expected) << row.name;
    }
}

// KWin loads the script with its own rights: an installed Dovo never names
// one in a build tree, where others may be able to write.
TEST(KWinScript, TheSourcesAreUsedOnlyByAProgramInTheBuildTree)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QDir dir(root.path());
    for (const char* folder :
         {"build/src/ui", "build-old/src/ui", "usr/bin", "usr/share/dovo/kwin", "opt/bin"}) {
        ASSERT_TRUE(dir.mkpath(QString::fromLatin1(folder)));
    }
    QFile installed(dir.filePath(QStringLiteral("usr/share/dovo/kwin/dovo-pointer.js")));
    ASSERT_TRUE(installed.open(QIODevice::WriteOnly));
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("build")), dir.filePath(QStringLiteral("linked"))));
    const QString sources = QStringLiteral("/src/dovo/data");
    const QString fromSources = sources + QStringLiteral("/kwin/dovo-pointer.js");
    const struct
    {
        const char* name;
        const char* programDir;
        QString expected;
    } rows[] = {
        {"run from the build tree", "build/src/ui", fromSources},
        {"run through a link to the build tree", "linked/src/ui", fromSources},
        {"installed, with the script", "usr/bin", QFileInfo(installed).canonicalFilePath()},
        {"installed, the script missing", "opt/bin",
         dir.filePath(QStringLiteral("opt/share/dovo/kwin/dovo-pointer.js"))},
        {"beside the build tree, the name begun alike", "build-old/src/ui",
         dir.filePath(QStringLiteral("build-old/src/share/dovo/kwin/dovo-pointer.js"))},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(dovo::KWinScriptPath(dir.filePath(QString::fromLatin1(row.programDir)),
                                       dir.filePath(QStringLiteral("build")), sources),
                  row.expected)
            << row.name;
    }
}

bool WaitFor(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(5000);
    while (!condition() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return condition();
}

// A program on the session bus that may own org.kde.KWin, and then answers
// Dovo's loading of its script as KWin does.
class Peer final : public QDBusVirtualObject
{
public:
    explicit Peer(const QString& connection)
        : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection))
    {
        EXPECT_TRUE(bus_.registerVirtualObject(QStringLiteral("/Scripting"), this));
    }

    // Taking the name from its owner in one step, as kwin --replace does.
    void ownKWin(bool own)
    {
        const QString name = QStringLiteral("org.kde.KWin");
        if (own) {
            EXPECT_EQ(bus_.interface()->registerService(
                          name, QDBusConnectionInterface::ReplaceExistingService,
                          QDBusConnectionInterface::AllowReplacement),
                      QDBusConnectionInterface::ServiceRegistered);
        } else {
            EXPECT_TRUE(bus_.unregisterService(name));
        }
    }

    // Report(x, y) to Dovo; the answer's error name, empty when taken.
    std::string report(const QPoint& point)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("net.quendorvil.Dovo"), QStringLiteral("/net/quendorvil/Dovo/Pointer"),
            QStringLiteral("net.quendorvil.Dovo.Pointer"), QStringLiteral("Report"));
        call.setArguments({point.x(), point.y()});
        QDBusPendingCallWatcher answer(bus_.asyncCall(call));
        EXPECT_TRUE(WaitFor([&] { return answer.isFinished(); }));
        return answer.isError() ? answer.error().name().toStdString() : std::string();
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        // Loaded, started, still there: all true.
        connection.send(message.createReply(QVariantList{true}));
        return true;
    }

private:
    QDBusConnection bus_;
};

TEST(KWinReport, OnlyTheOwnerOfKWinsNameIsHeard)
{
    Peer kwin(QStringLiteral("kwin"));
    Peer stranger(QStringLiteral("stranger"));
    kwin.ownKWin(true);
    dovo::KWinPointerSource source;
    QStringList remarks;
    QObject::connect(&source, &dovo::PointerSource::remark,
                     [&](const QString& text) { remarks.append(text); });
    source.start();
    // Dovo's name and KWin's owner are learnt without waiting: KWin's first
    // report is taken once they are.
    ASSERT_TRUE(WaitFor([&] { return kwin.report({1, 1}).empty(); }));
    remarks.clear();

    const std::string denied = "org.freedesktop.DBus.Error.AccessDenied";
    struct Step
    {
        const char* name;
        std::function<void()> change;
        Peer& from;
        bool taken;
    };
    const Step steps[] = {
        {"KWin", nullptr, kwin, true},
        {"a stranger", nullptr, stranger, false},
        {"the old KWin, once another took the name", [&] { stranger.ownKWin(true); }, kwin, false},
        {"the new KWin", nullptr, stranger, true},
        {"the last KWin, gone", [&] { stranger.ownKWin(false); }, stranger, false},
    };
    int x = 4240;
    for (const Step& row : steps) {
        SCOPED_TRACE(row.name);
        if (row.change) {
            // Each change of owner is a fresh start; seen once that happened.
            const unsigned generation = source.generation();
            row.change();
            ASSERT_TRUE(WaitFor([&] { return source.generation() != generation; }));
        }
        const QPoint point(++x, 4200);
        EXPECT_EQ(row.from.report(point), row.taken ? std::string() : denied);
        EXPECT_EQ(source.position() == point, row.taken);
    }
    // Said once, and without the position.
    ASSERT_EQ(remarks.size(), 1);
    EXPECT_FALSE(remarks.front().contains(QLatin1String("424")));
    EXPECT_FALSE(remarks.front().contains(QLatin1String("4200")));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
