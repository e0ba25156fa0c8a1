#!/usr/bin/python3
# Noctave on the virtual laptop in a session whose tray comes and goes: Noctave's GNOME Shell
# extension in place of a tray, a panel that starts two seconds after Noctave, no panel at all
# (the window that stands in for it), a panel that appears later and restarts, the menu the item
# exports over com.canonical.dbusmenu, and an X11 tray that only embeds windows. Run inside
# `xvfb-run -a dbus-run-session --`; the arguments are the noctave executable and the embedding
# tray (tests/app/tray/XEmbedTray.cpp).
import os, subprocess, sys, time

import dbus, dbus.bus, dbus.mainloop.glib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import ITEM, pump as pump_until, tray_watcher as Watcher  # noqa: E402
from tray_e2e import Noctave, shown_windows  # noqa: E402  the tray played here

MENU = "com.canonical.dbusmenu"


def pump(seconds):
    pump_until(lambda: False, seconds)


def visible(*query):
    found = subprocess.run(["xdotool", "search", "--onlyvisible"] + list(query),
                           capture_output=True, text=True)
    return found.stdout.split() if found.returncode == 0 else []


def entries(menu):
    """The exported menu's top level as (id, text, properties); "-" for a separator."""
    _, (_, _, children) = menu.GetLayout(0, -1, dbus.Array([], signature="s"))
    out = []
    for child in children:
        cid, props = int(child[0]), dict(child[1])
        text = "-" if props.get("type") == "separator" else str(props["label"])
        out.append((cid, text, props))
    return out


def diagnose(executable):
    """What `noctave --diagnose` says on the Linux backend (its lid checks fail here)."""
    env = {k: v for k, v in os.environ.items() if k != "NOCTAVE_PLATFORM"}
    return subprocess.run([executable, "--diagnose"], env=env, capture_output=True, text=True,
                          timeout=30).stdout


def late_panel(executable):
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    said = diagnose(executable)
    if "none runs" not in said or "AppIndicator extension" not in said:
        sys.exit("tray_host_e2e: --diagnose does not say that no tray host runs:\n" + said)
    run = Noctave("tray_host_e2e late panel", executable)
    pump(2)
    panel = dbus.bus.BusConnection(address)
    watcher = Watcher(panel)
    run.expect(lambda: watcher.items, "a watcher that came 2 s late never got the item")
    said = diagnose(executable)
    run.expect(lambda: "a StatusNotifierWatcher runs" in said,
               "--diagnose does not see the tray host:\n" + said)
    pump(2.5)  # past the moment a window would stand in for a missing tray
    run.expect(lambda: not visible("--name", "^Noctave$") and "no tray host" not in run.log(),
               "a window stood in although the tray had the item")
    run.app.terminate()
    run.expect(lambda: run.app.poll() is not None, "SIGTERM did not end the application")
    panel.close()  # the panel goes with its watcher


def no_panel_then_one(executable):
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    bus = dbus.SessionBus()
    run = Noctave("tray_host_e2e no panel", executable)
    app, log, expect = run.app, run.log, run.expect

    # A first launch: the welcome is up, and the stand-in does not cover it; it comes once
    # the welcome has closed.
    expect(lambda: "no tray host runs" in log(), "the missing tray went unnoticed")
    pump(0.5)
    expect(lambda: not visible("--name", "^Noctave$"), "the stand-in opened over the welcome")
    welcome = visible("--name", "Welcome")
    expect(lambda: welcome, "the first launch showed no welcome")
    # Its close button, near the top right corner of the 720-point-wide window.
    subprocess.run(["xdotool", "mousemove", "--window", welcome[0], "696", "21", "click", "1"],
                   check=True)
    expect(lambda: visible("--name", "^Noctave$"), "no window stood in for the missing tray")
    window = visible("--name", "^Noctave$")[0]
    # The window's first entry has the focus: "Arm for Next Close".
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
    subprocess.run(["xdotool", "key", "space"], check=True)
    expect(lambda: "armed (menu)" in log(), "arming from the stand-in window did not arm")

    panel = dbus.bus.BusConnection(address)
    watcher = Watcher(panel)
    expect(lambda: watcher.items, "a watcher that appeared later never got the item")
    expect(lambda: not visible("--name", "^Noctave$"), "the window stayed once a tray showed the item")
    sender = watcher.items[0][0]
    menu = dbus.Interface(bus.get_object(sender, "/MenuBar"), MENU)
    props = dbus.Interface(bus.get_object(sender, "/StatusNotifierItem"), dbus.PROPERTIES_IFACE)
    expect(lambda: str(props.Get(ITEM, "Menu")) == "/MenuBar", "the item names no exported menu")

    # Armed: the menu's entries in its order, with their states.
    texts = [text for _, text, _ in entries(menu)]
    expect(lambda: texts == ["Disarm", "Keep Awake (lid open)", "-", "Settings...", "-",
                             "Quit Noctave"], "the exported menu reads %s" % texts)
    keep = entries(menu)[1][2]
    expect(lambda: keep.get("toggle-type") == "checkmark" and keep.get("toggle-state") == 0,
           "Keep Awake is not an unchecked switch: %s" % keep)
    quit_keys = [[str(k) for k in chord] for chord in entries(menu)[5][2].get("shortcut", [])]
    expect(lambda: quit_keys == [["Control", "Q"]], "Quit's shortcut reads %s" % quit_keys)

    # A click in the panel's menu does what the menu entry does.
    menu.Event(entries(menu)[0][0], "clicked", dbus.String("", variant_level=1), dbus.UInt32(0))
    expect(lambda: "disarmed (menu)" in log(), "Disarm clicked in the exported menu did not disarm")
    expect(lambda: [t for _, t, _ in entries(menu)][:3] ==
           ["Arm for Next Close", "Arm For", "Keep Awake (lid open)"],
           "the exported menu did not follow the disarm: %s" % entries(menu))
    timed = entries(menu)[1][2]
    expect(lambda: timed.get("children-display") == "submenu", "Arm For is not a submenu")
    menu.Event(entries(menu)[2][0], "clicked", dbus.String("", variant_level=1), dbus.UInt32(0))
    expect(lambda: entries(menu)[2][2].get("toggle-state") == 1,
           "Keep Awake clicked in the exported menu is not checked")
    menu.Event(entries(menu)[0][0], "clicked", dbus.String("", variant_level=1), dbus.UInt32(0))
    expect(lambda: "armed (menu)" in log().split("disarmed (menu)")[-1],
           "Arm for Next Close clicked in the exported menu did not arm")

    # A left click answers at once and pops the menu up; a second one while it is open too.
    actions = dbus.Interface(bus.get_object(sender, "/StatusNotifierItem"), ITEM)
    slowest = 0.0
    before = shown_windows()
    for _ in range(2):
        started = time.monotonic()
        actions.Activate(20, 20, timeout=30)
        slowest = max(slowest, time.monotonic() - started)
        expect(lambda: len(shown_windows() - before) == 1, "a left click showed no menu, or two")
    expect(lambda: slowest < 0.1, "Activate took %.0f ms to answer" % (slowest * 1000))
    subprocess.run(["xdotool", "key", "Escape"], check=True)
    expect(lambda: not shown_windows() - before, "Escape left the menu up")

    # The panel restarts: its new watcher is told about the item.
    panel.close()
    pump(0.5)
    panel = dbus.bus.BusConnection(address)
    restarted = Watcher(panel)
    expect(lambda: restarted.items, "a restarted watcher never got the item")

    quit_id = entries(menu)[-1][0]
    menu.Event(quit_id, "clicked", dbus.String("", variant_level=1), dbus.UInt32(0))
    expect(lambda: app.poll() is not None, "Quit Noctave from the exported menu did not quit")
    expect(lambda: app.returncode == 0 and "clean exit" in log(),
           "quitting did not end cleanly (status %d)" % app.returncode)
    panel.close()
    print("tray_host_e2e: Activate answered in %.1f ms at worst" % (slowest * 1000))


def embedding_tray(executable, tray_executable):
    tray = subprocess.Popen([tray_executable], stdout=subprocess.PIPE, text=True)
    lines = []
    assert tray.stdout.readline().strip() == "ready"
    os.set_blocking(tray.stdout.fileno(), False)

    def said(word):
        lines.extend(line.strip() for line in iter(tray.stdout.readline, ""))
        return [line for line in lines if line.startswith(word)]

    run = Noctave("tray_host_e2e embedding tray", executable)
    run.others.append(tray)
    run.expect(lambda: said("dock"), "the item never asked the X11 tray to dock it")
    run.expect(lambda: "X11 tray (XEmbed)" in run.log(), "the log does not say where the item went")
    pump(0.5)
    run.expect(lambda: not visible("--name", "^Noctave$"),
               "a window stood in although the X11 tray shows the item")
    # A panel with a watcher after all: the item goes there, and out of the X11 tray.
    watcher = Watcher(dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"]))
    run.expect(lambda: watcher.items, "a watcher after the X11 tray never got the item")
    run.expect(lambda: said("gone"), "the item stayed in the X11 tray beside the watcher's")
    run.app.terminate()
    run.expect(lambda: run.app.poll() is not None, "SIGTERM did not end the application")
    tray.kill()
    tray.wait()


def gnome_extension(executable):
    """Noctave's GNOME Shell extension holds its bus name: no window stands in for the tray,
    also when the extension goes away (as it does for the lock screen)."""
    address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
    extension = dbus.bus.BusConnection(address)
    extension.request_name("com.quillor.noctave.GnomeShell")
    run = Noctave("tray_host_e2e GNOME extension", executable)
    run.expect(lambda: "the GNOME Shell extension stands in for the tray" in run.log(),
               "the extension's bus name went unnoticed")
    extension.close()
    run.expect(lambda: "the GNOME Shell extension went away" in run.log(),
               "the extension's going went unnoticed")
    pump(0.5)
    run.expect(lambda: not visible("--name", "^Noctave$") and "a window stands in" not in run.log(),
               "a window stood in although the extension served")
    run.app.terminate()
    run.expect(lambda: run.app.poll() is not None, "SIGTERM did not end the application")


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    gnome_extension(sys.argv[1])
    late_panel(sys.argv[1])
    no_panel_then_one(sys.argv[1])
    embedding_tray(sys.argv[1], sys.argv[2])
    print("tray_host_e2e: GNOME extension, late panel, no panel (window), panel restart, "
          "exported menu, X11 embedding tray")


if __name__ == "__main__":
    main()
