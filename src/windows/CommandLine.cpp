#include "windows/CommandLine.h"

#include "windows/WideText.h"

#include <windows.h>

#include <shellapi.h>
#include <string>
#include <vector>

namespace dovo {

namespace {

constexpr int UsageStatus = 2;

constexpr const char* HelpText =
    "Usage: dovo [options]\n"
    "An odometer for the mouse pointer: counts how far the pointer travels on the screen.\n"
    "Starting it while it runs brings the running copy's window forward.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Show this help and exit.\n"
    "  -v, --version  Show the version and exit.\n";

bool Usable(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A program of the GUI subsystem has no console of its own: the answer goes
// where standard output or error was redirected, else to the console of the
// shell that started it, else into a message box.
void Answer(const std::string& text, bool isError)
{
    const HANDLE redirected = GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (Usable(redirected) &&
        WriteFile(redirected, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
        if (Usable(console)) {
            const std::wstring wide = Widen(text);
            WriteConsoleW(console, wide.c_str(), static_cast<DWORD>(wide.size()), &written,
                          nullptr);
            CloseHandle(console);
            FreeConsole();
            return;
        }
        FreeConsole();
    }
    MessageBoxW(nullptr, Widen(text).c_str(), L"Dovo",
                MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION));
}

int Refuse(const std::string& reason)
{
    Answer("dovo: " + reason + " Try 'dovo --help'.\n", true);
    return UsageStatus;
}

} // namespace

std::optional<int> HandleCommandLine()
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide != nullptr && i < count; ++i) {
        arguments.push_back(Narrow(wide[i]));
    }
    LocalFree(wide);
    if (arguments.empty()) {
        return std::nullopt;
    }
    const std::string& first = arguments.front();
    int status = 0;
    if (first == "-h" || first == "--help" || first == "/?") {
        Answer(HelpText, false);
    } else if (first == "-v" || first == "--version") {
        Answer("dovo " DOVO_VERSION "\n", false);
    } else if (first.size() > 1 && (first[0] == '-' || first[0] == '/')) {
        return Refuse("Unknown option '" + first + "'.");
    } else {
        return Refuse("Unexpected argument '" + first + "'.");
    }
    if (arguments.size() > 1) {
        return Refuse("Unexpected argument '" + arguments[1] + "'.");
    }
    return status;
}

} // namespace dovo
