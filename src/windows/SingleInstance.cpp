#include "windows/SingleInstance.h"

#include "windows/Form1.h"

namespace dovo {

namespace {

// The first copy may be starting still: its window comes a moment after
// its mutex.
constexpr int FindAttempts = 50;
constexpr DWORD FindPauseMilliseconds = 100;

} // namespace

SingleInstance::~SingleInstance()
{
    if (mutex_ != nullptr) {
        CloseHandle(mutex_);
    }
}

SingleInstance::Role SingleInstance::Claim()
{
    // Local\: per logon session, so another user's Dovo on the same machine
    // is not ours.
    mutex_ = CreateMutexW(nullptr, FALSE, L"Local\\net.quendorvil.Dovo");
    if (mutex_ == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
        return Role::First;
    }
    for (int attempt = 0; attempt < FindAttempts; ++attempt) {
        if (const HWND first = FindWindowW(Form1::ClassName, nullptr)) {
            DWORD process = 0;
            GetWindowThreadProcessId(first, &process);
            // Windows lets only the foreground program hand the foreground
            // on; we were just started, so we may.
            AllowSetForegroundWindow(process);
            if (PostMessageW(first, Form1::ActivateMessage(), 0, 0)) {
                return Role::Forwarded;
            }
        }
        Sleep(FindPauseMilliseconds);
    }
    return Role::Unanswered;
}

} // namespace dovo
