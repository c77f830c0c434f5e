"""The Linux program (dovo.py's Dovo) and the Windows program under Wine behind one face, so that a
table's rows run against both.  run(args, display): a run that must not start, (status, out, err)."""

import glob
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile

import dovo
from logind import Logind
from procs import wait_for

NAMES = ("totalpixels", "totalmpixels")


class Linux:
    name = "linux"
    source = "X11"

    def __init__(self, desktop):
        self.desktop, self.where = desktop, dovo.conf_path(desktop.env)
        self.unlock = lambda: None

    def start(self, *args, env=None, **streams):
        self.desktop.env.update(env or {})
        return dovo.Dovo(self.desktop, *args, **streams)

    def save(self, twips, blocks):
        dovo.save(self.desktop.env, twips, blocks)

    def saved(self):
        return dovo.saved(self.desktop.env)

    def store(self, pairs):
        pathlib.Path(self.where).write_text("[odoledger]\n" + "".join(f"{k}={v}\n" for k, v in pairs.items()))

    def kept(self):
        return {os.path.basename(p): content(p) for p in glob.glob(self.where + ".damaged-*")}

    def lock(self):
        # its folder on a full disk (as root, else read-only): a failed write again is no damage
        folder, stored = os.path.dirname(self.where), content(self.where)
        full = ["mount", "-t", "tmpfs", "-o", "size=64k", "full", folder]
        if subprocess.run(full, capture_output=True).returncode:
            self.unlock = lambda: os.chmod(folder, 0o755)
            return os.chmod(folder, 0o555)
        self.unlock = lambda: subprocess.run(["umount", folder], check=True)
        pathlib.Path(self.where).write_bytes(stored)
        with open(os.path.join(folder, "filler"), "wb", buffering=0) as f:
            f.write(bytes(1 << 20))

    def run(self, args, display=True):
        env = {k: v for k, v in self.desktop.env.items() if display or k != "DISPLAY"}
        run = subprocess.run([os.environ["DOVO"], *args], env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=30)
        return run.returncode, run.stdout, run.stderr

    def set_dpi(self, dpi):
        # Qt takes the logical density from Xft.dpi when it is set
        self.desktop.load_resources(f"Xft.dpi: {dpi}\n")

    def can_sleep(self):
        self.logind = Logind(self.desktop)

    def sleeps(self, dovo_run, asleep):
        self.logind.ask("sleep", str(int(asleep)))  # the lock let go once saved, a new one at the resume
        self.logind.wait(f"dovo holds {int(not asleep)} delay lock", lambda *locks: locks[1] == (not asleep))

    def end_session(self, dovo_run):
        os.kill(dovo_run.pid, signal.SIGTERM)  # as logind ends a session
        return dovo_run.wait()

    def balloon(self, dovo_run):
        # Qt's balloons are tooltip windows of its own process (its tray icon, unmanaged too, is not)
        d = self.desktop
        found = d.run("xdotool", "search", "--onlyvisible", "--pid", str(dovo_run.pid)).stdout.split()
        return any("_NET_WM_WINDOW_TYPE_TOOLTIP" in d.xprop("-id", w, "_NET_WM_WINDOW_TYPE") for w in found)


def content(path):
    """A file's bytes, a folder's files by name, else whether something is there."""
    if os.path.isdir(path):
        return {n: content(os.path.join(path, n)) for n in os.listdir(path)}
    return pathlib.Path(path).read_bytes() if os.path.isfile(path) else os.path.lexists(path)


def pe_bits(path):
    """32 or 64, from the machine field of a Windows program's PE header."""
    head = pathlib.Path(path).read_bytes()
    pe = int.from_bytes(head[60:64], "little")
    return {0x14C: 32, 0x8664: 64}[int.from_bytes(head[pe + 4:pe + 6], "little")]


# Not Debian's `wine`: with wine32 installed it starts the 32-bit loader, which hands a 64-bit program
# to a new 64-bit one: the window is not the started process's, and every start costs a second Wine.
LOADERS = {32: "/usr/lib/wine/wine", 64: "/usr/lib/wine/wine64"}


def wine_cannot_run(template):
    """Why Wine cannot run this run's programs (the prefix fixture's verdict), or None."""
    verdict = pathlib.Path(template + ".cannot-run")
    return (verdict.read_text().partition("\n")[0].strip() or "cannot run") if verdict.exists() else None


class Wine:
    """The Windows program in a copy of the run's prefix, its wineserver living until the test ends:
    Wine's explorer.exe owns the notification-area icons and must outlive each run of Dovo."""

    name = "wine"
    source = "GetCursorPos"
    where = r"HKEY_CURRENT_USER\Software\VB and VBA Program Settings\Dovo\odoledger"

    def __init__(self, desktop, exe, peek, template):
        self.desktop, self.exe, self.peek, self.template = desktop, exe, peek, template
        self.loader = LOADERS[pe_bits(exe)]

    def __enter__(self):
        # beside the template: the copy hard-links it (700 MB of DLLs), which needs the same file system
        self.prefix = tempfile.mkdtemp(prefix=os.path.basename(self.template) + ".run.",
                                       dir=os.path.dirname(self.template))
        try:
            self.copy_prefix(self.template, self.prefix)
            self.env = dict(self.desktop.env, WINEPREFIX=self.prefix,
                            WINEDEBUG=os.environ.get("DOVO_WINEDEBUG", "-all"))
            # persistent: the server, and the registry the test wrote, live until the test is torn down
            subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            # Wine's session (services, explorer.exe with the desktop and the notification area) comes up
            # with the first program that draws; on a busy machine slower than a window is waited for.
            self.wine(self.peek, "dpi", timeout=120, check=True)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.remove_prefix(self.prefix)

    @staticmethod
    def remove_prefix(prefix):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)
        Wine.forget_server(prefix)
        shutil.rmtree(prefix, ignore_errors=True)

    @staticmethod
    def copy_prefix(template, prefix):
        os.rmdir(prefix)
        subprocess.run(["cp", "-al", "--", template, prefix], check=True)
        # Wine keeps the name of its server's folder in the prefix: a copy would share the template's
        pathlib.Path(prefix, "wineserver").unlink(missing_ok=True)
        # Wine rewrites its registry files: copies, so the template's stay
        for name in glob.glob("*.reg", root_dir=template):
            os.unlink(os.path.join(prefix, name))
            shutil.copy2(os.path.join(template, name), os.path.join(prefix, name))

    @staticmethod
    def forget_server(prefix):
        # Wine 8 makes its server's socket folder with mkdtemp (under TMPDIR for the loader, /tmp for
        # wineserver) and nobody removes it.
        told = pathlib.Path(prefix, "wineserver")
        name = told.read_text().strip() if told.is_file() else ""
        if name.startswith("wine-") and len(name) == 11:
            for tmp in {os.environ.get("TMPDIR", "/tmp"), "/tmp"}:
                shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)

    def wine(self, *argv, timeout=60, check=False, env=None):
        """Through the loader of Dovo's kind: Dovo, dovo_peek and Wine's tools are one kind of process."""
        # Files, not pipes: the Wine processes the first program starts (services, explorer.exe) inherit
        # its output and outlive it, so a pipe's end would never come.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            run = subprocess.run([self.loader, *argv], env=env or self.env, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=err, timeout=timeout)
            result = run.returncode, _text(out), _text(err)
        assert not check or run.returncode == 0, f"wine {' '.join(argv)}: {result}"
        return result

    def start(self, *args, env=None):
        return WineDovo(self, *args, env=env)

    def run(self, args, display=True):
        env = {k: v for k, v in self.env.items() if display or k != "DISPLAY"}
        return self.wine(self.exe, *args, env=env)

    def _import(self, key, values):
        """values: name -> the right-hand side of a .reg line."""
        path = os.path.join(self.prefix, "import.reg")
        lines = "".join(f'"{name}"={data}\n' for name, data in values.items())
        pathlib.Path(path).write_text(f"REGEDIT4\n\n[{key}]\n{lines}")
        # Wine's Z: is the Unix root
        self.wine("reg", "import", "Z:" + path.replace("/", "\\"), check=True)

    def save(self, twips, blocks):
        self.store(dict(zip(NAMES, (twips, blocks))))

    def store(self, values):
        self._import(self.where, {n: f'"{v}"' for n, v in values.items()})

    def kept(self):
        return {n: v for n, v in self.values(self.where).items() if ".damaged-" in n}

    def lock(self):  # read-only for everyone until the test's wineserver ends
        self.wine(self.peek, "lock-key", check=True)

    def values(self, key):
        """The key's values by name, as text; another type's as TYPE:DATA, never the expected text."""
        out = self.wine("reg", "query", key)[1]
        rows = [(line.split(None, 2) + [""] * 3)[:3] for line in out.splitlines()]
        return {name: data if kind == "REG_SZ" else f"{kind}:{data}"
                for name, kind, data in rows if kind.startswith("REG_")}

    def saved(self):
        return tuple(self.values(self.where).get(n) for n in NAMES)

    def set_dpi(self, dpi):
        for key in (r"HKEY_CURRENT_USER\Control Panel\Desktop",
                    r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
            self._import(key, {"LogPixels": f"dword:{dpi:08x}"})
        assert self.wine(self.peek, "dpi")[1].strip() == str(dpi), "Wine's programs get the new dpi"

    def can_sleep(self):  # Windows tells every program
        pass

    # WM_POWERBROADCAST: PBT_APMSUSPEND, PBT_APMRESUMESUSPEND (a resume a user
    # started); WM_QUERYENDSESSION, WM_ENDSESSION: the Restart Manager closes it.
    def sleeps(self, dovo_run, asleep):
        dovo_run.send(0x218, 4 if asleep else 7, 0)

    def end_session(self, dovo_run):
        dovo_run.send(0x11, 0, 1)
        dovo_run.send(0x16, 1, 1)
        return dovo_run.wait()

    def balloon(self, dovo_run):
        # a window of Wine's explorer.exe, unmanaged unlike its docked icons
        d = self.desktop
        found = d.run("xdotool", "search", "--onlyvisible", "--class", r"^explorer\.exe$").stdout.split()
        return any("Override Redirect State: yes" in d.run("xwininfo", "-id", w).stdout for w in found)

    def controls(self):
        """Dovo's controls: class, x and y in the window, width, height, x and y on the screen, text."""
        out = self.wine(self.peek, "controls", check=True)[1]
        return [line.split("\t") for line in out.splitlines() if line]


def _text(f):
    # the C runtime's text mode ends lines in CR LF
    f.seek(0)
    return f.read().decode(errors="replace").replace("\r\n", "\n")


class WineDovo(dovo.Dovo):
    """One run of dovo.exe: its window and pointer questions are the X server's to see, what is inside
    the window is asked of Windows through dovo_peek."""

    # Still ticks before its tick slows down; under Wine each tick asks the X server where the pointer is.
    QUIET_TICKS = 25

    def __init__(self, wine, *args, env=None):
        self.wine = wine
        self._start(wine.desktop, [wine.loader, wine.exe, *args], dict(wine.env, **(env or {})), 60)

    def texts(self):
        controls = self.wine.controls()
        return {kind: [c[7] for c in controls if c[0].lower() == cls]
                for cls, kind in (("static", "labels"), ("button", "buttons"))}

    def press(self, name):
        """A real click in the button's middle, the pointer resting there until Dovo's tick slows down:
        the pointer's way there is counted before the click."""
        place = next((c for c in self.wine.controls() if c[7] == name), None)
        assert place is not None, f"no control shows {name!r}"
        w, h, x, y = map(int, place[3:7])
        at = (x + w // 2, y + h // 2)
        self.move(*at)
        wait_for(f"dovo's tick slows at {at}", lambda: self._told_at(*at) > self.QUIET_TICKS + 1, timeout=30)
        self.desktop.run("xdotool", "click", "1", check=True)

    def send(self, *message):  # handled when this returns
        self.wine.wine(self.wine.peek, "send", *map(str, message), check=True)

    def icon(self):  # Wine's explorer.exe docks the icons of every Windows program
        d = self.desktop
        icons = [i for i in d.tray_icons() if '"explorer.exe"' in d.xprop("-id", str(i), "WM_CLASS")]
        assert len(icons) <= 1, f"more than one icon of Wine's: {icons}"
        return icons[0] if icons else None

    def click_icon(self, button, ledger=None):
        # tint2 tells a moved icon its place in the frame's coordinates, Wine reads them as the root's
        # (Wine bug 30944) and drops the click: a real move of the icon puts Wine right
        geo, icon = self.desktop.geometry(self.icon()), str(self.icon())
        at = str(geo["x"] + geo["width"] // 2), str(geo["y"] + geo["height"] // 2)
        for y in "10":
            self.desktop.run("xdotool", "windowmove", icon, "0", y, check=True)
        wait_for("Wine finds its icon under the pointer",
                 lambda: self.wine.wine(self.wine.peek, "at", *at)[1].strip() == "__winex11_tray_icon")
        super().click_icon(button, ledger)

    def _told_at(self, x, y):
        return sum(1 for pid, _, what, *v in self.desktop.asked()[self._mark:]
                   if pid == str(self.pid) and what == "pointer" and v[:2] == [str(x), str(y)])


def said(dovo_run):
    """The lines a run of Dovo wrote to its standard error."""
    with open(dovo_run.proc.stderr_path, "rb") as f:
        return _text(f).splitlines()
