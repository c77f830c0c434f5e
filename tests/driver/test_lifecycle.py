"""How a run of Dovo sleeps, rests and ends, and what it leaves stored."""

import itertools
import os
import random
import re
import signal
import threading
import time

import pytest

import model
from dovo import Dovo, conf_path, saved
from procs import Processes, wait_for
from programs import said


def stored(program, ledger):
    return program.saved() == (str(ledger.twips), str(ledger.blocks))


def test_sleep_and_resume(program):
    """Saved before the machine sleeps, no periodic save due; the move after the resume counted."""
    program.can_sleep()
    dovo = program.start()
    ledger = model.Ledger(at=program.desktop.pointer())
    if program.name == "linux":
        # had Dovo believed PrepareForSleep from another sender, its lock would be gone at the next one
        program.logind.wait("dovo takes a delay lock", lambda *locks: locks == (1, 1, 0))
        program.logind.ask("forge", "1")
        program.logind.ask("sleep", "0")
        program.logind.wait("a new lock, the first still held", lambda *locks: locks == (2, 1, 1))
        assert program.saved() == (None, None)
    for at in [(300, 200), (700, 200), (700, 500)]:
        dovo.move(*at, ledger)
    program.sleeps(dovo, True)
    assert stored(program, ledger), "saved before the sleep"
    dovo.mark()
    program.sleeps(dovo, False)
    wait_for("dovo samples the pointer after the resume", lambda: dovo._asked("rests", 700, 500))
    dovo.move(700, 600, ledger)
    program.sleeps(dovo, True)
    assert stored(program, ledger), "the move after the resume saved at the next sleep"
    assert dovo.close() == 0


# how it ends | its exit status
ENDINGS = [
    pytest.param("session", 0, id="the end of the session"),
    pytest.param("SIGINT", 0, id="SIGINT"),
    pytest.param("SIGHUP", 0, id="SIGHUP"),
    # Held still as the server goes, as a busy machine at logout would: a tick falls due before Qt notices,
    # with no pointer to read.  Started by a launcher whose reader of stderr is gone: Qt's last words hit it.
    pytest.param("X TERM held, stderr a closed pipe", 1, id="X server ends, stderr a closed pipe"),
    pytest.param("X KILL", 1, id="X server killed"),
    pytest.param("X TERM blocked", 1, id="X server ends and the save at exit fails"),
]


@pytest.mark.parametrize("how, status", ENDINGS)
def test_ends_saved(program, how, status):
    """However it ends, the totals are saved, or one line says why not."""
    if program.name != "linux" and how != "session":
        pytest.skip("signals and the X server are the Linux program's")
    desktop, blocked, streams = program.desktop, "blocked" in how, {}
    env = {"XDG_CONFIG_HOME": desktop.path("blocked", "config"), "DOVO_AUTOSAVE_INTERVAL_MS": "300"}
    if blocked:
        open(desktop.path("blocked"), "w").close()  # a plain file where the folder must be
    program.save(1000, 4)
    if "pipe" in how:
        reader, streams["stderr"] = os.pipe()
    dovo = program.start(env=env if blocked else {}, **streams)
    if streams:  # the launcher's reader of stderr is gone
        os.close(reader), os.close(streams["stderr"])
    ledger = model.Ledger(1000, 4, at=desktop.pointer())
    dovo.move(300, 200, ledger)
    if blocked:
        wait_for("the failed periodic save is said", lambda: "dovo: autosave: cannot" in "".join(said(dovo)))
    if "held" in how:  # sampled, so the tick that finds it still is the next one
        dovo.mark()
        desktop.motion(500, 200)
        wait_for("dovo samples the pointer", lambda: dovo._asked("sampled", 500, 200))
        ledger.move(500, 200)
        os.kill(dovo.pid, signal.SIGSTOP)
    else:
        dovo.move(200, 200, ledger)
    if how.startswith("SIG"):
        os.kill(dovo.pid, getattr(signal, how))
    elif how != "session":
        os.kill(desktop.xvfb.pid, signal.SIGKILL if "KILL" in how else signal.SIGTERM)
        wait_for("the X server ends", lambda: desktop.xvfb.poll() is not None)
        if "held" in how:
            time.sleep(0.3)  # Dovo's own 200 ms tick falls due while it is stopped
            os.kill(dovo.pid, signal.SIGCONT)
    code = program.end_session(dovo) if how == "session" else dovo.wait()
    told = [line for line in said(dovo) if line.startswith("dovo: exit: cannot save the totals to ")]
    assert [t.split(": ")[2] for t in told] == ([f"cannot save the totals to {env['XDG_CONFIG_HOME']}/Dovo.conf"]
                                                if blocked else []) and (blocked or stored(program, ledger))
    assert code == status and not os.path.exists(conf_path(desktop.env) + ".lock")


def whole(env):
    """The distance stored while both totals are there once as 32-bit integers; None when torn."""
    with open(conf_path(env), "rb") as f:  # replaced whole by a rename, never missing
        section = re.search(rb"^\[odoledger\]\n((?:[^\[].*\n?)*)", f.read(), re.M)
    keys = re.findall(rb"^(totalm?pixels)\s*=\s*(.*)$", section[1], re.M) if section else []
    found = {k: int(v) for k, v in keys if re.fullmatch(rb"-?\d{1,10}", v) and -2**31 <= int(v) < 2**31}
    return found[b"totalmpixels"] * model.BLOCK + found[b"totalpixels"] if len(keys) == len(found) == 2 else None


PAD, PADDING, ROUNDS = "0" * 100, 20000, 40


def test_killed_while_saving(desktop):
    """SIGKILL at random moments while Dovo saves every 20-50 ms: the file holds whole totals, never going back,
    its other keys kept (2 MB of them, so that kills land inside saves), and what a kill leaves (a lock) never
    stops or troubles the next run."""
    env, conf, done, rnd = desktop.env, conf_path(desktop.env), threading.Event(), random.Random()

    def sweep():
        for x in itertools.cycle([*range(200, 1111, 130), *range(980, 329, -130)]):
            if done.wait(0.05):
                return
            desktop.motion(x, 200)

    def start(interval, beyond):
        proc = desktop.procs.spawn("round", [os.environ["DOVO"]], dict(env, DOVO_AUTOSAVE_INTERVAL_MS=str(interval)))
        # it saves, though the last kill left a lock or half a save behind
        return proc, wait_for(f"dovo saves beyond {beyond}", lambda: (whole(env) or -1) > beyond and whole(env))

    def kept(proc):
        with open(conf) as f, open(proc.stderr_path) as err:
            return f.read().count(f"={PAD}\n"), "Dovo.conf" in err.read()

    sweeper = threading.Thread(target=sweep)
    sweeper.start()
    try:
        last, midsave = -1, 0
        with open(conf, "w") as f:
            f.write("[odoledger]\ntotalmpixels=0\ntotalpixels=0\n\n[padding]\n" + "".join(
                f"k{i:05d}={PAD}\n" for i in range(PADDING)))
        for r in range(1, ROUNDS + 1):
            proc, seen = start(rnd.randint(20, 50), last)
            until = time.monotonic() + rnd.uniform(0, 0.6)
            while time.monotonic() < until:  # a reader never catches it torn or going back either
                now = whole(env)
                assert now is not None and now >= seen, f"round {r}: read {now} after {seen}"
                seen = now
            proc.kill()
            assert proc.wait() == -signal.SIGKILL
            midsave += any(re.fullmatch(r"Dovo\.conf\.(lock|\w{6})", n) for n in os.listdir(env["XDG_CONFIG_HOME"]))
            last = whole(env)
            assert last is not None and last >= seen, f"round {r}: {last} after {seen}"
            assert kept(proc) == (PADDING, False), f"round {r}"
        assert midsave >= 1, "some kills landed inside a save"

        proc, _ = start(20, last)  # stopped over and over until caught holding the lock, killed there
        wait_for("dovo is caught holding the lock", lambda: os.kill(proc.pid, signal.SIGSTOP) or os.path.exists(
            conf + ".lock") or os.kill(proc.pid, signal.SIGCONT), interval=0.005)
        proc.kill()
        proc.wait()
        proc, _ = start(20, whole(env))
        assert kept(proc) == (PADDING, False) and Processes.stop(proc) == 0 and not os.path.exists(conf + ".lock")
    finally:
        done.set()
        sweeper.join()


def context_switches(pid):
    return sum(int(line.split()[1]) for task in os.listdir(f"/proc/{pid}/task")
               for line in open(f"/proc/{pid}/task/{task}/status") if "ctxt_switches:" in line)


# environment | moves | how it ends
RESTING = [
    pytest.param({}, 30, "asleep", id="sleeping between moves"),
    pytest.param({"DOVO_POINTER": "polling"}, 30, "close", id="asking at every tick"),
    pytest.param({"DOVO_AUTOSAVE_INTERVAL_MS": "1000"}, 5, "saved", id="sleeping, saving every second"),
]


@pytest.mark.parametrize("env, moves, end", RESTING)
def test_resting(desktop, env, moves, end):
    """A path walked with rests counts the same twips whether Dovo sleeps until motion or asks at every tick;
    at rest its threads stay asleep; the saves after a rest are exact."""
    rnd = random.Random(20261207)
    desktop.motion(800, 450)
    desktop.env.update(env)
    dovo = Dovo(desktop)
    ledger = model.Ledger(at=desktop.pointer())
    for _ in range(moves):
        dovo.move(rnd.randint(400, 1200), rnd.randint(260, 700), ledger)
    want = (str(ledger.twips), "0")
    if end == "asleep":
        before, until = context_switches(dovo.pid), time.monotonic() + 5
        while time.monotonic() < until:
            assert context_switches(dovo.pid) - before <= 3, "at most 3 wake-ups in 5 s at rest"
            time.sleep(0.2)
    if end == "saved":
        wait_for("the periodic save writes the total during the rest", lambda: saved(desktop.env) == want)
    assert (dovo.close() if end == "close" else os.kill(dovo.pid, signal.SIGTERM) or dovo.wait()) == 0
    assert saved(desktop.env) == want
