"""Dovo on sway and labwc, headless: they tell it where the pointer is through cursor capture sessions; the
test moves their one virtual pointer (wlr_pointer) beside Dovo's window, which is on XWayland: over no X11
window, where only the compositor sees the pointer."""

import os, re, shutil, subprocess, time

import pytest

import model
from conftest import LOGS
from desktop import Desktop
from dovo import TITLE, Dovo, saved
from procs import wait_for
from programs import said
from test_lifecycle import context_switches

class Wlroots(Desktop):
    """with Wlroots("sway" or "labwc") as w: the compositor, its XWayland, one virtual pointer."""

    def __init__(self, compositor):
        super().__init__(panel=False, accessibility=False)
        self.compositor = compositor

    def start(self):
        os.mkdir(self.path("labwc"))
        at = self.path("session")
        self.env.pop("SWAYSOCK", None)
        self.env.update(XDG_SESSION_TYPE="wayland", WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                        WLR_LIBINPUT_NO_DEVICES="1", WLR_HEADLESS_OUTPUTS="1")
        self._start_session_bus()
        # The first client tells where everything is.  Dovo's window in the top left corner: labwc puts
        # new windows where they cover least.
        open(at, "w").write(f"#!/bin/sh\nenv >{at}.tmp && mv {at}.tmp {at}.env\n")
        os.chmod(at, 0o755)
        open(self.path("sway.conf"), "w").write(
            f'xwayland force\noutput HEADLESS-1 resolution 1280x800\nexec {at}\n'
            f'for_window [title="^{TITLE}$"] floating enable, move position 0 0\n')
        open(self.path("labwc", "rc.xml"), "w").write(
            "<labwc_config><placement><policy>automatic</policy></placement></labwc_config>")
        argv, self.env["XDG_CURRENT_DESKTOP"] = {
            "sway": (["sway", "-c", self.path("sway.conf")], "sway"),
            "labwc": (["labwc", "-C", self.path("labwc"), "-s", at], "labwc:wlroots")}[self.compositor]
        wm = self.procs.spawn(self.compositor, argv, self.env)
        told = wait_for(f"{self.compositor} starts its session", lambda: wm.poll() is None and os.path.exists(
            at + ".env") and dict(line.strip().split("=", 1) for line in open(at + ".env") if "=" in line))
        self.env.update({k: told[k] for k in ("DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK") if k in told})
        wait_for(f"{self.compositor}'s XWayland has a window manager",
                 lambda: "window id #" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK"), timeout=60)
        # One for the whole run: the seat has a pointer only while some device does.
        self.walker = self.procs.spawn("walker", [os.environ["WLR_POINTER"]], self.env, stdin=subprocess.PIPE,
                                       text=True)
        wait_for("the virtual pointer is up", lambda: count(self.walker.stdout_path, "^ready$"))
        self.env["WAYLAND_DEBUG"] = "client"  # Dovo's connection: what it hears and asks for

    def asked(self):
        return []  # no X server hears Dovo ask here

    def point(self, x, y):
        moved = count(self.walker.stdout_path, "^at ")
        self.walker.stdin.write(f"{x} {y}\n")
        self.walker.stdin.flush()
        wait_for(f"the pointer is at {x},{y}", lambda: count(self.walker.stdout_path, "^at ") > moved)

def count(path, pattern):
    with open(path, errors="replace") as f:
        return len(re.findall(pattern, f.read(), re.M))

def rests(dovo, heard):
    """Dovo heard of the pointer since and rests: its main thread waits in ppoll (glibc's poll) with no
    timer due within a second, where a tick is 200 ms."""
    if count(dovo.proc.stderr_path, r"cursor_session_v1#\d+\.position\(") <= heard:
        return False
    with open(f"/proc/{dovo.pid}/syscall") as f:
        call, timeout = (f.read().split() + ["", "", "0"])[:4:3]  # or "running"
    with open(f"/proc/{dovo.pid}/mem", "rb") as mem:
        return call == "271" and (timeout == "0x0" or mem.seek(int(timeout, 16)) and mem.read(8) != bytes(8))

# compositor | steps: positions, each a move beside the window; a swaymsg command and the cursor sessions
# Dovo then holds; "rest": 10 s at rest, at most 2 wake-ups
ROWS = [pytest.param("sway", [
    [(880, 644), (880, 424), (761, 424), (763, 613), (717, 613), (541, 709), (662, 709), (949, 709),
     (1181, 460), (1182, 206), (1183, 206), (1183, 363)],
    # a second output to the right, crossed onto and back, then gone with the pointer off it
    ("create_output", 2), [(1400, 300), (2300, 900), (1279, 400)], ("output HEADLESS-2 disable", 1),
    [(880, 223), (854, 223), (843, 321), (843, 149), (683, 288), (683, 548), (778, 752), (1066, 752)],
    "rest"], id="sway"), pytest.param("labwc", [
        [(878, 544), (878, 531), (622, 531), (603, 642), (748, 399), (748, 398), (705, 107), (875, 255),
         (1008, 254), (935, 168), (933, 169), (903, 169)]], id="labwc")]

@pytest.mark.parametrize("compositor, steps", ROWS)
def test_wlroots(request, compositor, steps):
    for tool in (compositor, *["swaymsg"] * (compositor == "sway"), "Xwayland", "xwininfo", "wmctrl", "DOVO",
                 "WLR_POINTER"):
        if not (os.environ.get(tool) if tool.isupper() else shutil.which(tool)):
            pytest.skip(f"no {tool} here")
    libs = subprocess.run(["ldd", shutil.which(compositor)], capture_output=True, text=True).stdout
    if int((re.search(r"libwlroots-0\.(\d+)", libs) or "00")[1]) < 19:
        pytest.skip(f"{compositor} is on wlroots before 0.19, without cursor capture")
    with Wlroots(compositor) as w:
        request.node.stash[LOGS] = w
        w.point(5, 700)
        dovo, ledger = Dovo(w), model.Ledger(at=(5, 700))
        # where it counts from: a move before that would only move the start
        wait_for("dovo hears where the pointer rests", lambda: rests(dovo, 0))
        geo = w.geometry(dovo.wid)
        assert geo["x"] + geo["width"] < 520 and geo["y"] + geo["height"] < 690, f"window in the way: {geo}"
        for step in steps:
            if step == "rest":
                before = context_switches(dovo.pid)
                time.sleep(10)  # a rate, not a wait
                assert context_switches(dovo.pid) - before <= 2, "at most 2 wake-ups in 10 s at rest"
            elif isinstance(step, tuple):
                w.run("swaymsg", "-q", step[0], check=True)
                wait_for(f"dovo holds {step[1]} cursor sessions", lambda: step[1] == count(
                    dovo.proc.stderr_path, r"create_pointer_cursor_session\(") - count(
                    dovo.proc.stderr_path, r"cursor_session_v1#\d+\.destroy\("))
            for x, y in step if isinstance(step, list) else []:
                heard = count(dovo.proc.stderr_path, r"cursor_session_v1#\d+\.position\(")
                w.point(x, y)
                wait_for(f"dovo hears the pointer at {x},{y} and rests", lambda: rests(dovo, heard))
                ledger.move(x, y)
        if compositor == "sway":  # which takes no _NET_CLOSE_WINDOW for XWayland windows
            w.run("swaymsg", "-q", f'[title="^{TITLE}$"] kill', check=True)
        assert (dovo.wait() if compositor == "sway" else dovo.close()) == 0
        assert saved(w.env) == (str(ledger.twips), "0"), "the path to the twip, no block"
        assert said(dovo).count("dovo: pointer from the compositor's cursor capture") == 1
        assert "On Wayland" not in "\n".join(said(dovo)), "no notice about XWayland"
