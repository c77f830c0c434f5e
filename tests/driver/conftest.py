"""Fixtures of the end-to-end driver.  Each is a context manager, torn down
on failure too; a failing test's report carries the fixture's logs."""

import os
import shutil

import pytest

from desktop import Desktop
from programs import Linux, Wine, wine_cannot_run

LOGS = pytest.StashKey()


def pytest_configure(config):
    config.addinivalue_line("markers", "linux: runs the Linux program on the X desktop")
    config.addinivalue_line("markers", "wine: runs the Windows program under Wine on the X desktop")


def started(request, desktop, needs):
    """For a fixture: yield from started(...); skipped without its needs, commands or (capitals) variables."""
    if missing := [t for t in needs if not (os.environ.get(t) if t.isupper() else shutil.which(t))]:
        pytest.skip("cannot run without " + ", ".join(missing))
    request.node.stash[LOGS] = desktop
    with desktop:
        yield desktop


@pytest.fixture
def desktop(request):
    yield from started(request, Desktop(), ("Xvfb", "xauth", "xprop", "xdotool", "wmctrl", "openbox", "tint2",
                                            "dbus-daemon", "dbus-send", "X11PROBE"))


@pytest.fixture(params=[pytest.param("linux", marks=pytest.mark.linux),
                        pytest.param("wine", marks=pytest.mark.wine)])
def program(request):
    """The program a table's row runs against, on a desktop of its own."""
    if request.param == "linux":
        if not os.environ.get("DOVO"):
            pytest.skip("no Linux program: set DOVO")
        yield (linux := Linux(request.getfixturevalue("desktop")))
        linux.unlock()
        return
    if missing := [v for v in ("DOVO_EXE", "DOVO_PEEK", "DOVO_WINE_TEMPLATE") if not os.environ.get(v)]:
        pytest.skip("no Windows program: set " + ", ".join(missing))
    template = os.environ["DOVO_WINE_TEMPLATE"]
    if why := wine_cannot_run(template):
        pytest.skip(why)
    assert os.path.isdir(template), f"no Wine prefix at {template}"
    with Wine(request.getfixturevalue("desktop"), os.environ["DOVO_EXE"], os.environ["DOVO_PEEK"],
              template) as wine:
        yield wine


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    owner = item.stash.get(LOGS, None)
    if report.failed and owner is not None:
        # Live while the test runs; kept by the fixture once torn down (a
        # desktop that failed to start is torn down before this is made).
        for name, text in owner.logs().items():
            report.sections.append((f"desktop log {name}", text))
