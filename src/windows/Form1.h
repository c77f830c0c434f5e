#pragma once

#include "session/OdometerSession.h"
#include "session/SessionWindow.h"
#include "windows/RegistrySettings.h"
#include "windows/WindowsServices.h"

#include <windows.h>

#include <string>

namespace dovo {

// The program's one window: the heading, the three readouts, the reset
// button, and the 200 ms timer that drives the odometer.
class Form1 final : public SessionWindow
{
public:
    static constexpr const wchar_t* ClassName = L"DovoForm1";

    Form1(HINSTANCE instance, WindowsServices& services, RegistrySettings& settings);
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;
    ~Form1() override;

    // Registers the class and creates the window; false when Windows
    // refused.
    bool Create();
    void Show(int showCommand);
    HWND hWnd() const { return hWnd_; }
    int exitCode() const { return session_.exitCode(); }

    // Posted by a second start: what a left click on the icon does.
    static UINT ActivateMessage();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    void Form_Load();
    void Timer1_Timer();
    void Command1_Click();
    void Form_Resize(WPARAM sizeType);
    void TrayIcon_Activated(UINT event);
    void TrayIcon_Add();
    void TrayIcon_RetryLater();
    void Form_PowerBroadcast(WPARAM event);
    void Form_Unload(bool sessionEnding);
    void StartAfresh();

    void TellUser(const std::string& text) override;
    void StopTimers() override;
    void TellCloseFailure(const std::string& text) override;
    void NotifyCloseFailure(const std::string& text) override;
    void RemoveTrayIcon() override;

    void BuildControls();
    void LayOut(UINT dpi);
    void ShowReadouts(const ReadoutTexts& texts);
    void ShowTick(const OdometerSession::TickResult& tick);
    void ApplyInterval();
    void BringForward();

    HINSTANCE instance_;
    WindowsServices& services_;
    OdometerSession session_;
    ReadoutTexts shown_;
    HWND hWnd_ = nullptr;
    HWND Label1 = nullptr;
    HWND Label2 = nullptr;
    HWND Label3 = nullptr;
    HWND Label4 = nullptr;
    HWND Command1 = nullptr;
    HFONT headingFont_ = nullptr;
    HFONT readoutFont_ = nullptr;
    HFONT buttonFont_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    std::string pendingNotice_;
    UINT tickMilliseconds_ = 0;
    // From WM_QUERYENDSESSION until the end is called off: no box then.
    bool sessionEnding_ = false;
    int trayFailures_ = 0;
    UINT taskbarCreated_ = 0;
};

} // namespace dovo
