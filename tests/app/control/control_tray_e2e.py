#!/usr/bin/python3
# Two jobs hold the session through `noctave ctl hold`; the tray fills; the user disarms from
# the tray; both holds end (each holder says so and its job goes on), and the status tells why.
# Run inside `xvfb-run -a dbus-run-session --`; the one argument is the
# noctave executable.
import json, os, shutil, subprocess, sys

import dbus, dbus.mainloop.glib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from harness import ITEM, tray_watcher  # noqa: E402  the tray this session plays
from tray_e2e import Noctave  # noqa: E402


def main():
    noctave = sys.argv[1]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = tray_watcher(bus)
    run = Noctave("control_tray_e2e", noctave)
    app, home, log, expect = run.app, run.home, run.log, run.expect
    holders = []

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
        run.others.append(holders[-1][0])
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
