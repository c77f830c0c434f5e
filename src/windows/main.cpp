#include "session/ErrorHandling.h"
#include "windows/CommandLine.h"
#include "windows/Form1.h"
#include "windows/RegistrySettings.h"
#include "windows/SingleInstance.h"
#include "windows/WideText.h"
#include "windows/WindowsServices.h"

#include <windows.h>

#include <commctrl.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    using dovo::WriteLine;
    if (const auto status = dovo::HandleCommandLine()) {
        return *status;
    }
    // Decided before anything is loaded or shown, so a second copy never
    // reads or writes the totals.
    dovo::SingleInstance instanceLock;
    switch (instanceLock.Claim()) {
    case dovo::SingleInstance::Role::First:
        break;
    case dovo::SingleInstance::Role::Forwarded:
        WriteLine("dovo: Dovo is already running; its window was brought forward");
        return 0;
    case dovo::SingleInstance::Role::Unanswered:
        WriteLine("dovo: Dovo is already running here but did not answer");
        return 1;
    }

    const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    dovo::WindowsServices services;
    WriteLine("dovo: pointer from GetCursorPos");
    dovo::RegistrySettings settings;
    dovo::Form1 form(instance, services, settings);
    if (!form.Create()) {
        const std::string reason =
            "Dovo cannot create its window: " + dovo::SystemMessage(GetLastError());
        WriteLine("dovo: " + reason);
        MessageBoxW(nullptr, dovo::Widen(reason).c_str(), L"Dovo", MB_OK | MB_ICONERROR);
        return 1;
    }
    form.Show(showCommand);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab and space reach the button as in any dialog.
        if (!IsDialogMessageW(form.hWnd(), &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return form.exitCode();
}
