"""python3 roots.py [--fresh | --build-only] bookworm|trixie|forky -- COMMAND...: COMMAND as root in a
pristine root of that release with the checkout at /dovo (read-only), the host's /proc /sys /dev and
/tmp/.X11-unix, and the caller's DISPLAY, XAUTHORITY and DOVO_*.  The root has the "build" and "test"
packages of scripts/packages.txt ("build" alone with --build-only), cached in $DOVO_ROOTS under a key of
that list; --fresh: minbase and git, removed after.  Runs of one release wait for each other."""

import contextlib, fcntl, glob, hashlib, os, re, shutil, subprocess, sys, tempfile

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CACHE = os.environ.get("DOVO_ROOTS", "/var/cache/dovo-roots")
PLAIN = ("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root", "LANG=C.UTF-8",
         "DEBIAN_FRONTEND=noninteractive")
BINDS = [(m, m) for m in ("/proc", "/sys", "/dev", "/dev/pts", "/dev/shm", "/tmp/.X11-unix")]
BINDS.append((CHECKOUT, "/dovo"))
# A mirror may serve testing's InRelease past its Valid-Until: accepted in a root, never on the host.
# Nothing installed in a root starts a service on the host's behalf.
SETUP = {"etc/apt/apt.conf.d/90dovo-root": 'Acquire::Check-Valid-Until "false";\nAcquire::Languages "none";\n'
         'APT::Install-Recommends "false";\nDPkg::Lock::Timeout "600";\n',
         "usr/sbin/policy-rc.d": "#!/bin/sh\nexit 101\n"}

def say(text):
    print("roots.py: " + text, file=sys.stderr, flush=True)

def run(*argv, root=None, log=None, **kwargs):
    """argv, or inside root in a mount namespace of its own, whose mounts end with its last process
    however the run ends; into the file log, whose end is told if it fails."""
    argv = ("unshare", "--mount", sys.executable, __file__, "--enter", root, *argv) if root else argv
    with open(log or os.devnull, "a") as out:
        status = subprocess.run(argv, **dict(stdout=out, stderr=out) if log else {}, **kwargs).returncode
    if log and status:
        subprocess.run(["tail", "-n", "30", log], stdout=sys.stderr)
        sys.exit(1)
    return status

def enter(root, *argv):
    os.makedirs("/tmp/.X11-unix", exist_ok=True)
    os.chmod("/tmp/.X11-unix", 0o1777)
    for host, inside in BINDS:
        os.makedirs(root + inside, exist_ok=True)
        run("mount", "--bind", host, root + inside, check=True)
    run("mount", "-o", "remount,bind,ro", root + "/dovo", check=True)
    with contextlib.suppress(OSError):
        shutil.copyfile("/etc/resolv.conf", root + "/etc/resolv.conf")
    os.chroot(root)
    os.chdir("/")
    os.execv("/usr/bin/env", ["env", "-i", *PLAIN, *argv])

def remove(root):
    with open("/proc/mounts") as f:  # never through a mount: it could be the host's
        if any((line.split()[1] + "/").startswith(root + "/") for line in f):
            return say(f"left {root} in place: something is still mounted in it")
    run("rm", "-rf", "--one-file-system", root, check=True)

def base(release, mirror):
    """minbase, git and apt set up for a root, as a tarball: a copy costs seconds."""
    tarball = f"{CACHE}/base-{release}.tar"
    if os.path.isfile(tarball) and os.path.getsize(tarball):
        return tarball
    root = tempfile.mkdtemp(prefix=f".base-{release}.", dir=CACHE)
    os.chmod(root, 0o755)
    say(f"making a {release} root with debootstrap (minbase)")
    try:  # debootstrap has no script for testing yet: sid's makes it
        run("debootstrap", "--variant=minbase", "--include=git,ca-certificates", release, root, mirror,
            *["/usr/share/debootstrap/scripts/sid"] * (release == "forky"), log=root + ".log")
        for name, text in SETUP.items():
            with open(f"{root}/{name}", "w") as f:
                f.write(text)
        os.chmod(f"{root}/usr/sbin/policy-rc.d", 0o755)
        run("tar", "-C", root, "-cf", tarball + ".tmp", ".", check=True)
        os.rename(tarball + ".tmp", tarball)
    finally:
        run("rm", "-rf", root, root + ".log")
    return tarball

def cached(release, groups, kind, mirror):
    with open(os.path.join(CHECKOUT, "scripts", "packages.txt")) as f:
        wanted = [pkg for group, pkg, *releases in (line.split() for line in f if len(line.split()) > 1)
                  if group in groups and (not releases or release in releases[0].split(","))]
    stem = f"{CACHE}/{release}-{kind}"
    root = stem + hashlib.sha256("".join(f"{n}\n" for n in [release, *wanted]).encode()).hexdigest()[:12]
    if not os.path.isfile(root + "/.dovo-ready"):
        tarball = base(release, mirror)
        for old in glob.glob(stem + "*"):  # only the same kind's: the other kind is still current
            if os.path.isdir(old) and re.fullmatch("[0-9a-f]{12}", old[len(stem):]):
                remove(old)
        os.makedirs(root)
        run("tar", "-C", root, "-xf", tarball, check=True)
        say(f"installing {len(wanted)} packages into the {release} root")
        open(root + ".log", "w").close()
        run("apt-get", "-q", "update", root=root, log=root + ".log")
        run("apt-get", "-q", "install", "-y", *wanted, root=root, log=root + ".log")
        open(root + "/.dovo-ready", "w").close()
    return root

def main(mode="", release="", dashes="", *command):
    if mode == "--enter":
        return enter(release, dashes, *command)
    if mode not in ("", "--fresh", "--build-only"):
        return main("", mode, release, dashes, *command)
    if dashes != "--" or not command or release not in ("bookworm", "trixie", "forky"):
        return say("usage: roots.py [--fresh | --build-only] RELEASE -- COMMAND...") or 2
    if os.geteuid() != 0 or not shutil.which("debootstrap"):
        return say("needs root (debootstrap, mount, chroot) and debootstrap") or 1
    mirror = os.environ.get("DOVO_DEBIAN_MIRROR", "http://deb.debian.org/debian")
    os.makedirs(CACHE, exist_ok=True)
    with open(f"{CACHE}/{release}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        tmp = os.environ.get("TMPDIR", "/var/tmp")
        for stale in glob.glob(f"{tmp}/dovo-fresh-{release}.*"):
            remove(stale)
        if mode == "--fresh":
            root = tempfile.mkdtemp(prefix=f"dovo-fresh-{release}.", dir=tmp)
            os.chmod(root, 0o755)
            run("tar", "-C", root, "-xf", base(release, mirror), check=True)
        else:
            only = mode == "--build-only"
            root = cached(release, ["build"] if only else ["build", "test"], "build-only-" * only, mirror)
        passed = [f"DISPLAY={os.environ.get('DISPLAY', '')}"]
        if os.access(os.environ.get("XAUTHORITY", ""), os.R_OK):
            shutil.copyfile(os.environ["XAUTHORITY"], root + "/root/.Xauthority")
            os.chmod(root + "/root/.Xauthority", 0o600)
            passed.append("XAUTHORITY=/root/.Xauthority")
        passed += [f"{k}={v}" for k, v in os.environ.items()
                   if k.startswith("DOVO_") and k not in ("DOVO_ROOT", "DOVO_BUILD")]
        try:
            status = run(*passed, *command, root=root)
            return status if status >= 0 else 128 - status
        finally:
            if mode == "--fresh":
                remove(root)

if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
