"""What only the Windows program has: a layout at the monitor's density, asked of Windows; its installer."""

import os
import re

import pytest

import model
from dovo import TITLE
from procs import wait_for

pytestmark = pytest.mark.wine


@pytest.mark.parametrize("program", ["wine"], indirect=True)
def test_layout_follows_the_dpi(program):
    """At 144 dpi every control is three halves as large and as far from the window's corner as at 96 (to a
    pixel of rounding): it is laid out in twips."""
    layouts = []
    for dpi in (96, 144):
        if dpi != 96:
            program.set_dpi(dpi)
        dovo = program.start()
        layouts.append([(c[0], *map(int, c[1:5])) for c in program.controls()])
        assert dovo.close() == 0
    at96, at144 = layouts
    assert [c[0] for c in at144] == [c[0] for c in at96] and at96
    off = [(a, b) for a, b in zip(at96, at144)
           if any(abs(2 * m - 3 * n) > 3 for n, m in zip(a[1:], b[1:]))]
    assert not off, "controls not scaled by 1.5: (at 96, at 144)"


UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Dovo"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
ENTRY = ("DisplayIcon", "DisplayName", "DisplayVersion", "Publisher", "QuietUninstallString",
         "UninstallString")


@pytest.mark.skipif(not os.environ.get("DOVO_SETUP"), reason="no installer: set DOVO_SETUP, DOVO_VERSION")
@pytest.mark.parametrize("program", ["wine"], indirect=True)
def test_installer(program):
    """The installer, silent (/S); Dovo started from where it put it counts and saves; an install over the
    running Dovo asks it to close (so it saves), keeps the totals, writes the login entry, starts Dovo again;
    the silent uninstaller closes that one and takes away all the installer put there but the totals."""
    wine, desktop = program, program.desktop

    def setup(*switches):
        return wine.wine(os.environ["DOVO_SETUP"], "/S", *switches, timeout=180)[0]

    def windows():
        return desktop.run("xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$").stdout.split()

    # where this prefix's user keeps programs and roaming settings
    win = wine.wine("cmd", "/c", "echo %LOCALAPPDATA%&echo %APPDATA%")[1].splitlines()
    local, roaming = wine.wine("winepath", "-u", *win)[1].splitlines()
    win_exe, folder = win[0] + r"\Programs\Dovo\dovo.exe", os.path.join(local, "Programs", "Dovo")
    shortcut = os.path.join(roaming, "Microsoft", "Windows", "Start Menu", "Programs", "Dovo.lnk")

    assert setup() == 0
    assert sorted(os.listdir(folder)) == ["LICENSE.txt", "dovo.exe", "uninstall.exe"]
    with open(shortcut, "rb") as f:  # its target, as the ANSI path of its LinkInfo
        assert re.search(rb"[^\x20-\x7e]" + re.escape(win_exe.encode()) + rb"\0", f.read())
    entry = wine.values(UNINSTALL_KEY)
    uninstaller = win_exe.replace("dovo.exe", "uninstall.exe")
    assert {k: entry.get(k) for k in ENTRY} == dict(zip(ENTRY, (
        win_exe + ",0", "Dovo", os.environ["DOVO_VERSION"], "Quen Dorvil", f'"{uninstaller}" /S',
        f'"{uninstaller}"')))
    # the size in KiB, at least dovo.exe's
    size = os.path.getsize(os.path.join(folder, "dovo.exe"))
    assert int(entry["EstimatedSize"].split(":")[1], 16) > size // 1024
    assert "Dovo" not in wine.values(RUN_KEY), "Dovo starts at login only when asked"

    wine.exe = os.path.join(folder, "dovo.exe")
    dovo = wine.start()
    ledger = model.Ledger(at=desktop.pointer())
    for x, y in [(700, 500), (100, 100), (103, 98), (640, 400)]:
        dovo.move(x, y, ledger)

    totals = (str(ledger.twips), str(ledger.blocks))
    assert setup("/STARTATLOGIN=1") == 0, "an install over the running Dovo"
    assert dovo.wait() == 0, "the running Dovo was asked to close, and did"
    assert wine.saved() == totals, "it saved as it closed; the install kept the totals"
    wait_for("the installer starts Dovo again", windows, timeout=30)
    assert wine.values(RUN_KEY).get("Dovo") == f'"{win_exe}"'

    assert wine.wine(os.path.join(folder, "uninstall.exe"), "/S")[0] == 0
    # It returns at once: a copy in TEMP does the work (gone at the next restart), the apps-list entry last.
    wait_for("the uninstall finishes",
             lambda: not os.path.exists(folder) and not wine.values(UNINSTALL_KEY), timeout=60)
    assert not windows(), "it closed the running Dovo first"
    assert not os.path.exists(shortcut)
    assert "Dovo" not in wine.values(RUN_KEY)
    assert wine.saved() == totals, "the totals stay"
