#!/usr/bin/python3
# Noctave on the virtual laptop, on a virtual X display, in a desktop session whose tray (a
# StatusNotifierWatcher on a private session bus) and user (clicks, keys) this script plays.
# Run inside `xvfb-run -a dbus-run-session --`; the one argument is the noctave executable.
import os, subprocess, sys, tempfile

import dbus, dbus.mainloop.glib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import ITEM, pump, tray_watcher  # noqa: E402  the tray played here


def shown_windows():
    """The application's windows on screen now (the first-run welcome among them)."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", "noctave"],
                           capture_output=True, text=True)
    return set(found.stdout.split())


class Noctave:
    """The application on the virtual laptop in a fresh home, its log, and a patient check that
    ends the run (and every process in `others`) with the log when it is not met in time."""

    def __init__(self, test, executable):
        self.test = test
        self.home = tempfile.mkdtemp(prefix="noctave-e2e-")
        self.log_path = os.path.join(self.home, "noctave.log")
        self.others = []
        env = dict(os.environ, NOCTAVE_PLATFORM="sim", NOCTAVE_SIM_HOME=self.home,
                   QT_QPA_PLATFORM="xcb")
        with open(self.log_path, "w") as out:
            self.app = subprocess.Popen([executable], env=env, stderr=out, stdout=out)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def expect(self, done, message):
        if not pump(done, 15):
            for process in self.others + [self.app]:
                process.kill()
            sys.stderr.write(self.log())
            sys.exit(self.test + ": " + message)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = tray_watcher(bus)
    noctave = Noctave("tray_e2e", sys.argv[1])
    app, log, expect = noctave.app, noctave.log, noctave.expect

    expect(lambda: watcher.items, "the application registered no tray item")
    item = bus.get_object(*watcher.items[0])
    props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
    actions = dbus.Interface(item, ITEM)

    def tooltip():
        return str(props.Get(ITEM, "ToolTip")[2])

    def icon():
        return [bytes(p[2]) for p in props.Get(ITEM, "IconPixmap")]

    expect(lambda: "ready (not active)" in tooltip(), "the item does not say it is ready")
    ready_icon = icon()
    expect(lambda: any(any(b) for b in ready_icon), "the item shows no icon")

    def right_click_arms():
        actions.ContextMenu(10, 10)  # armWithRightClick is on by default
        expect(lambda: "armed (right-click)" in log() and "active;" in tooltip(),
               "a right click did not arm")
        expect(lambda: icon() != ready_icon, "arming did not fill the ember")

    def choose_from_menu(keys):
        # A left click opens the menu; the call returns at once, the menu stays up.
        before = shown_windows()
        actions.Activate(10, 10, timeout=30)
        expect(lambda: shown_windows() - before, "a left click showed no menu")
        subprocess.run(["xdotool", "key", "--delay", "50"] + keys, check=True)
        expect(lambda: not shown_windows() - before or app.poll() is not None,
               "the menu did not close")

    right_click_arms()
    choose_from_menu(["Down", "Return"])  # the first entry, now "Disarm"
    expect(lambda: "disarmed (menu)" in log() and "ready (not" in tooltip(),
           "Disarm from the menu did not disarm")

    # Quitting while armed must clear the lid-close bit on the way out.
    right_click_arms()
    choose_from_menu(["Up", "Return"])  # the last entry: "Quit Noctave"
    expect(lambda: app.poll() is not None, "Quit Noctave did not end the application")
    expect(lambda: app.returncode == 0 and "disarmed (quit)" in log() and "clean exit" in log(),
           "quitting did not restore everything (status %d)" % app.returncode)
    print("tray_e2e: right-click arm, menu disarm, quit while armed")


if __name__ == "__main__":
    main()
