"""Headless KWin (with XWayland) and GNOME Shell on private buses: Desktops of
their own, so torn down and logged as the X desktop is."""

import os
import random
import re
import shutil
import subprocess
import time

import gi
import pytest

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from conftest import started  # noqa: E402, F401
from desktop import START, Desktop, Timeout, wait_for  # noqa: E402
from dovo import TITLE, saved  # noqa: E402

# A deadline for one call: a compositor still starting its XWayland may answer late.
CALL_MS = 30000


def held(what, check, seconds):
    with pytest.raises(Timeout):
        wait_for(what, check, timeout=seconds)


def path(seed, n, x0, y0, x1, y1):
    """n moves in the box, each a real one: some along an axis, some of a pixel or two."""
    rnd, x, y, points = random.Random(seed), (x0 + x1) // 2, (y0 + y1) // 2, []
    for _ in range(n):
        k, d = rnd.randrange(4), [rnd.choice((-1, 1)) * rnd.randint(1, rnd.choice((2, 300))) for _ in "xy"]
        dx, dy = (0 if k == 1 else d[0]), (0 if k == 0 else d[1])
        x, y = x + (dx if x0 <= x + dx <= x1 else -dx), y + (dy if y0 <= y + dy <= y1 else -dy)
        points.append((x, y))
    return points


def walk(c, ledger, points):
    """Each move booked and waited for until Dovo's save shows it counted."""
    for x, y in points:
        c.pointer((x, y))
        ledger.move(x, y)
        wait_for(f"the move to {x},{y} counted", lambda: c.total() == ledger.twips)


class Compositor(Desktop):
    def start(self):
        self.env["XDG_SESSION_TYPE"] = "wayland"
        self.start_bus("session")
        flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
        self.bus = Gio.DBusConnection.new_for_address_sync(self.env["DBUS_SESSION_BUS_ADDRESS"], flags, None, None)
        self.launch()
        # Dovo's pointer calls, KWin loading scripts, notices; NameLost: it is a monitor.
        self.monitor = self.procs.spawn("monitor", [
            "dbus-monitor", "--session", "interface='net.quendorvil.Dovo.Pointer'",
            "type='method_call',interface='org.kde.kwin.Scripting',member='loadScript'",
            "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"], self.env)
        wait_for("the bus is watched", lambda: self.calls("NameLost"), timeout=START)

    def call(self, dest, obj, iface, method, signature=None, *args):
        return self.bus.call_sync(dest, obj, iface, method, GLib.Variant(signature, args) if signature else None,
                                  None, Gio.DBusCallFlags.NONE, CALL_MS, None).unpack()

    def owned(self, name):
        return self.call("org.freedesktop.DBus", "/", "org.freedesktop.DBus", "NameHasOwner", "(s)", name)[0]

    def heard(self):
        return open(self.monitor.stdout_path).read()

    def calls(self, member):
        return len(re.findall(rf"member={member}$", self.heard(), re.M))

    def dovo(self, *argv, **env):
        self.running = self.procs.spawn("dovo", [*argv] or [os.environ["DOVO"]],
                                        {**self.env, "DOVO_AUTOSAVE_INTERVAL_MS": "100", **env})
        return self.running

    def total(self):
        """What the running Dovo saved: a Dovo that ended never counts on."""
        assert self.running.poll() is None, f"dovo ended with {self.running.returncode}"
        return int(saved(self.env)[0] or 0)

    def window(self, proc):
        # by process too: from GNOME 44 on mutter-x11-frames has a window of the same title
        found = [int(w) for w in self.run("xdotool", "search", "--name", f"^{TITLE}$").stdout.split()
                 if self.xprop("-id", w, "_NET_WM_PID").split()[-1:] == [str(proc.pid)]]
        return found[0] if len(found) == 1 else None

    def seen(self, wid):
        listed = f"{wid:#x}" in re.split(r"[\s,]+", self.xprop("-root", "_NET_CLIENT_LIST"))
        state = re.search(r"window state: (\w+)", self.xprop("-id", str(wid), "WM_STATE"))
        return "listed" if listed else "unlisted", self.geometry(wid)["map"], state[1] if state else "Withdrawn"

    def end(self, proc, close=True):
        """Close Dovo's window, or send SIGTERM; its exit status."""
        self.run("wmctrl", "-F", "-c", TITLE, check=True) if close else proc.terminate()
        wait_for("dovo ends", lambda: proc.poll() is not None)
        return proc.returncode


class KWin(Compositor):
    PLUGIN = "net.quendorvil.Dovo.pointer"

    def __init__(self, scale=1):
        super().__init__(panel=False, accessibility=False)
        self.scale = scale

    def launch(self):
        # A copy: Debian's has a capability a container refuses. KWin tells
        # where its XWayland is to its session program alone.
        kwin = shutil.copy(shutil.which("kwin_wayland"), self.path("bin"))
        told, session = self.path("session.env"), self.path("session")
        with open(session, "w") as f:
            f.write(f'#!/bin/sh\necho "$DISPLAY $XAUTHORITY" >{told}.tmp && mv {told}.tmp {told}\nexec sleep 3600\n')
        os.chmod(session, 0o755)
        self.procs.spawn("kwin", [
            kwin, "--virtual", "--width", "1280", "--height", "800", "--scale", str(self.scale), "--socket",
            "kwin-dovo", "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities", "--xwayland",
            "--exit-with-session", session],  # Q: software rendering; fake input for any client
            dict(self.env, KWIN_COMPOSE="Q", KWIN_WAYLAND_NO_PERMISSION_CHECKS="1"))
        wait_for("KWin starts its session", lambda: os.path.exists(told), timeout=START)
        with open(told) as f:
            self.env.update(zip(("DISPLAY", "XAUTHORITY"), f.read().split()), WAYLAND_DISPLAY="kwin-dovo",
                            XDG_CURRENT_DESKTOP="KDE")
        wait_for("KWin and its XWayland come up", lambda: self.owned("org.kde.KWin") and "window id #" in self.xprop(
            "-root", "_NET_SUPPORTING_WM_CHECK"), timeout=START)
        # KWin 6 sizes the output by --scale but gives a new screen scale 1. Asked again until it holds, each
        # answer in the logs: a slow start neither fails the test nor hides why.
        doctor = None

        def scaled():
            nonlocal doctor
            if self.output("Scale") == self.scale:
                return True
            if doctor is None or doctor.poll() is not None:
                doctor = self.procs.spawn("kscreen-doctor", [
                    "kscreen-doctor", f"output.{self.output('Name')}.scale.{self.scale}"], self.env)
            return False
        wait_for("KWin's output takes the scale", scaled, timeout=START, interval=0.5)

    def output(self, field):
        info = self.call("org.kde.KWin", "/KWin", "org.kde.KWin", "supportInformation")[0]
        value = [v for v in re.findall(rf"^\s*{field}: (\S+)", info, re.M) if "::" not in v][0]
        return value if field == "Name" else float(value) if field == "Scale" else [*map(int, re.split("[,x]", value))]

    def scripting(self, method):
        return self.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", method, "(s)", self.PLUGIN)[0]

    def pointer(self, *points):
        """At each logical point in turn, a millisecond apart; each call an input
        device that comes and goes, which XWayland tells Dovo's window of."""
        subprocess.run([os.environ["KWIN_POINTER"], *(str(c) for p in points for c in p)], env=self.env,
                       timeout=10, check=True)


class GnomeShell(Compositor):
    UUID = "dovo@quendorvil.net"

    def __init__(self, xwayland=False, enabled=()):
        super().__init__(panel=False, accessibility=False)
        self.xwayland, self.enabled = xwayland, enabled

    def launch(self):
        # Settings in a key file, not dconf: no settings daemon runs.
        self.env.update(XDG_CURRENT_DESKTOP="GNOME", GSETTINGS_BACKEND="keyfile")
        # With systemd's seat folder but no system bus the shell dies asking logind for its session.
        if os.path.isdir("/run/systemd/seats") and not os.path.exists("/run/dbus/system_bus_socket"):
            self.start_bus("system")
        shutil.copytree(os.environ["GNOME_EXTENSION"], self.path("data", "gnome-shell", "extensions", self.UUID))
        # No welcome tour, no hot corner; flat, should a later Mutter accelerate remote desktop motion.
        for schema, key, value in (("shell", "welcome-dialog-last-shown-version", "'999'"),
                                   ("desktop.interface", "enable-hot-corners", "false"),
                                   ("desktop.peripherals.mouse", "accel-profile", "flat"),
                                   ("shell", "enabled-extensions", repr([*self.enabled]))):
            self.run("gsettings", "set", "org.gnome." + schema, key, value, check=True)
        self.server = self.procs.spawn("gnome-shell", [
            "gnome-shell", "--headless", "--wayland", "--virtual-monitor", "1280x800", "--wayland-display",
            "dovo-wayland", *(() if self.xwayland else ("--no-x11",))], self.env)
        self.env["WAYLAND_DISPLAY"] = "dovo-wayland"
        wait_for("gnome-shell comes up, its extensions too", lambda: self.server.poll() is None and self.run(
            "gdbus", "call", "--session", "--dest", "org.gnome.Shell", "--object-path", "/org/gnome/Shell", "--method",
            "org.freedesktop.DBus.Properties.Get", "org.gnome.Shell.Extensions", "ShellVersion").returncode == 0,
            timeout=START)
        if self.xwayland:
            wait_for("gnome-shell starts its XWayland", self._xwayland, timeout=START)

    def _xwayland(self):
        # Mutter tells its display and cookie to its own children alone;
        # both are on its XWayland's command line.
        for pid in self.run("pgrep", "-P", str(self.server.pid), "-x", "Xwayland").stdout.split():
            with open(f"/proc/{pid}/cmdline") as f:
                args = f.read().split("\0")
            if "-auth" in args:
                self.env.update(DISPLAY=next(a for a in args if re.fullmatch(r":\d+", a)),
                                XAUTHORITY=args[args.index("-auth") + 1])
                return "window id #" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK")
        return False

    def pointer(self, *points, pace=0):
        # Relative motion from the top-left corner, where a push first puts
        # it; one session, which Mutter ends with the connection that made it.
        rd = "org.gnome.Mutter.RemoteDesktop"
        if not hasattr(self, "session"):
            self.session = self.call(rd, "/org/gnome/Mutter/RemoteDesktop", rd, "CreateSession")[0]
            self.call(rd, self.session, rd + ".Session", "Start")
            self.at, points = (0, 0), ((-10000, -10000), *points)
        for x, y in points:
            self.call(rd, self.session, rd + ".Session", "NotifyPointerMotionRelative", "(dd)",
                      x - self.at[0], y - self.at[1])
            self.at = max(x, 0), max(y, 0)
            time.sleep(pace)  # a hand's pace, where nothing is counted

    def extensions(self, verb, uuid):
        self.run("gnome-extensions", verb, uuid, check=True)
