"""A stand-in logind on a private system bus.  Run as a script it owns
org.freedesktop.login1, hands out a pipe for every Inhibit call (keeping the
read end, as logind does, so a closed lock shows as end of file) and answers
one line per line read on stdin:
    sleep B   PrepareForSleep(B) from logind's name
    forge B   the same signal from another connection, routed before the answer
    state     (also after the two above) "taken T open O held H": Inhibit calls
              answered, locks not yet closed, locks open at the last Inhibit"""

import os
import select
import subprocess
import sys

from procs import wait_for

PATH, MANAGER = "/org/freedesktop/login1", "org.freedesktop.login1.Manager"
BUSCONF = """<busconfig><type>system</type><listen>unix:path={socket}</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>"""


class Logind:
    """The bus and the stand-in, children of the desktop; its env gets the bus."""

    def __init__(self, desktop):
        socket = desktop.path("system-bus")
        with open(socket + ".conf", "w") as f:
            f.write(BUSCONF.format(socket=socket))
        bus = desktop.procs.spawn("system-bus", ["dbus-daemon", "--nofork", "--nopidfile",
                                                 "--config-file=" + socket + ".conf"], desktop.env)
        wait_for("the system bus listens", lambda: bus.poll() is None and os.path.exists(socket))
        desktop.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + socket
        self.proc = desktop.procs.spawn("logind", [sys.executable, __file__], desktop.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline() == "ready\n", "the stand-in logind owns its name"

    def ask(self, *words):
        self.proc.stdin.write(" ".join(words) + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def state(self):
        return tuple(int(n) for n in self.ask("state").split()[1::2])

    def wait(self, what, judge):
        wait_for(what, lambda: judge(*self.state()))


def serve():
    from gi.repository import Gio, GLib

    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    address = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
    bus, impostor = (Gio.DBusConnection.new_for_address_sync(address, flags, None, None) for _ in "12")
    info = Gio.DBusNodeInfo.new_for_xml(
        f'<node><interface name="{MANAGER}"><method name="Inhibit">' + '<arg type="s"/>' * 4
        + '<arg type="h" direction="out"/></method></interface></node>').interfaces[0]
    locks, counts = [], {"taken": 0, "held": 0}

    def still_open():
        for fd in [fd for fd in locks if select.select([fd], [], [], 0)[0]]:
            locks.remove(fd)
            os.close(fd)
        return len(locks)

    def call(conn, sender, path, iface, method, params, invocation):
        counts["held"] = still_open()
        read, write = os.pipe()
        locks.append(read)
        counts["taken"] += 1
        fds = Gio.UnixFDList.new()
        fds.append(write)
        os.close(write)
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)

    def line(source, condition):
        words = sys.stdin.readline().split()
        if not words:
            loop.quit()
            return False
        if words[0] in ("sleep", "forge"):
            conn = bus if words[0] == "sleep" else impostor
            conn.emit_signal(None, PATH, MANAGER, "PrepareForSleep", GLib.Variant("(b)", (words[1] == "1",)))
            # The daemon handles one connection's messages in order: once it
            # answered, the signal is on its way to every listener.
            conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                           None, None, Gio.DBusCallFlags.NONE, 5000, None)
        print("taken %d open %d held %d" % (counts["taken"], still_open(), counts["held"]), flush=True)
        return True

    bus.register_object(PATH, info, call, None, None)
    Gio.bus_own_name_on_connection(bus, "org.freedesktop.login1", Gio.BusNameOwnerFlags.NONE,
                                   lambda *a: print("ready", flush=True), lambda *a: loop.quit())
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, line)
    loop = GLib.MainLoop()
    loop.run()


if __name__ == "__main__":
    serve()
