// The X11 pointer sources on a real X server (a private desktop, with a
// private session bus where nothing serves GNOME Shell), when Dovo's own
// connection to the server cannot be opened: each says why it polls, and
// still sees the pointer through Qt's connection.
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

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
