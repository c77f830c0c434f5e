"""scripts/bench, bench-windows, soak and screenshot on the driver's desktop:
measure.py bench BUILD | bench-windows DOVO.EXE | soak BUILD | screenshot BUILD OUT.png"""

import csv
import glob
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "driver"))
import dovo  # noqa: E402
import model  # noqa: E402
from desktop import Desktop  # noqa: E402
from dovo import TITLE, Dovo  # noqa: E402
from procs import Processes, Timeout, wait_for  # noqa: E402
from programs import LOADERS, Wine, pe_bits  # noqa: E402

SETTLE = 2  # start-up, the switch to or from the tray, the last tick after a move: done
MOVE = 0.05  # a move this often: faster than the 200 ms tick, as a hand moves
ORDER = ("shown.moving", "shown.resting", "hidden.resting", "hidden.moving")


def say(text):
    print("==> " + text, flush=True)


def whole(name, default, least=1):
    text = os.environ.get(name, str(default))
    if not re.fullmatch(r"[1-9][0-9]*", text) or int(text) < least:
        sys.exit(print(f"{name} must be a whole number, at least {least}", file=sys.stderr) or 2)
    return int(text)


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:  # a thread that ended took its figures with it
        return ""


def sample(pid):
    """ns on a CPU (schedstat: exact, where utime+stime is sampled at the
    clock tick) and context switches, of each thread by id."""
    return {os.path.basename(t): (_read(t + "/comm").strip().replace(" ", "_"), int(
        (_read(t + "/schedstat").split() or [0])[0]), sum(map(int, re.findall(
            r"^(?:non)?voluntary_ctxt_switches:\s+(\d+)", _read(t + "/status"), re.M))))
        for t in glob.glob(f"/proc/{pid}/task/*")}


def kib(pid, key):
    found = re.search(rf"^{key}:\s+(\d+)", _read(f"/proc/{pid}/status"), re.M)
    return int(found[1]) if found else None


def median(values):
    return sorted(values)[(len(values) - 1) // 2]


def listed(values, fmt="%s"):
    return "".join(fmt % v + " " for v in values)


def shown(d, title):
    out = d.run("xwininfo", "-name", title).stdout
    return "Map State: IsViewable" in out and out.split("Window id: ")[1].split()[0]


def walker(d, seconds):
    """One xdotool walks the pointer round a square, 5 px a step: one process,
    so that the rate does not depend on how fast a busy machine forks; 64
    steps a lap, so that no two ticks 200 ms apart find it at one place.
    Relative moves go through XTest, as a hand's do; an absolute one warps."""
    args, step = ["mousemove", "1000", "600"], ("5 0", "0 5", "-5 0", "0 -5")
    for i in range(int((seconds + SETTLE + 5) / MOVE)):
        args += ["mousemove_relative", "--", *step[i % 64 // 16].split(), "sleep", str(MOVE)]
    return d.procs.spawn("walker", ["xdotool", *args], d.env)


def measure(d, argv, title, seconds, rest, others=lambda: []):
    """One round, shown and minimised, moving and resting: {mode: [(CPU
    s/min, wake-ups/s) of each process], its threads' wake-ups}, peak KiB."""
    proc = d.procs.spawn("measured", argv, d.env)
    wid = wait_for(f"{title} is shown", lambda: shown(d, title), timeout=20)
    pids, found, walk = [proc.pid, *others()], {}, walker(d, seconds)
    for mode in ORDER:
        if mode == "shown.resting":
            Processes.stop(walk)
        elif mode == "hidden.resting":  # dovo withdraws to the tray, the others are iconified
            d.run("xdotool", "windowminimize", wid, check=True)
            wait_for(f"{title} is hidden", lambda: not shown(d, title))
        elif mode == "hidden.moving":
            walk = walker(d, seconds)
        time.sleep(SETTLE if mode.endswith("moving") else rest)
        t0, before = time.monotonic(), [sample(p) for p in pids]
        time.sleep(seconds)
        secs, after = time.monotonic() - t0, [sample(p) for p in pids]
        rates = [[(sum(v[k] for v in a.values()) - sum(v[k] for v in b.values())) / secs for k in (1, 2)]
                 for b, a in zip(before, after)]
        found[mode] = [(cpu * 60e-9, wakes) for cpu, wakes in rates], ", ".join(
            f"{name} {(n - before[0].get(tid, (0, 0, 0))[2]) / secs:.2f}/s"
            for tid, (name, _, n) in sorted(after[0].items()))
    Processes.stop(walk)
    hwm = kib(proc.pid, "VmHWM")
    Processes.stop(proc)
    wait_for(f"{title} goes", lambda: not shown(d, title))  # the next must not find this one's window
    return found, hwm


def bench(build):
    seconds, rounds = whole("BENCH_SECONDS", 20), whole("BENCH_ROUNDS", 3)
    programs = {"dovo": (build + "/src/ui/dovo", TITLE), "baseline": (build + "/bench-baseline/baseline",
                "Dovo baseline"), "xlib": (build + "/benchmarks/xlib_loop", "Dovo xlib loop")}
    modes, runs, threads = ("shown.moving", "shown.resting", "hidden.moving", "hidden.resting"), {}, {}
    hwm, launches = {p: [] for p in programs}, {p: [] for p in programs}
    with Desktop(accessibility=False) as d:
        d.motion(1000, 600)
        say("launch to window shown, 5 launches each, alternating")
        for name, (exe, title) in [*programs.items()] * 5:
            assert not shown(d, title), f"a window {title!r} is already shown"
            started, proc = time.monotonic(), d.procs.spawn(name, [exe], d.env)
            wait_for(f"{name} shows its window", lambda: shown(d, title), interval=0.002)
            launches[name].append(round((time.monotonic() - started) * 1000))
            time.sleep(0.5)
            Processes.stop(proc)
            wait_for(f"{name}'s window goes", lambda: not shown(d, title))
        for r, (name, (exe, title)) in ((r, p) for r in range(1, rounds + 1) for p in programs.items()):
            say(f"round {r} of {rounds}: {name}, {seconds} s in each of {' '.join(modes)}")
            found, peak = measure(d, [exe], title, seconds, SETTLE)
            hwm[name].append(peak)
            for mode, (figures, threads[name, mode]) in found.items():
                runs.setdefault((name, mode), []).append(figures[0])
    say("core: build/benchmarks/odometer_benchmark")
    out = subprocess.run([build + "/benchmarks/odometer_benchmark", "--benchmark_format=csv"],
                         capture_output=True, text=True).stdout
    core = next(("%.1f" % (float(r[3]) * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[r[4]])
                 for r in csv.reader(out.splitlines()) if r[:1] == ["StepAndReadouts"]), "?")
    m = {(p, mode, i): median([f[i] for f in runs[p, mode]]) for p, mode in runs for i in (0, 1)}
    rows = [("measure", *programs, "target", ""), ("-" * 30, *["-" * 9] * 3, "-" * 26, "----")]
    for i, label, fmt in ((0, "CPU s/min", "%.3f"), (1, "wake-ups/s", "%.1f")):
        for mode in modes:
            cap, xlib = (0.01, 0.5)[i], m["xlib", mode, i]
            limit, why = ((min(cap, xlib), f"{cap}, < xlib") if mode.endswith("resting")
                          else (1.5 * xlib, "1.5x xlib") if (i, mode) == (0, "hidden.moving")
                          else (m["baseline", mode, 0], "1.0x baseline") if (i, mode) == (0, "shown.moving")
                          else (0, ""))
            text = str(cap) if limit == cap else ("%.4f", "%.2f")[i] % limit
            rows.append((f"{label}, {mode.replace('.', ', ')}", *[fmt % m[p, mode, i] for p in programs],
                         *((f"<= {text} ({why})", verdict(m["dovo", mode, i], limit)) if why else ("", ""))))
    peak = int(median(hwm["baseline"]) * 1.05)
    rows += [("peak RSS (VmHWM), KiB", *[median(hwm[p]) for p in programs], f"<= {peak} (1.05x baseline)",
              verdict(median(hwm["dovo"]), peak)),
             ("launch to window shown, ms", *[median(launches[p]) for p in programs], "<= 300",
              verdict(median(launches["dovo"]), 300)), ("core, ns per tick", core, "-", "-", "", "")]
    print(f"\nmedians of {rounds} rounds, {seconds} s a measurement; moving: a move every {MOVE} s")
    print(*["%-30s %9s %9s %9s   %-26s %s" % row for row in rows], sep="\n")
    print("\nCPU: time on a CPU of all threads, from /proc/PID/task/*/schedstat.\nwake-ups: voluntary + "
          "nonvoluntary context switches of all threads\n  (/proc/PID/task/*/status), per second; preemption"
          " by other programs\n  counts too.  Hidden: dovo in the tray, the others iconified.")
    print("rounds (CPU s/min | wake-ups/s):", *["  %-15s %-8s %s| %s" % (mode, p, listed(
        [f[0] for f in runs[p, mode]], "%.4f"), listed([f[1] for f in runs[p, mode]], "%.2f"))
        for mode in modes for p in programs], sep="\n")
    print("switches per thread, last round:", *["  %-15s %-8s %s" % (mode, p, threads[p, mode])
                                                for mode in modes for p in programs], sep="\n")
    print("peak RSS per round (KiB):", "| ".join(f"{p} {listed(hwm[p])}" for p in programs))
    print("launches (ms):", "| ".join(f"{p} {listed(launches[p])}" for p in programs))


def verdict(value, limit):
    return "PASS" if value <= limit else "MISS"


def bench_windows(exe):
    seconds, rounds = whole("BENCH_SECONDS", 20), whole("BENCH_ROUNDS", 3)
    runs, hwm, loader = {mode: [] for mode in ORDER}, [], LOADERS[pe_bits(exe)]
    with Desktop(accessibility=False) as d:
        prefix = d.env["WINEPREFIX"] = d.path("wine")
        d.env["WINEDEBUG"] = "-all"
        try:
            say("making a Wine prefix")
            subprocess.run([loader, "wineboot", "-i"], env=d.env, capture_output=True)
            d.motion(1000, 600)
            for r in range(1, rounds + 1):
                say(f"round {r} of {rounds}, {seconds} s in each of {' '.join(ORDER)}")
                # Dovo for Windows slows its tick only after five seconds at rest.
                found, peak = measure(d, [loader, exe], TITLE, seconds, 7, lambda: [server(prefix)])
                hwm.append(peak)
                for mode, (figures, _) in found.items():
                    runs[mode].append(figures[0] + figures[1])
        finally:
            Wine.remove_prefix(prefix)
    print("\n%-26s %12s %12s %16s %16s" % (f"medians of {rounds} rounds", "CPU s/min", "wake-ups/s",
                                           "wineserver CPU", "wineserver wakes"))
    for mode in ORDER:
        print("%-26s %12.3f %12.1f %16.3f %16.1f" % (mode.replace(".", ", "),
                                                     *[median([f[i] for f in runs[mode]]) for i in range(4)]))
    print(f"peak RSS of dovo.exe (VmHWM), KiB: {median(hwm)}\nrounds (CPU s/min | wake-ups/s):")
    for mode in ORDER:
        print("  %-15s %s| %s" % (mode, listed([f[0] for f in runs[mode]], "%.4f"),
                                  listed([f[1] for f in runs[mode]], "%.2f")))
    print("Wine " + subprocess.run([loader, "--version"], capture_output=True, text=True).stdout.strip())
    print("A call into Wine's server is a round trip to another process, so one tick of\n"
          "the program costs about ten context switches here where Windows has none.")


def server(prefix):
    """This prefix's wineserver: it works in a folder named after the
    prefix's device and inode."""
    st = os.stat(prefix)
    for comm in glob.glob("/proc/[0-9]*/comm"):
        try:
            if _read(comm).strip() in ("wineserver", "wineserver64") and os.readlink(
                    comm[:-4] + "cwd").endswith(f"/server-{st.st_dev:x}-{st.st_ino:x}"):
                return int(comm.split("/")[2])
        except OSError:  # gone, or not ours to read
            pass
    raise RuntimeError("no wineserver for " + prefix)


def soak(build):
    seconds = whole("SOAK_SECONDS", 600, least=20)
    early_at, steps, carries, rss_early = seconds // 2 if seconds < 120 else 60, 0, 0, None
    os.environ["DOVO"] = build + "/src/ui/dovo"
    # a rectangle of straight steps clear of the window and the panel, from
    # one step short of a block: a short run carries too
    corners = [(1100, 200), (1100, 500), (700, 500), (700, 200)]
    ledger = model.Ledger(model.BLOCK - 400 * 15, 3, at=corners[-1])
    with Desktop(accessibility=False) as d:
        dovo.save(d.env, ledger.twips, ledger.blocks)
        d.motion(*ledger.at)
        run, start = Dovo(d), time.monotonic()
        say(f"dovo runs as pid {run.pid}; walking the pointer for {seconds} s")
        try:
            while time.monotonic() < start + seconds:
                blocks = ledger.blocks
                run.move(*corners[steps % 4], ledger)
                steps, carries = steps + 1, carries + ledger.blocks - blocks
                if rss_early is None and time.monotonic() - start >= early_at:
                    rss_early = kib(run.pid, "VmRSS")
                    say(f"resident memory after {early_at} s: {rss_early} KiB")
        except Timeout:
            print(f"soak: dovo died or stopped counting after {steps} steps", file=sys.stderr)
        alive = run.proc.poll() is None
        rss_end = kib(run.pid, "VmRSS") if alive else None
        by = ("wm" if run.managed() else "direct") if alive else "nothing"
        status, saved = run.close() if alive else run.wait(1), dovo.saved(d.env)
    print("", *["%-34s %s" % row for row in (
        ("run", f"{seconds} s, {steps} steps of 400/300 px, each held until dovo rests"),
        ("blocks carried during the run", carries), (f"VmRSS after {early_at} s", f"{rss_early} KiB"),
        ("VmRSS at the end", f"{rss_end} KiB"),
        ("predicted totalpixels/totalmpixels", f"{ledger.twips} / {ledger.blocks}"),
        ("saved totalpixels/totalmpixels", " / ".join(map(str, saved))),
        ("exit status", f"{status} (closed via {by})"))], "", sep="\n")
    checks = {"dovo ran for the whole soak": alive,
              f"VmRSS at the end ({rss_end} KiB) <= after {early_at} s ({rss_early} KiB) + 1024 KiB":
              None not in (rss_early, rss_end) and rss_end <= rss_early + 1024,
              "saved totalpixels": saved[0] == str(ledger.twips),
              "saved totalmpixels": saved[1] == str(ledger.blocks),
              "closed through the window manager": by == "wm", "exit status 0": status == 0}
    print(*[("ok   - " if ok else "FAIL - ") + what for what, ok in checks.items()], sep="\n")
    print(f"{sum(checks.values())} passed, {len(checks) - sum(checks.values())} failed")
    return 0 if all(checks.values()) else 1


def screenshot(build, out):
    os.environ["DOVO"] = build + "/src/ui/dovo"
    with Desktop(accessibility=False) as d:
        # "7529 cm", "75 m", "0.07 km"; the move adds 150 twips, which none shows.  openbox
        # centres a new window, so the lower right stays clear of it.
        dovo.save(d.env, 300000, 7)
        d.motion(1100, 600)
        run = Dovo(d)
        run.move(1110, 600)
        try:
            wait_for("an icon docks", run.icon)
        except Timeout:
            say("warning: no tray icon docked")
        run.quiet()
        geo = d.geometry(run.wid)
        # left, right, top, bottom: the frame openbox draws
        frame = re.findall(r"\d+", d.xprop("-id", str(run.wid), "_NET_FRAME_EXTENTS"))
        fl, fr, ft, fb = map(int, frame or [0] * 4)
        w, h, full = geo["width"] + fl + fr, geo["height"] + ft + fb, d.path("full.png")
        d.run("import", "-window", "root", full, check=True)
        d.run("convert", full, "-crop", f"{w}x{h}+{geo['x'] - fl}+{geo['y'] - ft}", "+repage", out,
              check=True)
        shutil.copy(full, out[:-4] + "-desktop.png")
        if run.close() != 0:
            return print("screenshot: dovo did not exit with status 0", file=sys.stderr) or 1
    say(f"window:  {out} ({w}x{h})\n==> desktop: {out[:-4]}-desktop.png")


if __name__ == "__main__":
    tool, *arguments = sys.argv[1:]
    sys.exit({"bench": bench, "bench-windows": bench_windows, "soak": soak,
              "screenshot": screenshot}[tool](*arguments))
