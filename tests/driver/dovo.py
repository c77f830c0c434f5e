"""The Linux program on a Desktop: start, move, read, press, close."""

import configparser
import json
import os
import re
import subprocess
import sys

from procs import Processes, wait_for

TITLE = "Dovo - Quen Dorvil"
HERE = os.path.dirname(os.path.abspath(__file__))


class Dovo:
    """One run of $DOVO; the desktop stops it if the test does not."""

    def __init__(self, desktop, *args, **streams):
        # Qt exposes its widgets on the accessibility bus only when told a screen reader is on
        # (org.a11y.Status, unset on a bare bus) or with this.
        env = dict(desktop.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self._start(desktop, [os.environ["DOVO"], *args], env, 30, **streams)

    def _start(self, desktop, argv, env, timeout, **streams):
        self.desktop = desktop
        self.mark()
        self.proc = desktop.procs.spawn("dovo", argv, env, **streams)
        self.pid = self.proc.pid
        self.wid = wait_for(f"dovo shows one managed window titled {TITLE!r}", self._window, timeout=timeout)
        # It samples where the pointer is before the window maps: the place it counts from; a move before
        # that would only move the start.  Only the X desktop hears it: a compositor's test has its own signs.
        if hasattr(desktop, "queries"):
            wait_for("dovo samples the pointer", lambda: self._asked("settled"), timeout=timeout / 6)

    def _window(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"dovo ended with {self.proc.returncode} before showing its window")
        d = self.desktop
        named = d.run("xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$").stdout.split()
        # xdotool matches a regular expression; the title must be exact
        ours = [int(w) for w in named
                if self._ours(w) and d.run("xdotool", "getwindowname", w).stdout.rstrip("\n") == TITLE]
        # managed and in NormalState: only then do requests to the window manager reach this window
        if len(ours) == 1 and self.managed(ours[0]) and "Normal" in d.xprop("-id", str(ours[0]), "WM_STATE"):
            return ours[0]

    def _ours(self, wid):
        return self.desktop.xprop("-id", str(wid), "_NET_WM_PID").split()[-1:] == [str(self.pid)]

    def managed(self, wid=None):
        wid = self.wid if wid is None else wid
        out = self.desktop.xprop("-root", "_NET_CLIENT_LIST")
        return wid in [int(w.rstrip(","), 16) for w in out.split() if w.startswith("0x")]

    def close(self):
        """Close the window as a user would; returns the exit status."""
        if self.managed():
            # -F: plain -c closes any window whose title contains this one
            self.desktop.run("wmctrl", "-F", "-c", TITLE, check=True)
        else:
            # openbox drops a close request for a window withdrawn to the tray: the message it would send
            self.desktop.run(self.desktop.probe, "delete", hex(self.wid), check=True)
        return self.wait()

    def wait(self, timeout=10):
        wait_for("dovo ends", lambda: self.proc.poll() is not None, timeout=timeout)
        return Processes.stop(self.proc)

    def mark(self):
        self._mark = len(self.desktop.asked())

    def _asked(self, judge, x=None, y=None):
        """What dovo was told of the pointer since the mark, judged:
        sampled  it was told the pointer is at (x, y);
        rests    its last tick found nothing changed (at (x, y) if given): where it watches for motion
                 (XInput 2), its watch is armed so the next move wakes it, else its last two answers match;
        settled  it rests, or was told three times without resting."""
        watchers, armed = set(), False
        told = same = 0
        last = sampled = None
        for n, (pid, client, what, *values) in enumerate(self.desktop.asked()):
            if pid != str(self.pid):
                continue
            if what == "xi2":
                watchers.add(client)
            elif what == "raw-motion":
                armed = values == ["on"]
            elif what == "pointer" and n >= self._mark and (not watchers or client in watchers):
                at = (int(values[0]), int(values[1]))
                told += 1
                same = same + 1 if at == last else 1
                last = at
                sampled = sampled or at == (x, y)
        rests = told and (armed if watchers else same >= 2) and (x is None or last == (x, y))
        return {"sampled": sampled, "rests": rests, "settled": rests or told >= 3}[judge]

    def move(self, x, y, ledger=None):
        """Move the pointer to (x, y), wait until dovo sampled it and rests
        there (so that two moves are never merged into one), book it."""
        if (x, y) != self.desktop.pointer():
            self.mark()
            self.desktop.motion(x, y)
            wait_for(f"dovo samples the pointer at {x},{y} and rests",
                     lambda: self._asked("rests", x, y), timeout=5)
        if ledger is not None:
            ledger.move(x, y)

    def _ask(self, *words):
        """An answer of the accessibility reader (a11y.py), one for the desktop."""
        d = self.desktop
        if not hasattr(d, "reader"):
            d.reader = d.procs.spawn("a11y-reader", [sys.executable, os.path.join(HERE, "a11y.py")], d.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        print(*words, file=d.reader.stdin, flush=True)
        line = d.reader.stdout.readline()
        if not line:
            raise RuntimeError("the accessibility reader ended")
        return json.loads(line)

    def texts(self):
        answer = self._ask("texts", self.pid)
        assert "error" not in answer, answer
        return answer

    def readouts(self):
        """The three readouts as a screen reader reads them."""
        labels = self.texts()["labels"]
        return tuple(next((t for t in labels if t.endswith(u) and " " not in t[:-len(u)]), None)
                     for u in (" cm", " m", " km"))

    def press(self, name):
        answer = self._ask("press", self.pid, name)
        assert answer.get("pressed"), answer

    def state(self):
        """normal, iconic (minimised by the window manager), withdrawn (to the tray), or what was seen
        between: openbox unmaps an iconified window as well as a withdrawn one, so the map state alone
        does not tell them apart; whether openbox manages it and WM_STATE do."""
        d, wid = self.desktop, str(self.wid)
        geo = d.geometry(self.wid)
        if geo is None:
            return "gone"
        wm_state = "".join(re.findall(r"window state: (\w+)", d.xprop("-id", wid, "WM_STATE"))[:1])
        hidden = "_NET_WM_STATE_HIDDEN" in d.xprop("-id", wid, "_NET_WM_STATE")
        managed = self.managed()
        seen = (geo["map"], managed, wm_state, hidden)
        if seen == ("IsViewable", True, "Normal", False):
            return "normal"
        if geo["map"] != "IsViewable" and (managed, wm_state, hidden) == (True, "Iconic", True):
            return "iconic"
        if geo["map"] == "IsUnMapped" and not managed and wm_state in ("", "Withdrawn"):
            return "withdrawn"
        return "between: map %s, managed %s, WM_STATE %r, hidden %s" % seen

    def settle(self):
        """Return once dovo has handled every X event sent to it before.  A ping is answered at once, while
        a click or a close waits in Qt's queue for the next turn of the event loop; three pings in a row,
        each sent once the last was answered, come after that turn, and after the requests it made."""
        for _ in range(3):
            self.desktop.run(self.desktop.probe, "ping", hex(self.wid), check=True, timeout=30)

    def quiet(self):
        """What dovo and openbox do about every request made so far is done."""
        self.desktop.wm_sync()
        self.settle()
        self.desktop.wm_sync()

    def icon(self):
        """Dovo's icon docked in the tray, or None."""
        return next((icon for icon in self.desktop.tray_icons() if self._ours(icon)), None)

    def click_icon(self, button, ledger=None):
        """Click the docked icon's middle, arriving from just above as a hand would: Qt drops a press when
        the pointer has not moved since the previous click there.  Dovo counts the way, so it is booked."""
        geo = self.desktop.geometry(self.icon())
        x, y = geo["x"] + geo["width"] // 2, geo["y"] + geo["height"] // 2
        self.move(x, geo["y"] - 1 if geo["y"] > 0 else geo["y"] + geo["height"], ledger)
        self.move(x, y, ledger)
        self.desktop.run("xdotool", "click", str(button), check=True)

    def minimise(self):
        self.desktop.run("xdotool", "windowminimize", str(self.wid), check=True)

    def activate(self):
        self.desktop.run("wmctrl", "-i", "-a", hex(self.wid), check=True)


def conf_path(env):
    return os.path.join(env["XDG_CONFIG_HOME"], "Dovo.conf")


def saved(env):
    """(totalpixels, totalmpixels) as Dovo.conf holds them, None if absent."""
    conf = configparser.ConfigParser(interpolation=None, strict=False)
    conf.read(conf_path(env))
    return tuple(conf.get("odoledger", name, fallback=None) for name in ("totalpixels", "totalmpixels"))


def save(env, twips, blocks):
    with open(conf_path(env), "w") as f:
        f.write(f"[odoledger]\ntotalpixels={twips}\ntotalmpixels={blocks}\n")
