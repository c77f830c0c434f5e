/* exported init */
// GNOME Shell 43 and 44: the legacy form of ../extension.js, which these
// versions cannot parse. Keep the two in step.

const {Gio, GLib, Meta} = imports.gi;

const ObjectPath = '/net/quendorvil/Dovo/Pointer';
const InterfaceXml = `
<node>
  <interface name="net.quendorvil.Dovo.Pointer">
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

function cursorTracker() {
    // Mutter 44 moved the tracker to the backend.
    if (global.backend && global.backend.get_cursor_tracker)
        return global.backend.get_cursor_tracker();
    return Meta.CursorTracker.get_for_display(global.display);
}

class PointerService {
    constructor() {
        this._tracker = cursorTracker();
        this._motionId = 0;
        this._dbus = Gio.DBusExportedObject.wrapJSObject(InterfaceXml, this);
        this._dbus.export(Gio.DBus.session, ObjectPath);
    }

    destroy() {
        this._disarm();
        this._dbus.unexport();
    }

    GetPosition() {
        const [x, y] = global.get_pointer();
        return [x, y];
    }

    WatchMotion(x, y) {
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
    }

    _disarm() {
        if (this._motionId !== 0) {
            this._tracker.disconnect(this._motionId);
            this._motionId = 0;
        }
    }

    _emitMoved(x, y) {
        this._dbus.emit_signal('Moved', new GLib.Variant('(ii)', [x, y]));
    }
}

class DovoExtension {
    enable() {
        this._service = new PointerService();
    }

    disable() {
        if (this._service)
            this._service.destroy();
        this._service = null;
    }
}

function init() {
    return new DovoExtension();
}
