#include "ui/Application.h"

#include "platform/QtServices.h"
#include "platform/TerminationSignals.h"
#include "ui/Form1.h"
#include "ui/Module1.h"

#include <QApplication>
#include <QGuiApplication>

#include <cstdlib>
#include <iostream>

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
    // Under Wayland only XWayland lets a program see the pointer outside its
    // own windows.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}

bool WaylandSession()
{
    return qgetenv("XDG_SESSION_TYPE") == "wayland" ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Said once per start, never as a dialog: a person who started Dovo from the
// menu sees the balloon, one who started it from a terminal sees the line.
void WarnAboutWayland()
{
    const QString text = QStringLiteral(
        "On Wayland, Dovo sees the pointer only while it is over X11 (XWayland) windows; "
        "travel over native Wayland windows is not counted.");
    std::cerr << "dovo: " << qPrintable(text) << std::endl;
    Module1::ShowNotice(QStringLiteral("Dovo"), text);
}

} // namespace

int RunDovo(int argc, char** argv)
{
    PreferX11();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dovo"));
    QGuiApplication::setDesktopFileName(QStringLiteral(DOVO_APP_ID));
    // The window hides into the notification area; only its close ends us.
    QApplication::setQuitOnLastWindowClosed(false);

    QtServices services;
    Form1 form(services);
    liveForm = &form;
    std::atexit(&SaveAtExit);

    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &form,
                     [&form] { form.close(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form] { form.SaveIfChanged("session end"); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &form, [&form] { form.Form_Unload(); });

    form.show();
    if (WaylandSession()) {
        WarnAboutWayland();
    }
    const int status = QApplication::exec();
    liveForm = nullptr;
    return status;
}

} // namespace dovo
