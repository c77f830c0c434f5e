"""A stand-in logind on a private system bus: a pipe per Inhibit call, its read end kept as logind does.  Each
line on stdin ("sleep B": PrepareForSleep(B) from logind's name, "forge B": from another connection, "state")
is answered "taken T open O held H": locks handed out, not yet closed, open when the last was asked for."""

import os
import select
import subprocess
import sys

from procs import wait_for

PATH, MANAGER = "/org/freedesktop/login1", "org.freedesktop.login1.Manager"


class Logind:
    def __init__(self, desktop):
        desktop.start_bus("system")
        self.proc = desktop.procs.spawn("logind", [sys.executable, __file__], desktop.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline() == "ready\n", "the stand-in logind owns its name"

    def ask(self, *words):
        self.proc.stdin.write(" ".join(words) + "\n")
        self.proc.stdin.flush()
        return tuple(int(n) for n in self.proc.stdout.readline().split()[1::2])

    def wait(self, what, judge):
        wait_for(what, lambda: judge(*self.ask("state")))


def serve():
    from gi.repository import Gio, GLib

    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    bus, impostor = (Gio.DBusConnection.new_for_address_sync(os.environ["DBUS_SYSTEM_BUS_ADDRESS"], flags)
                     for _ in "12")
    inhibit = (f'<node><interface name="{MANAGER}"><method name="Inhibit">' + '<arg type="s"/>' * 4
               + '<arg type="h" direction="out"/></method></interface></node>')
    locks, counts = [], [0, 0]  # taken, held

    def still_open():
        for fd in select.select(locks, [], [], 0)[0]:
            locks.remove(fd)
            os.close(fd)
        return len(locks)

    def call(conn, sender, path, iface, method, params, invocation):
        counts[:] = counts[0] + 1, still_open()
        read, write = os.pipe()
        locks.append(read)
        fds = Gio.UnixFDList.new_from_array([write])  # takes the descriptor
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)

    def line(*_):
        words = sys.stdin.readline().split()
        if words[:1] in (["sleep"], ["forge"]):
            conn = bus if words[0] == "sleep" else impostor
            conn.emit_signal(None, PATH, MANAGER, "PrepareForSleep", GLib.Variant("(b)", (words[1] == "1",)))
            # The daemon handles one connection's messages in order: once it
            # answered, the signal is on its way to every listener.
            conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                           None, None, Gio.DBusCallFlags.NONE, 5000)
        print("taken %d open %d held %d" % (counts[0], still_open(), counts[1]), flush=True)
        return bool(words) or loop.quit()

    bus.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(inhibit).interfaces[0], call)
    Gio.bus_own_name_on_connection(bus, "org.freedesktop.login1", Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: print("ready", flush=True), lambda *_: loop.quit())
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, line)
    loop = GLib.MainLoop()
    loop.run()


if __name__ == "__main__":
    serve()
