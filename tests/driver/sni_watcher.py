"""A desktop's StatusNotifierItem panel: its watcher lists items as Plasma's does, "service/path"; the test
asks SetHost(b), Items() and Current(): Dovo read the items (none else does) since they or the host changed."""
from gi.repository import Gio, GLib

W = "org.kde.StatusNotifierWatcher"
XML = f"""<node><interface name="{W}"><method name="RegisterStatusNotifierItem"><arg type="s"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s"/></method><property name="RegisteredStatusNotifierItems"
type="as" access="read"/><property name="IsStatusNotifierHostRegistered" type="b" access="read"/></interface>
<interface name="net.quendorvil.Dovo.TestHost"><method name="SetHost"><arg type="b"/></method>
<method name="Items"><arg type="as" direction="out"/></method><method name="Current"><arg type="b"
direction="out"/></method></interface></node>"""
bus, items, seen = Gio.bus_get_sync(Gio.BusType.SESSION), [], {"host": True, "changes": 0, "read": -1}


def changed(signal, *args):
    seen["changes"] += 1
    bus.emit_signal(None, "/StatusNotifierWatcher", W, signal, GLib.Variant("(s)", args) if args else None)


def call(conn, sender, path, interface, method, params, invocation):
    arg = (params.unpack() + (None,))[0]
    item = sender + arg if str(arg)[:1] == "/" else f"{arg}/StatusNotifierItem"  # a bare path: the caller's
    if method == "RegisterStatusNotifierItem" and item not in items:
        items.append(item)
        changed("StatusNotifierItemRegistered", item)
    elif method in ("SetHost", "RegisterStatusNotifierHost") and seen["host"] != (arg is not False):
        seen["host"] = arg is not False
        changed("StatusNotifierHost" + ("Registered" if seen["host"] else "Unregistered"))
    answer = {"Items": ("(as)", (items,)), "Current": ("(b)", (seen["read"] == seen["changes"],))}.get(method)
    invocation.return_value(answer and GLib.Variant(*answer))


def get(conn, sender, path, interface, name):
    seen["read"] = seen["changes"] if name == "RegisteredStatusNotifierItems" else seen["read"]  # Dovo's GetAll
    return GLib.Variant(*("as", items) if name == "RegisteredStatusNotifierItems" else ("b", seen["host"]))


def gone(conn, sender, path, interface, signal, params):
    name, _, owner = params.unpack()
    for item in [i for i in items if not owner and i.startswith(name + "/")]:
        items.remove(item)
        changed("StatusNotifierItemUnregistered", item)


for info in Gio.DBusNodeInfo.new_for_xml(XML).interfaces:
    bus.register_object("/StatusNotifierWatcher", info, call, get, None)
bus.signal_subscribe(None, "org.freedesktop.DBus", "NameOwnerChanged", None, None, 0, gone)
bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
              GLib.Variant("(su)", (W, 4)), None, 0, -1, None)  # 4: never queued
GLib.MainLoop().run()
