"""The Linux program's own desktops: StatusNotifierItem, 144 dpi, no tray, a Wayland session left for X11."""

import contextlib
import subprocess
import sys

import pytest

import model
from desktop import wait_for
from dovo import HERE, Dovo, saved
from procs import Processes
from programs import Linux, said
from test_window import SIZE, hint

from gi.repository import Gio, GLib

pytestmark = pytest.mark.linux
ITEM, NAME = "org.kde.StatusNotifierItem", "net.quendorvil.Dovo"


class Panel:
    """The stand-in watcher (sni_watcher.py), and the calls a panel makes."""

    def __init__(self, desktop):  # 9: a client of a message bus
        self.desktop, self.bus = desktop, Gio.DBusConnection.new_for_address_sync(
            desktop.env["DBUS_SESSION_BUS_ADDRESS"], Gio.DBusConnectionFlags(9), None, None)
        self.start()

    def start(self):
        self.proc = self.desktop.procs.spawn("panel", [sys.executable, HERE + "/sni_watcher.py"], self.desktop.env)
        wait_for("the stand-in watcher answers", lambda: self.ask("Items") is not None)

    def call(self, dest, path, interface, method, signature=None, *args):  # None: nobody answered
        with contextlib.suppress(GLib.Error):
            return (self.bus.call_sync(dest, path, interface, method, signature and GLib.Variant(signature, args),
                                       None, 0, 10000, None).unpack() + (True,))[0]

    def ask(self, method, *args):
        return self.call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "net.quendorvil.Dovo.TestHost",
                         method, "(b)" if args else None, *args)

    def item(self, *args):  # a click (Activate...) on the first item, or another call to it
        service, _, path = self.ask("Items")[0].partition("/")
        answer = self.call(service, "/" + path, *args if args[1:] else (ITEM, *args, "(ii)", 0, 0))
        assert answer is not None, f"the item answers {args}"
        return answer

    def minimise(self, dovo):
        # Dovo judges a minimise by the watcher's last answer: one since the last change
        if self.proc.poll() is None:
            wait_for("dovo read the items since they changed", lambda: self.ask("Current"))
        dovo.minimise()


ACTIVATE = ("/net/quendorvil/Dovo", "org.freedesktop.Application", "Activate", "(a{sv})", {
    "desktop-startup-id": GLib.Variant("s", "dovo-test_TIME0"), "activation-token": GLib.Variant("s", "t")})
# step | the window's state after it | items listed; "=": nothing changes, no menu or balloon shows
SNI = [(Panel.minimise, "withdrawn", 1), (lambda p, d: p.item("SecondaryActivate"), "=withdrawn", 1),
       (lambda p, d: p.item("ContextMenu"), "=withdrawn", 1), (lambda p, d: p.item("Activate"), "normal", 1),
       (lambda p, d: p.ask("SetHost", False), "normal", 1), (Panel.minimise, "iconic", 1),
       (lambda p, d: None, "=iconic", 1), (lambda p, d: p.ask("SetHost", True), "iconic", 1),
       (lambda p, d: d.activate(), "normal", 1), (Panel.minimise, "withdrawn", 1),
       (lambda p, d: Processes.stop(p.proc), "normal", 0), (Panel.minimise, "iconic", 0),
       (lambda p, d: p.start(), "iconic", 1), (lambda p, d: p.item("Activate"), "normal", 1),
       (Panel.minimise, "withdrawn", 1), (lambda p, d: p.call(NAME, *ACTIVATE), "normal", 1)]


def test_status_notifier_item(desktop):
    desktop.stop_panel()
    panel, dovo = Panel(desktop), Dovo(desktop)
    items = lambda: len(panel.ask("Items") or [])  # noqa: E731
    bus = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")
    owner = lambda: panel.call(*bus, "GetConnectionUnixProcessID", "(s)", NAME)  # noqa: E731
    get = lambda name: panel.item("org.freedesktop.DBus.Properties", "Get", "(ss)", ITEM, name)  # noqa: E731
    wait_for("its item registers", lambda: items() == 1)
    assert (get("ToolTip")[2], owner()) == ("Dovo - QuenDorvil", dovo.pid)
    png = subprocess.run(["convert", HERE + "/../../data/net.quendorvil.Dovo-32.png", "-depth", "8", "RGBA:-"],
                         capture_output=True, check=True).stdout
    argb = next(bytes(p) for w, h, p in get("IconPixmap") if (w, h) == (32, 32))
    # compared premultiplied, as Qt does: a QPixmap keeps no colour under transparent pixels
    pm = lambda rgb, a: [(a * c + 128 + ((a * c + 128) >> 8)) >> 8 for c in rgb] + [a]  # noqa: E731
    assert sum(pm(argb[i + 1:i + 4], argb[i]) != pm(png[i:i + 3], png[i + 3]) for i in range(0, 4096, 4)) == 0
    for n, (step, state, listed) in enumerate(SNI):
        step(panel, dovo)
        if state.startswith("="):
            dovo.quiet()
            assert desktop.run("xdotool", "search", "--onlyvisible", "--pid", str(dovo.pid)).stdout == "", n
        wait_for(f"step {n}: {state}, {listed} items", timeout=0 if state.startswith("=") else 10,
                 check=lambda: (dovo.state(), items()) == (state.strip("="), listed))
    assert dovo.close() == 0
    wait_for("the item leaves the panel and the name is let go", lambda: (items(), owner()) == (0, None))
    assert not [line for line in said(dovo) if "notification area" in line]


NO_TRAY = "dovo: no notification area found"
WAYLAND = "dovo: On Wayland, Dovo sees the pointer only while it is over X11 (XWayland) windows"
# tray | dpi | XDG_SESSION_TYPE | WAYLAND_DISPLAY (no socket) | a move | the lines dovo writes once, as they begin;
# the note is a balloon from the icon, or without a tray the window's tooltip. At 144 dpi Qt scales by 1.5: the
# window is as large in inches, 300 device pixels are 3000 twips (4500 unscaled), to within 10 for its rounding.
SESSIONS = [
    pytest.param(True, 144, "x11", None, (300, 0), [], id="144 dpi across"),
    pytest.param(True, 144, "x11", None, (0, 300), [], id="144 dpi down"),
    pytest.param(True, 96, "wayland", "wayland-test", (100, 0), [WAYLAND], id="Wayland session and display"),
    pytest.param(True, 96, "wayland", None, (100, 0), [WAYLAND], id="Wayland session only"),
    pytest.param(True, 96, "x11", "wayland-test", (100, 0), [WAYLAND], id="Wayland display only"),
    pytest.param(False, 96, "wayland", "wayland-test", (100, 0), [WAYLAND, NO_TRAY], id="Wayland without a tray"),
    pytest.param(False, 96, "x11", None, (200, 0), [NO_TRAY], id="X11 without a tray"),
]


@pytest.mark.parametrize("tray, dpi, session, display, move, lines", SESSIONS)
def test_session(desktop, tray, dpi, session, display, move, lines):
    if not tray:
        desktop.stop_panel()
    if session == "wayland" or display:
        desktop.env.pop("QT_QPA_PLATFORM")  # the platform is Dovo's choice
    desktop.env.update(XDG_SESSION_TYPE=session, **{"WAYLAND_DISPLAY": display} if display else {})
    Linux(desktop).set_dpi(dpi)
    dovo = Dovo(desktop)
    ledger = model.Ledger(at=desktop.pointer(), f=1440 / dpi)
    told = lambda: sorted(line for line in said(dovo) if "Wayland" in line or "notification" in line)  # noqa: E731
    wait_for(f"dovo tells {lines}", lambda: len(told()) >= len(lines))
    geo, size = desktop.geometry(dovo.wid), "%d by %d" % (SIZE[0] * dpi // 96, SIZE[1] * dpi // 96)
    assert [hint(desktop, dovo.wid, m) for m in ("minimum", "maximum")] + [
        "%(width)d by %(height)d" % geo] == [size] * 3
    if tray:
        wait_for("the icon docks", dovo.icon)
        assert wait_for("the note shows as a balloon", lambda: Linux(desktop).balloon(dovo)) if lines else \
            not Linux(desktop).balloon(dovo)
    elif WAYLAND in lines:  # rest the pointer on the heading, which has no tooltip of its own
        [dovo.move(geo["x"] + dx, geo["y"] + dy, ledger) for dx, dy in ((40, 15), (42, 16))]
        wait_for("hovering shows the tooltip", lambda: Linux(desktop).balloon(dovo))
    else:  # minimised into the taskbar and back, and the line still said once
        for step, state in ((dovo.minimise, "iconic"), (dovo.activate, "normal")):
            step() or wait_for(f"the window {state}", lambda: dovo.state() == state)
    # the note is the window's tooltip only where no tray shows it
    assert dovo.texts()["tooltip"] == (told()[0][6:] if lines == [WAYLAND, NO_TRAY] else "")
    dovo.move(*(a + m for a, m in zip(desktop.pointer(), move)), ledger)
    assert dovo.close() == 0
    twips, blocks = saved(desktop.env)
    assert abs(int(twips) - ledger.twips) <= (10 if dpi != 96 else 0) and blocks == "0", (twips, ledger.twips)
    assert [line for line, begins in zip(told(), sorted(lines)) if line.startswith(begins)] == told()
