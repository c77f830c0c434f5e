// GNOME Shell 45 and later load this file as an ES module. GNOME 43 and 44
// load extension/__init__.js instead: their importer resolves the name
// "extension" to that folder before it looks at this file, which they could
// not parse. Keep the two in step.

import Gio from 'gi://Gio';
import GLib from 'gi://GLib';

import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

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

class PointerService {
    constructor() {
        this._tracker = global.backend.get_cursor_tracker();
        this._motionId = 0;
        this._dbus = Gio.DBusExportedObject.wrapJSObject(InterfaceXml, this);
        // On the shell's own connection: Dovo finds us under org.gnome.Shell
        // and learns of a restart from that name alone.
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

    // One Moved at the next motion away from (x, y), which is where Dovo
    // last saw the pointer; at once if it has already left, so nothing moved
    // between that answer and this call is lost. The tracker is listened to
    // only while armed: a resting shell does no work for Dovo.
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

export default class DovoExtension extends Extension {
    enable() {
        this._service = new PointerService();
    }

    disable() {
        this._service?.destroy();
        this._service = null;
    }
}
