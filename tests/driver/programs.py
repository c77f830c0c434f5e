"""The two programs behind one face, so that a table's rows run against
both: the Linux program (dovo.py's Dovo) and the Windows program under Wine.

    program.start(*args)      a running Dovo: move, readouts, press, close
    program.save(t, b)        the totals it finds at start
    program.saved()           (totalpixels, totalmpixels) as stored
    program.run(args, display)  a run that must not start: (status, out, err)
    program.set_dpi(n)        the density the programs started from now on get
    program.balloon()         a balloon or tooltip is up
    program.can_sleep()       before start; then sleeps(run, True) / (run, False): resumed
    program.end_session(run)  the end of the session; the exit status
"""

import glob
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile

import dovo
from dovo import Dovo
from logind import Logind
from procs import wait_for

KEY = r"HKCU\Software\VB and VBA Program Settings\Dovo\odoledger"
NAMES = ("totalpixels", "totalmpixels")


def override_redirect(desktop, wid):
    return "Override Redirect State: yes" in desktop.run("xwininfo", "-id", str(wid)).stdout


class Linux:
    name = "linux"
    source = "X11"

    def __init__(self, desktop):
        self.desktop, self.where = desktop, dovo.conf_path(desktop.env)
        self.unlock = lambda: None

    def start(self, *args, env=None, **streams):
        self.desktop.env.update(env or {})
        return Dovo(self.desktop, *args, **streams)

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
        env = dict(self.desktop.env)
        if not display:
            del env["DISPLAY"]
        run = subprocess.run([os.environ["DOVO"], *args], env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=30)
        return run.returncode, run.stdout, run.stderr

    def set_dpi(self, dpi):
        # Qt takes the logical density from Xft.dpi when it is set
        self.desktop.run("xrdb", "-nocpp", "-merge", input=f"Xft.dpi: {dpi}\n", check=True)

    def can_sleep(self):
        self.logind = Logind(self.desktop)

    def sleeps(self, dovo_run, asleep):
        self.logind.ask("sleep", str(int(asleep)))  # the lock let go once saved, a new one at the resume
        self.logind.wait(f"dovo holds {int(not asleep)} delay lock", lambda taken, locks, held: locks == (not asleep))

    def end_session(self, dovo_run):
        os.kill(dovo_run.pid, signal.SIGTERM)  # as logind ends a session
        return dovo_run.wait()

    def balloon(self, dovo_run):
        # Qt's balloons are tooltip windows of its own process (its tray
        # icon, unmanaged too, is not, docked or not yet)
        d = self.desktop
        for w in d.run("xdotool", "search", "--onlyvisible", "--pid", str(dovo_run.pid)).stdout.split():
            if "_NET_WM_WINDOW_TYPE_TOOLTIP" in d.xprop("-id", w, "_NET_WM_WINDOW_TYPE"):
                return True
        return False


def content(path):
    """A file's bytes, a folder's files by name, else whether something is there."""
    if os.path.isdir(path):
        return {n: content(os.path.join(path, n)) for n in os.listdir(path)}
    return pathlib.Path(path).read_bytes() if os.path.isfile(path) else os.path.lexists(path)


def pe_bits(path):
    """32 or 64, from the machine field of a Windows program's PE header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[60:64], "little")
    machine = int.from_bytes(head[pe + 4:pe + 6], "little")
    return {0x14C: 32, 0x8664: 64}[machine]


# Not Debian's `wine`: that script starts the 32-bit loader whenever wine32
# is installed, which hands a 64-bit program to a new process of the 64-bit
# one; the window is then not the started process's, and every start costs
# a second Wine process.
LOADERS = {32: "/usr/lib/wine/wine", 64: "/usr/lib/wine/wine64"}


def wine_cannot_run(template):
    """Why Wine cannot run this run's programs, in one line, or None: the
    verdict the run's prefix fixture reached once."""
    try:
        with open(template + ".cannot-run") as f:
            return f.readline().strip() or "cannot run"
    except FileNotFoundError:
        return None


class Wine:
    """The Windows program on a desktop, in a copy of the run's prefix, with
    a wineserver that lives until the test ends: Wine's explorer.exe owns
    the notification-area icons and must outlive each run of Dovo."""

    name = "wine"
    source = "GetCursorPos"
    where = KEY.replace("HKCU", "HKEY_CURRENT_USER", 1)

    def __init__(self, desktop, exe, peek, template):
        self.desktop, self.exe, self.peek, self.template = desktop, exe, peek, template
        self.loader = LOADERS[pe_bits(exe)]
        self.prefix = None

    # ------------------------------------------------------------ lifetime
    def __enter__(self):
        # beside the template: the copy hard-links it (700 MB of DLLs Wine
        # never writes), which needs the same file system
        self.prefix = tempfile.mkdtemp(prefix=os.path.basename(self.template) + ".run.",
                                       dir=os.path.dirname(self.template))
        try:
            self.copy_prefix(self.template, self.prefix)
            self.env = dict(self.desktop.env, WINEPREFIX=self.prefix,
                            WINEDEBUG=os.environ.get("DOVO_WINEDEBUG", "-all"))
            # persistent: the server, and the registry the test wrote, live
            # until the test is torn down
            subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            # Wine's session (services, explorer.exe with the desktop and
            # the notification area) comes up with the first program that
            # draws; on a busy machine slower than a window is waited for.
            self.wine(self.peek, "dpi", timeout=120, check=True)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.prefix is None:
            return False
        self.remove_prefix(self.prefix)
        self.prefix = None
        return False

    @staticmethod
    def remove_prefix(prefix):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)
        Wine.forget_server(prefix)
        shutil.rmtree(prefix, ignore_errors=True)

    @staticmethod
    def copy_prefix(template, prefix):
        os.rmdir(prefix)
        subprocess.run(["cp", "-al", "--", template, prefix], check=True)
        # Wine keeps the name of its server's folder in the prefix; a copy
        # that kept it would share that folder with the template.
        if os.path.exists(os.path.join(prefix, "wineserver")):
            os.unlink(os.path.join(prefix, "wineserver"))
        # Wine rewrites its registry files: copies, so the template's stay
        for name in os.listdir(template):
            if name.endswith(".reg"):
                os.unlink(os.path.join(prefix, name))
                shutil.copy2(os.path.join(template, name), os.path.join(prefix, name))

    @staticmethod
    def forget_server(prefix):
        # Wine 8 makes its server's socket folder with mkdtemp (under TMPDIR
        # for the loader, /tmp for wineserver) and nobody removes it.
        try:
            with open(os.path.join(prefix, "wineserver")) as f:
                name = f.read().strip()
        except OSError:
            return
        if name.startswith("wine-") and len(name) == 11:
            for tmp in {os.environ.get("TMPDIR", "/tmp"), "/tmp"}:
                shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)

    def wine(self, *argv, timeout=60, check=False, env=None):
        """A Windows program through the loader of Dovo's kind, so that
        Dovo, dovo_peek and Wine's tools are the same kind of process."""
        # Files, not pipes: the Wine processes the first program starts
        # (services, explorer.exe) inherit its output and outlive it, so a
        # pipe's end would never come.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            run = subprocess.run([self.loader, *argv], env=env or self.env, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            result = run.returncode, _text(out.read()), _text(err.read())
        if check and run.returncode != 0:
            raise AssertionError(f"wine {' '.join(argv)}: {result}")
        return result

    # ------------------------------------------------------------ program
    def start(self, *args, env=None):
        return WineDovo(self, *args, env=env)

    def run(self, args, display=True):
        env = dict(self.env)
        if not display:
            del env["DISPLAY"]
        return self.wine(self.exe, *args, env=env)

    def _import(self, key, values):
        """values: name -> the right-hand side of a .reg line."""
        path = os.path.join(self.prefix, "import.reg")
        with open(path, "w") as f:
            f.write("REGEDIT4\n\n[%s]\n" % key.replace("HKCU", "HKEY_CURRENT_USER", 1))
            f.writelines(f'"{name}"={data}\n' for name, data in values.items())
        # Wine's Z: is the Unix root
        self.wine("reg", "import", "Z:" + path.replace("/", "\\"), check=True)

    def save(self, twips, blocks):
        self._import(KEY, {n: f'"{v}"' for n, v in zip(NAMES, (twips, blocks))})

    def store(self, values):
        self._import(KEY, {n: f'"{v}"' for n, v in values.items()})

    def kept(self):
        return {n: v for n, v in self.values(KEY).items() if ".damaged-" in n}

    def lock(self):  # read-only for everyone until the test's wineserver ends
        self.wine(self.peek, "lock-key", check=True)

    def values(self, key):
        """The key's values by name, as text: a value of another type is
        given as TYPE:DATA, so that it never equals the expected text."""
        status, out, _ = self.wine("reg", "query", key)
        found = {}
        for line in out.splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                data = parts[2] if len(parts) == 3 else ""
                found[parts[0]] = data if parts[1] == "REG_SZ" else f"{parts[1]}:{data}"
        return found

    def saved(self):
        return tuple(self.values(KEY).get(n) for n in NAMES)

    def set_dpi(self, dpi):
        dword = f"dword:{dpi:08x}"
        self._import(r"HKCU\Control Panel\Desktop", {"LogPixels": dword})
        self._import(r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Hardware Profiles\Current"
                     r"\Software\Fonts", {"LogPixels": dword})
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
        for w in d.run("xdotool", "search", "--onlyvisible", "--class", r"^explorer\.exe$").stdout.split():
            if override_redirect(d, w):
                return True
        return False

    def controls(self):
        """Dovo's controls as dovo_peek lists them: class, x and y in the
        window, width, height, x and y on the screen, text."""
        status, out, err = self.wine(self.peek, "controls")
        assert status == 0, err
        return [line.split("\t") for line in out.splitlines() if line]


def _text(raw):
    # the C runtime's text mode ends lines in CR LF
    return raw.decode(errors="replace").replace("\r\n", "\n")


class WineDovo(Dovo):
    """One run of dovo.exe: what the X server sees of it is Dovo's (its
    window, its pointer questions), what is inside the window is asked of
    Windows through dovo_peek."""

    # After this many ticks that found the pointer still, its tick slows
    # down; under Wine each tick asks the X server where the pointer is.
    QUIET_TICKS = 25

    def __init__(self, wine, *args, env=None):
        self.wine, self.desktop = wine, wine.desktop
        self.mark()
        self.proc = self.desktop.procs.spawn("dovo", [wine.loader, wine.exe, *args],
                                             dict(wine.env, **(env or {})))
        self.pid = self.proc.pid
        self.wid = wait_for(f"dovo shows one managed window titled {dovo.TITLE!r}", self._window,
                            timeout=60)
        wait_for("dovo samples the pointer", lambda: self._asked("settled"), timeout=10)

    def texts(self):
        found = {"labels": [], "buttons": []}
        for control in self.wine.controls():
            kind = {"static": "labels", "button": "buttons"}.get(control[0].lower())
            if kind:
                found[kind].append(control[7])
        return found

    def press(self, name):
        """A real click in the middle of the button, the pointer resting
        there long enough for Dovo's tick to slow down: the pointer's way
        there is counted before the click."""
        place = next((c for c in self.wine.controls() if c[7] == name), None)
        assert place is not None, f"no control shows {name!r}"
        w, h, x, y = map(int, place[3:7])
        at = (x + w // 2, y + h // 2)
        self.move(*at)
        wait_for(f"dovo's tick slows down at {at}", lambda: self._told_at(*at) > self.QUIET_TICKS + 1,
                 timeout=30)
        self.desktop.run("xdotool", "click", "1", check=True)

    def send(self, *message):  # handled when this returns
        self.wine.wine(self.wine.peek, "send", *map(str, message), check=True)

    def icon(self):  # Wine's explorer.exe docks the icons of every Windows program
        d = self.desktop
        icons = [i for i in d.tray_icons() if '"explorer.exe"' in d.xprop("-id", str(i), "WM_CLASS")]
        assert len(icons) <= 1, f"more than one icon of Wine's: {icons}"
        return icons[0] if icons else None

    def click_icon(self, button, ledger=None):
        # tint2 tells a moved icon its place in the frame's coordinates, Wine reads them as the root's (Wine bug
        # 30944) and drops the click: a real move of the icon puts Wine right
        geo, icon = self.desktop.geometry(self.icon()), str(self.icon())
        at = str(geo["x"] + geo["width"] // 2), str(geo["y"] + geo["height"] // 2)
        for y in "10":
            self.desktop.run("xdotool", "windowmove", icon, "0", y, check=True)
        wait_for("Wine finds its icon under the pointer",
                 lambda: self.wine.wine(self.wine.peek, "at", *at)[1].strip() == "__winex11_tray_icon")
        super().click_icon(button, ledger)

    def _told_at(self, x, y):
        return sum(1 for n, (pid, _client, what, *v) in enumerate(self.desktop.asked())
                   if n >= self._mark and pid == str(self.pid) and what == "pointer"
                   and v[:2] == [str(x), str(y)])


def said(dovo_run):
    """The lines a run of Dovo wrote to its standard error."""
    with open(dovo_run.proc.stderr_path, "rb") as f:
        return _text(f.read()).splitlines()
