"""A private, throw-away X desktop: Xvfb, openbox, tint2, a session bus and
the accessibility bus, in one temporary folder removed on the way out."""

import os
import re
import secrets
import select
import shutil
import subprocess
import tempfile
from pathlib import Path

from procs import Processes, Timeout, wait_for

# Variables of the caller's session that must not reach the desktop's programs: SESSION_MANAGER would
# let Qt talk to the real session, the QT_* scale variables would override the desktop's 96 dpi, and the
# rest would send a client to another display, bus or platform.
FOREIGN = ("WAYLAND_DISPLAY", "SESSION_MANAGER", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORMTHEME",
           "QT_QPA_PLATFORM", "QT_FONT_DPI", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
           "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING", "QT_STYLE_OVERRIDE",
           "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "DISPLAY", "XAUTHORITY")

# Only a taskbar (T) and the tray (S): a clock or battery applet would change the panel layout over
# time.  No tooltips: one popping up over the tray would steal clicks.
TINT2RC = """\
rounded = 0
background_color = #303030 100
panel_items = TS
panel_monitor = all
panel_position = bottom center horizontal
panel_size = 100% 32
panel_padding = 2 2 2
panel_background_id = 1
panel_layer = top
disable_transparency = 1
taskbar_padding = 2 2 2
taskbar_background_id = 0
task_centered = 0
task_maximum_size = 200 28
task_padding = 4 2 4
task_tooltip = 0
task_font_color = #ffffff 100
systray_padding = 4 2 4
systray_background_id = 0
systray_sort = ascending
systray_icon_size = 24
systray_monitor = 1
"""

# A bus that starts nothing on demand: with the machine's own session.conf any service file installed
# here (KDE's, GNOME's) could answer.
BUSCONF = """\
<busconfig>
  <type>{kind}</type>
  <listen>unix:path={socket}</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

# How long the servers may take to come up: a deadline, which costs nothing when they are quick; with
# Wine tests beside them on a loaded machine, tint2 took more than 15 s to show its panel.
START = 60


class Desktop:
    """with Desktop() as d: ... d.env is the environment for its clients."""

    def __init__(self, panel=True, accessibility=True):
        self.panel, self.accessibility = panel, accessibility
        self.dir = self.procs = None
        self.final_logs, self.tint2 = {}, None

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="dovo-driver.")
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.dir is not None:
            if self.procs:
                self.procs.stop_all()
            self.final_logs = self.logs()
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def logs(self):
        """Every log of the desktop and what ran on it, by file name."""
        if self.dir is None:
            return self.final_logs
        texts = {log.name: log.read_bytes()[-20000:].decode(errors="replace")
                 for log in sorted(Path(self.path("logs")).iterdir())}
        return {name: text for name, text in texts.items() if text.strip()}

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def _start(self):
        """The folders and the environment every desktop's programs share; then start()."""
        for sub in ("logs", "home", "config", "cache", "data", "state", "bin"):
            os.makedirs(self.path(sub))
        os.mkdir(self.path("runtime"), 0o700)
        self.procs = Processes(self.path("logs"))
        # LC_ALL: the readouts' decimal separator is the locale's, and the model's is the C locale's point.
        self.env = {k: v for k, v in os.environ.items() if k not in FOREIGN}
        self.env.update({f"XDG_{d.upper()}_{'DIR' if d == 'runtime' else 'HOME'}": self.path(d)
                         for d in ("config", "cache", "data", "state", "runtime")},
                        HOME=self.path("home"), LC_ALL="C.UTF-8")
        self.start()

    def start(self):
        self.env.update(XDG_SESSION_TYPE="x11", QT_QPA_PLATFORM="xcb", XAUTHORITY=self.path("Xauthority"))
        self.probe = os.environ["X11PROBE"]
        self._start_x()
        self._start_session_bus()
        self.queries = self.procs.spawn("queries", [self.probe, "queries"], self.env)
        # before any client connects, so that every pointer question is heard
        wait_for("x11probe hears the pointer replies", lambda: self.queries.poll() is None
                 and Path(self.queries.stdout_path).read_text().partition("\n")[0].strip() == "recording")
        self._start_openbox()
        if self.panel:
            self.start_panel()

    def _start_x(self):
        cookie = secrets.token_hex(16)
        open(self.env["XAUTHORITY"], "w").close()
        # The server loads every cookie of its -auth file whatever display it is filed under; the
        # client's entry is added once the number is.
        self._xauth("add", ":0", "MIT-MAGIC-COOKIE-1", cookie)
        rfd, wfd = os.pipe()
        try:
            # -displayfd: the server picks a free display and tells it only once it accepts
            # connections, so parallel runs never race for a number.  -dpi 96: its default is 100.
            self.xvfb = self.procs.spawn(
                "xvfb", ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1280x800x24", "-dpi", "96",
                         "-nolisten", "tcp", "-noreset", "-auth", self.env["XAUTHORITY"]],
                self.env, pass_fds=(wfd,))
        finally:
            os.close(wfd)
        with os.fdopen(rfd, "rb", buffering=0) as r:
            wait_for("Xvfb tells its display", lambda: select.select([r], [], [], 0)[0], timeout=START)
            text = r.readline()  # written at once, "N\n"; nothing: the server died before telling
        if not text:
            raise RuntimeError("Xvfb did not come up")
        self.display = self.env["DISPLAY"] = ":" + text.decode().strip()
        self._xauth("add", self.display, "MIT-MAGIC-COOKIE-1", cookie)

    def _xauth(self, *args):
        self.run("xauth", "-q", "-f", self.env["XAUTHORITY"], *args, check=True)

    def start_bus(self, kind):
        """A private bus, "session" or "system", told to the programs started after."""
        socket = self.path(kind + "-bus")
        Path(socket + ".conf").write_text(BUSCONF.format(kind=kind, socket=socket))
        bus = self.procs.spawn(kind + "-bus", ["dbus-daemon", "--nofork", "--nopidfile",
                                               "--config-file=" + socket + ".conf"], self.env)
        wait_for(f"the {kind} bus listens", lambda: bus.poll() is None and os.path.exists(socket))
        self.env[f"DBUS_{kind.upper()}_BUS_ADDRESS"] = "unix:path=" + socket

    def _start_session_bus(self):
        self.start_bus("session")
        if not self.accessibility:
            return
        # Started here, not on demand: the bus above activates nothing.  --launch-immediately starts the
        # accessibility bus (a dbus-daemon of its own, which starts at-spi2-registryd on it) before the
        # first client asks org.a11y.Bus for its address.
        launcher = self.procs.spawn("a11y-launcher", ["/usr/libexec/at-spi-bus-launcher",
                                                      "--launch-immediately", "--a11y=1"], self.env)
        wait_for("the accessibility bus is up", lambda: launcher.poll() is None and self.run(
            "dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus", "/org/a11y/bus",
            "org.a11y.Bus.GetAddress").stdout.strip())

    def owner(self, selection):
        return self.run(self.probe, "owner", selection).returncode == 0

    def _start_openbox(self):
        wm = self.procs.spawn("openbox", ["openbox", "--sm-disable"], self.env)

        def ready():
            if wm.poll() is not None or not self.owner("WM_S0"):
                return False
            # Published after openbox redirected the root window: any window mapped from now on is
            # managed rather than left undecorated.
            check = self.xprop("-root", "_NET_SUPPORTING_WM_CHECK")
            return "window id #" in check and '"Openbox"' in self.xprop(
                "-id", check.split()[-1], "_NET_WM_NAME")

        wait_for("openbox takes over the screen", ready, timeout=START)

    def start_panel(self):
        rc = self.path("tint2rc")
        Path(rc).write_text(TINT2RC)
        self.tint2 = self.procs.spawn("tint2", ["tint2", "-c", rc], self.env)
        # tint2 sets its tray properties before it claims the selection; the claim is the one race-free
        # sign that the tray is there.
        wait_for("tint2 claims the system tray", lambda: self.tint2.poll() is None
                 and self.owner("_NET_SYSTEM_TRAY_S0") and self._panels(), timeout=START)

    def _panels(self):
        return self.run("xdotool", "search", "--onlyvisible", "--classname", "^tint2$").stdout.split()

    def run(self, *argv, **kwargs):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, **kwargs)

    def xprop(self, *args):
        return self.run("xprop", "-notype", *args).stdout

    def pointer(self):
        out = self.run("xdotool", "getmouselocation", "--shell").stdout
        fields = dict(line.split("=", 1) for line in out.split())
        return int(fields["X"]), int(fields["Y"])

    def motion(self, x, y):
        """XTest motion, as a mouse's: it wakes a program that sleeps until the pointer moves; a warp
        would not."""
        self.run(self.probe, "motion", str(x), str(y), check=True)

    def asked(self):
        """What the clients asked the server about the pointer: x11probe's (pid, client, what, *values)."""
        lines = Path(self.queries.stdout_path).read_text().splitlines()[1:]
        return [line.split() for line in lines if line.strip()]

    def geometry(self, wid):
        """xwininfo's absolute x, y, width, height and map state; None once the window is gone."""
        out = self.run("xwininfo", "-id", str(wid))
        if out.returncode != 0:
            return None
        keys = {"Absolute upper-left X": "x", "Absolute upper-left Y": "y", "Width": "width",
                "Height": "height", "Map State": "map"}
        pairs = (line.strip().partition(": ")[::2] for line in out.stdout.splitlines())
        return {keys[n]: v if n == "Map State" else int(v) for n, v in pairs if n in keys}

    def children(self, wid):
        out = self.run("xwininfo", "-children", "-id", str(wid)).stdout
        return [int(line.split()[0], 16) for line in out.splitlines() if line.startswith("     0x")]

    def tray_icons(self):
        """The icons docked in tint2 (panel > frame > icon), each on screen and speaking XEmbed: a frame
        kept for an icon being hidden, not yet embedded or torn down is not counted."""
        if self.tint2 is None or self.tint2.poll() is not None:
            return []
        icons = []
        for panel in self._panels():
            for frame in self.children(int(panel)):
                for icon in self.children(frame):
                    geo = self.geometry(icon)
                    if geo and geo["map"] == "IsViewable" and "_XEMBED_INFO = " in self.xprop(
                            "-id", str(icon), "_XEMBED_INFO"):
                        icons.append(icon)
        return icons

    def stop_panel(self):
        Processes.stop(self.tint2)
        wait_for("the tray selection is let go", lambda: not self.owner("_NET_SYSTEM_TRAY_S0"))

    def wm_sync(self):
        """Return once openbox has handled every request sent to it before."""
        self.run(self.probe, "wm-sync", check=True, timeout=30)

    def load_resources(self, text):
        """Merge X resources (Xft.dpi: 144) for the clients started after."""
        self.run("xrdb", "-nocpp", "-merge", input=text, check=True)

    def screenshot(self):
        """The whole screen as (width, height, RGB bytes row by row)."""
        out = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env,
                             capture_output=True, check=True, timeout=30).stdout
        # one whitespace byte ends the header: the pixels may begin with more
        head = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", out)
        assert head, out[:20]
        return int(head[1]), int(head[2]), out[head.end():]


__all__ = ["Desktop", "Timeout", "wait_for"]
