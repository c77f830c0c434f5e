"""Hidden in the notification area and back, the icon staying, against both programs."""
import pytest

import model
from desktop import wait_for


def second_start(program, dovo, ledger):
    assert program.run([]) == (0, "", "dovo: Dovo is already running; its window was brought forward\n")
    assert dovo.proc.poll() is None, "the first one runs on"


def stray(program, dovo, ledger, key):
    wait_for("the window brought back has the keyboard",
             lambda: program.desktop.run("xdotool", "getwindowfocus").stdout.strip() == str(dovo.wid))
    program.desktop.run("xdotool", "key", key, check=True)  # before the close in the same queue


STEPS = {
    "minimise": lambda program, dovo, ledger: dovo.minimise(), "second start": second_start,
    "left click": lambda program, dovo, ledger: dovo.click_icon(1, ledger),
    # as the taskbar tells it (NIN_KEYSELECT from icon 1): Wine's tray has no keyboard of its own
    "Enter on the icon": lambda program, dovo, ledger: dovo.send(0x8001, 0, 0x10401),
    "stray Space": lambda program, dovo, ledger: stray(program, dovo, ledger, "space"),
    "stray Return": lambda program, dovo, ledger: stray(program, dovo, ledger, "Return"),
    "moves": lambda program, dovo, ledger: [dovo.move(*at, ledger) for at in ((700, 200), (400, 600))],
}
# the steps, each with the state it leaves the window in | how Dovo ends
TRAY = [
    pytest.param([("minimise", "withdrawn"), ("second start", "normal"), ("stray Return", "normal"),
                  ("minimise", "withdrawn"), ("left click", "normal"), ("stray Space", "normal")],
                 "close", id="a second start and the icon bring it back, a stray key keeps the totals"),
    pytest.param([("minimise", "withdrawn"), ("Enter on the icon", "normal")], "close",
                 id="the icon selected with the keyboard brings it back"),
    pytest.param([("minimise", "withdrawn"), ("moves", "withdrawn")], "session ends",
                 id="the end of the session saves what the hidden window counted"),
]


@pytest.mark.parametrize("steps, end", TRAY)
def test_tray(program, steps, end):
    if "Enter on the icon" in dict(steps) and program.name == "linux":
        pytest.skip("an XEmbed tray takes no keyboard; a panel's Activate is test_desktops.py's")
    program.save(100000, 2)  # far from a carry: the saved totals are known at any moment
    dovo = program.start()
    ledger = model.Ledger(100000, 2, at=program.desktop.pointer())
    wait_for("its icon docks", dovo.icon)
    for step, state in steps:
        STEPS[step](program, dovo, ledger)
        wait_for(f"after {step}: {state}, the icon docked", lambda: dovo.state() == state and dovo.icon())
    assert (dovo.close() if end == "close" else program.end_session(dovo)) == 0
    wait_for("the icon leaves the tray", lambda: program.desktop.tray_icons() == [])
    assert program.saved() == (str(ledger.twips), str(ledger.blocks))
