// The pointer service of Dovo's GNOME Shell extension, one text for both of
// its forms: the build writes it into dovo@quendorvil.net/extension.js
// (GNOME 45 and later) and dovo@quendorvil.net/extension/__init__.js (GNOME
// 43 and 44), whose templates bring Gio and GLib. So it holds no import or
// export of its own, and nothing either form cannot parse.
//
// GNOME keeps the pointer from programs on purpose; this hands it to Dovo
// alone. Only the connection that owns Dovo's bus name is answered, and
// Moved goes to that connection only, never to the whole bus.

const DovoName = 'net.quendorvil.Dovo';
const ObjectPath = '/net/quendorvil/Dovo/Pointer';
const InterfaceName = 'net.quendorvil.Dovo.Pointer';
const InterfaceXml = `
<node>
  <interface name="${InterfaceName}">
    <method name="GetPosition">
      <arg type="i" name="x" direction="out"/>
      <arg type="i" name="y" direction="out"/>
    </method>
    <method name="WatchMotion">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <signal name="Moved">
      <arg type="i" name="x"/>
      <arg type="i" name="y"/>
    </signal>
  </interface>
</node>`;

class PointerService {
    constructor(tracker) {
        this._tracker = tracker;
        this._motionId = 0;
        // Dovo's unique name as the bus last told us, and the caller that
        // armed the motion watch: the only one a Moved is ever sent to.
        this._dovo = null;
        this._watcher = null;
        this._exported = true;
        // On the shell's own connection: Dovo finds us under org.gnome.Shell
        // and learns of a restart from that name alone.
        this._nameWatchId = Gio.bus_watch_name_on_connection(Gio.DBus.session, DovoName,
            Gio.BusNameWatcherFlags.NONE,
            (_connection, _name, owner) => this._dovoChanged(owner),
            () => this._dovoChanged(null));
        // The methods are the ...Async forms: only those see who calls.
        this._dbus = Gio.DBusExportedObject.wrapJSObject(InterfaceXml, this);
        this._dbus.export(Gio.DBus.session, ObjectPath);
    }

    destroy() {
        this._exported = false;
        this._disarm();
        Gio.bus_unwatch_name(this._nameWatchId);
        this._dbus.unexport();
    }

    GetPositionAsync(_parameters, invocation) {
        this._forDovo(invocation, () => {
            const [x, y] = global.get_pointer();
            invocation.return_value(new GLib.Variant('(ii)', [x, y]));
        });
    }

    // One Moved at the next motion away from (x, y), which is where Dovo
    // last saw the pointer; at once if it has already left, so nothing moved
    // between that answer and this call is lost. The tracker is listened to
    // only while armed: a resting shell does no work for Dovo.
    WatchMotionAsync([x, y], invocation) {
        this._forDovo(invocation, caller => {
            invocation.return_value(null);
            this._watcher = caller;
            const [px, py] = global.get_pointer();
            if (px !== x || py !== y) {
                this._emitMoved(px, py);
                return;
            }
            if (this._motionId === 0) {
                this._motionId = this._tracker.connect('position-invalidated', () => {
                    this._disarm();
                    const [nx, ny] = global.get_pointer();
                    this._emitMoved(nx, ny);
                });
            }
        });
    }

    // Runs answer(caller) for Dovo; anyone else is refused and learns
    // nothing, not even whether the pointer moved.
    _forDovo(invocation, answer) {
        const caller = invocation.get_sender();
        if (caller !== null && caller === this._dovo) {
            answer(caller);
            return;
        }
        // The news of a new owner may still be on its way to us: for anyone
        // but the owner we know, the bus decides.
        Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus',
            'org.freedesktop.DBus', 'GetNameOwner', new GLib.Variant('(s)', [DovoName]),
            new GLib.VariantType('(s)'), Gio.DBusCallFlags.NONE, -1, null,
            (connection, result) => {
                let owner = null;
                try {
                    [owner] = connection.call_finish(result).deepUnpack();
                } catch (e) {
                    // Nobody owns the name, so nobody is Dovo.
                }
                if (!this._exported) {
                    // Turned off meanwhile: as if the object were gone.
                    invocation.return_dbus_error('org.freedesktop.DBus.Error.UnknownMethod',
                        `No ${InterfaceName} at ${ObjectPath} any more`);
                } else if (caller !== null && owner === caller) {
                    answer(caller);
                } else {
                    invocation.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied',
                        `Only the owner of ${DovoName} is told where the pointer is`);
                }
            });
    }

    _dovoChanged(owner) {
        this._dovo = owner;
        // A watch armed by an earlier Dovo is owed to nobody.
        if (this._watcher !== owner) {
            this._disarm();
            this._watcher = null;
        }
    }

    _disarm() {
        if (this._motionId !== 0) {
            this._tracker.disconnect(this._motionId);
            this._motionId = 0;
        }
    }

    _emitMoved(x, y) {
        // A signal without a destination goes to every match rule on the
        // bus: never send one.
        if (this._watcher === null)
            return;
        Gio.DBus.session.emit_signal(this._watcher, ObjectPath, InterfaceName, 'Moved',
            new GLib.Variant('(ii)', [x, y]));
    }
}
