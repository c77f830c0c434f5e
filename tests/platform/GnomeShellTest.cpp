// The GNOME Shell source against a stand-in for the shell on a private
// session bus (run under dbus-run-session): what it makes of good, malformed,
// missing and refused answers, that a switch between the extension and
// XWayland is never a move, and that only the shell's motion is counted.
#include "platform/pointer/GnomeShellPointerSource.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

const QString Shell = QStringLiteral("org.gnome.Shell");
const QString Path = QStringLiteral("/net/quendorvil/Dovo/Pointer");
const QString Interface = QStringLiteral("net.quendorvil.Dovo.Pointer");
const QString ShellPath = QStringLiteral("/org/gnome/Shell");
// Where this test's data folders are (XDG_DATA_HOME, XDG_DATA_DIRS).
QString DataHome;
// Where the pointer is for XWayland: Qt's offscreen cursor.
const QPoint XWaylandPointer(70, 80);

using Answer = std::function<QDBusMessage(const QDBusMessage&)>;

Answer Replying(QVariantList arguments)
{
    return [arguments](const QDBusMessage& call) {
        return call.createReply(arguments);
    };
}

bool WaitFor(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(5000);
    while (!condition() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return condition();
}

// GNOME Shell as far as Dovo sees it, on a connection of its own. One for
// the whole run: a connection closed between tests may still be answering
// for the name a moment later.
class FakeShell final : public QDBusVirtualObject
{
public:
    explicit FakeShell(const QString& connection)
        : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection))
    {}

    // Owning org.gnome.Shell or not, and how the extension answers.
    void reset(bool ownName, Answer answer)
    {
        calls.clear();
        setInfo(std::nullopt);
        if (ownName) {
            EXPECT_TRUE(bus_.registerService(Shell));
        } else {
            bus_.unregisterService(Shell);
        }
        setAnswer(std::move(answer));
    }

    // With no answer, the object is not there, as with the extension off.
    void setAnswer(Answer answer)
    {
        answer_ = std::move(answer);
        bus_.unregisterObject(Path);
        if (answer_) {
            EXPECT_TRUE(bus_.registerVirtualObject(Path, this));
        }
    }

    // What the shell says of Dovo's extension when asked, if it answers.
    void setInfo(std::optional<QVariantMap> info)
    {
        info_ = std::move(info);
        bus_.unregisterObject(ShellPath);
        if (info_) {
            EXPECT_TRUE(bus_.registerVirtualObject(ShellPath, this));
        }
    }

    void emitSignal(const QString& path, const QString& interface, const QString& name,
                    const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
        message.setArguments(arguments);
        bus_.send(message);
    }

    // Moved as the extension sends it, to Dovo alone; returns once the bus
    // has passed it on.
    void moved(const QPoint& position)
    {
        QDBusMessage message = QDBusMessage::createTargetedSignal(
            QDBusConnection::sessionBus().baseService(), Path, Interface, QStringLiteral("Moved"));
        message.setArguments({position.x(), position.y()});
        bus_.send(message);
        bus_.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
    }

    void extensionStateChanged()
    {
        emitSignal(QStringLiteral("/org/gnome/Shell"), QStringLiteral("org.gnome.Shell.Extensions"),
                   QStringLiteral("ExtensionStateChanged"),
                   {QStringLiteral("dovo@quendorvil.net"), QVariantMap()});
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.path() == ShellPath) {
            if (!info_ || message.member() != QLatin1String("GetExtensionInfo")) {
                return false;
            }
            connection.send(message.createReply(QVariant::fromValue(*info_)));
            return true;
        }
        // A call already on its way when the object went is not answered,
        // as with an extension turned off.
        if (!answer_) {
            return false;
        }
        calls.append(message);
        connection.send(answer_(message));
        return true;
    }

    QList<QDBusMessage> calls;

private:
    QDBusConnection bus_;
    Answer answer_;
    std::optional<QVariantMap> info_;
};

FakeShell* shell = nullptr;
// Any other program on the bus, which may also take the shell's name.
FakeShell* other = nullptr;

// Returns once Dovo's side has handled what reached its connection so far.
void Flush()
{
    QDBusPendingCallWatcher call(
        QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"))));
    EXPECT_TRUE(WaitFor([&] { return call.isFinished(); }));
    QCoreApplication::processEvents();
}

struct Started
{
    dovo::GnomeShellPointerSource source;
    QStringList notices;

    Started()
    {
        QObject::connect(&source, &dovo::PointerSource::notice,
                         [this](const QString& text) { notices.append(text); });
        source.start();
    }
};

struct Case
{
    const char* name;
    bool shellThere;
    Answer answer;
    QPoint position;
    const char* told;
    std::optional<QVariantMap> info = std::nullopt;
    bool installedSinceLogin = false;
};

TEST(GnomeShell, WhatEachAnswerLeadsTo)
{
    const QString off = QStringLiteral("gnome-extensions enable dovo@quendorvil.net");
    const QString odd = QStringLiteral("does not understand");
    const std::vector<Case> cases = {
        {"the extension answers", true, Replying({3, 4}), {3, 4}, nullptr},
        {"a string for a position", true, Replying({QStringLiteral("3 4")}), XWaylandPointer,
         "does not understand"},
        {"three numbers", true, Replying({3, 4, 5}), XWaylandPointer, "does not understand"},
        {"unsigned numbers", true, Replying({3u, 4u}), XWaylandPointer, "does not understand"},
        {"refused: another program owns Dovo's name", true,
         [](const QDBusMessage& call) {
             return call.createErrorReply(QDBusError::AccessDenied, QStringLiteral("not Dovo"));
         },
         XWaylandPointer, "another program owns it"},
        {"an error", true,
         [](const QDBusMessage& call) {
             return call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                          QStringLiteral("broken"));
         },
         XWaylandPointer, "gnome-extensions enable dovo@quendorvil.net"},
        {"the extension off", true, nullptr, XWaylandPointer,
         "is installed but off, so Dovo counts only while the pointer is over X11 (XWayland) "
         "windows. To count everywhere, run\n    gnome-extensions enable dovo@quendorvil.net\n",
         QVariantMap{{QStringLiteral("state"), 2.0}}},
        {"not installed, started from the build", true, nullptr, XWaylandPointer,
         "is not installed, so Dovo counts only while the pointer is over X11 (XWayland) "
         "windows. To count everywhere, install it with\n    mkdir -p "
         "~/.local/share/gnome-shell/extensions && cp -r '" DOVO_BUILD_DIR
         "/data/gnome-shell/dovo@quendorvil.net' ~/.local/share/gnome-shell/extensions/\nthen "
         "log out and in again (GNOME Shell on Wayland loads a new extension only at login) and "
         "run\n    gnome-extensions enable dovo@quendorvil.net\n",
         QVariantMap{}},
        {"installed since the shell started", true, nullptr, XWaylandPointer,
         "is installed, but GNOME Shell on Wayland loads a new extension only at login, so Dovo "
         "counts only while the pointer is over X11 (XWayland) windows. To count everywhere, log "
         "out and in again, then run\n    gnome-extensions enable dovo@quendorvil.net\n",
         QVariantMap{}, true},
        {"no GNOME Shell", false, nullptr, XWaylandPointer,
         "gnome-extensions enable dovo@quendorvil.net"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        shell->reset(c.shellThere, c.answer);
        shell->setInfo(c.info);
        const QString installed =
            DataHome + QStringLiteral("/home/gnome-shell/extensions/dovo@quendorvil.net");
        QDir(installed).removeRecursively();
        if (c.installedSinceLogin) {
            ASSERT_TRUE(QDir().mkpath(installed));
            QFile metadata(installed + QStringLiteral("/metadata.json"));
            ASSERT_TRUE(metadata.open(QIODevice::WriteOnly));
        }
        Started started;
        const unsigned before = started.source.generation();
        EXPECT_TRUE(WaitFor([&] { return started.source.position() == c.position; }));
        // Whichever way it went, the first position is a starting point.
        EXPECT_GT(started.source.generation(), before);
        // Why the extension is not there is asked of the shell first.
        if (c.told) {
            WaitFor([&] { return !started.notices.isEmpty(); });
        }
        ASSERT_EQ(started.notices.size(), c.told ? 1 : 0);
        if (c.told) {
            EXPECT_TRUE(started.notices.front().contains(QLatin1String(c.told)))
                << started.notices.front().toStdString();
        }
    }
}

// Each change is a new starting point, and only the first absence is told.
TEST(GnomeShell, ShellAndExtensionComingAndGoingAreNeverAMoveAndToldOnce)
{
    shell->reset(false, Replying({3, 4}));
    Started started;
    auto& source = started.source;
    EXPECT_TRUE(WaitFor([&] { return source.position() == XWaylandPointer; }));

    struct Step
    {
        const char* name;
        std::function<void()> change;
        QPoint position;
    };
    const std::vector<Step> steps = {
        {"a shell comes (a new login)",
         [] {
             shell->reset(true, Replying({3, 4}));
         },
         {3, 4}},
        {"the extension turned off",
         [] {
             shell->setAnswer(nullptr);
             shell->extensionStateChanged();
         },
         XWaylandPointer},
        {"the extension turned on",
         [] {
             shell->setAnswer(Replying({5, 6}));
             shell->extensionStateChanged();
         },
         {5, 6}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const unsigned generation = source.generation();
        step.change();
        EXPECT_TRUE(WaitFor([&] { return source.position() == step.position; }));
        EXPECT_GT(source.generation(), generation);
    }
    WaitFor([&] { return !started.notices.isEmpty(); });
    EXPECT_EQ(started.notices.size(), 1);
}

TEST(GnomeShell, AtRestTheExtensionWatchesAndOnlyAWellFormedMotionWakes)
{
    shell->reset(true, Replying({3, 4}));
    Started started;
    auto& source = started.source;
    ASSERT_TRUE(WaitFor([&] { return source.position() == QPoint(3, 4); }));
    // Where the source says the pointer is each time it wakes its caller.
    QList<std::optional<QPoint>> wakes;
    QObject::connect(&source, &dovo::PointerSource::moved,
                     [&] { wakes.append(source.position()); });

    ASSERT_TRUE(source.sleepUntilMotion());
    ASSERT_TRUE(
        WaitFor([&] { return shell->calls.last().member() == QLatin1String("WatchMotion"); }));
    EXPECT_EQ(shell->calls.last().arguments(), QVariantList({3, 4}));

    // Not a position: ignored. Back where it rested: still a motion, or the
    // caller would sleep on with nobody watching.
    shell->emitSignal(Path, Interface, QStringLiteral("Moved"), {QStringLiteral("7 8")});
    shell->emitSignal(Path, Interface, QStringLiteral("Moved"), {3, 4});
    EXPECT_TRUE(WaitFor([&] { return !wakes.isEmpty(); }));
    EXPECT_EQ(wakes, QList<std::optional<QPoint>>({QPoint(3, 4)}));
}

// Moved is heard from whoever owns org.gnome.Shell, and from nobody else.
TEST(GnomeShell, OnlyTheShellsMotionIsCounted)
{
    shell->reset(true, Replying({3, 4}));
    Started started;
    auto& source = started.source;
    ASSERT_TRUE(WaitFor([&] { return source.position() == QPoint(3, 4); }));
    QList<std::optional<QPoint>> wakes;
    QObject::connect(&source, &dovo::PointerSource::moved,
                     [&] { wakes.append(source.position()); });

    struct Row
    {
        const char* name;
        std::function<void()> change;
        FakeShell* from;
        bool counted;
    };
    const std::vector<Row> rows = {
        {"the shell", nullptr, shell, true},
        {"a stranger", nullptr, other, false},
        {"the old owner, once the name moved on",
         [&] {
             shell->reset(false, Replying({3, 4}));
             other->reset(true, Replying({5, 6}));
             EXPECT_TRUE(WaitFor([&] { return source.position() == QPoint(5, 6); }));
         },
         shell, false},
        {"the new owner", nullptr, other, true},
        {"the last owner, with no shell left",
         [&] {
             other->reset(false, Replying({5, 6}));
             EXPECT_TRUE(WaitFor([&] { return source.position() == XWaylandPointer; }));
         },
         other, false},
    };
    int x = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.change) {
            row.change();
        }
        source.sleepUntilMotion();
        const QPoint point(++x, 200);
        row.from->moved(point);
        Flush();
        EXPECT_EQ(wakes.contains(point), row.counted);
    }
    other->reset(false, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Where Dovo looks for an installed extension, empty unless a case puts
    // one there.
    const QTemporaryDir data;
    DataHome = data.path();
    qputenv("XDG_DATA_HOME", (DataHome + QStringLiteral("/home")).toLocal8Bit());
    qputenv("XDG_DATA_DIRS", (DataHome + QStringLiteral("/system")).toLocal8Bit());
    QGuiApplication app(argc, argv);
    QCursor::setPos(XWaylandPointer);
    FakeShell fake(QStringLiteral("shell"));
    shell = &fake;
    FakeShell stranger(QStringLiteral("other"));
    other = &stranger;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
