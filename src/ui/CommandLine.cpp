#include "ui/CommandLine.h"

#include "session/ErrorHandling.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace dovo {

namespace {

constexpr int UsageStatus = 2;

int Refuse(const QString& reason)
{
    WriteLine("dovo: " + reason.toStdString() + " Try 'dovo --help'.");
    return UsageStatus;
}

} // namespace

std::optional<int> HandleCommandLine(int argc, char** argv)
{
    if (argc <= 1) {
        return std::nullopt;
    }
    // The parser needs an application object for the program name in its
    // help; a plain core one answers without a display, so --version works
    // on a text console. It is gone before the real one is made.
    //
    // QApplication's own options (-platform, -display, -style...) are
    // refused like any other: they all have environment variables
    // (QT_QPA_PLATFORM, DISPLAY, QT_STYLE_OVERRIDE) for whoever needs them,
    // and everything Dovo accepts is in its --help.
    int coreArgc = 1;
    const QCoreApplication core(coreArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dovo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DOVO_VERSION));

    QCommandLineParser parser;
    // So that "-platform" is reported as itself, not as eight letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "An odometer for the mouse pointer: counts how far the pointer travels on the screen.\n"
        "Starting it while it runs brings the running copy's window forward."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);

    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    if (!parser.parse(arguments)) {
        return Refuse(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Refuse(QStringLiteral("Unexpected argument '%1'.")
                          .arg(parser.positionalArguments().constFirst()));
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::fputs("dovo " DOVO_VERSION "\n", stdout);
        return 0;
    }
    return std::nullopt;
}

} // namespace dovo
