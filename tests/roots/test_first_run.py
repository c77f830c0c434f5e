"""A newcomer's first command from nothing: a pristine Debian root (minbase
and git), the checkout cloned into it, and the README's scripts/run showing
Dovo on this test's desktop; closing the window ends scripts/run."""

import os
import sys

import pytest

from dovo import HERE, TITLE, Dovo
from procs import wait_for

COMMAND = "git clone -q /dovo /root/dovo && cd /root/dovo && exec scripts/run"


def test_scripts_run_from_nothing(desktop):
    if os.geteuid() != 0:
        pytest.skip("making a Debian root needs root")
    release = os.environ.get("DOVO_RELEASE", "bookworm")
    run = desktop.procs.spawn("first-run", [sys.executable, os.path.join(HERE, "roots.py"), "--fresh",
                                            release, "--", "sh", "-c", COMMAND], desktop.env)

    def window():
        assert run.poll() is None, f"scripts/run ended with {run.returncode} before Dovo's window showed"
        return desktop.run("xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$").stdout.split()

    # Dovo inside the root is a grandchild: its window names its process.
    seen = Dovo.__new__(Dovo)
    seen.desktop, seen.wid = desktop, int(wait_for("scripts/run installs, builds and shows Dovo",
                                                   window, timeout=1200)[0])
    seen.pid = int(desktop.xprop("-id", str(seen.wid), "_NET_WM_PID").split()[-1])
    wait_for("the window is managed, in normal state", lambda: seen.state() == "normal")
    wait_for("Dovo's icon is in the panel", seen.icon)
    desktop.run("wmctrl", "-F", "-c", TITLE, check=True)
    wait_for("scripts/run ends with Dovo", lambda: run.poll() is not None, timeout=20)
    assert run.returncode == 0
