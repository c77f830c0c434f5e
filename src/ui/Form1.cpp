#include "ui/Form1.h"

#include "platform/ErrorHandling.h"
#include "settings/SavedTotals.h"
#include "ui/Module1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QWindow>

#include <cmath>

namespace dovo {

namespace {

constexpr int TickMilliseconds = 200;
constexpr int AutoSaveMilliseconds = 5 * 60 * 1000;
constexpr const char* Caption = "Dovo - Quen Dorvil";
constexpr const char* Heading = "Your mouse has travelled";

// The window is laid out in twips, like a printed page, and turned into
// pixels with the screen's own density so it keeps its physical size.
struct TwipRect
{
    int left, top, width, height;
};

QFont LabelFont(double pointSize)
{
    // Liberation Sans has the metrics of the classic Windows sans faces the
    // layout was drawn for; fall back to whatever sans the desktop has.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    return font;
}

// Shrinks the face in half points until the text fits, so a wider
// substitute face never clips the label.
QFont FittingFont(double pointSize, const QString& text, const QSize& box)
{
    QFont font = LabelFont(pointSize);
    while (font.pointSizeF() > 6.0) {
        const QFontMetricsF metrics(font);
        if (metrics.horizontalAdvance(text) <= box.width() && metrics.height() <= box.height()) {
            break;
        }
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    return font;
}

int AutoSaveInterval()
{
    // Tests of the periodic save cannot wait five minutes.
    bool ok = false;
    const int fromTest = qEnvironmentVariableIntValue("DOVO_AUTOSAVE_INTERVAL_MS", &ok);
    return ok && fromTest > 0 ? fromTest : AutoSaveMilliseconds;
}

} // namespace

Form1::Form1(Services& services, QWidget* parent) : QWidget(parent), services_(services)
{
    setWindowTitle(QString::fromUtf8(Caption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    // The 32 px bitmap only: the scalable icon would load Qt's SVG stack,
    // about a megabyte of memory for the whole run, for no visible gain at
    // window and tray sizes. Menus use the SVG installed in the icon theme.
    // Read by name, as a BMP: QIcon(fileName) asks every image format plugin
    // whether it can read the file before trying a built-in reader, which
    // maps the SVG, JPEG, GIF and ICO plugins (and QtSvg) for good, about
    // half a megabyte; and decoding a PNG pages in about 120 KiB of libpng
    // and zlib that nothing else here needs. The BMP is the same picture.
    QImageReader reader(QStringLiteral(":/icons/dovo-32.bmp"), "bmp");
    reader.setAutoDetectImageFormat(false);
    const QIcon icon(QPixmap::fromImage(reader.read()));
    setWindowIcon(icon);
    buildControls();

    Form_Load();
    Start(state_, services_);

    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    Timer1.start(TickMilliseconds);

    connect(&autoSave_, &QTimer::timeout, this, [this] { SaveIfChanged("autosave"); });
    autoSave_.start(AutoSaveInterval());
}

Form1::~Form1()
{
    Module1::RemoveTrayIcon();
}

void Form1::buildControls()
{
    const double fx = services_.TwipsPerPixelX();
    const double fy = services_.TwipsPerPixelY();
    const auto place = [fx, fy](QWidget* widget, TwipRect r) {
        widget->setGeometry(static_cast<int>(std::lround(r.left / fx)),
                            static_cast<int>(std::lround(r.top / fy)),
                            static_cast<int>(std::lround(r.width / fx)),
                            static_cast<int>(std::lround(r.height / fy)));
    };
    setFixedSize(static_cast<int>(std::lround(4680 / fx)),
                 static_cast<int>(std::lround(2520 / fy)));

    Label2 = new QLabel(QString::fromUtf8(Heading), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    place(Label2, {240, 120, 4335, 495});
    Label2->setFont(FittingFont(18, Label2->text(), Label2->size()));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    const QFont readoutFont = LabelFont(13.5);
    int top = 720;
    for (QLabel** label : {&Label1, &Label3, &Label4}) {
        *label = new QLabel(this);
        place(*label, {120, top, 4455, 375});
        (*label)->setFont(readoutFont);
        (*label)->setAlignment(Qt::AlignCenter);
        top += 360;
    }
    Label1->setObjectName(QStringLiteral("Label1"));
    Label3->setObjectName(QStringLiteral("Label3"));
    Label4->setObjectName(QStringLiteral("Label4"));

    Command1 = new QPushButton(QStringLiteral("Reset Counter"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    place(Command1, {960, 2040, 2415, 375});
    Command1->setAutoDefault(false);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
}

void Form1::Form_Load()
{
    HandleErrors("Form_Load", [this] {
        Load(state_, services_);
        savedTwips_ = state_.TotalTwips;
        savedBlocks_ = state_.TotalBlocks;
    });
    HandleErrors("Form_Load",
                 [this] { Module1::AddTrayIcon(*this, QString::fromUtf8(Module1::TrayTip)); });
}

void Form1::Timer1_Timer()
{
    const OdometerState before = state_;
    HandleErrors("Timer1_Timer", [this] {
        if (services_.PointerReacquired()) {
            Start(state_, services_);
        }
        Step(state_, services_);
        showReadouts(Readouts(state_.TotalTwips, state_.TotalBlocks, services_.DecimalSeparator()));
    });
    // A tick that changed nothing will be followed by more of the same until
    // the pointer moves: sleep until then where the desktop can tell us.
    // Readouts were refreshed above, so a reset already shows its zeros.
    if (state_ == before && services_.SleepUntilMotion([this] { wakeTimer(); })) {
        Timer1.stop();
    }
}

void Form1::wakeTimer()
{
    if (!Timer1.isActive() && !unloaded_) {
        Timer1.start(TickMilliseconds);
    }
}

void Form1::showReadouts(const ReadoutTexts& texts)
{
    // Only a changed text is handed to Qt, so a resting pointer costs no
    // repaint at all.
    if (texts.centimetres != shown_.centimetres) {
        Label1->setText(QString::fromStdString(texts.centimetres));
    }
    if (texts.metres != shown_.metres) {
        Label3->setText(QString::fromStdString(texts.metres));
    }
    if (texts.kilometres != shown_.kilometres) {
        Label4->setText(QString::fromStdString(texts.kilometres));
    }
    shown_ = texts;
}

void Form1::Command1_Click()
{
    HandleErrors("Command1_Click", [this] { Reset(state_); });
    // The zeros show at the next tick even while the pointer rests.
    wakeTimer();
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        Form_Resize();
    }
}

void Form1::Form_Resize()
{
    HandleErrors("Form_Resize", [this] {
        if (!isMinimized() || !Module1::TrayIconShown() || staleMinimise()) {
            return;
        }
        // Hiding while the state change is still being delivered leaves some
        // X11 window managers with a stale iconic window; hide just after.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    });
}

void Form1::TrayIcon_Activated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger) {
        return;
    }
    HandleErrors("TrayIcon_Activated", [this] {
        if (isMinimized() && isVisible()) {
            // Minimised by the window manager while no panel showed the
            // icon, so not hidden. Qt 6.4's QXcbWindow::setWindowState drops
            // a request equal to the state Qt itself last asked for, which a
            // minimise by the window manager never changed, so asking for the
            // normal state does nothing; and Mutter does not deiconify on
            // _NET_ACTIVE_WINDOW. Withdrawn and mapped again, the window
            // comes back normal under every window manager.
            hide();
        }
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
    });
}

bool Form1::staleMinimise() const
{
    // Mutter 44 and later draw an X11 window's title bar in a separate
    // client (mutter-x11-frames) and, when the shell redraws before that
    // frame exists, hide a newly mapped window the way they hide a
    // minimised one, WM_STATE Iconic, which Qt's xcb plugin reports as
    // minimised (seen with Mutter 48 and 50, Qt 6.8 and 6.11): at a login,
    // and each time the icon maps the window again. No user minimised a
    // window that was never on screen; once it is, a minimise is the user's.
    return notOnScreenYet_;
}

void Form1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Sent before the window is mapped, so the exposure that follows is
    // never missed.
    notOnScreenYet_ = true;
    if (!followingExposure_ && windowHandle() != nullptr) {
        windowHandle()->installEventFilter(this);
        followingExposure_ = true;
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && windowHandle() != nullptr &&
        windowHandle()->isExposed()) {
        notOnScreenYet_ = false;
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::TrayIconLost()
{
    if (isVisible() || unloaded_) {
        return;
    }
    // Shown rather than minimised: a window that was withdrawn while the
    // window manager had it iconic comes back mapped normal on some, and
    // either way it is in the taskbar. Not activated: the panel going away
    // is no reason to take the keyboard.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
}

void Form1::SaveIfChanged(const char* handler)
{
    HandleErrors(handler, [this] {
        if (state_.TotalTwips == savedTwips_ && state_.TotalBlocks == savedBlocks_) {
            return;
        }
        Save(state_, services_);
        savedTwips_ = state_.TotalTwips;
        savedBlocks_ = state_.TotalBlocks;
    });
}

void Form1::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void Form1::Form_Unload()
{
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    Timer1.stop();
    autoSave_.stop();
    try {
        Save(state_, services_);
    } catch (const SettingsError& error) {
        WriteLine(std::string("dovo: ") + error.what());
        exitCode_ = 1;
    } catch (const std::exception& error) {
        DefaultErrorReporter().Report("Form_Unload", error.what());
        exitCode_ = 1;
    }
    // Removed even when the save failed: a stale icon would outlive us.
    HandleErrors("Form_Unload", [] { Module1::RemoveTrayIcon(); });
    QCoreApplication::exit(exitCode_);
}

} // namespace dovo
