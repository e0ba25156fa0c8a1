#!/usr/bin/python3
"""Noctave in a desktop session with a tray, used as a person would use it.

Plays the desktop's tray (a StatusNotifierWatcher and host on a private session bus) and the
user (clicks on the item, keys in its menu), with Noctave running on the virtual laptop on a
virtual X display. Run it inside `xvfb-run -a dbus-run-session --`; the one argument is the
noctave executable.
"""
import os
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        self.items = []
        name = dbus.service.BusName(WATCHER, bus)
        super().__init__(name, "/StatusNotifierWatcher")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = service if service.startswith("/") else "/StatusNotifierItem"
        self.items.append((sender, path))
        self.StatusNotifierItemRegistered(sender + path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    # Qt reads the properties through an introspected interface, so they must be declared.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return """<node><interface name="%s">
          <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
          <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
          <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
          <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
          <property name="ProtocolVersion" type="i" access="read"/>
          <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
        </interface></node>""" % WATCHER

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array(
                [s + p for s, p in self.items], signature="s"),
        }


def fail(message, log_path):
    with open(log_path, encoding="utf-8", errors="replace") as log:
        sys.stderr.write(log.read())
    sys.exit("tray_e2e: " + message)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    context = GLib.MainContext.default()

    def spin_until(done, seconds=15):
        deadline = time.monotonic() + seconds
        while not done() and time.monotonic() < deadline:
            context.iteration(False)
            time.sleep(0.02)
        return done()

    home = tempfile.mkdtemp(prefix="noctave-e2e-")
    log_path = os.path.join(home, "noctave.log")
    env = dict(os.environ, NOCTAVE_PLATFORM="sim", NOCTAVE_SIM_HOME=home, QT_QPA_PLATFORM="xcb")
    log = open(log_path, "w")
    app = subprocess.Popen([sys.argv[1]], env=env, stderr=log, stdout=log)

    def log_has(text):
        with open(log_path, encoding="utf-8", errors="replace") as f:
            return text in f.read()

    if not spin_until(lambda: watcher.items):
        fail("the application registered no tray item", log_path)
    sender, path = watcher.items[0]
    item = bus.get_object(sender, path)
    props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
    actions = dbus.Interface(item, ITEM)

    def tooltip():
        return str(props.Get(ITEM, "ToolTip")[2])

    if not spin_until(lambda: "ready (not active)" in tooltip()):
        fail("the item does not say it is ready: " + tooltip(), log_path)
    def icon():
        return [bytes(p[2]) for p in props.Get(ITEM, "IconPixmap")]

    ready_icon = icon()
    if not ready_icon or not any(any(b) for b in ready_icon):
        fail("the item shows no icon", log_path)

    # A right click arms at once (armWithRightClick is on by default).
    actions.ContextMenu(10, 10)
    if not spin_until(lambda: log_has("armed (right-click)") and "active;" in tooltip()):
        fail("a right click did not arm", log_path)
    if not spin_until(lambda: icon() and icon() != ready_icon):
        fail("arming did not fill the ember", log_path)

    def choose_from_menu(keys):
        # A left click opens the menu and the click returns only once the menu has closed.
        done = []
        actions.Activate(10, 10, reply_handler=lambda: done.append(1),
                         error_handler=lambda e: done.append(e), timeout=30)

        def menu_visible():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", "noctave"],
                                   capture_output=True, text=True)
            return found.returncode == 0 and found.stdout.strip()
        if not spin_until(menu_visible):
            fail("a left click showed no menu", log_path)
        subprocess.run(["xdotool", "key", "--delay", "50"] + keys, check=True)
        if not spin_until(lambda: done):
            fail("the menu did not close", log_path)

    # A left click with Control held counts as a right click: it disarms, no menu.
    subprocess.run(["xdotool", "keydown", "ctrl"], check=True)
    actions.Activate(10, 10)
    subprocess.run(["xdotool", "keyup", "ctrl"], check=True)
    if not spin_until(lambda: log_has("disarmed (right-click)") and "ready (not" in tooltip()):
        fail("a Control-click did not disarm", log_path)

    choose_from_menu(["Down", "Return"])  # the first entry: "Arm for Next Close"
    if not spin_until(lambda: log_has("armed (menu)") and "active;" in tooltip()):
        fail("Arm for Next Close did not arm", log_path)

    choose_from_menu(["Down", "Return"])  # now "Disarm"
    if not spin_until(lambda: log_has("disarmed (menu)")):
        fail("Disarm from the menu did not disarm", log_path)
    choose_from_menu(["Down", "Down", "Return"])  # "Keep Awake (lid open)"
    if not spin_until(lambda: log_has("keep-awake enabled")):
        fail("Keep Awake from the menu did not turn keep-awake on", log_path)

    # Quitting while armed must restore everything.
    actions.ContextMenu(10, 10)
    if not spin_until(lambda: log_has("armed (right-click)") and "active;" in tooltip()):
        fail("a second right click did not arm", log_path)

    choose_from_menu(["Up", "Return"])  # the last entry: "Quit Noctave"
    try:
        status = app.wait(timeout=15)
    except subprocess.TimeoutExpired:
        app.kill()
        fail("Quit Noctave did not end the application", log_path)
    if status != 0 or not log_has("disarmed (quit)") or not log_has("clean exit"):
        fail("quitting did not restore everything (status %d)" % status, log_path)
    print("tray_e2e: right-click arm, Control-click disarm, menu arm, disarm, keep awake, quit")


if __name__ == "__main__":
    main()
