// The X11 pointer sources on a real X server (a private desktop, with a
// private session bus where nothing serves GNOME Shell).
#include "platform/pointer/X11PointerSource.h"

#include "platform/pointer/GnomeShellPointerSource.h"

#include <QCursor>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

bool WaitFor(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(5000);
    while (!condition() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return condition();
}

struct Case
{
    const char* name;
    std::function<std::unique_ptr<dovo::PointerSource>()> make;
};

// When Dovo's own connection to the server cannot be opened, each source
// says why it polls, and still sees the pointer through Qt's connection.
TEST(X11PointerSource, WithoutItsOwnConnectionSaysWhyItPollsAndStillSeesThePointer)
{
    const QByteArray display = qgetenv("DISPLAY");
    ASSERT_TRUE(display.startsWith(':') && !display.contains('.')) << display.constData();
    const std::vector<Case> cases = {
        {"X11",
         [] {
             return std::make_unique<dovo::X11PointerSource>(
                 QStringLiteral("X11"), dovo::X11PointerSource::Mode::WatchMotion);
         }},
        {"GNOME Shell without the extension, on XWayland",
         [] {
             return std::make_unique<dovo::GnomeShellPointerSource>();
         }},
    };
    int x = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Qt's connection is open already; a screen the server does not have
        // stops only the one Dovo opens for itself.
        qputenv("DISPLAY", display + ".7");
        const auto source = c.make();
        qputenv("DISPLAY", display);
        QStringList remarks;
        QObject::connect(source.get(), &dovo::PointerSource::remark,
                         [&remarks](const QString& text) { remarks.append(text); });
        source->start();
        // GNOME's source falls back once the bus has answered that nobody
        // serves the extension.
        WaitFor([&] { return !remarks.isEmpty(); });
        EXPECT_EQ(remarks.join(QLatin1Char('|')).toStdString(),
                  "cannot open a second connection to the X server; asking for the pointer five "
                  "times a second instead");
        const QPoint there(++x, 41);
        QCursor::setPos(there);
        EXPECT_TRUE(WaitFor([&] { return source->position() == there; }));
    }
}

// A move between a tick's question and the server taking the watch's
// selection sends no motion event. A warp stands in for that move: the
// server sends no raw motion for a warp at all.
TEST(X11PointerSource, SleepsOnlyWhereTheTickLeftThePointer)
{
    struct Row
    {
        const char* name;
        bool movedSinceTheTick;
    };
    for (const Row row : {Row{"at rest", false}, Row{"moved since the tick", true}}) {
        SCOPED_TRACE(row.name);
        dovo::X11PointerSource source(QStringLiteral("X11"),
                                      dovo::X11PointerSource::Mode::WatchMotion);
        QCursor::setPos(100, 100);
        ASSERT_TRUE(WaitFor([&] { return source.position() == QPoint(100, 100); }));
        if (row.movedSinceTheTick) {
            QCursor::setPos(160, 120);
            QCursor::pos(); // a round trip: the server has moved it
        }
        EXPECT_EQ(source.sleepUntilMotion(), !row.movedSinceTheTick);
        EXPECT_EQ(source.asleep(), !row.movedSinceTheTick);
    }
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
