// Two screens of different density side by side: each move is measured with
// the density of the screen the pointer is on at that tick.
#include "core/Odometer.h"
#include "platform/QtServices.h"

#include <QCursor>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Move
{
    const char* name;
    QPoint from;
    QPoint to;
    std::int32_t twips;
};

TEST(Screens, EachMoveCountsWithTheDensityOfTheScreenUnderThePointer)
{
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    const std::vector<Move> moves = {
        {"left screen, 96 dpi", {100, 100}, {400, 100}, 300 * 15},
        {"right screen, 144 dpi", {1100, 100}, {1400, 100}, 300 * 10},
        {"right screen, vertical", {1100, 100}, {1100, 400}, 300 * 10},
        {"left screen, diagonal", {100, 100}, {400, 500}, 7500},
    };
    for (const auto& move : moves) {
        SCOPED_TRACE(move.name);
        dovo::QtServices services;
        dovo::OdometerState state;
        QCursor::setPos(move.from);
        dovo::Start(state, services);
        QCursor::setPos(move.to);
        dovo::Step(state, services);
        EXPECT_EQ(state.TotalTwips, move.twips);
    }
}

TEST(Screens, TheFactorsFollowThePointerFromOneReadToTheNext)
{
    dovo::QtServices services;
    dovo::ScreenPoint point;
    QCursor::setPos(200, 200);
    services.GetCursorPos(point);
    EXPECT_EQ(point, (dovo::ScreenPoint{200, 200}));
    EXPECT_FLOAT_EQ(services.TwipsPerPixelX(), 15.0f);
    EXPECT_FLOAT_EQ(services.TwipsPerPixelY(), 15.0f);
    QCursor::setPos(1200, 200);
    services.GetCursorPos(point);
    EXPECT_FLOAT_EQ(services.TwipsPerPixelX(), 10.0f);
    EXPECT_FLOAT_EQ(services.TwipsPerPixelY(), 10.0f);
}

} // namespace

int main(int argc, char** argv)
{
    // Qt's offscreen platform takes its screens from a file; the base dpi
    // equal to the logical dpi keeps Qt from scaling the dense screen away.
    QTemporaryDir folder;
    const QString config = folder.filePath(QStringLiteral("screens.json"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        return 1;
    }
    file.write(R"({"screens": [
        {"name": "left", "x": 0, "y": 0, "width": 1000, "height": 800,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
        {"name": "right", "x": 1000, "y": 0, "width": 1000, "height": 800,
         "logicalDpi": 144, "logicalBaseDpi": 144, "dpr": 1}]})");
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
