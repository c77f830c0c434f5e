"""How a run of Dovo ends, sleeps and rests, and what it leaves in the store:
the machine's sleep, the end of the session, signals, a kill, the X server
going away."""

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
    """Saved before the machine sleeps, though no periodic save is due; the
    move after the resume counted and saved at the next sleep."""
    program.can_sleep()
    desktop = program.desktop
    dovo = program.start()
    ledger = model.Ledger(at=desktop.pointer())
    if program.name == "linux":
        # The lock's witness: had Dovo believed a PrepareForSleep from
        # another sender, its lock would be gone when it takes the next one.
        program.logind.wait("dovo takes a delay lock", lambda *locks: locks == (1, 1, 0))
        program.logind.ask("forge", "1")
        program.wakes(dovo)
        assert program.logind.state() == (2, 1, 1) and program.saved() == (None, None)
    for at in [(300, 200), (700, 200), (700, 500)]:
        dovo.move(*at, ledger)
    program.sleeps(dovo)
    assert stored(program, ledger), "saved before the sleep"
    dovo.mark()
    program.wakes(dovo)
    wait_for("dovo samples the pointer after the resume", lambda: dovo._asked("rests", 700, 500))
    dovo.move(700, 600, ledger)
    program.sleeps(dovo)
    assert stored(program, ledger), "the move after the resume saved at the next sleep"
    assert dovo.close() == 0


def test_killed_after_a_periodic_save(program):
    """What survives a kill is the last periodic save (a block carried in
    it), and the next start counts on from it and reports nothing."""
    program.save(562000, 7)
    dovo = program.start(env={"DOVO_AUTOSAVE_INTERVAL_MS": "300"})
    ledger = model.Ledger(562000, 7, at=program.desktop.pointer())
    for at in [(640, 150), (840, 150)]:
        dovo.move(*at, ledger)
        wait_for(f"the periodic save holds {ledger}", lambda: stored(program, ledger))
    os.killpg(dovo.pid, signal.SIGKILL)
    assert dovo.wait() == -signal.SIGKILL and stored(program, ledger)
    again = program.start()
    again.move(1040, 150, ledger)
    assert again.close() == 0 and stored(program, ledger)
    assert said(again) == [f"dovo: pointer from {program.source}"]


# how it ends | its exit status
ENDINGS = [
    pytest.param("session", 0, id="the end of the session"),
    pytest.param("SIGINT", 0, id="SIGINT"),
    pytest.param("SIGHUP", 0, id="SIGHUP"),
    # Held still as the server goes, as a busy machine at logout would: a
    # tick falls due before Qt notices, with no pointer to read.  Started as
    # a launcher whose reader of stderr is gone, which Qt's last words hit.
    pytest.param("X TERM held, stderr a closed pipe", 1, id="X server ends, stderr a closed pipe"),
    pytest.param("X KILL", 1, id="X server killed"),
    pytest.param("X TERM blocked", 1, id="X server ends and the save at exit fails"),
]


@pytest.mark.parametrize("how, status", ENDINGS)
def test_ends_saved(program, how, status):
    """However it ends, the totals are saved, or one line says why not."""
    if program.name != "linux" and how != "session":
        pytest.skip("signals and the X server are the Linux program's")
    desktop, env, streams = program.desktop, {}, {}
    blocked = "blocked" in how
    if blocked:
        with open(desktop.path("blocked"), "w") as f:
            f.write("not a folder\n")
        env = {"XDG_CONFIG_HOME": desktop.path("blocked", "config"), "DOVO_AUTOSAVE_INTERVAL_MS": "300"}
    else:
        program.save(1000, 4)
    if "pipe" in how:
        reader, streams["stderr"] = os.pipe()
    dovo = program.start(env=env, **streams)
    for end in streams.values():
        os.close(end)
        os.close(reader)
    ledger = model.Ledger(*((0, 0) if blocked else (1000, 4)), at=desktop.pointer())
    dovo.move(300, 200, ledger)
    if blocked:
        wait_for("the failed periodic save is said",
                 lambda: any(line.startswith("dovo: autosave: cannot save") for line in said(dovo)))
    if "held" in how:
        # sampled, so the tick that finds it still is the next one
        dovo.mark()
        desktop.motion(500, 200)
        wait_for("dovo samples the pointer", lambda: dovo._asked("sampled", 500, 200))
        ledger.move(500, 200)
        os.kill(dovo.pid, signal.SIGSTOP)
    else:
        dovo.move(200, 200, ledger)
    if how == "session":
        code = program.end_session(dovo)
    elif how.startswith("SIG"):
        os.kill(dovo.pid, getattr(signal, how))
        code = dovo.wait()
    else:
        os.kill(desktop.xvfb.pid, signal.SIGKILL if "KILL" in how else signal.SIGTERM)
        wait_for("the X server ends", lambda: desktop.xvfb.poll() is not None)
        if "held" in how:
            # Dovo's own 200 ms tick falls due while it is stopped
            time.sleep(0.3)
            os.kill(dovo.pid, signal.SIGCONT)
        code = dovo.wait()
    assert code == status
    if blocked:
        told = [line for line in said(dovo) if line.startswith("dovo: exit: ")]
        assert len(told) == 1 and told[0].startswith(
            f"dovo: exit: cannot save the totals to {env['XDG_CONFIG_HOME']}/Dovo.conf: "), told
    else:
        assert stored(program, ledger)
    if program.name == "linux":
        assert not os.path.exists(conf_path(desktop.env) + ".lock")


def whole(env):
    """The stored distance in twips while [odoledger] holds both totals once
    each as 32-bit integers; None for a torn, empty or missing file."""
    try:
        with open(conf_path(env), "rb") as f:
            text = f.read().decode()
    except (OSError, UnicodeError):
        return None
    section = re.search(r"^\[odoledger\]\n((?:[^\[].*\n?)*)", text, re.M)
    found = dict(re.findall(r"^(totalm?pixels)=(-?\d{1,10})$", section[1], re.M)) if section else {}
    if len(found) != 2 or len(re.findall(r"^totalm?pixels\s*=", section[1], re.M)) != 2 or any(
            not -2 ** 31 <= int(v) < 2 ** 31 for v in found.values()):
        return None
    return int(found["totalmpixels"]) * model.BLOCK + int(found["totalpixels"])


PAD, PADDING = "0" * 100, 20000
ROUNDS = 40  # from the 21st, foreign keys make each save rewrite 2 MB: a kill lands inside one


def test_killed_while_saving(desktop):
    """SIGKILL at random moments while Dovo saves every 20-50 ms with the
    pointer never resting: the file holds a whole earlier or later set of
    totals, never torn, never going back, the other keys kept, and what a
    kill leaves (a lock) never stops or troubles the next run."""
    env, folder, conf = desktop.env, desktop.env["XDG_CONFIG_HOME"], conf_path(desktop.env)
    done = threading.Event()

    def sweep():
        for x in itertools.cycle(list(range(200, 1111, 130)) + list(range(980, 329, -130))):
            if done.wait(0.05):
                return
            desktop.motion(x, 200)

    def start(interval):
        proc = desktop.procs.spawn("round", [os.environ["DOVO"]], dict(env, DOVO_AUTOSAVE_INTERVAL_MS=str(interval)))
        return proc, lambda: "Dovo.conf" not in open(proc.stderr_path).read()

    def padding():
        with open(conf) as f:
            return f.read().count(f"={PAD}\n")

    sweeper = threading.Thread(target=sweep)
    sweeper.start()
    try:
        prev, midsave, rnd = -1, 0, random.Random()
        for r in range(1, ROUNDS + 1):
            if r == ROUNDS // 2 + 1:
                total = whole(env)
                with open(conf + ".new", "w") as f:
                    f.write(f"[odoledger]\ntotalmpixels={total // model.BLOCK}\ntotalpixels={total % model.BLOCK}\n"
                            "\n[padding]\n" + "".join(f"k{i:05d}={PAD}\n" for i in range(1, PADDING + 1)))
                os.replace(conf + ".new", conf)
            proc, quiet = start(rnd.randint(20, 50))
            # it saves before it is killed: what the last kill left did not stop it
            seen = wait_for(f"round {r} saves beyond {prev}", lambda: (whole(env) or -1) > prev and whole(env))
            until = time.monotonic() + rnd.uniform(0, 0.6)
            while time.monotonic() < until:  # read all through: never torn, never back
                now = whole(env)
                assert now is not None and now >= seen, f"round {r}: read {now} after {seen}"
                seen = now
            proc.kill()
            assert proc.wait() == -signal.SIGKILL
            midsave += any(n == "Dovo.conf.lock" or re.fullmatch(r"Dovo\.conf\.\w{6}", n) for n in os.listdir(folder))
            prev = whole(env)
            assert prev is not None and prev >= seen, f"round {r}: {prev} after {seen}"
            assert r <= ROUNDS // 2 or padding() == PADDING, f"round {r}: the other keys"
            assert quiet(), f"round {r}: the file was whole, yet it complained"
        assert midsave >= 1, "some kills landed inside a save"

        # stopped over and over until caught holding the lock, killed there
        proc, _ = start(20)
        wait_for("it saves", lambda: (whole(env) or -1) > prev)

        def caught():
            os.kill(proc.pid, signal.SIGSTOP)
            if os.path.exists(conf + ".lock"):
                return True
            os.kill(proc.pid, signal.SIGCONT)
            time.sleep(rnd.uniform(0, 0.01))

        wait_for("dovo is caught holding the lock", caught)
        proc.kill()
        proc.wait()
        before = whole(env)
        assert before is not None and padding() == PADDING
        proc, quiet = start(20)
        wait_for("the next start saves despite the stale lock", lambda: (whole(env) or -1) > before)
        assert quiet()
        assert Processes.stop(proc) == 0 and whole(env) is not None and not os.path.exists(conf + ".lock")
    finally:
        done.set()
        sweeper.join()


def context_switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            total += sum(int(line.split()[1]) for line in f if "ctxt_switches:" in line)
    return total


# environment | moves | how it ends
RESTING = [
    pytest.param({}, 30, "asleep", id="sleeping between moves"),
    pytest.param({"DOVO_POINTER": "polling"}, 30, "close", id="asking at every tick"),
    pytest.param({"DOVO_AUTOSAVE_INTERVAL_MS": "1000"}, 5, "saved", id="sleeping, saving every second"),
]


@pytest.mark.parametrize("env, moves, end", RESTING)
def test_resting(desktop, env, moves, end):
    """A seeded path walked with a rest after every move comes to the same
    total, to the twip, whether Dovo sleeps until motion or asks at every
    tick; at rest its threads stay asleep; the saves after a rest are exact."""
    rnd = random.Random(20261207)
    desktop.motion(800, 450)
    desktop.env.update(env)
    dovo = Dovo(desktop)
    ledger = model.Ledger(at=desktop.pointer())
    for _ in range(moves):
        dovo.move(rnd.randint(400, 1200), rnd.randint(260, 700), ledger)
    if end == "asleep":
        before, until = context_switches(dovo.pid), time.monotonic() + 5
        while time.monotonic() < until:
            assert context_switches(dovo.pid) - before <= 3, "at most 3 wake-ups in 5 s at rest"
            time.sleep(0.2)
    if end == "saved":
        wait_for("the periodic save writes the total during the rest", lambda: saved(desktop.env) == (str(ledger.twips), "0"))
    if end == "close":
        assert dovo.close() == 0
    else:
        os.kill(dovo.pid, signal.SIGTERM)
        assert dovo.wait() == 0
    assert saved(desktop.env) == (str(ledger.twips), "0")
