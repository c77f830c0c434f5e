#include "windows/Form1.h"

#include "session/ErrorHandling.h"
#include "session/WindowLayout.h"
#include "windows/Module1.h"
#include "windows/WideText.h"

#include <cmath>
#include <utility>

namespace dovo {

namespace {

constexpr UINT_PTR Timer1Id = 1;
constexpr UINT_PTR AutoSaveId = 2;
constexpr UINT_PTR TrayRetryId = 3;
constexpr int Command1Id = 101;
constexpr UINT WM_TELLUSER = WM_APP + 2;
constexpr DWORD Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr const wchar_t* LabelFace = L"Microsoft Sans Serif";
constexpr double PointsPerInch = 72.0;
constexpr double TwipsPerInch = 1440.0;

HFONT LabelFont(double points, UINT dpi)
{
    const int height = -static_cast<int>(std::lround(points * dpi / PointsPerInch));
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, LabelFace);
}

bool TextFits(HFONT font, const std::wstring& text, int width, int height)
{
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    SIZE size = {};
    TEXTMETRICW metrics = {};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size.cx <= width && metrics.tmHeight <= height;
}

HFONT MessageFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi) &&
        !SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        return nullptr;
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

void ReplaceFont(HFONT& font, HFONT replacement)
{
    if (font != nullptr) {
        DeleteObject(font);
    }
    font = replacement;
}

} // namespace

Form1::Form1(HINSTANCE instance, WindowsServices& services, RegistrySettings& settings)
    : instance_(instance), services_(services), session_(services, settings, *this)
{}

Form1::~Form1()
{
    if (hWnd_ != nullptr) {
        DestroyWindow(hWnd_);
    }
    ReplaceFont(headingFont_, nullptr);
    ReplaceFont(readoutFont_, nullptr);
    ReplaceFont(buttonFont_, nullptr);
}

UINT Form1::ActivateMessage()
{
    static const UINT message = RegisterWindowMessageW(L"net.quendorvil.Dovo.Activate");
    return message;
}

bool Form1::Create()
{
    icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                          LR_DEFAULTCOLOR));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Form1::WindowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon = icon_;
    windowClass.hIconSm = smallIcon_;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = ClassName;
    if (RegisterClassExW(&windowClass) == 0) {
        return false;
    }
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // Sized for 96 dpi here and laid out again for the monitor's density
    // once the window exists and knows it.
    const std::wstring caption = Widen(WindowLayout::Caption);
    if (CreateWindowExW(0, ClassName, caption.c_str(), Style, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_,
                        this) == nullptr) {
        return false;
    }
    // Run as administrator, Dovo would otherwise not hear these from
    // Explorer or from a second start, which run with less privilege.
    ChangeWindowMessageFilterEx(hWnd_, taskbarCreated_, MSGFLT_ALLOW, nullptr);
    ChangeWindowMessageFilterEx(hWnd_, ActivateMessage(), MSGFLT_ALLOW, nullptr);
    return true;
}

void Form1::Show(int showCommand)
{
    ShowWindow(hWnd_, showCommand);
    UpdateWindow(hWnd_);
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* form = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->hWnd_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return form->HandleMessage(window, message, wParam, lParam);
}

LRESULT Form1::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        BuildControls();
        LayOut(GetDpiForWindow(hWnd_));
        services_.SetWindow(hWnd_);
        Form_Load();
        ApplyInterval();
        SetTimer(hWnd_, AutoSaveId, static_cast<UINT>(WindowLayout::AutoSaveMilliseconds()),
                 nullptr);
        return 0;
    case WM_TIMER:
        if (wParam == Timer1Id) {
            Timer1_Timer();
        } else if (wParam == AutoSaveId) {
            session_.SaveIfChanged("autosave");
        } else if (wParam == TrayRetryId) {
            TrayIcon_Add();
        }
        return 0;
    case WM_INPUT:
        services_.MotionSeen();
        break; // DefWindowProc frees the raw input.
    case WM_COMMAND:
        if (LOWORD(wParam) == Command1Id && HIWORD(wParam) == BN_CLICKED) {
            Command1_Click();
            return 0;
        }
        break;
    case WM_SIZE:
        Form_Resize(wParam);
        return 0;
    case Module1::WM_TRAYICON:
        TrayIcon_Activated(static_cast<UINT>(LOWORD(lParam)));
        return 0;
    case WM_POWERBROADCAST:
        Form_PowerBroadcast(wParam);
        return TRUE;
    case WM_DISPLAYCHANGE:
        StartAfresh();
        break;
    case WM_TELLUSER:
        // The icon may have come up since the notice was posted.
        if (!pendingNotice_.empty() && Module1::TrayIconShown() &&
            Module1::BalloonFits(pendingNotice_)) {
            Module1::ShowBalloon("Dovo", std::exchange(pendingNotice_, {}));
        } else if (!pendingNotice_.empty() && !sessionEnding_) {
            MessageBoxW(hWnd_, Widen(std::exchange(pendingNotice_, {})).c_str(), L"Dovo",
                        MB_OK | MB_ICONWARNING);
        }
        return 0;
    case WM_DPICHANGED: {
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(hWnd_, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        LayOut(HIWORD(wParam));
        return 0;
    }
    case WM_QUERYENDSESSION:
        // Saved now, while saving can still be told about; the window may
        // be hidden in the notification area.
        sessionEnding_ = true;
        session_.SaveIfChanged("session end");
        return TRUE;
    case WM_ENDSESSION:
        sessionEnding_ = wParam != FALSE;
        if (wParam) {
            Form_Unload(true);
            // The process is not always ended for us: the Restart Manager
            // (ENDSESSION_CLOSEAPP) leaves the session running, and a Dovo
            // that stayed would hold the single-instance lock with a window
            // that counts nothing. WM_DESTROY ends the message loop.
            DestroyWindow(hWnd_);
        }
        return 0;
    case WM_DESTROY:
        Form_Unload(false);
        PostQuitMessage(session_.exitCode());
        return 0;
    case WM_NCDESTROY:
        hWnd_ = nullptr;
        break;
    default:
        if (message == taskbarCreated_ && taskbarCreated_ != 0) {
            // Explorer restarted and forgot every icon; without this a
            // hidden Dovo would be out of reach until the next login.
            trayFailures_ = 0;
            TrayIcon_Add();
            return 0;
        }
        if (message == ActivateMessage()) {
            BringForward();
            return 0;
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Form1::BuildControls()
{
    const auto make = [this](const wchar_t* className, const std::string& text, DWORD style,
                             int id) {
        return CreateWindowExW(0, className, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0,
                               0, 0, 0, hWnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               instance_, nullptr);
    };
    Label2 = make(L"STATIC", WindowLayout::Heading, SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 0);
    Label1 = make(L"STATIC", "", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, 0);
    Label3 = make(L"STATIC", "", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, 0);
    Label4 = make(L"STATIC", "", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, 0);
    Command1 = make(L"BUTTON", WindowLayout::ResetText, BS_PUSHBUTTON | WS_TABSTOP, Command1Id);
}

void Form1::LayOut(UINT dpi)
{
    if (dpi == 0) {
        dpi = USER_DEFAULT_SCREEN_DPI;
    }
    const double twipsPerPixel = TwipsPerInch / dpi;
    const auto pixels = [twipsPerPixel](int twips) {
        return WindowLayout::ToPixels(twips, twipsPerPixel);
    };
    RECT frame = {0, 0, pixels(WindowLayout::ClientWidth), pixels(WindowLayout::ClientHeight)};
    AdjustWindowRectExForDpi(&frame, Style, FALSE, 0, dpi);
    SetWindowPos(hWnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    const auto place = [&pixels](HWND control, WindowLayout::TwipRect r) {
        MoveWindow(control, pixels(r.left), pixels(r.top), pixels(r.width), pixels(r.height), TRUE);
    };
    place(Label2, WindowLayout::Label2);
    place(Label1, WindowLayout::Readouts[0]);
    place(Label3, WindowLayout::Readouts[1]);
    place(Label4, WindowLayout::Readouts[2]);
    place(Command1, WindowLayout::Command1);

    const std::wstring heading = Widen(WindowLayout::Heading);
    const int headingWidth = pixels(WindowLayout::Label2.width);
    const int headingHeight = pixels(WindowLayout::Label2.height);
    const double headingPoints =
        WindowLayout::FittingPointSize(WindowLayout::HeadingPoints, [&](double points) {
            const HFONT font = LabelFont(points, dpi);
            const bool fits = TextFits(font, heading, headingWidth, headingHeight);
            DeleteObject(font);
            return fits;
        });
    ReplaceFont(headingFont_, LabelFont(headingPoints, dpi));
    ReplaceFont(readoutFont_, LabelFont(WindowLayout::ReadoutPoints, dpi));
    ReplaceFont(buttonFont_, MessageFont(dpi));
    SendMessageW(Label2, WM_SETFONT, reinterpret_cast<WPARAM>(headingFont_), TRUE);
    for (HWND readout : {Label1, Label3, Label4}) {
        SendMessageW(readout, WM_SETFONT, reinterpret_cast<WPARAM>(readoutFont_), TRUE);
    }
    SendMessageW(Command1, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont_), TRUE);
}

void Form1::Form_Load()
{
    session_.Load();
    HandleErrors("Form_Load",
                 [this] { Module1::AddTrayIcon(hWnd_, smallIcon_, WindowLayout::TrayTip); });
    if (!Module1::TrayIconShown()) {
        TrayIcon_RetryLater();
    }
}

void Form1::Timer1_Timer()
{
    ShowTick(session_.Tick([this] { ApplyInterval(); }));
}

void Form1::StartAfresh()
{
    ShowTick(session_.StartAfresh([this] { ApplyInterval(); }));
}

void Form1::ShowTick(const OdometerSession::TickResult& tick)
{
    if (tick.readouts) {
        ShowReadouts(*tick.readouts);
    }
    ApplyInterval();
}

void Form1::ApplyInterval()
{
    const UINT interval = static_cast<UINT>(session_.Interval());
    if (interval == 0) {
        KillTimer(hWnd_, Timer1Id);
    } else if (interval != tickMilliseconds_) {
        SetTimer(hWnd_, Timer1Id, interval, nullptr);
    }
    tickMilliseconds_ = interval;
}

void Form1::ShowReadouts(const ReadoutTexts& texts)
{
    // Only a changed text is handed to the control, so a resting pointer
    // costs no repaint at all.
    const auto update = [](HWND label, const std::string& text, const std::string& before) {
        if (text != before) {
            SetWindowTextW(label, Widen(text).c_str());
        }
    };
    update(Label1, texts.centimetres, shown_.centimetres);
    update(Label3, texts.metres, shown_.metres);
    update(Label4, texts.kilometres, shown_.kilometres);
    shown_ = texts;
}

void Form1::Command1_Click()
{
    session_.Reset();
    ApplyInterval();
}

void Form1::Form_Resize(WPARAM sizeType)
{
    // Hidden only where the icon can bring it back.
    if (sizeType == SIZE_MINIMIZED && Module1::TrayIconShown()) {
        ShowWindow(hWnd_, SW_HIDE);
    }
}

void Form1::TrayIcon_Activated(UINT event)
{
    // With version 4 a click arrives as the press and then as a select;
    // bringing a shown window forward again changes nothing.
    if (event == WM_LBUTTONDOWN || event == NIN_SELECT || event == NIN_KEYSELECT) {
        BringForward();
    }
}

void Form1::TrayIcon_Add()
{
    if (session_.unloaded()) {
        return;
    }
    if (Module1::AddTrayIconAgain()) {
        KillTimer(hWnd_, TrayRetryId);
        trayFailures_ = 0;
        return;
    }
    TrayIcon_RetryLater();
}

void Form1::TrayIcon_RetryLater()
{
    // Without this a Dovo started at login while the taskbar is still busy
    // would go the whole session without an icon: TaskbarCreated never
    // comes for a taskbar that was already there.
    ++trayFailures_;
    SetTimer(hWnd_, TrayRetryId, Module1::RetryDelay(trayFailures_), nullptr);
}

void Form1::Form_PowerBroadcast(WPARAM event)
{
    switch (event) {
    case PBT_APMSUSPEND:
        // Saved now: a machine that never wakes again, or is switched off
        // while asleep, would lose the travel since the last periodic save.
        session_.SaveIfChanged("suspend");
        break;
    case PBT_APMRESUMEAUTOMATIC:
    case PBT_APMRESUMESUSPEND:
        StartAfresh();
        break;
    default:
        break;
    }
}

void Form1::BringForward()
{
    ShowWindow(hWnd_, IsIconic(hWnd_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hWnd_);
}

void Form1::Form_Unload(bool sessionEnding)
{
    sessionEnding_ = sessionEnding_ || sessionEnding;
    session_.Unload(sessionEnding_ ? OdometerSession::CloseReason::SessionEnd
                                   : OdometerSession::CloseReason::User);
}

void Form1::TellCloseFailure(const std::string& text)
{
    MessageBoxW(nullptr, Widen(text).c_str(), L"Dovo", MB_OK | MB_ICONERROR);
}

void Form1::NotifyCloseFailure(const std::string&)
{
    // Only at the end of the Windows session, which takes the icon and its
    // balloons with it; a box would hold up the logoff and nobody would
    // read it. The session wrote the line on standard error.
}

void Form1::TellUser(const std::string& text)
{
    if (Module1::TrayIconShown() && Module1::BalloonFits(text)) {
        Module1::ShowBalloon("Dovo", text);
        return;
    }
    // Never a box while the session ends; otherwise shown once the handler
    // has returned, so nothing waits on the user.
    if (sessionEnding_ || hWnd_ == nullptr) {
        return;
    }
    pendingNotice_ += (pendingNotice_.empty() ? "" : "\n\n") + text;
    PostMessageW(hWnd_, WM_TELLUSER, 0, 0);
}

void Form1::StopTimers()
{
    KillTimer(hWnd_, Timer1Id);
    KillTimer(hWnd_, AutoSaveId);
}

void Form1::RemoveTrayIcon()
{
    Module1::RemoveTrayIcon();
}

} // namespace dovo
