"""Processes a fixture starts, logged to its folder and always stopped."""

import contextlib
import os
import signal
import subprocess
import time


class Timeout(AssertionError):
    pass


def wait_for(what, check, timeout=10.0, interval=0.05):
    """Poll check() until it returns something true, and return that.  A deadline, never a delay: on a
    busy machine each step may take far longer than on an idle one; the test judges what happened."""
    deadline = time.monotonic() + timeout
    while not (value := check()):
        if time.monotonic() >= deadline:
            raise Timeout(f"{what}: not within {timeout:g} s")
        time.sleep(interval)
    return value


class Processes:
    """Children started into one log folder, stopped newest first."""

    def __init__(self, logs):
        self.logs = logs
        self.children = []
        self.counts = {}

    def spawn(self, name, argv, env, **kwargs):
        n = self.counts[name] = self.counts.get(name, 0) + 1
        stem = os.path.join(self.logs, name if n == 1 else f"{name}.{n}")
        with open(stem + ".out", "wb") as out, open(stem + ".err", "wb") as err:
            # A process group of its own, so that what it starts in turn (the accessibility bus launcher
            # starts a bus daemon and the registry) is stopped with it.
            streams = {"stdin": subprocess.DEVNULL, "stdout": out, "stderr": err, **kwargs}
            proc = subprocess.Popen(argv, env=env, start_new_session=True, **streams)
        proc.name, proc.stdout_path, proc.stderr_path = name, stem + ".out", stem + ".err"
        self.children.append(proc)
        return proc

    @staticmethod
    def stop(proc, timeout=5.0):
        """SIGTERM to the group, SIGKILL after timeout; returns the status."""
        if proc.returncode is None:
            _signal_group(proc, signal.SIGTERM)
            if not _exited(proc, timeout):
                _signal_group(proc, signal.SIGKILL)
                _exited(proc, None)
            # What the leader left behind in its group, while the unreaped leader still holds the group's
            # id so that no newcomer has it.
            _signal_group(proc, signal.SIGKILL)
        return proc.wait()

    def stop_all(self):
        while self.children:
            self.stop(self.children.pop())


def _exited(proc, timeout):
    """Wait until proc has exited, without reaping it."""
    deadline = None if timeout is None else time.monotonic() + timeout
    flags = os.WEXITED | os.WNOWAIT | (0 if deadline is None else os.WNOHANG)
    while os.waitid(os.P_PID, proc.pid, flags) is None:
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


def _signal_group(proc, sig):
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(proc.pid, sig)
