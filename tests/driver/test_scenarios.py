"""Scenarios as tables run against both programs: the totals shown and saved judged against the model."""

import os
import re

import pytest

import model
from desktop import Timeout, wait_for
from dovo import TITLE
from programs import said

RESET = "Reset Counter"

# Diagonals are floored ((2,1) is 33.54 twips); leaving the window and reaching the screen's corners count
# like any other move.  From 560000 twips the second move carries a block.
PATH = [
    (940, 400),  # right 300
    (940, 600),  # down 200: over the block boundary
    (942, 601),  # diagonal 2,1
    (935, 604),  # diagonal -7,3
    (935, 603),  # up 1
    (335, 603),  # left 600
    (635, 203),  # diagonal 300,-400: exactly 7500
    (635, 203),  # no move
    (0, 0),  # diagonal to the corner
    (1279, 799),  # diagonal across the screen
    (1279, 0),  # straight up along the edge
    (640, 400),  # back to the centre
]

# The periodic save (every 200 ms in these rows) holds the totals shown while Dovo runs.
SAVED = "saved while running"

# loaded totals (None: nothing stored) | dpi | steps: a position to move to, RESET pressed, or SAVED
TOTALS = [
    pytest.param((560000, 2), 96, [], id="loaded totals shown and kept"),
    pytest.param((560000, 2), 96, PATH, id="a path counted to the twip and saved"),
    pytest.param((560000, 2), 96, [(100, 700), RESET, (200, 700), (203, 704)],
                 id="reset counter keeps only the travel after it"),
    # three blocks and 299000: the readouts cannot tell a carry, the store can
    pytest.param((2000000, 0), 96, [SAVED], id="blocks carried one a tick seen in the periodic save"),
    # the same physical length as at 96 dpi: 10 twips a pixel
    pytest.param(None, 144, PATH, id="144 dpi counted in twips of its own"),
]


@pytest.mark.parametrize("loaded, dpi, steps", TOTALS)
def test_totals(program, loaded, dpi, steps):
    desktop = program.desktop
    if dpi != 96 and program.name == "linux":  # test_desktops.py judges it so
        pytest.skip("the Linux program counts a scaled desktop to within a few twips")
    if loaded is not None:
        program.save(*loaded)
    if dpi != 96:
        program.set_dpi(dpi)
    env = {"DOVO_AUTOSAVE_INTERVAL_MS": "200"} if SAVED in steps else {}
    dovo = program.start(env=env)
    ledger = model.Ledger(*(loaded or (0, 0)), at=desktop.pointer(), f=1440 / dpi)
    shows = lambda: model.readouts(ledger.twips, ledger.blocks)  # noqa: E731

    def shown(after=""):
        try:
            wait_for(f"the window shows {shows()}{after}", lambda: dovo.readouts() == shows())
        except Timeout:
            assert dovo.readouts() == shows(), f"the window's readouts{after}"
            raise

    shown()
    for step in steps:
        if step == RESET:
            dovo.press(RESET)
            ledger.at = desktop.pointer()  # the Windows program is clicked there
            ledger.reset()
            # the zeros shown say the reset is done: a move before it would be cleared with the rest
            shown(" after the reset")
        elif step == SAVED:
            model.settled(ledger)
            wait_for(f"the store holds {ledger.twips}/{ledger.blocks} while dovo runs",
                     lambda: program.saved() == (str(ledger.twips), str(ledger.blocks)), timeout=30)
        else:
            dovo.move(*step, ledger)
    model.settled(ledger)
    shown()
    assert not program.balloon(dovo), "a sound total brings no balloon"
    assert dovo.close() == 0
    assert program.saved() == (str(ledger.twips), str(ledger.blocks))
    assert said(dovo) == [f"dovo: pointer from {program.source}"]


# arguments | with a display | status | stdout | stderr (regular expressions)
COMMAND_LINE = [
    pytest.param(["--version"], False, 0, r"dovo 1\.0\.0\n", r"", id="version on a text console"),
    pytest.param(["--help"], True, 0,
                 r"Usage: dovo \[options\]\n(.*\n)*  -h, --help .*\n  -v, --version .*\n", r"",
                 id="help lists every option"),
    pytest.param(["--bogus"], True, 2, r"", r"dovo: Unknown option '--bogus'\. Try 'dovo --help'\.\n",
                 id="unknown option"),
]


@pytest.mark.parametrize("args, display, status, out, err", COMMAND_LINE)
def test_command_line(program, args, display, status, out, err):
    """An answer goes to stdout, a refusal is one line on stderr; Dovo never starts: no window, nothing
    stored, nothing in the runtime folder, no line naming the pointer source."""
    desktop = program.desktop
    runtime = sorted(os.listdir(desktop.env["XDG_RUNTIME_DIR"]))
    run = program.run(args, display)
    assert (run[0], run[2].count("\n")) == (status, 1 if err else 0), run
    assert re.fullmatch(out, run[1]) and re.fullmatch(err, run[2]), run
    assert program.saved() == (None, None)
    assert sorted(os.listdir(desktop.env["XDG_RUNTIME_DIR"])) == runtime
    assert desktop.run("xdotool", "search", "--name", f"^{TITLE}$").stdout == ""
