#include "ui/Form1.h"

#include "FakeServices.h"
#include "ui/StatusNotifierTray.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

using dovo::Form1;
using dovo::testing::FakeServices;

QString TextOf(const Form1& form, const char* name)
{
    return form.findChild<QLabel*>(QString::fromLatin1(name))->text();
}

QStringList Readouts(const Form1& form)
{
    return {TextOf(form, "Label1"), TextOf(form, "Label3"), TextOf(form, "Label4")};
}

class Form1Test : public QObject
{
    Q_OBJECT

private slots:
    void readoutsAreBlankUntilTheFirstTickThenShowTheLoadedTotals()
    {
        FakeServices services;
        services.stored = {{"odoledger/totalpixels", "283500"}, {"odoledger/totalmpixels", "3"}};
        services.pointer = {{400, 300}};
        Form1 form(services, services);
        form.show();
        QCOMPARE(Readouts(form), QStringList({"", "", ""}));
        // The pointer rests where it was at start, so nothing is added.
        QTRY_COMPARE_WITH_TIMEOUT(Readouts(form), QStringList({"3500 cm", "35 m", "0.03 km"}),
                                  1000);
        QCOMPARE(TextOf(form, "Label2"), QStringLiteral("Your mouse has travelled"));
        QCOMPARE(form.windowTitle(), QStringLiteral("Dovo - Quen Dorvil"));
    }

    void resetShowsZerosOnlyAtTheNextTick()
    {
        FakeServices services;
        services.stored = {{"odoledger/totalpixels", "0"}, {"odoledger/totalmpixels", "250"}};
        services.pointer = {{10, 10}};
        Form1 form(services, services);
        form.Timer1_Timer();
        QCOMPARE(Readouts(form), QStringList({"250000 cm", "2500 m", "2.5 km"}));
        QTest::mouseClick(form.findChild<QPushButton*>("Command1"), Qt::LeftButton);
        QCOMPARE(Readouts(form), QStringList({"250000 cm", "2500 m", "2.5 km"}));
        form.Timer1_Timer();
        QCOMPARE(Readouts(form), QStringList({"0 cm", "0 m", "0 km"}));
    }

    // Bringing the window back activates it; a key typed then must not land
    // on "Reset Counter" unless the user went there with Tab.
    void strayKeysAfterActivationLeaveTheTotals()
    {
        FakeServices services;
        services.stored = {{"odoledger/totalpixels", "1234"}, {"odoledger/totalmpixels", "5000"}};
        services.pointer = {{10, 10}};
        Form1 form(services, services);
        const auto typeStrayKeys = [&form] {
            for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
                QTest::keyClick(form.windowHandle(), key);
            }
        };
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        typeStrayKeys();
        QCOMPARE(form.state().TotalBlocks, 5000);

        // Tab reaches the button; hidden and restored from the icon, the
        // window forgets that.
        QTest::keyClick(form.windowHandle(), Qt::Key_Tab);
        QCOMPARE(form.focusWidget(), form.findChild<QPushButton*>("Command1"));
        form.hide();
        form.TrayIcon_Activated(QSystemTrayIcon::Trigger);
        QVERIFY(QTest::qWaitForWindowActive(&form));
        typeStrayKeys();
        QCOMPARE(form.state().TotalBlocks, 5000);

        QTest::keyClick(form.windowHandle(), Qt::Key_Tab);
        QTest::keyClick(form.windowHandle(), Qt::Key_Space);
        QCOMPARE(form.state().TotalBlocks, 0);
        QCOMPARE(form.state().TotalTwips, 0);
    }

    void movementIsCountedFromThePointerAtStart()
    {
        FakeServices services;
        services.pointer = {{400, 300}, {700, 300}};
        Form1 form(services, services);
        form.Timer1_Timer();
        // 300 px at 15 twips a pixel is 4500 twips, 7.9 cm.
        QCOMPARE(Readouts(form), QStringList({"7 cm", "0 m", "0 km"}));
        QCOMPARE(form.state().TotalTwips, 4500);
    }

    void theLayoutKeepsItsPhysicalSizeAt96Dpi_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("heading") << "Label2" << QRect(16, 8, 289, 33);
        QTest::newRow("centimetres") << "Label1" << QRect(8, 48, 297, 25);
        QTest::newRow("metres") << "Label3" << QRect(8, 72, 297, 25);
        QTest::newRow("kilometres") << "Label4" << QRect(8, 96, 297, 25);
        QTest::newRow("button") << "Command1" << QRect(64, 136, 161, 25);
    }

    void theLayoutKeepsItsPhysicalSizeAt96Dpi()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        FakeServices services;
        Form1 form(services, services);
        QCOMPARE(form.size(), QSize(312, 168));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        auto* control = form.findChild<QWidget*>(name);
        QVERIFY(control);
        QCOMPARE(control->geometry(), geometry);
    }

    void theHeadingFitsItsLabel()
    {
        FakeServices services;
        Form1 form(services, services);
        auto* heading = form.findChild<QLabel*>("Label2");
        const QFontMetrics metrics(heading->font());
        QVERIFY(metrics.horizontalAdvance(heading->text()) <= heading->width());
        QVERIFY(metrics.height() <= heading->height());
        QVERIFY(heading->font().pointSizeF() >= 14.0);
    }

    void closingSavesTheTotalsAndAFailedSaveEndsWithStatusOne()
    {
        // Closed by the user, the failure waits in a box until it is read.
        // First: once a close has asked the application to exit, no event
        // loop of this test process (the box's among them) runs any more.
        FakeServices failing;
        failing.failCommit = true;
        QString boxText;
        {
            Form1 form(failing, failing);
            QTimer::singleShot(0, [&boxText] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    boxText = box->text();
                    box->accept();
                }
            });
            form.close();
            QVERIFY(form.unloaded());
            QCOMPARE(form.exitCode(), 1);
        }
        QVERIFY2(boxText.contains(QStringLiteral("disk on fire")), qPrintable(boxText));

        FakeServices services;
        services.stored = {{"odoledger/totalpixels", "1234"}, {"odoledger/totalmpixels", "5"}};
        Form1 form(services, services);
        form.close();
        QCOMPARE(form.exitCode(), 0);
        QCOMPARE(services.commits.size(), size_t(1));
        QCOMPARE(services.stored["odoledger/totalpixels"], std::string("1234"));
    }

    void aRestingPointerStopsTheTicksUntilMotionOrReset()
    {
        FakeServices services;
        services.canSleep = true;
        services.stored = {{"odoledger/totalpixels", "4500"}, {"odoledger/totalmpixels", "0"}};
        services.pointer = {{400, 300}};
        Form1 form(services, services);
        QTRY_VERIFY_WITH_TIMEOUT(bool(services.wake), 1000);
        QCOMPARE(Readouts(form), QStringList({"7 cm", "0 m", "0 km"}));

        // Asleep, the odometer reads the pointer no more.
        services.pointer = {{700, 300}, {700, 300}};
        QTest::qWait(500);
        QCOMPARE(services.pointer.size(), size_t(2));

        auto wake = std::exchange(services.wake, nullptr);
        wake();
        QTRY_COMPARE_WITH_TIMEOUT(Readouts(form), QStringList({"15 cm", "0 m", "0 km"}), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(bool(services.wake), 1000);

        // Reset at rest: the zeros come with the next tick, 200 ms on, as
        // when the pointer moves. Qt fires timers that are due in the order
        // they fall due, however late, so a busy machine delays both alike:
        // a later tick than the usual one shows up as zeros still missing
        // when the 300 ms one fires.
        QStringList atReference;
        QTest::mouseClick(form.findChild<QPushButton*>("Command1"), Qt::LeftButton);
        QTimer::singleShot(300, Qt::PreciseTimer, &form, [&] { atReference = Readouts(form); });
        QTRY_VERIFY_WITH_TIMEOUT(!atReference.isEmpty(), 10000);
        QCOMPARE(atReference, QStringList({"0 cm", "0 m", "0 km"}));
    }

    // Whether the icon counts as shown, and so whether minimising may hide
    // the window, hangs on finding our own entry in the watcher's list.
    void aWatcherEntryIsOursInEachHostsForm_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("ours");
        QTest::newRow("KDE: service/path") << ":1.14/StatusNotifierItem" << true;
        QTest::newRow("GNOME AppIndicator: service@/path") << ":1.14@/StatusNotifierItem" << true;
        QTest::newRow("as registered: service") << ":1.14" << true;
        QTest::newRow("another connection's item") << ":1.15@/StatusNotifierItem" << false;
        QTest::newRow("a name our name begins") << ":1.140@/StatusNotifierItem" << false;
        QTest::newRow("another path of ours") << ":1.14/MenuBar" << false;
        QTest::newRow("another path, GNOME's form")
            << ":1.14@/org/ayatana/NotificationItem" << false;
    }

    void aWatcherEntryIsOursInEachHostsForm()
    {
        QFETCH(QString, entry);
        QFETCH(bool, ours);
        QCOMPARE(dovo::ListsOurItem(entry, QStringLiteral(":1.14")), ours);
        // Before Qt has a connection of its own there is nothing of ours.
        QVERIFY(!dovo::ListsOurItem(entry, QString()));
    }
};

} // namespace

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
