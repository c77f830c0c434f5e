// Hyprland's control socket played by a local server in the test: what Dovo
// makes of its answers, of a slow or dead socket, and how often it asks.
#include "platform/pointer/HyprlandPointerSource.h"

#include "platform/pointer/PointerSources.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using dovo::HyprlandPointerSource;

// Time as the test steps it: timers fire only in advance(), in the order
// they fall due, each followed by `settle` so that what a timer set off on
// the socket is over before the next one fires.
class SteppedClock final : public dovo::Clock
{
public:
    qint64 now() const override { return now_; }
    std::unique_ptr<dovo::Timer> timer(std::function<void()> fire) override
    {
        return std::make_unique<Stepped>(*this, std::move(fire));
    }

    void advance(qint64 ms, const std::function<void()>& settle)
    {
        const qint64 until = now_ + ms;
        for (;;) {
            Stepped* next = nullptr;
            for (Stepped* timer : timers_) {
                if (timer->active && timer->due <= until && (!next || timer->due < next->due)) {
                    next = timer;
                }
            }
            if (!next) {
                break;
            }
            now_ = next->due;
            next->active = false;
            next->fire();
            settle();
        }
        now_ = until;
    }

private:
    struct Stepped final : dovo::Timer
    {
        Stepped(SteppedClock& clock_, std::function<void()> fire_)
            : clock(clock_), fire(std::move(fire_))
        {
            clock.timers_.push_back(this);
        }
        ~Stepped() override { std::erase(clock.timers_, this); }
        void start(int ms) override
        {
            due = clock.now_ + ms;
            active = true;
        }
        void stop() override { active = false; }
        bool isActive() const override { return active; }

        SteppedClock& clock;
        std::function<void()> fire;
        qint64 due = 0;
        bool active = false;
    };

    qint64 now_ = 0;
    std::vector<Stepped*> timers_;
};

bool Readable(int fd)
{
    pollfd poll{fd, POLLIN, 0};
    return ::poll(&poll, 1, 0) > 0;
}

// Answers every connection `delayMs` on the test's clock after the request
// with `reply`, then ends its side unless `keepOpen`; `silent` never answers.
class StandIn : public QObject
{
public:
    QByteArray reply = "10, 20";
    int delayMs = 0;
    bool keepOpen = false;
    bool silent = false;

    int connections = 0;
    // Requests open at once, as Dovo left them: one it has closed counts no
    // more, even when the stand-in has yet to read its end.
    int mostOpen = 0;
    QList<QByteArray> requests;
    QList<qint64> acceptedAt; // ms on the test's clock

    explicit StandIn(SteppedClock& clock) : clock_(clock)
    {
        connect(&server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = server_.nextPendingConnection()) {
                accept(socket);
            }
        });
    }

    bool listen(const QString& path)
    {
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        QLocalServer::removeServer(path);
        return server_.listen(path);
    }
    void close() { server_.close(); }

    // Nothing is under way on the socket: what is left waits on the clock.
    bool settled() const
    {
        if (server_.isListening() && Readable(int(server_.socketDescriptor()))) {
            return false;
        }
        return std::ranges::all_of(connections_, [](const std::unique_ptr<Connection>& c) {
            const QLocalSocket* socket = c->socket;
            if (c->closed || !socket || socket->state() == QLocalSocket::UnconnectedState) {
                return true;
            }
            // Dovo sends its request whole at once; an answered connection
            // is over once Dovo has read it and closed its end.
            return c->request == "cursorpos" && !c->shut && socket->bytesToWrite() == 0 &&
                   !Readable(int(socket->socketDescriptor()));
        });
    }

private:
    struct Connection
    {
        QPointer<QLocalSocket> socket;
        QByteArray request;
        std::unique_ptr<dovo::Timer> answer;
        bool answered = false;
        bool shut = false;   // the stand-in said all it will say
        bool closed = false; // Dovo hung up
    };

    static bool HungUp(const Connection& c)
    {
        if (c.closed || !c.socket || c.socket->state() == QLocalSocket::UnconnectedState) {
            return true;
        }
        char byte;
        return ::recv(int(c.socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }

    void accept(QLocalSocket* socket)
    {
        ++connections;
        acceptedAt.append(clock_.now());
        const int open =
            1 + int(std::ranges::count_if(connections_, [](const auto& c) { return !HungUp(*c); }));
        mostOpen = std::max(mostOpen, open);
        requests.append(QByteArray());
        const qsizetype index = requests.size() - 1;
        auto owned = std::make_unique<Connection>();
        Connection* c = owned.get();
        c->socket = socket;
        connections_.push_back(std::move(owned));
        c->answer = clock_.timer([this, c] { answer(*c); });
        connect(socket, &QLocalSocket::disconnected, this, [c, socket] {
            c->closed = true;
            socket->deleteLater();
        });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, c] { endIfWritten(*c); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, index, c] {
            c->request += socket->readAll();
            requests[index] = c->request;
            if (c->request != "cursorpos" || silent) {
                return;
            }
            if (delayMs == 0) {
                answer(*c);
            } else {
                c->answer->start(delayMs);
            }
        });
    }

    void answer(Connection& c)
    {
        if (!c.socket || c.socket->state() != QLocalSocket::ConnectedState) {
            return;
        }
        c.socket->write(reply);
        c.answered = true;
        endIfWritten(c);
    }

    // Only the writing side is shut, so the stand-in sees when Dovo hangs up.
    void endIfWritten(Connection& c)
    {
        if (c.answered && !keepOpen && !c.shut && c.socket && c.socket->bytesToWrite() == 0 &&
            c.socket->state() == QLocalSocket::ConnectedState) {
            ::shutdown(int(c.socket->socketDescriptor()), SHUT_WR);
            c.shut = true;
        }
    }

    SteppedClock& clock_;
    QLocalServer server_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

// Runs the event loop until the exchange on the socket waits on the clock;
// the deadline only catches a hang.
void Settle(const StandIn* server)
{
    const QDeadlineTimer hang(30000);
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (hang.hasExpired()) {
            ADD_FAILURE() << "the socket never settled";
            return;
        }
    } while (server && !server->settled());
}

// The odometer's ticks on the test's clock: position() every 200 ms.
bool TickUntil(SteppedClock& clock, HyprlandPointerSource& source, const StandIn* server,
               const std::function<bool()>& done, int ms)
{
    const qint64 until = clock.now() + ms;
    const auto settle = [server] {
        Settle(server);
    };
    settle();
    while (!done()) {
        if (clock.now() >= until) {
            return false;
        }
        source.position();
        settle();
        clock.advance(200, settle);
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
    SteppedClock clock;
    HyprlandPointerSource source{clock};
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
        StandIn server(clock);
        server.reply = answer.reply;
        server.keepOpen = answer.keepOpen;
        server.silent = answer.silent;
        ASSERT_TRUE(server.listen(socketPath()));
        HyprlandPointerSource fresh(clock);
        QStringList told;
        QObject::connect(&fresh, &dovo::PointerSource::notice,
                         [&told](const QString& text) { told.append(text); });
        fresh.start();
        // Two whole exchanges, so a fault has had two chances to be told.
        const bool settled = TickUntil(
            clock, fresh, &server,
            [&] {
                return server.connections >= 2 && server.settled() &&
                       (answer.position ? fresh.position() == answer.position
                                        : fresh.generation() >= 2);
            },
            4000);
        EXPECT_TRUE(settled) << server.connections << " connections, generation "
                             << fresh.generation();
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
    // The stand-in answers on this thread and only when the test's clock
    // says so: a position() that waited for the answer would never return.
    StandIn server(clock);
    server.delayMs = 2000;
    ASSERT_TRUE(server.listen(socketPath()));
    source.start();
    TickUntil(
        clock, source, &server,
        [&] {
            EXPECT_EQ(source.position(), std::nullopt);
            return false;
        },
        3000);
    EXPECT_EQ(server.mostOpen, 1);
    // Given up after a second each, so asked again: 0 s, 1 s, 2 s.
    EXPECT_EQ(server.acceptedAt, QList<qint64>({0, 1000, 2000}));
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
            StandIn before(clock);
            before.reply = "10, 20";
            ASSERT_TRUE(before.listen(socketPath()));
            if (&outage == &outages.front()) {
                source.start();
            }
            ASSERT_TRUE(TickUntil(
                clock, source, &before, [&] { return source.position() == QPoint(10, 20); }, 1000));
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
            clock, source, nullptr, [&] { return !source.position().has_value(); }, 1000));
        TickUntil(
            clock, source, nullptr, [] { return false; }, 500);
        EXPECT_GT(source.generation(), seen);
        StandIn after(clock);
        after.reply = "500, 600";
        ASSERT_TRUE(after.listen(socketPath()));
        ASSERT_TRUE(TickUntil(
            clock, source, &after, [&] { return source.position().has_value(); }, 1000));
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
    StandIn server(clock);
    server.reply = "10, 20";
    ASSERT_TRUE(server.listen(socketPath()));
    source.start();
    ASSERT_TRUE(TickUntil(
        clock, source, &server, [&] { return source.position() == QPoint(10, 20); }, 1000));
    int woken = 0;
    QObject::connect(&source, &dovo::PointerSource::moved, [&woken] { ++woken; });
    Settle(&server);
    ASSERT_TRUE(source.sleepUntilMotion());
    const qint64 asleepAt = clock.now();
    const qsizetype before = server.acceptedAt.size();
    // The caller's timer stopped, but a stray read must not ask either.
    TickUntil(
        clock, source, &server, [] { return false; }, 3500);
    EXPECT_EQ(server.acceptedAt.mid(before),
              QList<qint64>({asleepAt + 1000, asleepAt + 2000, asleepAt + 3000}));
    EXPECT_EQ(woken, 0);
    server.reply = "11, 20";
    const qint64 movedAt = clock.now();
    TickUntil(
        clock, source, &server, [&] { return woken > 0; }, 1000);
    EXPECT_EQ(woken, 1);
    EXPECT_LE(clock.now() - movedAt, 1000);
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
