"""The window and its tray icon on openbox and tint2, driven as a person would: its fixed size, the tray
that hides it and brings it back, a tray that goes and comes back, the counting while it is hidden."""

import collections
import contextlib
import os

import pytest

import model
from desktop import wait_for
from dovo import Dovo, save, saved
from programs import Linux

SIZE = (312, 168)  # the client area at 96 dpi

RESIZES = [
    ("resize request", ["xdotool", "windowsize", "{wid}", "500", "300"]),
    ("move-resize request", ["wmctrl", "-i", "-r", "{wid}", "-e", "0,-1,-1,640,400"]),
    ("maximise request", ["wmctrl", "-i", "-r", "{wid}", "-b", "add,maximized_vert,maximized_horz"]),
]


def hint(desktop, wid, which):
    """'W by H' of WM_NORMAL_HINTS, which is minimum or maximum."""
    for line in desktop.xprop("-id", str(wid), "WM_NORMAL_HINTS").splitlines():
        if f"program specified {which} size: " in line:
            return line.split(": ", 1)[1].strip()
    return None


def colours(shot, geo):
    """How often each colour is seen in the rectangle geo of a screenshot."""
    width, _, data = shot
    seen = collections.Counter()
    for y in range(geo["y"], geo["y"] + geo["height"]):
        row = data[3 * (y * width + geo["x"]):3 * (y * width + geo["x"] + geo["width"])]
        seen.update(row[i:i + 3] for i in range(0, len(row), 3))
    return seen


def running(groups):
    """The processes of these groups not yet ended; a zombie has ended, and whoever inherited it reaps it in
    its own time."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/stat") as f:
            state, _, group = f.read().rsplit(")", 1)[1].split()[:3]
            if state != "Z" and int(group) in groups:
                found.append(int(pid))
    return found


def test_window_keeps_its_size_and_is_drawn(desktop):
    """The one scenario that reads pixels: the window and the docked icon as drawn.  And a desktop that
    cleans up: every process stopped, its folder removed."""
    assert oct(os.stat(desktop.env["XDG_RUNTIME_DIR"]).st_mode & 0o777) == "0o700"
    for private in ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
        assert desktop.env[private].startswith(desktop.dir + os.sep), private
    dovo = Dovo(desktop)
    geo = desktop.geometry(dovo.wid)
    assert (geo["width"], geo["height"]) == SIZE
    assert hint(desktop, dovo.wid, "minimum") == hint(desktop, dovo.wid, "maximum") == "%d by %d" % SIZE
    for name, argv in RESIZES:
        desktop.run(*[a.format(wid=dovo.wid) for a in argv], check=True)
        dovo.quiet()
        geo = desktop.geometry(dovo.wid)
        assert (geo["width"], geo["height"]) == SIZE, name

    icon = wait_for("dovo's icon docks", dovo.icon)
    wait_for("the window shows its readouts", lambda: None not in dovo.readouts())
    shot = desktop.screenshot()
    assert shot[:2] == (1280, 800)
    # the window's background and its texts drawn on it; the icon, more than the panel's one colour behind it
    drawn = colours(shot, desktop.geometry(dovo.wid))
    _, most = drawn.most_common(1)[0]
    assert sum(drawn.values()) - most > 500 and len(drawn) > 2, drawn.most_common(5)
    assert len(colours(shot, desktop.geometry(icon))) > 2

    assert dovo.close() == 0
    folder, groups = desktop.dir, [p.pid for p in desktop.procs.children]
    desktop.__exit__(None, None, None)
    assert not os.path.exists(folder)
    assert running(groups) == []


STEPS = {
    "minimise": lambda dovo: dovo.minimise(),
    "activate": lambda dovo: dovo.activate(),
    "left click": lambda dovo: dovo.click_icon(1),
    "right click": lambda dovo: dovo.click_icon(3),
    "panel ends": lambda dovo: dovo.desktop.stop_panel(),
    "panel starts": lambda dovo: dovo.desktop.start_panel(),
    "stays": lambda dovo: None,
}
# Steps after which nothing must change: what dovo and openbox do about them is waited for, then judged once.
STILL = ("right click", "stays")

# panel | dovo's runs: each step with the window's state after it (normal, iconic or withdrawn) and the icons
# docked, and how it ends (closed through the window manager or sent straight to the window)
TRAY = [
    pytest.param(True, [
        ([("minimise", "withdrawn", 1), ("right click", "withdrawn", 1), ("left click", "normal", 1)],
         "closed through the window manager"),
        ([("minimise", "withdrawn", 1)], "closed directly"),
    ], id="the icon brings back the window the minimise hid, a right click does not"),
    pytest.param(True, [
        ([("minimise", "withdrawn", 1), ("panel ends", "normal", 0), ("minimise", "iconic", 0),
          ("stays", "iconic", 0), ("activate", "normal", 0), ("panel starts", "normal", 1),
          ("minimise", "withdrawn", 1), ("left click", "normal", 1)],
         "closed through the window manager"),
    ], id="the window hidden when the tray ends comes back, and the icon docks in the next tray"),
    pytest.param(False, [
        ([("minimise", "iconic", 0), ("stays", "iconic", 0), ("activate", "normal", 0)],
         "closed through the window manager"),
        ([("minimise", "iconic", 0)], "closed through the window manager"),
    ], id="without a tray the minimise leaves the window in the taskbar"),
]


@pytest.mark.parametrize("panel, runs", TRAY)
def test_tray(desktop, panel, runs):
    if not panel:
        desktop.stop_panel()
        # a desktop whose fonts are scaled: nothing here may depend on 96
        Linux(desktop).set_dpi(144)
        assert "Xft.dpi:\t144" in desktop.run("xrdb", "-query").stdout
    assert desktop.owner("_NET_SYSTEM_TRAY_S0") == panel
    assert desktop.tray_icons() == []
    for steps, end in runs:
        dovo = Dovo(desktop)
        assert dovo.state() == "normal"
        if panel:
            wait_for("dovo's icon docks, the only one",
                     lambda: dovo.icon() and desktop.tray_icons() == [dovo.icon()])
        else:
            assert desktop.tray_icons() == []
        for step, state, icons in steps:
            STEPS[step](dovo)
            if step in STILL:
                dovo.quiet()
                assert (dovo.state(), len(desktop.tray_icons())) == (state, icons), step
            else:
                wait_for(f"after {step}: {state} with {icons} icons docked",
                         lambda: (dovo.state(), len(desktop.tray_icons())) == (state, icons))
        assert end == ("closed through the window manager" if dovo.managed() else "closed directly")
        assert dovo.close() == 0, end
        wait_for("the icon leaves the tray", lambda: desktop.tray_icons() == [])


def test_counting_around_the_tray(desktop):
    """A real click on "Reset Counter" keeps what follows; the pointer counts while the window hides."""
    save(desktop.env, 560000, 2)
    dovo = Dovo(desktop)
    ledger = model.Ledger(560000, 2, at=desktop.pointer())
    shown = lambda: dovo.readouts() == model.readouts(ledger.twips, ledger.blocks)  # noqa: E731
    geo = desktop.geometry(dovo.wid)
    # the middle of the button, which spans x 64..225 and y 136..161
    bx, by = geo["x"] + 144, geo["y"] + 148
    dovo.move(100, 700, ledger)
    dovo.move(bx, by, ledger)
    desktop.run("xdotool", "click", "1", check=True)
    ledger.reset()
    wait_for("the click on the button shows zeros", shown)
    dovo.move(bx + 100, by, ledger)  # right 100: 1500
    dovo.move(bx + 103, by + 4, ledger)  # diagonal 3,4: 75
    wait_for("the moves after the reset are shown", shown)
    dovo.minimise()
    wait_for("the minimise hides the window in the tray", lambda: dovo.state() == "withdrawn")
    dovo.move(bx + 103, by + 204, ledger)  # down 200: 3000, hidden
    wait_for("the hidden window's readouts count on", shown)
    assert dovo.close() == 0
    assert saved(desktop.env) == ("4575", "0") == (str(ledger.twips), str(ledger.blocks))
