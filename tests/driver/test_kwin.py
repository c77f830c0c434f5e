"""Dovo on KDE Plasma: the real KWin, headless, tells Dovo where the pointer is
through Dovo's KWin script; the pointer walks beside Dovo's XWayland window,
over no X11 window, where only KWin sees it."""

import contextlib
import os
import shutil
import time

import pytest
from gi.repository import GLib

from compositors import KWin, path, started, walk
from dovo import saved
from model import Ledger
from procs import Timeout, wait_for

REST = (5, 5)


@pytest.fixture
def kwin(request):
    needs = ("kwin_wayland", "Xwayland", "xdotool", "wmctrl", "dbus-monitor", "DOVO", "KWIN_POINTER")
    with started(request, KWin(getattr(request, "param", 1)), needs) as k:
        yield k


def beside(k, proc):
    """The wider free side of the screen beside Dovo's window, in logical
    pixels, with room for the frame: KWin 5 scales XWayland with the output,
    KWin 6 gives it device pixels."""
    geo = k.geometry(wait_for("dovo's window", lambda: k.window(proc), timeout=30))
    _, _, width, height = k.output("Geometry")
    root = int(k.run("xdotool", "getdisplaygeometry").stdout.split()[0])
    x, w = geo["x"] * width // root, -(-geo["width"] * width // root)
    return (20, 20, x - 40, height - 20) if x > width - x - w else (x + w + 40, 20, width - 20, height - 20)


def counting(k, ledger, at):
    """Dovo counts from the first position it hears after a start or a
    reload at its next tick, which shows nowhere: the pointer is nudged a
    pixel to and fro, each nudge heard, until one counts; nudges alone."""
    n = 0
    while k.total() == ledger.twips:
        n += 1
        heard = k.calls("Report")
        k.pointer((at[0] + n % 2, at[1]))
        wait_for("the script reports the nudge", lambda: k.calls("Report") > heard)
        with contextlib.suppress(Timeout):
            wait_for("a nudge counts", lambda: k.total() != ledger.twips, timeout=2)
    gained = k.total() - ledger.twips
    assert gained % 15 == 0 and 0 < gained <= 15 * n, f"{gained} twips for {n} nudges"
    ledger.twips, ledger.at = k.total(), (at[0] + n % 2, at[1])



# scale | the walk before the script is lost. 200 logical pixels at 1.5 are
# 300 device pixels at 144 dpi: 3000 twips, 15 a logical pixel at either.
WALKS = [(1, lambda x0, y0, x1, y1: path(11, 20, x0, y0, x1, y1)),
         (1.5, lambda x0, y0, *_: [(x0, y0), (x0 + 200, y0), (x0 + 200, y0 + 200), (x0, y0 + 200), (x0, y0)])]


@pytest.mark.parametrize("kwin, before", WALKS, indirect=["kwin"])
def test_kwin_tells_the_path_to_the_twip(kwin, before):
    k, ledger = kwin, Ledger()
    k.pointer(REST)
    proc = k.dovo()
    box = beside(k, proc)
    wait_for("Dovo loads its script, which reports", lambda: k.calls("Report"))
    counting(k, ledger, REST)
    walk(k, ledger, before(*box))
    # Unloaded behind Dovo's back, the pointer jumps while nobody reports.
    assert k.scripting("unloadScript") is True
    heard = k.calls("Report")
    k.pointer(box[2:])
    wait_for("Dovo loads its script again and hears the pointer", lambda: k.calls("Report") > heard)
    assert k.scripting("isScriptLoaded") is True
    counting(k, ledger, box[2:])
    walk(k, ledger, path(12, 12, *box))
    # Anyone on the bus may call Dovo, but only KWin is heard.
    for _ in range(2):
        with pytest.raises(GLib.Error, match="AccessDenied"):
            k.call("net.quendorvil.Dovo", "/net/quendorvil/Dovo/Pointer", "net.quendorvil.Dovo.Pointer",
                   "Report", "(ii)", 1234, 777)
    heard = k.calls("Report")
    with pytest.raises(Timeout):
        wait_for("a report from a resting pointer", lambda: k.calls("Report") > heard, timeout=10)
    # A 1000 Hz mouse along a line: counted in full, at most a call per 20 ms.
    (bx, by), step = ledger.at, 1 if ledger.at[0] < (box[0] + box[2]) // 2 else -1
    began = time.monotonic()
    k.pointer(*[(bx + step * i, by) for i in range(1, 151)])
    took = time.monotonic() - began
    ledger.move(bx + 150 * step, by)
    wait_for("the burst is counted", lambda: k.total() == ledger.twips)
    sent = k.calls("Report") - heard
    assert 1 <= sent <= took / 0.02 + 2, f"{sent} calls in {took:.3f} s"
    assert k.end(proc) == 0
    assert saved(k.env) == (str(ledger.twips), "0")
    assert k.scripting("isScriptLoaded") is False, "Dovo unloads its script when it ends"


def test_a_script_kwin_will_not_run_is_told_once_and_retried(kwin):
    # where an installed Dovo looks for it
    share = kwin.path("broken", "share", "dovo", "kwin")
    os.makedirs(share)
    os.makedirs(kwin.path("broken", "bin"))
    dovo = shutil.copy(os.environ["DOVO"], kwin.path("broken", "bin"))
    with open(os.path.join(share, "dovo-pointer.js"), "w") as f:
        f.write("this is not JavaScript (")
    proc = kwin.procs.spawn("dovo", [dovo], dict(kwin.env, DOVO_AUTOSAVE_INTERVAL_MS="100"))
    wait_for("the user is told", lambda: f"KWin did not run Dovo's script {f.name}" in kwin.heard())
    wait_for("Dovo tries again", lambda: kwin.calls("loadScript") >= 2, timeout=20)
    kwin.pointer((300, 300), (400, 300))
    with pytest.raises(Timeout):
        wait_for("anything counted", kwin.total, timeout=1)
    assert kwin.end(proc) == 0
    assert kwin.heard().count("KWin did not") == 1
    assert saved(kwin.env) == ("0", "0")
