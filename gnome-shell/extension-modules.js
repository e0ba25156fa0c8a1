// GNOME 45 and later: ES modules. Everything is in noctave.js.
import GLib from 'gi://GLib';
import Gio from 'gi://Gio';
import GObject from 'gi://GObject';
import St from 'gi://St';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import * as PopupMenu from 'resource:///org/gnome/shell/ui/popupMenu.js';
import * as QuickSettings from 'resource:///org/gnome/shell/ui/quickSettings.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

import {makeExtension} from './noctave.js';

const NoctaveExtension = makeExtension({GLib, Gio, GObject, St, Main, QuickSettings, PopupMenu});

export default class extends Extension {
    enable() {
        this._noctave = new NoctaveExtension();
        this._noctave.enable();
    }

    disable() {
        this._noctave.disable();
        this._noctave = null;
    }
}
