#!/usr/bin/python3
'''A panel on the compositor's session bus, run as the session's user: its StatusNotifierWatcher
appears after the seconds given, takes Noctave's item, then reads the item and its exported
menu, times a left click, right-clicks once, and prints what it saw as JSON.'''
import json, os, sys, time

import dbus, dbus.mainloop.glib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from harness import ITEM, pump, tray_watcher  # noqa: E402


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    pump(lambda: False, float(sys.argv[1]))
    watcher = tray_watcher(bus)
    if not pump(lambda: watcher.items, 15):
        sys.exit('no item registered')
    sender = watcher.items[0][0]
    item = bus.get_object(sender, '/StatusNotifierItem')
    props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
    menu = dbus.Interface(bus.get_object(sender, str(props.Get(ITEM, 'Menu'))),
                          'com.canonical.dbusmenu')
    _, (_, _, children) = menu.GetLayout(0, -1, dbus.Array([], signature='s'))
    labels = ['-' if c[1].get('type') == 'separator' else str(c[1]['label']) for c in children]
    started = time.monotonic()
    dbus.Interface(item, ITEM).Activate(0, 0)
    activate_ms = (time.monotonic() - started) * 1000
    dbus.Interface(item, ITEM).ContextMenu(0, 0)
    print(json.dumps({'isMenu': bool(props.Get(ITEM, 'ItemIsMenu')), 'labels': labels,
                      'activateMs': activate_ms}))


if __name__ == '__main__':
    main()
