"""A private, throw-away X desktop: Xvfb, openbox, tint2, a session bus and
the accessibility bus, in one temporary folder removed on the way out."""

import os
import re
import secrets
import select
import shutil
import subprocess
import tempfile

from procs import Processes, Timeout, wait_for

# Variables of the caller's session that must not reach the desktop's
# programs: SESSION_MANAGER would let Qt talk to the real session, the QT_*
# scale variables would override the desktop's 96 dpi, and the rest would
# send a client to another display or bus.
FOREIGN = ("WAYLAND_DISPLAY", "SESSION_MANAGER", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORMTHEME",
           "QT_FONT_DPI", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
           "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING", "QT_STYLE_OVERRIDE",
           "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "DISPLAY", "XAUTHORITY")

# Only a taskbar (T) and the tray (S): a clock or battery applet would change
# the panel layout over time.  No tooltips: one popping up over the tray
# would steal clicks.
TINT2RC = """\
rounded = 0
border_width = 0
background_color = #303030 100
border_color = #000000 0
panel_items = TS
panel_monitor = all
panel_position = bottom center horizontal
panel_size = 100% 32
panel_margin = 0 0
panel_padding = 2 2 2
panel_background_id = 1
panel_dock = 0
panel_layer = top
wm_menu = 0
strut_policy = follow_size
autohide = 0
disable_transparency = 1
taskbar_mode = single_desktop
taskbar_padding = 2 2 2
taskbar_background_id = 0
task_text = 1
task_icon = 1
task_centered = 0
task_maximum_size = 200 28
task_padding = 4 2 4
task_tooltip = 0
task_font_color = #ffffff 100
systray_padding = 4 2 4
systray_background_id = 0
systray_sort = ascending
systray_icon_size = 24
systray_icon_asb = 100 0 0
systray_monitor = 1
"""

# A session bus that starts nothing on demand: with the machine's own
# session.conf any service file installed here (KDE's, GNOME's) could answer.
BUSCONF = """\
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

# How long the servers may take to come up: a deadline, which costs nothing
# when they are quick; with Wine tests beside them on a loaded machine,
# tint2 took more than 15 s to show its panel.
START = 60


class Desktop:
    """with Desktop() as d: ... d.env is the environment for its clients."""

    def __init__(self, panel=True, accessibility=True):
        self.panel = panel
        self.accessibility = accessibility
        self.dir = None
        self.final_logs = {}

    # ---------------------------------------------------------- lifetime
    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="dovo-driver.")
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.dir is None:
            return False
        if hasattr(self, "procs"):
            self.procs.stop_all()
        self.final_logs = self.logs()
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir = None
        return False

    def logs(self):
        """Every log of the desktop and what ran on it, by file name."""
        if self.dir is None:
            return self.final_logs
        folder, found = os.path.join(self.dir, "logs"), {}
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                text = f.read()[-20000:].decode(errors="replace")
            if text.strip():
                found[name] = text
        return found

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    # ------------------------------------------------------------ start
    def _start(self):
        for sub in ("logs", "home", "config", "cache", "data", "state"):
            os.makedirs(self.path(sub))
        os.mkdir(self.path("runtime"), 0o700)
        self.procs = Processes(self.path("logs"))
        # LC_ALL: the readouts' decimal separator is the locale's, and the
        # model's is the C locale's point.
        env = {k: v for k, v in os.environ.items() if k not in FOREIGN}
        env.update(HOME=self.path("home"), XDG_CONFIG_HOME=self.path("config"),
                   XDG_RUNTIME_DIR=self.path("runtime"), XDG_CACHE_HOME=self.path("cache"),
                   XDG_DATA_HOME=self.path("data"), XDG_STATE_HOME=self.path("state"),
                   XDG_SESSION_TYPE="x11", QT_QPA_PLATFORM="xcb", LC_ALL="C.UTF-8",
                   XAUTHORITY=self.path("Xauthority"))
        self.env = env
        self.probe = os.environ["X11PROBE"]
        self._start_x()
        self._start_session_bus()
        self.queries = self.procs.spawn("queries", [self.probe, "queries"], self.env)
        # before any client connects, so that every pointer question is heard
        wait_for("x11probe hears the pointer replies",
                 lambda: self.queries.poll() is None and _first_line(self.queries.stdout_path) == "recording")
        self._start_openbox()
        if self.panel:
            self.start_panel()

    def _start_x(self):
        cookie = secrets.token_hex(16)
        open(self.env["XAUTHORITY"], "w").close()
        # The server loads every cookie of its -auth file whatever display
        # it is filed under; the client's entry is added once the number is.
        self._xauth("add", ":0", "MIT-MAGIC-COOKIE-1", cookie)
        rfd, wfd = os.pipe()
        try:
            # -displayfd: the server picks a free display and tells it only
            # once it accepts connections, so parallel runs never race for a
            # number.  -dpi 96 fixes the size it reports (its default: 100).
            self.xvfb = self.procs.spawn(
                "xvfb", ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1280x800x24", "-dpi", "96",
                         "-nolisten", "tcp", "-noreset", "-auth", self.env["XAUTHORITY"]],
                self.env, pass_fds=(wfd,))
        finally:
            os.close(wfd)
        with os.fdopen(rfd, "rb", buffering=0) as r:
            text = b""

            def told():
                nonlocal text
                if select.select([r], [], [], 0)[0]:
                    chunk = r.read(64)
                    text += chunk
                    if not chunk:  # the server died before telling
                        raise RuntimeError("Xvfb did not come up")
                return text.endswith(b"\n")

            wait_for("Xvfb tells its display", told, timeout=START)
        number = text.decode().strip()
        self.display = ":" + number
        self._xauth("add", self.display, "MIT-MAGIC-COOKIE-1", cookie)
        self.env["DISPLAY"] = self.display

    def _xauth(self, *args):
        subprocess.run(["xauth", "-q", "-f", self.env["XAUTHORITY"], *args], check=True, env=self.env)

    def _start_session_bus(self):
        socket = self.path("session-bus")
        with open(socket + ".conf", "w") as f:
            f.write(BUSCONF.format(socket=socket))
        bus = self.procs.spawn("session-bus", ["dbus-daemon", "--nofork", "--nopidfile",
                                               "--config-file=" + socket + ".conf"], self.env)
        wait_for("the session bus listens", lambda: bus.poll() is None and os.path.exists(socket))
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + socket
        if not self.accessibility:
            return
        # Started here, not on demand: the bus above activates nothing.
        # --launch-immediately starts the accessibility bus (a dbus-daemon of
        # its own, which starts at-spi2-registryd on it) before the first
        # client asks org.a11y.Bus for its address.
        launcher = self.procs.spawn("a11y-launcher", [LAUNCHER, "--launch-immediately", "--a11y=1"],
                                    self.env)
        wait_for("the accessibility bus is up", lambda: launcher.poll() is None and self._a11y_address())

    def _a11y_address(self):
        out = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus",
                              "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                             env=self.env, capture_output=True, text=True)
        return out.returncode == 0 and out.stdout.strip()

    def owner(self, selection):
        return subprocess.run([self.probe, "owner", selection], env=self.env,
                              capture_output=True).returncode == 0

    def _start_openbox(self):
        wm = self.procs.spawn("openbox", ["openbox", "--sm-disable"], self.env)

        def ready():
            if wm.poll() is not None or not self.owner("WM_S0"):
                return False
            # Published after openbox redirected the root window: any window
            # mapped from now on is managed rather than left undecorated.
            check = self.xprop("-root", "_NET_SUPPORTING_WM_CHECK")
            return "window id #" in check and '"Openbox"' in self.xprop(
                "-id", check.split()[-1], "_NET_WM_NAME")

        wait_for("openbox takes over the screen", ready, timeout=START)

    def start_panel(self):
        rc = self.path("tint2rc")
        if not os.path.exists(rc):
            with open(rc, "w") as f:
                f.write(TINT2RC)
        self.tint2 = self.procs.spawn("tint2", ["tint2", "-c", rc], self.env)
        # tint2 sets its tray properties before it claims the selection; the
        # claim is the one race-free sign that the tray is there.
        wait_for("tint2 claims the system tray", lambda: self.tint2.poll() is None and self.owner(
            "_NET_SYSTEM_TRAY_S0") and self.run("xdotool", "search", "--onlyvisible", "--classname",
                                                 "^tint2$").stdout.strip(), timeout=START)

    # ------------------------------------------------------------ tools
    def run(self, *argv, **kwargs):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, **kwargs)

    def xprop(self, *args):
        return self.run("xprop", "-notype", *args).stdout

    def pointer(self):
        out = self.run("xdotool", "getmouselocation", "--shell").stdout
        fields = dict(line.split("=", 1) for line in out.split())
        return int(fields["X"]), int(fields["Y"])

    def motion(self, x, y):
        """Move the pointer as a mouse does: XTest motion, which wakes a
        program that sleeps until the pointer moves; a warp would not."""
        subprocess.run([self.probe, "motion", str(x), str(y)], env=self.env, check=True)

    def asked(self):
        """What the clients asked the server about the pointer: lines of
        (pid, client, what, *values), as x11probe's queries prints them."""
        with open(self.queries.stdout_path) as f:
            return [line.split() for line in f.read().splitlines()[1:] if line.strip()]

    # ------------------------------------------- windows, tray, pixels
    def geometry(self, wid):
        """xwininfo's absolute x, y, width, height and map state; None once
        the window is gone."""
        out = self.run("xwininfo", "-id", str(wid))
        if out.returncode != 0:
            return None
        keys = {"Absolute upper-left X": "x", "Absolute upper-left Y": "y", "Width": "width",
                "Height": "height", "Map State": "map"}
        found = {}
        for line in out.stdout.splitlines():
            name, _, value = line.strip().partition(": ")
            if name in keys:
                found[keys[name]] = value if name == "Map State" else int(value)
        return found

    def children(self, wid):
        out = self.run("xwininfo", "-children", "-id", str(wid)).stdout
        return [int(line.split()[0], 16) for line in out.splitlines() if line.startswith("     0x")]

    def tray_icons(self):
        """The icons docked in tint2.  tint2 reparents each into a frame of
        its own, a child of the panel: panel > frame > icon.  An icon counts
        only on screen and speaking XEmbed, so a frame kept for an icon being
        hidden, not yet embedded or torn down is not counted."""
        if getattr(self, "tint2", None) is None or self.tint2.poll() is not None:
            return []
        icons = []
        for panel in self.run("xdotool", "search", "--onlyvisible", "--classname",
                              "^tint2$").stdout.split():
            for frame in self.children(int(panel)):
                for icon in self.children(frame):
                    geo = self.geometry(icon)
                    if geo and geo["map"] == "IsViewable" and "_XEMBED_INFO = " in self.xprop(
                            "-id", str(icon), "_XEMBED_INFO"):
                        icons.append(icon)
        return icons

    def stop_panel(self):
        """End tint2, and with it the tray."""
        Processes.stop(self.tint2)
        wait_for("the tray selection is let go", lambda: not self.owner("_NET_SYSTEM_TRAY_S0"))

    def wm_sync(self):
        """Return once openbox has handled every request sent to it before."""
        self.run(self.probe, "wm-sync", check=True, timeout=30)

    def load_resources(self, text):
        """Merge X resources (Xft.dpi: 144) for the clients started after."""
        subprocess.run(["xrdb", "-nocpp", "-merge"], input=text, text=True, env=self.env, check=True)

    def screenshot(self):
        """The whole screen as (width, height, RGB bytes row by row)."""
        out = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env,
                             capture_output=True, check=True, timeout=30).stdout
        # one whitespace byte ends the header: the pixels may begin with more
        head = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", out)
        assert head, out[:20]
        return int(head[1]), int(head[2]), out[head.end():]


def _first_line(path):
    try:
        with open(path) as f:
            return f.readline().strip()
    except OSError:
        return ""


__all__ = ["Desktop", "Timeout", "wait_for"]
