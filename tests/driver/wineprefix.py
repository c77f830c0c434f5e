"""make DIR BITS: the Wine prefix a test run's Windows tests copy; 77 (skipped) where Wine cannot
run BITS-bit programs, the reason kept in DIR.cannot-run.  remove DIR.  run EXE ARGS...: the
Windows builds' CMAKE_CROSSCOMPILING_EMULATOR, in a copy of $DOVO_WINE_TEMPLATE, else in
$WINEPREFIX or a prefix in the user's cache, never ~/.wine.  bits EXE: 32 or 64."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from programs import LOADERS, Wine, pe_bits, wine_cannot_run

SKIPPED = 77


def cannot_run(bits):
    # 32-bit programs need wine32, and a kernel that runs 32-bit x86 code:
    # some virtual machines do not, and wine32 installs there all the same.
    loader = LOADERS[bits]
    if not shutil.which("wineserver") or not os.access(loader, os.X_OK):
        return f"no {bits}-bit Wine here (Debian: wine{bits})"
    if subprocess.run([loader, "--version"], capture_output=True).returncode != 0:
        return f"this machine cannot run {bits}-bit x86 programs ({loader} --version fails)"


def make(folder, bits):
    remove(folder)
    os.makedirs(os.path.dirname(folder), exist_ok=True)
    if why := cannot_run(int(bits)):
        with open(folder + ".cannot-run", "w") as f:
            f.write(why + "\n")
        print(why + "; skipped")
        return SKIPPED
    # the 64-bit loader where there is one: its prefix runs both kinds (WoW64)
    started, env = time.monotonic(), dict(os.environ, WINEPREFIX=folder, WINEDEBUG="-all")
    if subprocess.run([LOADERS[32 if cannot_run(64) else 64], "wineboot", "-i"], env=env).returncode:
        return 1
    subprocess.run(["wineserver", "-w"], env=env)
    Wine.forget_server(folder)
    print(f"made {folder} in {time.monotonic() - started:.1f} s")
    return 0


def remove(folder):
    if os.path.isdir(folder):
        Wine.remove_prefix(folder)
    if os.path.exists(folder + ".cannot-run"):
        os.unlink(folder + ".cannot-run")


def run(exe, *args):
    bits, template = pe_bits(exe), os.environ.get("DOVO_WINE_TEMPLATE")
    if why := wine_cannot_run(template) if template else cannot_run(bits):
        print(why + "; skipped")
        return SKIPPED
    if template:
        # beside the template: a copy hard-links it, which needs the same file system
        prefix = tempfile.mkdtemp(prefix=os.path.basename(template) + ".run.", dir=os.path.dirname(template))
        Wine.copy_prefix(template, prefix)
    else:
        cache = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
        prefix = os.environ.get("WINEPREFIX") or os.path.join(cache, "dovo", "wine")
        if os.path.realpath(prefix) == os.path.realpath(os.path.expanduser("~/.wine")):
            sys.exit(f"wineprefix.py: will not run tests in the user's own prefix {prefix}")
    try:
        # Wine 8's 32-bit loader itself now and then dies of SIGSEGV on a busy
        # machine as the program exits, its tests passed (once in about fifty
        # runs); a fault of the program is an exception and a status instead.
        for _ in range(2):
            status = subprocess.run([LOADERS[bits], exe, *args], env=dict(os.environ, WINEPREFIX=prefix,
                                                                          WINEDEBUG="-all")).returncode
            if status != -signal.SIGSEGV:
                return status
            print(f"wineprefix.py: Wine's loader crashed (SIGSEGV) running {exe}", file=sys.stderr)
        return 128 + signal.SIGSEGV
    finally:
        if template:
            Wine.remove_prefix(prefix)


if __name__ == "__main__":
    command, *arguments = sys.argv[1:]
    sys.exit({"make": make, "remove": remove, "run": run,
              "bits": lambda exe: print(pe_bits(exe))}[command](*arguments))
