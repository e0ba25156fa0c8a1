// Noctave's place in GNOME Shell's Quick Settings: a toggle with a menu, and a panel indicator
// while a session stands. A thin client of com.quillor.noctave.Control1 on the session bus: it
// follows the service's PropertiesChanged and never polls; it starts Noctave only through D-Bus
// activation, when the user asks it for something.
//
// One text for both module systems: GNOME 43-44 import it as a legacy script (top-level
// `var` and `function` become the module's members), GNOME 45+ as an ES module, which the build
// makes by appending one export line. So: no import or export statements here, and the shell's
// modules come in through makeExtension().

/* exported UUID, EXTENSION_BUS_NAME, iconName, timeLeftText, describe, menuChoices, msUntilNextMinute, makeExtension */

var UUID = 'noctave@quillor.com';
// Owned while the extension is enabled: Noctave asks for it to know that the extension serves
// the user, and shows no window standing in for a tray.
var EXTENSION_BUS_NAME = 'com.quillor.noctave.GnomeShell';

var BUS_NAME = 'com.quillor.noctave';
var OBJECT_PATH = '/com/quillor/noctave';
var INTERFACE = 'com.quillor.noctave.Control1';
var APPLICATION_INTERFACE = 'org.freedesktop.Application';

var MORNING_HOUR = 8;

// The tray's icon states, under the names the package installs in hicolor.
function iconName(state) {
    switch (state) {
    case 'armed':
        return 'com.quillor.noctave-armed-symbolic';
    case 'restoreFailed':
        return 'com.quillor.noctave-warning-symbolic';
    default:
        return 'com.quillor.noctave-ready-symbolic';
    }
}

// "1 h 20 min left", "less than a minute left": the words `noctave ctl status` uses.
function timeLeftText(deadlineUsec, nowUsec) {
    const minutes = Math.trunc((deadlineUsec - nowUsec) / 60e6);
    if (minutes < 1)
        return 'less than a minute left';
    const hours = Math.trunc(minutes / 60);
    return `${hours > 0 ? `${hours} h ` : ''}${minutes % 60} min left`;
}

// How long until the time-left text next changes: at the next whole minute left.
function msUntilNextMinute(deadlineUsec, nowUsec) {
    const left = deadlineUsec - nowUsec;
    if (left <= 0)
        return 0;
    const intoMinute = left % 60e6;
    return Math.ceil((intoMinute === 0 ? 60e6 : intoMinute) / 1000);
}

function shortState(state) {
    switch (state) {
    case 'pending':
        return 'Closing\u2026';
    case 'armed':
        return 'Armed';
    case 'restoreFailed':
        return 'Retrying';
    default:
        return 'Ready';
    }
}

// What the toggle, its menu and the indicator show for `status` (the interface's properties;
// null while Noctave does not run) at `nowUsec`. `nextDeadline` is the one the timer waits for.
function describe(status, nowUsec) {
    const running = status !== null;
    const state = running ? status.State : 'disarmed';
    const armed = state === 'armed';
    const deadline = running && status.Deadline > 0 ? status.Deadline : 0;
    const keepAwakeUntil = running && status.KeepAwake && status.KeepAwakeUntil > 0
        ? status.KeepAwakeUntil : 0;
    const left = deadline > 0 ? timeLeftText(deadline, nowUsec) : '';
    let subtitle = running ? shortState(state) : 'Not running';
    if (left)
        subtitle += `, ${left}`;
    let keepAwakeLabel = 'Keep Awake (lid open)';
    if (keepAwakeUntil > 0)
        keepAwakeLabel += `, ${timeLeftText(keepAwakeUntil, nowUsec)}`;
    return {
        checked: armed,
        icon: iconName(state),
        subtitle,
        // The menu's header is narrow as well: the same short words.
        menuSubtitle: running ? subtitle : 'Noctave is not running',
        indicatorVisible: running && state !== 'disarmed',
        primaryLabel: armed ? 'Disarm' : 'Arm for Next Close',
        showArmFor: !armed,
        keepAwake: running && status.KeepAwake,
        keepAwakeLabel,
        // The earliest deadline whose time left is shown; 0 when none.
        nextDeadline: [deadline, keepAwakeUntil].filter(d => d > nowUsec)
            .reduce((a, b) => a === 0 ? b : Math.min(a, b), 0),
    };
}

// The tray's "Arm For" choices at `now` (a Date): 1, 2 and 4 hours, and the next 08:00 local.
function menuChoices(now) {
    const hour = 3600e3;
    const morning = new Date(now.getTime());
    morning.setHours(MORNING_HOUR, 0, 0, 0);
    if (morning.getTime() <= now.getTime())
        morning.setDate(morning.getDate() + 1);
    const usec = ms => ms * 1000;
    return [
        {title: '1 hour', deadlineUsec: usec(now.getTime() + hour)},
        {title: '2 hours', deadlineUsec: usec(now.getTime() + 2 * hour)},
        {title: '4 hours', deadlineUsec: usec(now.getTime() + 4 * hour)},
        {title: 'Until tomorrow morning', deadlineUsec: usec(morning.getTime())},
    ];
}

// The extension's class over the shell's modules: {GLib, Gio, GObject, St, Main, QuickSettings,
// PopupMenu}. Nothing is created before enable(); disable() undoes all of it.
function makeExtension(shell) {
    const {GLib, Gio, GObject, Main, QuickSettings, PopupMenu} = shell;

    const themedIcon = name => Gio.ThemedIcon.new(name);

    const Toggle = GObject.registerClass({GTypeName: 'NoctaveQuickMenuToggle'},
        class NoctaveToggle extends QuickSettings.QuickMenuToggle {
            _init() {
                super._init({gicon: themedIcon(iconName('disarmed'))});
                // GNOME 44 named the label "title" and added a subtitle.
                this._hasTitle = 'subtitle' in this;
                this.setTitle('Noctave');
                this.accessible_name = 'Noctave';
            }

            setTitle(text) {
                if (this._hasTitle)
                    this.title = text;
                else
                    this.label = text;
            }
        });

    const Indicator = GObject.registerClass({GTypeName: 'NoctaveSystemIndicator'},
        class NoctaveIndicator extends QuickSettings.SystemIndicator {
            _init() {
                super._init();
                this.icon = this._addIndicator();
                this.icon.gicon = themedIcon(iconName('disarmed'));
                this.icon.visible = false;
            }
        });

    return class NoctaveExtension {
        enable() {
            this._status = null;
            this._cancellable = new Gio.Cancellable();
            this._connection = Gio.DBus.session;
            this._buildUi();
            this._render();
            this._nameId = Gio.bus_own_name_on_connection(this._connection, EXTENSION_BUS_NAME,
                Gio.BusNameOwnerFlags.NONE, null, null);
            this._signalId = this._connection.signal_subscribe(BUS_NAME,
                'org.freedesktop.DBus.Properties', 'PropertiesChanged', OBJECT_PATH, INTERFACE,
                Gio.DBusSignalFlags.NONE,
                (connection, sender, path, iface, signal, parameters) =>
                    this._propertiesChanged(parameters));
            this._watchId = Gio.bus_watch_name_on_connection(this._connection, BUS_NAME,
                Gio.BusNameWatcherFlags.NONE,
                () => this._fetchAll(),
                () => {
                    this._status = null;
                    this._render();
                });
        }

        disable() {
            this._cancellable.cancel();
            this._cancellable = null;
            Gio.bus_unwatch_name(this._watchId);
            this._connection.signal_unsubscribe(this._signalId);
            Gio.bus_unown_name(this._nameId);
            this._watchId = this._signalId = this._nameId = 0;
            this._stopTimer();
            this._indicator.quickSettingsItems.forEach(item => item.destroy());
            this._indicator.destroy();
            this._indicator = this._toggle = this._items = null;
            this._connection = null;
            this._status = null;
        }

        _buildUi() {
            this._indicator = new Indicator();
            this._toggle = new Toggle();
            this._indicator.quickSettingsItems.push(this._toggle);
            this._toggle.connect('clicked', () => this._call(
                this._toggle.checked ? 'Disarm' : 'Arm', null));

            const menu = this._toggle.menu;
            const items = {};
            items.primary = new PopupMenu.PopupMenuItem('Arm for Next Close');
            items.primary.connect('activate', () => this._call(
                this._status?.State === 'armed' ? 'Disarm' : 'Arm', null));
            menu.addMenuItem(items.primary);
            items.armFor = new PopupMenu.PopupSeparatorMenuItem('Arm For');
            menu.addMenuItem(items.armFor);
            items.choices = menuChoices(new Date()).map((choice, index) => {
                const item = new PopupMenu.PopupMenuItem(choice.title);
                // The deadline is taken when chosen, not when the menu was built.
                item.connect('activate', () => this._call('ArmUntil',
                    new GLib.Variant('(t)', [menuChoices(new Date())[index].deadlineUsec])));
                menu.addMenuItem(item);
                return item;
            });
            items.keepAwake = new PopupMenu.PopupSwitchMenuItem('Keep Awake (lid open)', false);
            items.keepAwake.connect('toggled', (item, state) => this._call('SetKeepAwake',
                new GLib.Variant('(b)', [state])));
            menu.addMenuItem(items.keepAwake);
            menu.addMenuItem(new PopupMenu.PopupSeparatorMenuItem());
            items.settings = new PopupMenu.PopupMenuItem('Settings...');
            items.settings.connect('activate', () => {
                Main.panel.closeQuickSettings?.();
                this._call('ActivateAction', new GLib.Variant('(sava{sv})', ['settings', [], {}]),
                    APPLICATION_INTERFACE);
            });
            menu.addMenuItem(items.settings);
            this._items = items;

            const quickSettings = Main.panel.statusArea.quickSettings;
            if (quickSettings.addExternalIndicator) {
                quickSettings.addExternalIndicator(this._indicator);
            } else {
                quickSettings._indicators.insert_child_at_index(this._indicator, 0);
                quickSettings._addItems(this._indicator.quickSettingsItems);
            }
        }

        // Methods go out with auto-start: a call to a Noctave that does not run starts it
        // through its activation file.
        _call(method, parameters, iface = INTERFACE) {
            this._connection.call(BUS_NAME, OBJECT_PATH, iface, method, parameters, null,
                Gio.DBusCallFlags.NONE, -1, this._cancellable, (connection, result) => {
                    try {
                        connection.call_finish(result);
                    } catch (e) {
                        if (!e.matches(Gio.IOErrorEnum, Gio.IOErrorEnum.CANCELLED))
                            console.warn(`Noctave: ${method} failed: ${e.message}`);
                    }
                });
        }

        // Asked only while Noctave runs (the watch saw it appear), so it never starts it.
        _fetchAll() {
            this._connection.call(BUS_NAME, OBJECT_PATH, 'org.freedesktop.DBus.Properties',
                'GetAll', new GLib.Variant('(s)', [INTERFACE]), null,
                Gio.DBusCallFlags.NO_AUTO_START, -1, this._cancellable, (connection, result) => {
                    try {
                        const [properties] = connection.call_finish(result).recursiveUnpack();
                        this._status = properties;
                        this._render();
                    } catch (e) {
                        if (!e.matches(Gio.IOErrorEnum, Gio.IOErrorEnum.CANCELLED))
                            console.warn(`Noctave: could not read its state: ${e.message}`);
                    }
                });
        }

        _propertiesChanged(parameters) {
            const [, changed, invalidated] = parameters.recursiveUnpack();
            if (this._status === null || invalidated.length > 0) {
                this._fetchAll();
                return;
            }
            Object.assign(this._status, changed);
            this._render();
        }

        _render() {
            const shown = describe(this._status, GLib.get_real_time());
            const icon = themedIcon(shown.icon);
            this._toggle.set({checked: shown.checked, gicon: icon});
            if (this._toggle._hasTitle)
                this._toggle.subtitle = shown.subtitle;
            this._toggle.menu.setHeader(icon, 'Noctave', shown.menuSubtitle);
            this._indicator.icon.set({gicon: icon, visible: shown.indicatorVisible});
            const items = this._items;
            items.primary.label.text = shown.primaryLabel;
            [items.armFor, ...items.choices].forEach(item => (item.visible = shown.showArmFor));
            items.keepAwake.setToggleState(shown.keepAwake);
            items.keepAwake.label.text = shown.keepAwakeLabel;
            this._scheduleTick(shown.nextDeadline);
        }

        // A timer only while a deadline stands: it wakes when the time left next changes.
        _scheduleTick(deadlineUsec) {
            this._stopTimer();
            if (deadlineUsec === 0)
                return;
            const ms = msUntilNextMinute(deadlineUsec, GLib.get_real_time());
            this._timerId = GLib.timeout_add(GLib.PRIORITY_DEFAULT, Math.max(ms, 1), () => {
                this._timerId = 0;
                this._render();
                return GLib.SOURCE_REMOVE;
            });
        }

        _stopTimer() {
            if (this._timerId) {
                GLib.source_remove(this._timerId);
                this._timerId = 0;
            }
        }
    };
}
