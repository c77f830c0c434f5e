"""Dovo on a real, headless GNOME Shell: through its extension, turned on while Dovo runs, and in the
notification area of the AppIndicator extension."""

import glob
import os
import re

import pytest
from gi.repository import GLib

from compositors import GnomeShell, held, path, started, walk
from dovo import saved
from model import Ledger
from procs import wait_for

UUID = GnomeShell.UUID
POINTER = ("org.gnome.Shell", "/net/quendorvil/Dovo/Pointer", "net.quendorvil.Dovo.Pointer")
WATCHER = ("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get",
           "(ss)", "org.kde.StatusNotifierWatcher")
NORMAL, HIDDEN = ("listed", "IsViewable", "Normal"), ("unlisted", "IsUnMapped", "Withdrawn")
# Debian ships it under Ubuntu's uuid or upstream's, depending on the release.
APPINDICATOR = [os.path.basename(os.path.dirname(d)) for d in
                glob.glob("/usr/share/gnome-shell/extensions/*appindicator*@*/metadata.json")][:1]


@pytest.fixture
def gnome(request):
    needs = ("gnome-shell", "gnome-extensions", "gsettings", "gdbus", "dbus-monitor", "xdotool", "wmctrl", "DOVO",
             "GNOME_EXTENSION")
    yield from started(request, GnomeShell(*getattr(request, "param", (False, ()))), needs)


def test_the_extension_off_counts_nothing_then_on_counts_to_the_twip(gnome):
    g, off = gnome, lambda: g.calls("Notify")
    proc = g.dovo(QT_QPA_PLATFORM="wayland")
    # No notification area on GNOME: a notification tells the command that turns the extension on, no login
    # wanted as it is installed.
    wait_for("told how to turn it on", lambda: f"gnome-extensions enable {UUID}" in g.heard() and "installed but off"
             in g.heard())
    g.pointer(*path(7, 10, 100, 60, 1180, 250), pace=0.1)  # away from Dovo's window, all a Wayland client sees
    held("dovo ends", lambda: proc.poll() is not None, 1)
    assert g.end(proc, close=False) == 0 and saved(g.env) == ("0", "0") and off() == 1

    proc = g.dovo(QT_QPA_PLATFORM="wayland")
    wait_for("dovo told again", lambda: off() == 2)
    g.pointer((0, 0))
    asked = g.calls("GetPosition")
    held("a question while the extension is off", lambda: g.calls("GetPosition") > asked, 1)
    g.extensions("enable", UUID)
    # two questions: the first answer came back, and is where dovo counts from
    wait_for("dovo asks the extension", lambda: g.calls("GetPosition") > asked + 1)
    ledger, points = Ledger(at=(0, 0)), [(640, 400), *path(42, 30, 100, 100, 1180, 700)]
    walk(g, ledger, points[:16])
    for method, signature, args in (("GetPosition", None, ()), ("WatchMotion", "(ii)", (0, 0))):
        with pytest.raises(GLib.Error, match="AccessDenied"):
            g.call(*POINTER, method, signature, *args)
    walk(g, ledger, points[16:])
    wait_for("at rest, dovo hands the watching to the extension",
             lambda: re.findall(r"member=(\w+)$", g.heard(), re.M)[-1] == "WatchMotion")
    asked = g.calls("GetPosition")
    held("a question at rest", lambda: g.calls("GetPosition") > asked, 5)
    walk(g, ledger, [(ledger.at[0] + 7, ledger.at[1] - 5)])
    assert g.calls("GetPosition") > asked, "the next motion wakes it"
    moved = [line for line in g.heard().splitlines() if line.endswith("member=Moved")]
    # to dovo alone: a stranger's match rule hears no signal sent to another
    assert moved and not [line for line in moved if "(null destination)" in line]
    assert g.end(proc, close=False) == 0 and saved(g.env) == (str(ledger.twips), "0")


def items(g):
    try:
        return g.call(*WATCHER, "RegisteredStatusNotifierItems")[0]
    except GLib.Error:
        return []


def item(g, method, *args, iface="org.kde.StatusNotifierItem"):
    """The first item, as the panel calls it: "service@/path" up to GNOME 48's AppIndicator, the bare service
    from GNOME 50's."""
    service, obj = re.fullmatch(r"([^@/]+)@?(/.*)?", items(g)[0]).groups()
    return g.call(service, obj or "/StatusNotifierItem", iface, method, *args)


def owner(g):
    return g.call("org.freedesktop.DBus", "/", "org.freedesktop.DBus", "GetConnectionUnixProcessID", "(s)",
                  re.match("[^@/]+", items(g)[0])[0])[0] if items(g) else None


def minimise_and_click(g, wid, hidden=HIDDEN, between=lambda: None):
    g.run("xdotool", "windowminimize", str(wid), check=True)
    wait_for("minimised", lambda: g.seen(wid) == hidden)
    held("shown unasked", lambda: g.seen(wid) != hidden, 1.5)
    between()
    wait_for("the panel lists dovo's item", lambda: len(items(g)) == 1)
    item(g, "Activate", "(ii)", 0, 0)
    wait_for("the left click brings it back", lambda: g.seen(wid) == NORMAL)


# Both extensions on at a login, before the shell starts, or the tray's turned on later; Dovo on XWayland, as
# a GNOME session starts it: xdg-shell never tells a client it was minimised. From GNOME 44 on Mutter keeps a
# new X11 window iconic until mutter-x11-frames framed it: no minimise.
@pytest.mark.parametrize("gnome", [(True, (UUID, *APPINDICATOR)), (True, (UUID,))], indirect=True,
                         ids=["at a login", "turned on later"])
def test_the_appindicator_tray(gnome):
    g = gnome
    assert APPINDICATOR, "the AppIndicator extension is installed"
    g.extensions("enable", APPINDICATOR[0])
    wait_for("its watcher is on the bus", lambda: g.owned("org.kde.StatusNotifierWatcher"))
    proc = g.dovo()
    wid = wait_for("dovo's window", lambda: g.window(proc), timeout=30)
    wait_for("the panel lists its item, on Qt's own connection", lambda: owner(g) == proc.pid and re.fullmatch(
        r":[0-9.]+(@?/StatusNotifierItem)?", items(g)[0]), timeout=15)
    wait_for("the window comes on screen", lambda: g.seen(wid) == NORMAL)
    assert len(items(g)) == 1 and g.call(*WATCHER, "IsStatusNotifierHostRegistered")[0] is True
    icons = item(g, "Get", "(ss)", "org.kde.StatusNotifierItem", "IconPixmap", iface=WATCHER[2])[0]
    assert (32, 32) in [icon[:2] for icon in icons] and g.calls("Notify") == 0
    g.pointer(*path(11, 30, 100, 100, 1180, 700), pace=0.1)
    assert g.seen(wid) == NORMAL
    minimise_and_click(g, wid)
    # Without a host, minimised stays iconic in the dash; the panel's click, once back, still brings it back.
    g.extensions("disable", APPINDICATOR[0])
    wait_for("its watcher leaves the bus", lambda: not g.owned("org.kde.StatusNotifierWatcher"))
    minimise_and_click(g, wid, ("listed", "IsViewable", "Iconic"), lambda: g.extensions("enable", APPINDICATOR[0]))
    assert g.end(proc) == 0
    wait_for("the item leaves the panel", lambda: not items(g))
