#include "windows/CommandLine.h"

#include "session/CommandLine.h"
#include "windows/WideText.h"

#include <windows.h>

#include <shellapi.h>
#include <string>
#include <vector>

namespace dovo {

namespace {

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
    const auto answer = AnswerCommandLine(arguments, DOVO_VERSION);
    if (!answer) {
        return std::nullopt;
    }
    Answer(answer->text, answer->stream == CommandLineAnswer::Stream::Error);
    return answer->status;
}

} // namespace dovo
