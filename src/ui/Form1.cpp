#include "ui/Form1.h"

#include "session/ErrorHandling.h"
#include "session/WindowLayout.h"
#include "ui/Module1.h"
#include "ui/WithdrawalWatch.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QWindow>

namespace dovo {

namespace {

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

QFont FittingFont(double pointSize, const QString& text, const QSize& box)
{
    return LabelFont(WindowLayout::FittingPointSize(pointSize, [&](double points) {
        const QFontMetricsF metrics(LabelFont(points));
        return metrics.horizontalAdvance(text) <= box.width() && metrics.height() <= box.height();
    }));
}

} // namespace

Form1::Form1(PointerServices& pointer, SettingsStore& store, QWidget* parent)
    : QWidget(parent), pointer_(pointer), session_(pointer, store, *this)
{
    setWindowTitle(QString::fromUtf8(WindowLayout::Caption));
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

    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    applyInterval();

    connect(&autoSave_, &QTimer::timeout, this, [this] { SaveIfChanged("autosave"); });
    autoSave_.start(WindowLayout::AutoSaveMilliseconds());
}

Form1::~Form1()
{
    Module1::RemoveTrayIcon();
}

void Form1::buildControls()
{
    const double fx = pointer_.TwipsPerPixelX();
    const double fy = pointer_.TwipsPerPixelY();
    const auto place = [fx, fy](QWidget* widget, WindowLayout::TwipRect r) {
        widget->setGeometry(WindowLayout::ToPixels(r.left, fx), WindowLayout::ToPixels(r.top, fy),
                            WindowLayout::ToPixels(r.width, fx),
                            WindowLayout::ToPixels(r.height, fy));
    };
    setFixedSize(WindowLayout::ToPixels(WindowLayout::ClientWidth, fx),
                 WindowLayout::ToPixels(WindowLayout::ClientHeight, fy));

    Label2 = new QLabel(QString::fromUtf8(WindowLayout::Heading), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    place(Label2, WindowLayout::Label2);
    Label2->setFont(FittingFont(WindowLayout::HeadingPoints, Label2->text(), Label2->size()));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    const QFont readoutFont = LabelFont(WindowLayout::ReadoutPoints);
    const char* names[] = {"Label1", "Label3", "Label4"};
    QLabel** labels[] = {&Label1, &Label3, &Label4};
    for (int i = 0; i < 3; ++i) {
        *labels[i] = new QLabel(this);
        (*labels[i])->setObjectName(QString::fromLatin1(names[i]));
        place(*labels[i], WindowLayout::Readouts[i]);
        (*labels[i])->setFont(readoutFont);
        (*labels[i])->setAlignment(Qt::AlignCenter);
    }

    Command1 = new QPushButton(QString::fromUtf8(WindowLayout::ResetText), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    place(Command1, WindowLayout::Command1);
    Command1->setAutoDefault(false);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
}

void Form1::Form_Load()
{
    session_.Load();
    HandleErrors("Form_Load",
                 [this] { Module1::AddTrayIcon(*this, QString::fromUtf8(WindowLayout::TrayTip)); });
}

void Form1::Timer1_Timer()
{
    showTick(session_.Tick([this] { applyInterval(); }));
}

void Form1::StartAfresh()
{
    showTick(session_.StartAfresh([this] { applyInterval(); }));
}

void Form1::showTick(const OdometerSession::TickResult& tick)
{
    if (tick.readouts) {
        showReadouts(*tick.readouts);
    }
    applyInterval();
}

void Form1::applyInterval()
{
    const int interval = session_.Interval();
    if (interval == 0) {
        Timer1.stop();
    } else if (!Timer1.isActive() || Timer1.interval() != interval) {
        Timer1.start(interval);
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
    session_.Reset();
    applyInterval();
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        Form_Resize();
    } else if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        // Qt would hand the keyboard to the only control that takes it, or
        // back to the one that last had it, and one stray Space on a window
        // just brought back would then wipe the totals. The window itself
        // holds it; Tab still reaches the button.
        setFocus(Qt::ActiveWindowFocusReason);
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
        if (awaitingWithdrawal_) {
            return;
        }
        if (isMinimized() && isVisible()) {
            // Minimised by the window manager while no panel showed the
            // icon, so not hidden. Qt 6.4's QXcbWindow::setWindowState drops
            // a request equal to the state Qt itself last asked for, which a
            // minimise by the window manager never changed, so asking for the
            // normal state does nothing; and Mutter does not deiconify on
            // _NET_ACTIVE_WINDOW. Withdrawn and mapped again, the window
            // comes back normal under every window manager, once the manager
            // has let go of it: mapped sooner, Qt copies the manager's
            // _NET_WM_STATE_HIDDEN back onto it, and Openbox then showed the
            // window but kept it marked hidden.
            hide();
            awaitingWithdrawal_ = true;
            WithdrawalWatch::Await(*windowHandle(), [window = QPointer<Form1>(this)] {
                if (window != nullptr) {
                    window->awaitingWithdrawal_ = false;
                    window->restore();
                }
            });
            return;
        }
        restore();
    });
}

void Form1::restore()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
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
    // As at activation: Qt 6.4 does not always activate a window shown
    // again for QApplication, and keys then reach the control that last had
    // the focus.
    setFocus(Qt::OtherFocusReason);
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
    if (isVisible() || session_.unloaded()) {
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
    session_.SaveIfChanged(handler);
}

void Form1::closeEvent(QCloseEvent* event)
{
    Form_Unload(OdometerSession::CloseReason::User);
    event->accept();
}

void Form1::Form_Unload(OdometerSession::CloseReason reason)
{
    if (session_.unloaded()) {
        return;
    }
    session_.Unload(reason);
    const int code = session_.exitCode();
    if (!closeNotice_) {
        QCoreApplication::exit(code);
        return;
    }
    // A message only queued when the program ends may never leave it: the
    // event loop runs on until the notification service has answered, a
    // second at most, so the GUI thread never waits on it.
    const auto exit = [code] {
        QCoreApplication::exit(code);
    };
    auto* watcher = new QDBusPendingCallWatcher(*closeNotice_, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, exit);
    QTimer::singleShot(1000, this, exit);
}

void Form1::TellUser(const std::string& text)
{
    // From the event loop: what the load finds is told before the icon that
    // shows it has been added.
    QTimer::singleShot(0, this, [text = QString::fromStdString(text)] {
        Module1::ShowNotice(QStringLiteral("Dovo"), text);
    });
}

void Form1::StopTimers()
{
    Timer1.stop();
    autoSave_.stop();
}

void Form1::TellCloseFailure(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Dovo"), QString::fromStdString(text),
                    QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}

void Form1::NotifyCloseFailure(const std::string& text)
{
    // Not from the icon: its balloon would go with it a moment later.
    closeNotice_ = Module1::NotifyDesktop(QStringLiteral("Dovo"), QString::fromStdString(text));
}

void Form1::RemoveTrayIcon()
{
    Module1::RemoveTrayIcon();
}

} // namespace dovo
