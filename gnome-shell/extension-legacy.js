// GNOME 43-44: the legacy module system. Everything is in noctave.js.
/* exported init */
const {GLib, Gio, GObject, St} = imports.gi;
const Main = imports.ui.main;
const PopupMenu = imports.ui.popupMenu;
const QuickSettings = imports.ui.quickSettings;
const ExtensionUtils = imports.misc.extensionUtils;

function init() {
    const {makeExtension} = ExtensionUtils.getCurrentExtension().imports.noctave;
    const NoctaveExtension = makeExtension({GLib, Gio, GObject, St, Main, QuickSettings, PopupMenu});
    return new NoctaveExtension();
}
