// Hyprland's control socket played by a local server in the test: what Dovo
// makes of its answers, of a slow or dead socket, and how often it asks.
#include "platform/pointer/HyprlandPointerSource.h"

#include "platform/pointer/PointerSources.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using dovo::HyprlandPointerSource;

// Answers every connection after `delayMs` with `reply`, then closes it
// unless `keepOpen`; `silent` never answers.
class StandIn : public QObject
{
public:
    QByteArray reply = "10, 20";
    int delayMs = 0;
    bool keepOpen = false;
    bool silent = false;

    int connections = 0;
    int open = 0;
    int mostOpen = 0;
    QList<QByteArray> requests;
    QList<qint64> acceptedAt; // ms

    bool listen(const QString& path)
    {
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        QLocalServer::removeServer(path);
        return server_.listen(path);
    }
    void close() { server_.close(); }

    StandIn()
    {
        clock_.start();
        connect(&server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = server_.nextPendingConnection()) {
                accept(socket);
            }
        });
    }

private:
    void accept(QLocalSocket* socket)
    {
        ++connections;
        acceptedAt.append(clock_.elapsed());
        mostOpen = std::max(mostOpen, ++open);
        requests.append(QByteArray());
        const qsizetype index = requests.size() - 1;
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            --open;
            socket->deleteLater();
        });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, index] {
            requests[index] += socket->readAll();
            if (requests[index] != "cursorpos" || silent) {
                return;
            }
            QTimer::singleShot(delayMs, this, [this, guard = QPointer<QLocalSocket>(socket)] {
                if (!guard || guard->state() != QLocalSocket::ConnectedState) {
                    return;
                }
                guard->write(reply);
                if (!keepOpen) {
                    guard->disconnectFromServer();
                }
            });
        });
    }

    QLocalServer server_;
    QElapsedTimer clock_;
};

// The odometer's ticks: position() every 200 ms, events in between.
bool TickUntil(HyprlandPointerSource& source, const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer tick;
    while (!done()) {
        if (clock.elapsed() > ms) {
            return false;
        }
        if (!tick.isValid() || tick.elapsed() >= 200) {
            tick.start();
            source.position();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class Hyprland : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime_.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
        qputenv("HYPRLAND_INSTANCE_SIGNATURE", "dovo-test");
        ASSERT_TRUE(QDir(runtime_.path()).mkpath(QStringLiteral("hypr/dovo-test")));
        QObject::connect(&source, &dovo::PointerSource::notice, &source,
                         [this](const QString& text) { notices.append(text); });
    }

    QString socketPath() const
    {
        return runtime_.filePath(QStringLiteral("hypr/dovo-test/.socket.sock"));
    }

    QTemporaryDir runtime_;
    HyprlandPointerSource source;
    QStringList notices;
};

struct Answer
{
    const char* name;
    QByteArray reply;
    bool keepOpen;
    bool silent;
    std::optional<QPoint> position;
};

TEST_F(Hyprland, OnlyWholeAnswersAreTakenAndAFaultIsToldOnce)
{
    const std::vector<Answer> answers = {
        {"a position", "640, 480", false, false, QPoint(640, 480)},
        {"a screen left of and above the first", "-1920, -5", false, false, QPoint(-1920, -5)},
        {"garbage", "ok", false, false, {}},
        {"no second number", "12,", false, false, {}},
        {"three numbers", "1, 2, 3", false, false, {}},
        {"a space inside a number", "1 2, 3", false, false, {}},
        {"beyond int", "99999999999, 1", false, false, {}},
        {"empty", "", false, false, {}},
        {"huge", QByteArray(100000, '1'), false, false, {}},
        {"no answer", "", true, true, {}},
        {"answer but never closed", "12, 34", true, false, {}},
    };
    for (const Answer& answer : answers) {
        SCOPED_TRACE(answer.name);
        StandIn server;
        server.reply = answer.reply;
        server.keepOpen = answer.keepOpen;
        server.silent = answer.silent;
        ASSERT_TRUE(server.listen(socketPath()));
        HyprlandPointerSource fresh;
        QStringList told;
        QObject::connect(&fresh, &dovo::PointerSource::notice,
                         [&told](const QString& text) { told.append(text); });
        fresh.start();
        // Two whole exchanges, so a fault has had two chances to be told.
        const bool settled = TickUntil(
            fresh,
            [&] {
                return server.connections >= 2 && server.open == 0 &&
                       (answer.position ? fresh.position() == answer.position
                                        : fresh.generation() >= 2);
            },
            4000);
        EXPECT_TRUE(settled) << server.connections << " connections, " << server.open
                             << " open, generation " << fresh.generation();
        for (const QByteArray& request : server.requests) {
            EXPECT_EQ(request, "cursorpos");
        }
        EXPECT_EQ(fresh.position(), answer.position);
        if (answer.position) {
            EXPECT_EQ(fresh.generation(), 0u);
            EXPECT_TRUE(told.isEmpty()) << told.join('\n').toStdString();
        } else {
            ASSERT_EQ(told.size(), 1);
            EXPECT_TRUE(told[0].contains(socketPath())) << told[0].toStdString();
        }
    }
}

TEST_F(Hyprland, ASlowSocketNeverHoldsUpATickNorPilesUpRequests)
{
    StandIn server;
    server.delayMs = 2000;
    ASSERT_TRUE(server.listen(socketPath()));
    source.start();
    qint64 slowest = 0;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < 3000) {
        QElapsedTimer call;
        call.start();
        EXPECT_EQ(source.position(), std::nullopt);
        slowest = std::max(slowest, call.nsecsElapsed());
        QElapsedTimer tick;
        tick.start();
        while (tick.elapsed() < 200) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    EXPECT_LT(slowest, 5'000'000) << slowest << " ns";
    EXPECT_EQ(server.mostOpen, 1);
    // Given up after a second each, so asked again: 0 s, 1 s, 2 s.
    EXPECT_GE(server.connections, 2);
    EXPECT_LE(server.connections, 3);
    EXPECT_EQ(notices.size(), 1);
}

struct Outage
{
    const char* name;
    bool fileLeftBehind;
};

TEST_F(Hyprland, AfterAnOutageTheNextAnswerStartsAfresh)
{
    const std::vector<Outage> outages = {
        {"socket file, nobody listening", true},
        {"no socket file", false},
    };
    for (const Outage& outage : outages) {
        SCOPED_TRACE(outage.name);
        {
            StandIn before;
            before.reply = "10, 20";
            ASSERT_TRUE(before.listen(socketPath()));
            if (&outage == &outages.front()) {
                source.start();
            }
            ASSERT_TRUE(TickUntil(
                source, [&] { return source.position() == QPoint(10, 20); }, 1000));
        }
        const unsigned seen = source.generation();
        QFile::remove(socketPath());
        if (outage.fileLeftBehind) {
            // What a crashed Hyprland leaves: a bound socket nobody accepts on.
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const QByteArray path = QFile::encodeName(socketPath());
            std::memcpy(address.sun_path, path.constData(), path.size());
            ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::close(fd);
        }
        ASSERT_TRUE(TickUntil(
            source, [&] { return !source.position().has_value(); }, 1000));
        TickUntil(
            source, [] { return false; }, 500);
        EXPECT_GT(source.generation(), seen);
        StandIn after;
        after.reply = "500, 600";
        ASSERT_TRUE(after.listen(socketPath()));
        ASSERT_TRUE(TickUntil(
            source, [&] { return source.position().has_value(); }, 1000));
        EXPECT_EQ(source.position(), QPoint(500, 600));
        EXPECT_GT(source.generation(), seen);
        after.close();
    }
    // Told once per start, naming the socket and the first reason.
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains(socketPath())) << notices[0].toStdString();
    EXPECT_TRUE(notices[0].contains(QStringLiteral("refused"))) << notices[0].toStdString();
}

TEST_F(Hyprland, ARestingPointerIsCheckedOnceASecondAndAMoveWakesTheCaller)
{
    StandIn server;
    server.reply = "10, 20";
    ASSERT_TRUE(server.listen(socketPath()));
    source.start();
    ASSERT_TRUE(TickUntil(
        source, [&] { return source.position() == QPoint(10, 20); }, 1000));
    int woken = 0;
    QObject::connect(&source, &dovo::PointerSource::moved, [&woken] { ++woken; });
    ASSERT_TRUE(source.sleepUntilMotion());
    const int asleepAt = server.connections;
    // The caller's timer stopped, but a stray read must not ask either.
    TickUntil(
        source, [] { return false; }, 3500);
    // At most once a second, less what the stand-in's own wake-up may add.
    for (qsizetype i = asleepAt; i < server.acceptedAt.size(); ++i) {
        EXPECT_GE(server.acceptedAt[i] - server.acceptedAt[i - 1], 990) << "connection " << i;
    }
    EXPECT_EQ(woken, 0);
    server.reply = "11, 20";
    QElapsedTimer clock;
    clock.start();
    while (woken == 0 && clock.elapsed() < 1500) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(source.position(), QPoint(11, 20));
    EXPECT_TRUE(notices.isEmpty());
}

struct Place
{
    const char* name;
    bool inRuntime;
    bool inTmp;
    bool expectTmp;
};

TEST_F(Hyprland, TheSocketIsLookedForInTheRuntimeFolderFirst)
{
    // Older Hyprland kept it in /tmp/hypr; a signature of our own
    // keeps this clear of any real instance.
    const QByteArray signature = "dovo-test-" + QByteArray::number(::getpid());
    qputenv("HYPRLAND_INSTANCE_SIGNATURE", signature);
    const QString tail = QStringLiteral("/hypr/") + QString::fromLatin1(signature);
    const QString tmp = QStringLiteral("/tmp") + tail;
    const QString runtime = runtime_.path() + tail;
    const std::vector<Place> places = {
        {"in both", true, true, false},
        {"only in /tmp", false, true, true},
        {"nowhere yet", false, false, false},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.name);
        for (const auto& [folder, there] :
             {std::pair{runtime, place.inRuntime}, {tmp, place.inTmp}}) {
            QDir(folder).removeRecursively();
            if (there) {
                ASSERT_TRUE(QDir().mkpath(folder));
                QFile file(folder + QStringLiteral("/.socket.sock"));
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            }
        }
        const QString expected =
            (place.expectTmp ? tmp : runtime) + QStringLiteral("/.socket.sock");
        EXPECT_EQ(QFile::decodeName(HyprlandPointerSource::socketPath()), expected);
    }
    QDir(tmp).removeRecursively();
    QDir().rmdir(QStringLiteral("/tmp/hypr"));
}

struct Session
{
    const char* variable;
    const char* value;
};

TEST_F(Hyprland, IsChosenOnAWaylandSessionThatNamesAnInstance)
{
    const std::vector<Session> sessions = {
        {"WAYLAND_DISPLAY", "wayland-1"},
        {"XDG_SESSION_TYPE", "wayland"},
    };
    for (const Session& session : sessions) {
        SCOPED_TRACE(session.variable);
        qunsetenv("WAYLAND_DISPLAY");
        qunsetenv("XDG_SESSION_TYPE");
        qputenv(session.variable, session.value);
        // A Hyprland instance says so even where the desktop name says KDE.
        qputenv("XDG_CURRENT_DESKTOP", "KDE");
        EXPECT_EQ(dovo::MakePointerSource()->name(), QStringLiteral("Hyprland"));
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The notice carries the system's reason; read it in English.
    qputenv("LC_ALL", "C");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
