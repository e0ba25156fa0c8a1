#!/usr/bin/python3
# Two jobs hold the session through `noctave ctl hold`; the tray fills; the user disarms from
# the tray; both holds end (each holder says so and its job goes on), and the status tells why. Run inside `xvfb-run -a dbus-run-session --`; the one argument is the
# noctave executable.
import json, os, shutil, subprocess, sys, time

import dbus, dbus.mainloop.glib
from gi.repository import GLib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from tray_e2e import ITEM, Watcher  # noqa: E402  the tray this desktop session plays


def main():
    noctave = sys.argv[1]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    home = subprocess.run(["mktemp", "-d"], capture_output=True, text=True).stdout.strip()
    log_path = os.path.join(home, "noctave.log")
    env = dict(os.environ, NOCTAVE_PLATFORM="sim", NOCTAVE_SIM_HOME=home, QT_QPA_PLATFORM="xcb")
    app = subprocess.Popen([noctave], env=env, stderr=open(log_path, "w"),
                           stdout=subprocess.DEVNULL)
    holders = []

    def log():
        with open(log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def expect(done, message):
        deadline = time.monotonic() + 15
        while not done() and time.monotonic() < deadline:
            GLib.MainContext.default().iteration(False)
            time.sleep(0.02)
        if not done():
            for holder, _ in holders:
                holder.kill()
            app.kill()
            sys.stderr.write(log())
            sys.exit("control_tray_e2e: " + message)

    def status():
        out = subprocess.run([noctave, "ctl", "status", "--json"], capture_output=True, text=True)
        return json.loads(out.stdout) if out.returncode == 0 else {}

    expect(lambda: watcher.items, "the application registered no tray item")
    props = dbus.Interface(bus.get_object(*watcher.items[0]), dbus.PROPERTIES_IFACE)
    actions = dbus.Interface(bus.get_object(*watcher.items[0]), ITEM)
    tooltip = lambda: str(props.Get(ITEM, "ToolTip")[2])
    icon = lambda: [bytes(p[2]) for p in props.Get(ITEM, "IconPixmap")]
    expect(lambda: "ready (not active)" in tooltip(), "the item does not say it is ready")
    ready_icon = icon()

    for reason in ("build", "download"):
        err = open(os.path.join(home, reason + ".err"), "w+")
        holders.append((subprocess.Popen(
            [noctave, "ctl", "hold", "--reason", reason, "--", "sleep", "60"],
            stderr=err, stdout=subprocess.DEVNULL), err))
    expect(lambda: len(status().get("holds", [])) == 2, "the two holds did not stand")
    expect(lambda: "active;" in tooltip() and icon() != ready_icon, "holding did not fill the ember")

    # The user disarms from the tray: a right click (armWithRightClick is on by default) takes
    # the same disarm path as the menu, without racing a popup for the keyboard.
    actions.ContextMenu(10, 10)
    expect(lambda: "disarmed (right-click)" in log() and "ready (not" in tooltip(),
           "the right click did not disarm")
    after = status()
    expect(lambda: after.get("holds") == [] and after["lastDisarm"]["reason"] == "right-click",
           "the holds outlived the disarm: %s" % after)

    def said(err):
        err.seek(0)
        return "Noctave ended the hold (right-click); the command goes on." in err.read()
    expect(lambda: all(said(err) for _, err in holders), "a holder was not told its hold ended")
    expect(lambda: all(holder.poll() is None for holder, _ in holders), "a held job was stopped")
    for holder, _ in holders:
        holder.terminate()  # passed on to its job
        holder.wait(10)
    app.terminate()
    app.wait(10)
    shutil.rmtree(home)
    print("control_tray_e2e: two ctl holds, tray filled, a disarm from the tray ended both")


if __name__ == "__main__":
    main()
