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
//   dovo_peek send MSG WPARAM LPARAM
//                        send a message to Dovo's window and wait until it
//                        was handled (numbers as C writes them)
//   dovo_peek box TITLE  the texts of the message box titled TITLE
//   dovo_peek at X Y     the class of the window Windows finds at (X, Y) on
//                        the screen, the one a click there goes to
#include <windows.h>

#include <aclapi.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sddl.h>
#include <string>
#include <vector>

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

int Send(const char* message, const char* wParam, const char* lParam)
{
    HWND window = FindWindowW(kClass, nullptr);
    if (!window) {
        std::fprintf(stderr, "dovo_peek: no %s window\n", Utf8(kClass).c_str());
        return 1;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, static_cast<UINT>(std::strtoul(message, nullptr, 0)),
                             std::strtoull(wParam, nullptr, 0), std::strtoll(lParam, nullptr, 0),
                             SMTO_ABORTIFHUNG, 30000, &result)) {
        std::fprintf(stderr, "dovo_peek: the message was not handled\n");
        return 1;
    }
    return 0;
}

int Box(const char* title)
{
    HWND box = FindWindowW(L"#32770", std::wstring(title, title + std::strlen(title)).c_str());
    if (!box) {
        std::fprintf(stderr, "dovo_peek: no message box titled %s\n", title);
        return 1;
    }
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        std::printf("%s\n", Utf8(WindowText(c)).c_str());
    return 0;
}

int At(const char* x, const char* y)
{
    HWND window = WindowFromPoint(POINT{std::atoi(x), std::atoi(y)});
    wchar_t className[64] = {};
    if (!window || !GetClassNameW(window, className, 64)) {
        std::fprintf(stderr, "dovo_peek: no window at %s %s\n", x, y);
        return 1;
    }
    std::printf("%s\n", Utf8(className).c_str());
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
    if (argc == 5 && std::string(argv[1]) == "send")
        return Send(argv[2], argv[3], argv[4]);
    if (argc == 3 && std::string(argv[1]) == "box")
        return Box(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "at")
        return At(argv[2], argv[3]);
    std::fprintf(stderr, "usage: dovo_peek controls | lock-key | dpi | send MSG WPARAM LPARAM | "
                         "box TITLE | at X Y\n");
    return 2;
}
