"""Dovo on a real, headless GNOME Shell: through its extension, turned on while
Dovo runs, and in the notification area of the AppIndicator extension."""

import glob
import os
import re

import pytest
from gi.repository import GLib

from compositors import GnomeShell, path, started, walk
from dovo import saved
from model import Ledger
from procs import Timeout, wait_for

ENABLE = "gnome-extensions enable " + GnomeShell.UUID
POINTER = ("org.gnome.Shell", "/net/quendorvil/Dovo/Pointer", "net.quendorvil.Dovo.Pointer")
ITEM = "org.kde.StatusNotifierItem"
NORMAL, HIDDEN, ICONIC = (("listed", "IsViewable", "Normal"), ("unlisted", "IsUnMapped", "Withdrawn"),
                          ("listed", "IsViewable", "Iconic"))
# Debian ships it under Ubuntu's uuid or upstream's, depending on the release.
APPINDICATOR = [os.path.basename(os.path.dirname(d)) for d in
                glob.glob("/usr/share/gnome-shell/extensions/*appindicator*@*/metadata.json")][:1]


@pytest.fixture
def gnome(request):
    needs = ("gnome-shell", "gnome-extensions", "gsettings", "gdbus", "dbus-monitor", "xdotool", "wmctrl",
             "DOVO", "GNOME_EXTENSION")
    with started(request, GnomeShell(*getattr(request, "param", (False, ()))), needs) as g:
        yield g


def held(what, check, seconds):
    with pytest.raises(Timeout):
        wait_for(what, check, timeout=seconds)


def test_the_extension_off_counts_nothing_then_on_counts_to_the_twip(gnome):
    g = gnome
    proc = g.dovo(QT_QPA_PLATFORM="wayland")
    # No notification area on GNOME: told by a notification, and installed,
    # so no login is wanted, only the command that turns it on.
    wait_for("told how to turn the extension on", lambda: ENABLE in g.heard() and "installed but off" in g.heard())
    # away from Dovo's own window, all a Wayland client sees
    g.pointer(*path(7, 10, 100, 60, 1180, 250), pace=0.1)
    held("dovo ends", lambda: proc.poll() is not None, 1)
    assert g.end(proc, close=False) == 0
    assert saved(g.env) == ("0", "0") and g.calls("Notify") == 1

    proc = g.dovo(QT_QPA_PLATFORM="wayland")
    wait_for("dovo told again", lambda: g.calls("Notify") == 2)
    g.pointer((0, 0))
    # the shell said no: not asked again until it changes
    asked = g.calls("GetPosition")
    held("a question while the extension is off", lambda: g.calls("GetPosition") > asked, 1)
    g.extensions("enable", GnomeShell.UUID)
    # two questions: the first answer came back, and is where dovo counts from
    wait_for("dovo asks the extension", lambda: g.calls("GetPosition") > asked + 1)
    stranger = g.procs.spawn("stranger", ["gdbus", "monitor", "--session", "--dest", *POINTER[:2]], g.env)
    wait_for("a stranger listens", lambda: "org.gnome.Shell is owned by" in open(stranger.stdout_path).read())
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
    assert moved and not [line for line in moved if "(null destination)" in line], "to dovo alone"
    assert "Moved" not in open(stranger.stdout_path).read()
    assert g.end(proc, close=False) == 0
    assert saved(g.env) == (str(ledger.twips), "0")


def watcher(g, name):
    try:
        return g.call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                      "Get", "(ss)", "org.kde.StatusNotifierWatcher", name)[0]
    except GLib.Error:
        return None


def items(g):
    return watcher(g, "RegisteredStatusNotifierItems") or []


def item(g, method, signature=None, *args, iface=ITEM):
    """A call on the first item, as the panel makes it: "service@/path" up
    to GNOME 48's AppIndicator, the bare service from GNOME 50's."""
    service, obj = re.fullmatch(r"([^@/]+)@?(/.*)?", items(g)[0]).groups()
    return g.call(service, obj or "/StatusNotifierItem", iface, method, signature, *args)


def owner(g):
    service = re.match(r"[^@/]+", (items(g) or ["-"])[0])[0]
    return g.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "GetConnectionUnixProcessID", "(s)", service)[0] if items(g) else None


def seen_as(g, wid, state, **kwargs):
    wait_for(f"the window {state}", lambda: g.seen(wid) == state, **kwargs)


def back_from_hidden(g, wid):
    g.run("xdotool", "windowminimize", str(wid), check=True)
    seen_as(g, wid, HIDDEN)
    for method in ("SecondaryActivate", "ContextMenu"):  # middle click, context menu
        item(g, method, "(ii)", 0, 0)
        held(f"{method}: the window shown", lambda: g.seen(wid) != HIDDEN, 1.5)
    item(g, "Activate", "(ii)", 0, 0)
    seen_as(g, wid, NORMAL)


# xdg-shell never tells a client it was minimised, so Dovo hides its window
# only on XWayland, where a GNOME session starts it.
@pytest.mark.parametrize("gnome", [(True, (GnomeShell.UUID,))], indirect=True)
def test_the_appindicator_tray(gnome):
    g = gnome
    assert APPINDICATOR, "the AppIndicator extension is installed"
    g.extensions("enable", APPINDICATOR[0])
    wait_for("its watcher is on the bus", lambda: g.owned("org.kde.StatusNotifierWatcher"))
    proc = g.dovo()
    wid = wait_for("dovo's window", lambda: g.window(proc), timeout=30)
    seen_as(g, wid, NORMAL)
    # Qt's item, on a connection of its own
    wait_for("one item", lambda: len(items(g)) == 1 and re.fullmatch(r":[0-9.]+(@?/StatusNotifierItem)?",
                                                                    items(g)[0]))
    assert owner(g) == proc.pid and watcher(g, "IsStatusNotifierHostRegistered") is True
    properties = ("org.freedesktop.DBus.Properties", "Get", "(ss)", ITEM)
    assert "Dovo - QuenDorvil" in str(item(g, *properties[1:], "ToolTip", iface=properties[0])[0])
    assert (32, 32) in [icon[:2] for icon in item(g, *properties[1:], "IconPixmap", iface=properties[0])[0]]
    assert g.calls("Notify") == 0, "no notice of a missing notification area"
    back_from_hidden(g, wid)
    # Without a host, minimised stays in the dash; the panel's click, once
    # back, must still bring it back.
    g.extensions("disable", APPINDICATOR[0])
    wait_for("its watcher leaves the bus", lambda: not g.owned("org.kde.StatusNotifierWatcher"))
    g.run("xdotool", "windowminimize", str(wid), check=True)
    seen_as(g, wid, ICONIC)
    g.extensions("enable", APPINDICATOR[0])
    wait_for("dovo's item registers again", lambda: len(items(g)) == 1)
    item(g, "Activate", "(ii)", 0, 0)
    seen_as(g, wid, NORMAL)
    assert g.end(proc) == 0
    wait_for("the item leaves the panel", lambda: not items(g))


# At a login both extensions are on before the shell starts, and Dovo right
# after it. From GNOME 44 on, Mutter keeps a new X11 window iconic until
# mutter-x11-frames made its title bar; that is no minimise.
@pytest.mark.parametrize("gnome", [(True, (GnomeShell.UUID, *APPINDICATOR))], indirect=True)
def test_at_a_login(gnome):
    g = gnome
    assert APPINDICATOR, "the AppIndicator extension is installed"
    wait_for("its watcher is on the bus", lambda: g.owned("org.kde.StatusNotifierWatcher"))
    proc = g.dovo()
    wid = wait_for("dovo's window", lambda: g.window(proc), timeout=30)
    wait_for("the panel lists its item", lambda: owner(g) == proc.pid, timeout=15)
    seen_as(g, wid, NORMAL)
    g.pointer(*path(11, 30, 100, 100, 1180, 700), pace=0.1)
    assert g.seen(wid) == NORMAL
    back_from_hidden(g, wid)
    assert g.end(proc) == 0
