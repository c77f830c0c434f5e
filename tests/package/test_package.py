"""The .deb as a user's package manager unpacks it: each file where the
desktop looks for it, and the installed program starts, closes and saves."""

import glob
import os
import subprocess
import tempfile

import dovo

APP = "net.quendorvil.Dovo"
EXTENSION = "usr/share/gnome-shell/extensions/dovo@quendorvil.net/"
FILES = ["usr/bin/dovo", f"usr/share/applications/{APP}.desktop",
         f"usr/share/metainfo/{APP}.metainfo.xml", f"usr/share/icons/hicolor/scalable/apps/{APP}.svg",
         f"usr/share/icons/hicolor/32x32/apps/{APP}.png", "usr/share/dovo/kwin/dovo-pointer.js",
         EXTENSION + "metadata.json", EXTENSION + "extension.js", EXTENSION + "extension/__init__.js"]


def test_the_package_installs_where_the_desktop_looks(desktop, monkeypatch):
    with tempfile.TemporaryDirectory(prefix="dovo-package.") as work:
        built = subprocess.run(["cpack", "-G", "DEB", "-B", os.path.join(work, "out")],
                               cwd=os.environ["DOVO_BUILD"], capture_output=True, text=True)
        assert built.returncode == 0, built.stdout + built.stderr
        debs = glob.glob(os.path.join(work, "out", "*.deb"))
        assert len(debs) == 1, debs
        field = subprocess.run(["dpkg-deb", "--field", debs[0], "Package"], capture_output=True, text=True)
        assert field.stdout.strip() == "dovo"
        root = os.path.join(work, "root")
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        for path in FILES:
            assert os.path.getsize(os.path.join(root, path)) > 0, path
        program = os.path.join(root, FILES[0])
        assert os.access(program, os.X_OK)
        entry = os.path.join(root, FILES[1])
        with open(entry) as f:
            lines = f.read().splitlines()
        assert "Exec=dovo" in lines and f"Icon={APP}" in lines, "the menu entry names what is installed"
        assert desktop.run("identify", "-format", "%wx%h", os.path.join(root, FILES[4])).stdout == "32x32"
        valid = desktop.run("desktop-file-validate", entry)
        assert valid.returncode == 0, valid.stdout + valid.stderr

        monkeypatch.setenv("DOVO", program)
        assert dovo.Dovo(desktop).close() == 0
        assert dovo.saved(desktop.env) == ("0", "0")
