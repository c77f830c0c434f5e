"""Scenarios as tables: each row is run against the program on its desktop,
and the totals it shows and saves are judged against the model."""

import os
import re
import subprocess

import pytest

import model
from desktop import wait_for
from dovo import Dovo, TITLE, conf_path, save, saved

RESET = "Reset Counter"

# Straight moves count N x 15; diagonals are floored ((2,1) is 33.54 twips);
# a move onto the same spot counts nothing; leaving the window and reaching
# the screen's corners count like any other move.  From 560000 twips the
# second move carries a block.
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

# loaded totals | steps: a position to move to, or RESET pressed
TOTALS = [
    pytest.param((560000, 2), [], id="loaded totals shown and kept"),
    pytest.param((560000, 2), PATH, id="a path counted to the twip and saved"),
    pytest.param((560000, 2), [(100, 700), RESET, (200, 700), (203, 704)],
                 id="reset counter keeps only the travel after it"),
]


@pytest.mark.parametrize("loaded, steps", TOTALS)
def test_totals(desktop, loaded, steps):
    save(desktop.env, *loaded)
    dovo = Dovo(desktop)
    ledger = model.Ledger(*loaded, at=desktop.pointer())
    shown = lambda: dovo.readouts() == model.readouts(ledger.twips, ledger.blocks)  # noqa: E731
    wait_for(f"the window shows {model.readouts(*loaded)}", shown)
    for step in steps:
        if step == RESET:
            dovo.press(RESET)
            ledger.reset()
            # the zeros shown say the reset is done: a move before it would
            # be cleared with the rest
            wait_for("the window shows zeros after the reset", shown)
        else:
            dovo.move(*step, ledger)
    wait_for(f"the window shows {model.readouts(ledger.twips, ledger.blocks)}", shown)
    assert dovo.close() == 0
    assert saved(desktop.env) == (str(ledger.twips), str(ledger.blocks))


# arguments | with a display | status | stdout | stderr (regular expressions)
COMMAND_LINE = [
    pytest.param(["--version"], False, 0, r"dovo 1\.0\.0\n", r"", id="version on a text console"),
    pytest.param(["--bogus"], True, 2, r"", r"dovo: Unknown option '--bogus'.*dovo --help.*\n",
                 id="unknown option"),
]


@pytest.mark.parametrize("args, display, status, out, err", COMMAND_LINE)
def test_command_line(desktop, args, display, status, out, err):
    """An answer goes to stdout, a refusal is one line on stderr, and in no
    case does Dovo start: no window, no Dovo.conf, nothing in the runtime
    folder, no line naming the pointer source."""
    env = dict(desktop.env)
    if not display:
        del env["DISPLAY"]
    runtime = sorted(os.listdir(env["XDG_RUNTIME_DIR"]))
    run = subprocess.run([os.environ["DOVO"], *args], env=env, stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=30)
    assert (run.returncode, run.stdout.count("\n"), run.stderr.count("\n")) == (
        status, 1 if out else 0, 1 if err else 0), run
    assert re.fullmatch(out, run.stdout) and re.fullmatch(err, run.stderr), run
    assert not os.path.exists(conf_path(env))
    assert sorted(os.listdir(env["XDG_RUNTIME_DIR"])) == runtime
    assert desktop.run("xdotool", "search", "--name", f"^{TITLE}$").stdout == ""
