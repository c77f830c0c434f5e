// What the Wine tests cannot see from X: Wine draws a window's controls
// itself, inside one X window, so their texts and places are asked of
// Windows.  And the one registry fault `wine reg` cannot make.
//
//   dovo_peek controls   one line per control of Dovo's window:
//                           class, x and y in its parent's client area,
//                           width, height, x and y on the screen, text
//                           (tab-separated, UTF-8); exit 1 without a window
//   dovo_peek lock-key   make Dovo's settings key read-only for everyone
//   dovo_peek dpi        the system DPI this session was started with
#include <aclapi.h>
#include <cstdio>
#include <sddl.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

constexpr wchar_t kClass[] = L"DovoForm1";
constexpr wchar_t kKey[] = L"Software\\VB and VBA Program Settings\\Dovo\\odoledger";

std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring WindowText(HWND window)
{
    // WM_GETTEXT, not GetWindowText, which does not ask another process's
    // controls.
    const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const auto got =
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(got));
    return text;
}

BOOL CALLBACK PrintControl(HWND control, LPARAM parentParam)
{
    const auto parent = reinterpret_cast<HWND>(parentParam);
    if (GetParent(control) != parent)
        return TRUE;
    wchar_t className[64] = {};
    GetClassNameW(control, className, 64);
    RECT r;
    GetWindowRect(control, &r);
    POINT origin{r.left, r.top};
    ScreenToClient(parent, &origin);
    std::printf("%s\t%ld\t%ld\t%ld\t%ld\t%ld\t%ld\t%s\n", Utf8(className).c_str(), origin.x,
                origin.y, r.right - r.left, r.bottom - r.top, r.left, r.top,
                Utf8(WindowText(control)).c_str());
    return TRUE;
}

int Controls()
{
    HWND window = FindWindowW(kClass, nullptr);
    if (!window) {
        std::fprintf(stderr, "dovo_peek: no %s window\n", Utf8(kClass).c_str());
        return 1;
    }
    EnumChildWindows(window, PrintControl, reinterpret_cast<LPARAM>(window));
    return 0;
}

int LockKey()
{
    HKEY key;
    LONG rc =
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "dovo_peek: cannot open the key: error %ld\n", rc);
        return 1;
    }
    // A protected DACL that lets everyone read and nobody write, as a
    // policy or an administrator may leave it.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                              &sd, nullptr)) {
        std::fprintf(stderr, "dovo_peek: bad security descriptor\n");
        return 1;
    }
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "dovo_peek: cannot lock the key: error %ld\n", rc);
        return 1;
    }
    return 0;
}

int Dpi()
{
    HDC screen = GetDC(nullptr);
    std::printf("%d\n", GetDeviceCaps(screen, LOGPIXELSX));
    ReleaseDC(nullptr, screen);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Positions in pixels of the screen, as Dovo (DPI-aware) and X see them.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    const std::string command = argc == 2 ? argv[1] : "";
    if (command == "controls")
        return Controls();
    if (command == "lock-key")
        return LockKey();
    if (command == "dpi")
        return Dpi();
    std::fprintf(stderr, "usage: dovo_peek controls | lock-key | dpi\n");
    return 2;
}
