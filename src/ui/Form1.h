#pragma once

#include "session/OdometerSession.h"
#include "session/SessionWindow.h"

#include <QDBusPendingCall>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <optional>

class QLabel;
class QPushButton;

namespace dovo {

// The program's one window: the heading, the three readouts, the reset
// button, and the 200 ms timer that drives the odometer.
class Form1 final : public QWidget, public SessionWindow
{
    Q_OBJECT

public:
    Form1(PointerServices& pointer, SettingsStore& store, QWidget* parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void Timer1_Timer();
    void Command1_Click();
    void Form_Resize();
    void Form_Unload(OdometerSession::CloseReason reason = OdometerSession::CloseReason::User);
    // The screens changed or the machine woke: see OdometerSession.
    void StartAfresh();
    void TrayIcon_Activated(QSystemTrayIcon::ActivationReason reason);
    // The icon can no longer bring the window back: show it again.
    void TrayIconLost();

    // Saves when the totals moved since the last save; for the periodic
    // save and the session manager.
    void SaveIfChanged(const char* handler);

    const OdometerState& state() const { return session_.state(); }
    bool unloaded() const { return session_.unloaded(); }
    int exitCode() const { return session_.exitCode(); }

protected:
    void TellUser(const std::string& text) override;
    void StopTimers() override;
    void TellCloseFailure(const std::string& text) override;
    void NotifyCloseFailure(const std::string& text) override;
    void RemoveTrayIcon() override;

    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void showReadouts(const ReadoutTexts& texts);
    void showTick(const OdometerSession::TickResult& tick);
    void applyInterval();
    bool staleMinimise() const;
    void restore();

    PointerServices& pointer_;
    OdometerSession session_;
    ReadoutTexts shown_;

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* Command1 = nullptr;
    QTimer Timer1;
    QTimer autoSave_;
    // From each time the window is shown until it is on screen.
    bool notOnScreenYet_ = false;
    bool followingExposure_ = false;
    bool awaitingWithdrawal_ = false;
    // The notification of a failed save at a close nobody asked for here.
    std::optional<QDBusPendingCall> closeNotice_;
};

} // namespace dovo
