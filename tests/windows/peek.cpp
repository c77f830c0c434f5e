// What the Wine tests cannot see from X: Wine draws a window's controls
// itself, inside one X window, so their texts and places are asked of
// Windows.  And the one registry fault `wine reg` cannot make.
//
//   controls   per child of Dovo's window: class, x and y in its parent's
//              client area, width, height, x and y on the screen, text
//              (tab-separated, UTF-8)
//   lock-key   make Dovo's settings key read-only for everyone
//   dpi        the system DPI this session was started with
//   send MSG WPARAM LPARAM   send Dovo's window a message, wait until handled
//   box TITLE  the texts of the message box titled TITLE
//   at X Y     the class of the window a click at (X, Y) on the screen goes to
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

int Fail(const std::string& why)
{
    std::fprintf(stderr, "dovo_peek: %s\n", why.c_str());
    return 1;
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
    if (!window)
        return Fail("no " + Utf8(kClass) + " window");
    EnumChildWindows(window, PrintControl, reinterpret_cast<LPARAM>(window));
    return 0;
}

int LockKey()
{
    HKEY key;
    LONG rc =
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return Fail("cannot open the key: error " + std::to_string(rc));
    // A protected DACL that lets everyone read and nobody write, as a
    // policy or an administrator may leave it.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                              &sd, nullptr))
        return Fail("bad security descriptor");
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Fail("cannot lock the key: error " + std::to_string(rc));
    return 0;
}

int Send(const char* message, const char* wParam, const char* lParam)
{
    HWND window = FindWindowW(kClass, nullptr);
    if (!window)
        return Fail("no " + Utf8(kClass) + " window");
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, static_cast<UINT>(std::strtoul(message, nullptr, 0)),
                             std::strtoull(wParam, nullptr, 0), std::strtoll(lParam, nullptr, 0),
                             SMTO_ABORTIFHUNG, 30000, &result))
        return Fail("the message was not handled");
    return 0;
}

int Box(const char* title)
{
    HWND box = FindWindowW(L"#32770", std::wstring(title, title + std::strlen(title)).c_str());
    if (!box)
        return Fail(std::string("no message box titled ") + title);
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        std::printf("%s\n", Utf8(WindowText(c)).c_str());
    return 0;
}

int At(const char* x, const char* y)
{
    HWND window = WindowFromPoint(POINT{std::atoi(x), std::atoi(y)});
    wchar_t className[64] = {};
    if (!window || !GetClassNameW(window, className, 64))
        return Fail(std::string("no window at ") + x + " " + y);
    std::printf("%s\n", Utf8(className).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Positions in pixels of the screen, as Dovo (DPI-aware) and X see them.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc == 2 && command == "controls")
        return Controls();
    if (argc == 2 && command == "lock-key")
        return LockKey();
    if (argc == 2 && command == "dpi") {
        std::printf("%u\n", GetDpiForSystem());
        return 0;
    }
    if (argc == 5 && command == "send")
        return Send(argv[2], argv[3], argv[4]);
    if (argc == 3 && command == "box")
        return Box(argv[2]);
    if (argc == 4 && command == "at")
        return At(argv[2], argv[3]);
    std::fprintf(stderr, "usage: dovo_peek controls | lock-key | dpi | send MSG WPARAM LPARAM | "
                         "box TITLE | at X Y\n");
    return 2;
}
