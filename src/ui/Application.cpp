#include "ui/Application.h"

#include "platform/FileSettings.h"
#include "platform/QtServices.h"
#include "platform/SleepWatch.h"
#include "platform/TerminationSignals.h"
#include "platform/pointer/PointerSources.h"
#include "session/ErrorHandling.h"
#include "ui/CommandLine.h"
#include "ui/Form1.h"
#include "ui/Module1.h"
#include "ui/SingleInstance.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdlib>

namespace dovo {

namespace {

Form1* liveForm = nullptr;

// Qt ends the process with exit() when the X server goes away, without
// returning from the event loop; the totals are saved here instead.
void SaveAtExit()
{
    if (liveForm != nullptr && !liveForm->unloaded()) {
        liveForm->SaveIfChanged("exit");
    }
}

void PreferX11()
{
    // On Wayland the window stays on XWayland wherever there is one, even
    // where the pointer comes from the compositor: xdg-shell never tells a
    // client that its window was minimised, so it could not hide into the
    // notification area and come back from there.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    // Qt 6.8 and later crash in the xcb plugin when an input device comes or
    // goes (QXcbConnection::xi2HandleDeviceChangedEvent -> populateTouchDevices
    // -> QInputDevice::seatName), which XWayland announces for every virtual
    // or hot-plugged pointer. The window wants no touch, tablet or smooth
    // scrolling, so Qt's own connection is left without XInput 2; the motion
    // watch keeps it on a connection of its own.
    qputenv("QT_XCB_NO_XI2", "1");
}

// Said once per start, never as a dialog: a person who started Dovo from the
// menu sees the balloon, one who started it from a terminal sees the line.
void Tell(const QString& text)
{
    WriteLine("dovo: " + text.toStdString());
    Module1::ShowNotice(QStringLiteral("Dovo"), text);
}

// A screen added, removed or resized moves the pointer without travel: the
// X server puts it back inside what is left.
void ReportScreenChanges(QApplication& app, Form1& form)
{
    const auto follow = [&form](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, &form, [&form] { form.StartAfresh(); });
    };
    for (QScreen* screen : QGuiApplication::screens()) {
        follow(screen);
    }
    QObject::connect(&app, &QGuiApplication::screenAdded, &form, [&form, follow](QScreen* screen) {
        follow(screen);
        form.StartAfresh();
    });
    QObject::connect(&app, &QGuiApplication::screenRemoved, &form, [&form] { form.StartAfresh(); });
}

} // namespace

int RunDovo(int argc, char** argv)
{
    if (const auto status = HandleCommandLine(argc, argv)) {
        return *status;
    }
    PreferX11();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dovo"));
    QGuiApplication::setDesktopFileName(QStringLiteral(DOVO_APP_ID));
    // The window hides into the notification area; only its close ends us.
    QApplication::setQuitOnLastWindowClosed(false);

    // Decided before anything is loaded or shown, so a second copy never
    // reads or writes the totals.
    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Role::First:
        break;
    case SingleInstance::Role::Forwarded:
        WriteLine("dovo: Dovo is already running; its window was brought forward");
        return 0;
    case SingleInstance::Role::Unanswered:
        WriteLine("dovo: Dovo is already running here but did not answer");
        return 1;
    }

    QtServices services(MakePointerSource());
    WriteLine("dovo: pointer from " + services.pointer().name().toStdString());
    FileSettings settings;
    Form1 form(services, settings);
    liveForm = &form;
    std::atexit(&SaveAtExit);

    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &form, [&form] {
        form.Form_Unload(OdometerSession::CloseReason::Signal);
        form.close();
    });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form] { form.SaveIfChanged("session end"); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &form,
                     [&form] { form.Form_Unload(OdometerSession::CloseReason::SessionEnd); });
    // Exactly what a left click on the icon does.
    QObject::connect(&instance, &SingleInstance::activateRequested, &form,
                     [&form] { form.TrayIcon_Activated(QSystemTrayIcon::Trigger); });

    form.show();
    QObject::connect(&services.pointer(), &PointerSource::notice, &form, &Tell);
    QObject::connect(&services.pointer(), &PointerSource::remark, &form,
                     [](const QString& text) { WriteLine("dovo: " + text.toStdString()); });
    services.pointer().start();
    SleepWatch sleepWatch;
    QObject::connect(&sleepWatch, &SleepWatch::aboutToSleep, &form,
                     [&form] { form.SaveIfChanged("sleep"); });
    QObject::connect(&sleepWatch, &SleepWatch::resumed, &services.pointer(),
                     &PointerSource::lookAgain);
    QObject::connect(&sleepWatch, &SleepWatch::resumed, &form, &Form1::StartAfresh);
    ReportScreenChanges(app, form);
    sleepWatch.start();
    const int status = QApplication::exec();
    liveForm = nullptr;
    return status;
}

} // namespace dovo
