"""Dovo on KDE Plasma: the real KWin, headless, tells Dovo where the pointer is
through Dovo's KWin script, beside Dovo's XWayland window, where only KWin sees it."""

import contextlib
import os
import shutil
import time

import pytest

from compositors import KWin, held, path, started, walk
from dovo import saved
from model import Ledger
from procs import Timeout, wait_for


@pytest.fixture
def kwin(request):
    needs = ("kwin_wayland", "Xwayland", "xdotool", "wmctrl", "dbus-monitor", "DOVO", "KWIN_POINTER")
    yield from started(request, KWin(getattr(request, "param", 1)), needs)


def beside(k, proc):
    """The wider free side beside Dovo's window in logical pixels, room left for the frame: KWin 5 scales
    XWayland with the output, KWin 6 does not."""
    geo = k.geometry(wait_for("dovo's window", lambda: k.window(proc), timeout=30))
    _, _, width, height = k.output("Geometry")
    root = int(k.run("xdotool", "getdisplaygeometry").stdout.split()[0])
    x, w = geo["x"] * width // root, -(-geo["width"] * width // root)
    return (20, 20, x - 40, height - 20) if x > width - x - w else (x + w + 40, 20, width - 20, height - 20)


def counting(k, ledger, at):
    """Dovo counts from the first position heard after a start or a reload from its next tick, which
    shows nowhere: nudge a pixel to and fro, each nudge heard, until one counts; then only nudges may have."""
    n = 0
    while k.total() == ledger.twips:
        n, heard = n + 1, k.calls("Report")
        k.pointer((at[0] + n % 2, at[1]))
        wait_for("the script reports the nudge", lambda: k.calls("Report") > heard)
        with contextlib.suppress(Timeout):
            wait_for("a nudge counts", lambda: k.total() != ledger.twips, timeout=2)
    gained = k.total() - ledger.twips
    assert gained % 15 == 0 and 0 < gained <= 15 * n, f"{gained} twips for {n} nudges"
    ledger.twips, ledger.at = k.total(), (at[0] + n % 2, at[1])


# scale | the walk. 200 logical pixels at 1.5 are 300 device pixels at 144 dpi: 3000 twips, 15 a pixel.
WALKS = [(1, lambda x0, y0, x1, y1: path(11, 20, x0, y0, x1, y1)),
         (1.5, lambda x0, y0, *_: [(x0, y0), (x0 + 200, y0), (x0 + 200, y0 + 200), (x0, y0 + 200), (x0, y0)])]


@pytest.mark.parametrize("kwin, before", WALKS, indirect=["kwin"])
def test_kwin_tells_the_path_to_the_twip(kwin, before):
    k, ledger = kwin, Ledger()
    k.pointer((5, 5))
    proc = k.dovo()
    box = beside(k, proc)
    wait_for("Dovo loads its script, which reports", lambda: k.calls("Report"))
    counting(k, ledger, (5, 5))
    walk(k, ledger, before(*box))
    # Unloaded behind Dovo's back, the pointer jumps while nobody reports.
    assert k.scripting("unloadScript") is True
    heard = k.calls("Report")
    k.pointer(box[2:])
    wait_for("Dovo loads its script again and hears the pointer", lambda: k.calls("Report") > heard)
    assert k.scripting("isScriptLoaded") is True
    counting(k, ledger, box[2:])
    walk(k, ledger, path(12, 12, *box))
    heard = k.calls("Report")
    held("a report from a resting pointer", lambda: k.calls("Report") > heard, 10)
    # A 1000 Hz mouse along a line: counted in full, at most a call per 20 ms.
    (bx, by), step, began = ledger.at, 1 if ledger.at[0] < (box[0] + box[2]) // 2 else -1, time.monotonic()
    k.pointer(*[(bx + step * i, by) for i in range(1, 151)])
    took = time.monotonic() - began
    ledger.move(bx + 150 * step, by)
    wait_for("the burst is counted", lambda: k.total() == ledger.twips)
    assert 1 <= k.calls("Report") - heard <= took / 0.02 + 2, f"{k.calls('Report') - heard} calls in {took:.3f} s"
    assert k.end(proc) == 0 and saved(k.env) == (str(ledger.twips), "0")
    assert k.scripting("isScriptLoaded") is False, "Dovo unloads its script when it ends"


def test_a_script_kwin_will_not_run_is_told_once_and_retried(kwin):
    script = kwin.path("broken", "share", "dovo", "kwin", "dovo-pointer.js")  # where an installed Dovo looks
    os.makedirs(os.path.dirname(script))
    os.makedirs(kwin.path("broken", "bin"))
    with open(script, "w") as f:
        f.write("this is not JavaScript (")
    proc = kwin.dovo(shutil.copy(os.environ["DOVO"], kwin.path("broken", "bin")))
    wait_for("the user is told", lambda: f"KWin did not run Dovo's script {script}" in kwin.heard())
    wait_for("Dovo tries again", lambda: kwin.calls("loadScript") >= 2, timeout=20)
    kwin.pointer((300, 300), (400, 300))
    held("anything counted", kwin.total, 1)
    assert kwin.end(proc) == 0 and kwin.heard().count("KWin did not") == 1 and saved(kwin.env) == ("0", "0")
