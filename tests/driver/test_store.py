"""A store Dovo cannot use, one not there yet, a second copy, totals at the limits."""

import glob
import os
import pathlib
import random
import signal
import socket

import pytest

import model
from desktop import Desktop, wait_for
from dovo import TITLE, Dovo
from programs import content, said


linux = pytest.mark.parametrize("program", ["linux"], indirect=True)


# stored: values, or what a maker leaves at Dovo.conf (Linux only) | saved at the close | kept aside
# by the Windows program (the Linux program keeps the file as it was as Dovo.conf.damaged-1 where this
# is not empty) | the keys each told in a line quoting its text (none: one line names the file)
DAMAGED = [
    ({"totalpixels": "abc", "totalmpixels": "5"}, ("0", "5"), {"totalpixels.damaged-1": "abc"},
     "totalpixels"),
    ({"totalpixels": "1234", "totalmpixels": "2147483648"}, ("1234", "0"),
     {"totalmpixels.damaged-1": "2147483648"}, "totalmpixels"),
    ({"totalpixels": "12 34", "totalmpixels": "7", "totalpixels.damaged-1": "older"}, ("0", "7"),
     {"totalpixels.damaged-1": "older", "totalpixels.damaged-2": "12 34"}, "totalpixels"),
    # two notices do not fit one of Wine's balloons: a box tells them
    ({"totalpixels": "abc", "totalmpixels": "abc"}, ("0", "0"),
     {"totalpixels.damaged-1": "abc", "totalmpixels.damaged-1": "abc"}, "totalpixels totalmpixels"),
    (lambda p: pathlib.Path(p).write_bytes(b""), ("0", "0"), True, ""),
    (lambda p: pathlib.Path(p).write_bytes(random.Random(33).randbytes(10 << 20)), ("0", "0"), True, ""),
    (lambda p: os.mkdir(p) or pathlib.Path(p, "note.txt").write_text("a note"), ("0", "0"), True, ""),
    # a link to itself cannot be read (as root a mode would not stop it):
    # left as it is and read again at the close
    (lambda p: os.symlink(p, p), ("4321", "5"), {}, ""),
]


def box(program, dovo):  # a window titled Dovo, not Dovo's main window
    found = program.desktop.run("xdotool", "search", "--onlyvisible", "--name", "^Dovo$").stdout
    return next((w for w in found.split() if int(w) != dovo.wid), None)


def dismissed(program, dovo):
    # from its title bar, since under Wine a key's release would go to the next
    # box; and Wine drops a close request for a window its box still disables
    program.desktop.run("wmctrl", "-i", "-c", hex(int(box(program, dovo))), check=True)
    wait_for("the box goes", lambda: box(program, dovo) is None)


def told(dovo, text=""):
    return [line for line in said(dovo) if " pointer from " not in line and text in line]


@pytest.mark.parametrize("stored, want, aside, keys", DAMAGED, ids=[
    "text", "above 32 bits", "an earlier one kept", "both", "empty", "random", "folder", "unreadable"])
def test_a_damaged_store(program, stored, want, aside, keys):
    """Kept aside, told on screen once; that total starts from 0, the other loads."""
    if callable(stored) and program.name != "linux":
        pytest.skip("a file is the Linux program's store")
    (stored if callable(stored) else lambda _: program.store(stored))(program.where)
    original = content(program.where)
    dovo = program.start()
    if program.name == "wine" and " " in keys:
        wait_for("a box tells it", lambda: box(program, dovo), timeout=10)
        shown = program.wine(program.peek, "box", "Dovo")[1]
        assert all(line.removeprefix("dovo: ") in shown for line in told(dovo)), shown
        dismissed(program, dovo)
    else:
        wait_for("a balloon from the icon tells it", lambda: program.balloon(dovo))
    lines, says = told(dovo), [(f'"{k}"', f'"{stored[k]}"') for k in keys.split()] or [("Dovo.conf",)]
    assert len(lines) == len(says) and all(any(all(n in line for n in needles) for line in lines)
                                           for needles in says), lines
    kept = aside if program.name == "wine" else {"Dovo.conf.damaged-1": original} if aside else {}
    assert program.kept() == kept
    if not kept:
        assert content(program.where) == original, "left as it is"
        os.unlink(program.where)
        program.save(4321, 5)
    assert dovo.close() == 0 and told(dovo) == lines, "told once"
    assert program.saved() == want and program.kept() == kept


def test_a_save_that_fails(program):
    """Told by a balloon, at the close by a box: exit 1, the store as it was, no damage."""
    program.save(1234, 5)
    program.lock()
    dovo = program.start(env={"DOVO_AUTOSAVE_INTERVAL_MS": "300"})
    dovo.move(740, 400)
    wait_for("a balloon tells the failed save", lambda: program.balloon(dovo))
    program.desktop.run("wmctrl", "-F", "-c", TITLE, check=True)
    wait_for("a box tells the failed save", lambda: box(program, dovo), timeout=10)
    assert dovo.proc.poll() is None, "Dovo waits for the box"
    dismissed(program, dovo)
    assert dovo.wait() == 1 and program.saved() == ("1234", "5") and program.kept() == {}
    assert told(dovo, program.where) and not told(dovo, "damaged"), told(dovo)


SECOND = (0, "", "dovo: Dovo is already running; its window was brought forward\n")


@linux
def test_a_second_start(program):
    """The first copy comes back from the tray; the second writes nothing; a folder is made."""
    program.desktop.env["XDG_CONFIG_HOME"] = program.desktop.path("not", "yet", "there")
    dovo = program.start()
    ledger = model.Ledger(at=program.desktop.pointer())
    dovo.move(ledger.at[0] + 100, ledger.at[1], ledger)
    dovo.minimise()
    wait_for("minimised", lambda: dovo.state() == "withdrawn")
    assert program.run([]) == SECOND
    wait_for("the first copy's window is back", lambda: dovo.state() == "normal")
    assert program.saved() == (None, None)
    dovo.move(ledger.at[0], ledger.at[1] + 200, ledger)
    assert dovo.close() == 0 and program.saved() == (str(ledger.twips), "0")
    assert told(dovo) == []


@linux
def test_copies_that_go_or_stay_silent(program):
    """A copy killed, a start the window manager is slow about, a silent client, another display."""
    desktop = program.desktop
    desktop.stop_panel()
    (killed := Dovo(desktop).proc).kill()
    killed.wait()
    dovo = program.start()
    assert told(dovo, "already running") == [], "the killed copy is no second start"
    # until openbox has withdrawn the window, the first copy must not map it
    # again, or openbox's hidden state is copied back onto the shown window
    dovo.minimise()
    wait_for("minimised", lambda: dovo.state() == "iconic")
    wm = next(p for p in desktop.procs.children if p.name == "openbox")
    spy = desktop.procs.spawn("spy", ["xprop", "-spy", "-id", str(dovo.wid), "_NET_WM_STATE"], desktop.env)
    wait_for("the spy reads", lambda: content(spy.stdout_path))
    wm.send_signal(signal.SIGSTOP)
    try:
        assert program.run([]) == SECOND
        dovo.settle()
        assert content(spy.stdout_path).count(b"\n") == 1, "left alone while openbox holds it"
    finally:
        wm.send_signal(signal.SIGCONT)
    wait_for("back in normal state, not marked hidden", lambda: dovo.state() == "normal")
    with socket.socket(socket.AF_UNIX) as client:
        client.connect(glob.glob(desktop.path("runtime", "*.socket"))[0])
        client.settimeout(5)
        assert client.recv(1) == b"", "a client that never writes is hung up on"
    assert program.run([]) == SECOND
    with Desktop(panel=False, accessibility=False) as other:
        other.env = dict(desktop.env, DISPLAY=other.display, XAUTHORITY=other.env["XAUTHORITY"])
        there = Dovo(other)
        assert there.close() == 0 and told(there, "already running") == [], "a Dovo of its own"
    assert dovo.close() == 0


@linux
def test_totals_at_the_limits(program):
    """Every tick overflows: told once a message; the totals neither wrap nor shrink."""
    program.save(2147483000, 2147483647)
    dovo = program.start()
    for x in [300, 310, 320, 330, 900, 200, 1000, 210, 220] * 2:
        dovo.move(x, 150)
    assert (lines := told(dovo)) and len(lines) == len(set(lines)) <= 2, lines
    assert all(line.startswith("dovo: Timer1_Timer: overflow") for line in lines), lines
    assert dovo.state() == "normal" and dovo.icon() and dovo.close() == 0
    assert int(program.saved()[0]) >= 2147483000 and program.saved()[1] == "2147483647"
