#!/usr/bin/python3
# Noctave's GNOME Shell extension in a real gnome-shell: the shell runs as the X11 compositor
# of a private Xvfb display on a private session bus, with the extension as the build stages it
# (<build>/gnome-shell/share, as /usr/share would hold it) and the virtual laptop's Noctave
# behind a D-Bus activation file. The shell is looked into through its Eval method, which a
# small driver extension opens (unsafe mode); clicks go through xdotool as a person's would.
#
#   stories.py --list
#   stories.py NOCTAVE STORY      exit 0 passed, 1 failed, 77 cannot run here
#
# NOCTAVE_GNOME_CAPTURES names a folder for the pictures of the open menu (else the run's own).
import json, os, re, shutil, subprocess, sys, tempfile, time, traceback

import dbus, dbus.bus

STORIES = ["quick_settings", "disable_leaves_nothing"]
UUID = "noctave@quillor.com"
DRIVER = "noctave-test-driver@quillor.com"
SHELL = "org.gnome.Shell"
SKIP = 77

DRIVER_LEGACY = """/* exported init */
function init() {
    return {
        enable() { global.context.unsafe_mode = true; },
        disable() { global.context.unsafe_mode = false; },
    };
}
"""
DRIVER_MODULES = """import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
export default class extends Extension {
    enable() { global.context.unsafe_mode = true; }
    disable() { global.context.unsafe_mode = false; }
}
"""

# What the shell shows of the extension, read in the shell. Its object is the one init()
# returned (GNOME 43-44) or the one the Extension subclass keeps (45+).
DESCRIBE = """(() => {
    const ext = Main.extensionManager.lookup('%s');
    const s = ext?.stateObj;
    const n = s?._noctave ?? s;
    const t = n?._toggle;
    if (!t)
        return {state: ext?.state ?? null};
    const box = a => [...a.get_transformed_position(), a.width, a.height];
    const items = n._items;
    return {
        state: ext.state,
        checked: t.checked,
        title: t.title ?? t.label,
        subtitle: t.subtitle ?? null,
        icon: t.gicon.to_string(),
        header: [t.menu._headerTitle.text, t.menu._headerSubtitle.text],
        indicator: n._indicator.visible && n._indicator.icon.visible,
        indicatorIcon: n._indicator.icon.gicon.to_string(),
        items: [items.primary, items.armFor, ...items.choices, items.keepAwake, items.settings]
            .filter(i => i.visible).map(i => i.label.text),
        keepAwake: items.keepAwake._switch.state,
        quickSettingsOpen: Main.panel.statusArea.quickSettings.menu.isOpen,
        menuOpen: t.menu.isOpen,
        toggleBox: box(t),
        arrowBox: box(t._menuButton),
        keepAwakeBox: box(items.keepAwake),
        settingsBox: box(items.settings),
    };
})()""" % UUID

# What the shell holds that an extension adds: the Quick Settings grid, the panel's indicators.
COUNTS = """(() => {
    const qs = Main.panel.statusArea.quickSettings;
    return {grid: qs.menu._grid.get_n_children(),
        indicators: qs._indicators.get_n_children()};
})()"""


class Failed(Exception):
    pass


def placed(box):
    """`box` ([x, y, width, height]) when the shell has laid it out, else None."""
    if box and all(isinstance(v, (int, float)) for v in box) and box[2] > 0 and box[3] > 0:
        return box
    return None


def wait(what, done, seconds=20):
    deadline = time.monotonic() + seconds
    while True:
        value = done()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed("timed out: " + what)
        time.sleep(0.1)


class Session:
    """Xvfb, a private session bus, gnome-shell on both, the driver extension enabled."""

    def __init__(self, noctave, share):
        self.noctave = noctave
        self.root = tempfile.mkdtemp(prefix="noctave-gnome-")
        self.captures = os.environ.get("NOCTAVE_GNOME_CAPTURES") or self.root
        os.makedirs(self.captures, exist_ok=True)
        self.processes = []
        home = self.path("home")
        runtime = self.path("runtime")
        os.chmod(runtime, 0o700)
        sim_home = self.path("sim")
        # No welcome window: it would hold back (and hide) what this run looks for.
        with open(os.path.join(self.path("sim/config"), "com.quillor.noctave.conf"), "w") as f:
            f.write("hasSeenOnboarding = true\n")
        data_home = self.path("data")
        self.install_driver(os.path.join(data_home, "gnome-shell", "extensions", DRIVER))
        self.shell_log = self.path("logs") + "/shell.log"
        self.bus_log = self.path("logs") + "/session-bus.log"
        self.sim_home, self.data_home, self.home, self.runtime = sim_home, data_home, home, runtime
        self.share = share

    def start(self):
        share, home, runtime, sim_home, data_home = (self.share, self.home, self.runtime,
                                                     self.sim_home, self.data_home)
        self.display = self.start_xvfb()
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "USER": "root",
            "XDG_RUNTIME_DIR": runtime, "XDG_DATA_HOME": data_home,
            "XDG_CONFIG_HOME": self.path("config"), "XDG_CACHE_HOME": self.path("cache"),
            "XDG_DATA_DIRS": share + ":/usr/local/share:/usr/share",
            "DISPLAY": self.display, "GSETTINGS_BACKEND": "dconf", "XDG_SESSION_TYPE": "x11",
            "XDG_CURRENT_DESKTOP": "GNOME", "NO_AT_BRIDGE": "1", "LIBGL_ALWAYS_SOFTWARE": "1",
            "LANG": "C.UTF-8",
            # What an activated Noctave runs with: the virtual laptop, in this run's home.
            "NOCTAVE_PLATFORM": "sim", "NOCTAVE_SIM_HOME": sim_home, "QT_QPA_PLATFORM": "xcb",
        }
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.start_system_bus()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.start_bus()
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = self.env["DBUS_SESSION_BUS_ADDRESS"]
        self.bus = dbus.SessionBus()
        self.daemon = self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        with open(self.shell_log, "w") as out:
            self.processes.append(subprocess.Popen(
                ["gnome-shell", "--x11", "--replace", "--sm-disable"], env=self.env,
                stdout=out, stderr=subprocess.STDOUT))
        wait("gnome-shell on the bus", lambda: self.has_owner(SHELL), 60)
        self.shell = self.bus.get_object(SHELL, "/org/gnome/Shell")
        self.version = int(wait("the shell's object", self.shell_version, 60).split(".")[0])
        self.enable(DRIVER)
        wait("the shell's Eval", lambda: self.try_eval("1") == 1, 30)
        self.leave_overview()

    def leave_overview(self):
        # The shell starts in the overview, and a hide() that comes while its opening animation
        # still runs is dropped: asked again until the desktop shows.
        wait("the overview hidden",
             lambda: self.eval("Main.overview.hide(), !Main.overview.visible"), 30)

    def shell_version(self):
        try:
            return str(dbus.Interface(self.shell, dbus.PROPERTIES_IFACE).Get(SHELL,
                                                                              "ShellVersion"))
        except dbus.DBusException:
            return None

    def path(self, relative):
        folder = os.path.join(self.root, relative)
        os.makedirs(folder, exist_ok=True)
        return folder

    def install_driver(self, folder):
        os.makedirs(folder)
        modules = int(re.search(r"\d+", subprocess.run(
            ["gnome-shell", "--version"], capture_output=True, text=True).stdout).group()) >= 45
        with open(os.path.join(folder, "metadata.json"), "w") as f:
            json.dump({"uuid": DRIVER, "name": "Noctave test driver", "description": "tests",
                       "shell-version": ["45", "46", "47", "48"] if modules else ["43", "44"]}, f)
        with open(os.path.join(folder, "extension.js"), "w") as f:
            f.write(DRIVER_MODULES if modules else DRIVER_LEGACY)

    def start_xvfb(self):
        read, write = os.pipe()
        self.processes.append(subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
            pass_fds=[write], stderr=subprocess.DEVNULL))
        os.close(write)
        with os.fdopen(read) as f:
            return ":" + f.readline().strip()

    def run_bus(self, kind, folder, extra=""):
        """A dbus-daemon of `kind` listening in `folder`, everyone allowed; its address."""
        config = os.path.join(folder, "bus.conf")
        with open(config, "w") as f:
            f.write('<busconfig><type>%s</type><listen>unix:dir=%s</listen>%s'
                    '<auth>EXTERNAL</auth><policy context="default"><allow user="*"/>'
                    '<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>'
                    '<allow own="*"/></policy></busconfig>\n' % (kind, folder, extra))
        read, write = os.pipe()
        # Activated programs write where the bus daemon does.
        out = open(os.path.join(self.path("logs"), kind + "-bus.log"), "w")
        self.processes.append(subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
             "--print-address=%d" % write], env=self.env, pass_fds=[write], stdout=out,
            stderr=out))
        os.close(write)
        with os.fdopen(read) as f:
            return f.readline().strip()

    def start_bus(self):
        services = self.path("services")
        with open(os.path.join(services, "com.quillor.noctave.service"), "w") as f:
            f.write("[D-BUS Service]\nName=com.quillor.noctave\nExec=%s\n" % self.noctave)
        # Settings go through dconf, so that `gnome-extensions enable` reaches the shell.
        shutil.copy("/usr/share/dbus-1/services/ca.desrt.dconf.service", services)
        return self.run_bus("session", self.path("session"),
                            "<servicedir>%s</servicedir>" % services)

    def start_system_bus(self):
        """The shell asks logind for the session it runs in: a mocked one on a bus of its own."""
        address = self.run_bus("system", self.path("system"))
        self.processes.append(subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
            env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        system = dbus.bus.BusConnection(address)
        wait("the mocked logind", lambda: system.name_has_owner("org.freedesktop.login1"), 20)
        system.close()
        return address

    def has_owner(self, name):
        return bool(self.daemon.NameHasOwner(name, dbus_interface="org.freedesktop.DBus"))

    def try_eval(self, code):
        ok, result = self.shell.Eval(code, dbus_interface=SHELL)
        return json.loads(str(result)) if ok and str(result) else None

    def eval(self, code):
        """The value of `code` in the shell (which hands it over as JSON)."""
        ok, result = self.shell.Eval(code, dbus_interface=SHELL)
        if not ok:
            raise Failed("Eval failed: %s\n%s" % (result, code))
        return json.loads(str(result)) if str(result) else None

    def describe(self):
        return self.eval(DESCRIBE)

    def extension_info(self, uuid):
        info = self.shell.GetExtensionInfo(uuid, dbus_interface="org.gnome.Shell.Extensions")
        return {str(k): v for k, v in info.items()}

    def gnome_extensions(self, verb, uuid):
        run = subprocess.run(["gnome-extensions", verb, uuid], env=self.env, capture_output=True,
                             text=True, timeout=20)
        if run.returncode != 0:
            raise Failed("gnome-extensions %s %s: %s" % (verb, uuid, run.stderr))

    def enable(self, uuid):
        # The way a user turns it on (the README and --help say so).
        self.gnome_extensions("enable", uuid)
        wait(uuid + " enabled", lambda: int(self.extension_info(uuid).get("state", 0)) == 1)

    def disable(self, uuid):
        self.gnome_extensions("disable", uuid)
        wait(uuid + " disabled", lambda: int(self.extension_info(uuid).get("state", 0)) != 1)

    def ctl(self, *arguments):
        run = subprocess.run([self.noctave, "ctl"] + list(arguments), env=self.env,
                             capture_output=True, text=True, timeout=30)
        if run.returncode != 0:
            raise Failed("noctave ctl %s: %s%s" % (" ".join(arguments), run.stdout, run.stderr))
        return run.stdout

    def status(self):
        return json.loads(self.ctl("status", "--json"))

    def click(self, box, at=0.5):
        x, y, w, h = box
        # A hand rests before it presses: a press that comes with the motion can go to the
        # actor the pointer left.
        subprocess.run(["xdotool", "mousemove", str(int(x + w * at)), str(int(y + h / 2))],
                       env=self.env, check=True)
        time.sleep(0.3)
        subprocess.run(["xdotool", "mousedown", "1", "sleep", "0.1", "mouseup", "1"],
                       env=self.env, check=True)

    def capture(self, name):
        file = os.path.join(self.captures, name)
        subprocess.run(["import", "-window", "root", file], env=self.env, check=True,
                       timeout=30)
        return file

    def match_rules(self):
        """The match rules the shell's connection holds on the bus that name Noctave (the shell
        adds rules of its own as it goes; every one of the extension's names Noctave)."""
        owner = str(self.daemon.GetNameOwner(SHELL, dbus_interface="org.freedesktop.DBus"))
        rules = self.daemon.GetAllMatchRules(
            dbus_interface="org.freedesktop.DBus.Debug.Stats").get(owner, [])
        return sorted(str(rule) for rule in rules if "com.quillor.noctave" in str(rule))

    def shell_errors(self):
        """What the shell logged of the extension's: its own warnings, and the stack frames of
        anything thrown in its code."""
        with open(self.shell_log, errors="replace") as f:
            text = f.read()
        return [line for line in text.splitlines()
                if UUID + "/" in line or "Noctave: " in line]

    def noctave_log(self):
        text = ""
        for folder, _, files in os.walk(self.path("sim")):
            for name in files:
                if name.startswith("diagnostics") and name.endswith(".log"):
                    with open(os.path.join(folder, name), errors="replace") as f:
                        text += f.read()
        return text

    def close(self):
        try:
            if self.has_owner("com.quillor.noctave"):
                pid = int(self.daemon.GetConnectionUnixProcessID(
                    "com.quillor.noctave", dbus_interface="org.freedesktop.DBus"))
                os.kill(pid, 15)
        except Exception:  # noqa: BLE001  the run is over either way
            pass
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()

    def dump(self):
        for name, path in [("gnome-shell", self.shell_log), ("bus and Noctave", self.bus_log)]:
            if not os.path.exists(path):
                continue
            with open(path, errors="replace") as f:
                sys.stderr.write("--- %s ---\n%s" % (name, f.read()[-6000:]))
        sys.stderr.write("--- Noctave's log ---\n%s" % self.noctave_log()[-4000:])


def quick_settings(s):
    """Turned on with gnome-extensions, with no Noctave running: the toggle says so; a click
    starts Noctave through D-Bus activation and arms it, a second disarms it; `noctave ctl`
    arming for 2 h shows as checked with the time left, with the panel indicator; the toggle's
    menu offers what the tray menu offers, its keep-awake switch reaches Noctave and Settings...
    opens Noctave's settings window; Noctave opens no window standing in for a tray, and
    --diagnose names the extension as the surface; nothing of the extension's in the shell's
    log."""
    if s.has_owner("com.quillor.noctave"):
        raise Failed("Noctave ran before anyone asked for it")
    s.enable(UUID)
    info = s.extension_info(UUID)
    if str(info.get("error", "")):
        raise Failed("the shell reports an error: %s" % info["error"])
    wait("the extension's bus name", lambda: s.has_owner("com.quillor.noctave.GnomeShell"))
    shown = s.describe()
    if shown["checked"] or shown["indicator"] or shown["header"][1] != "Noctave is not running":
        raise Failed("without Noctave the toggle shows %s" % shown)

    # The shell starts in the overview; a desktop is where a user opens Quick Settings, after
    # the banner that unsafe mode brought has gone.
    s.leave_overview()
    s.eval("Main.messageTray.getSources().forEach(source => source.destroy())")
    # Laid out only once the overview has gone: before, the position reads as NaN (null).
    qs = wait("Quick Settings placed", lambda: placed(s.eval(
        "(b => [...b.get_transformed_position(), b.width, b.height])"
        "(Main.panel.statusArea.quickSettings)")))
    s.click(qs)
    wait("Quick Settings open", lambda: s.describe()["quickSettingsOpen"])
    s.click(s.describe()["toggleBox"], at=0.3)
    wait("Noctave started through activation and armed",
         lambda: s.has_owner("com.quillor.noctave") and s.status()["state"] == "armed", 30)
    wait("the toggle checked", lambda: s.describe()["checked"])
    shown = s.describe()
    if not shown["indicator"] or "armed-symbolic" not in shown["indicatorIcon"]:
        raise Failed("armed, but the panel shows no armed indicator: %s" % shown)
    s.capture("quick-settings-armed.png")
    s.click(shown["toggleBox"], at=0.3)
    wait("disarmed from the toggle", lambda: s.status()["state"] == "disarmed")
    wait("the toggle unchecked, the indicator gone",
         lambda: not s.describe()["checked"] and not s.describe()["indicator"])

    s.ctl("arm", "--for", "2h")
    wait("ctl's arm in the toggle", lambda: s.describe()["checked"])
    shown = s.describe()
    left = "1 h 59 min left"
    if left not in shown["header"][1] or (shown["subtitle"] is not None
                                          and left not in shown["subtitle"]):
        raise Failed("the time left is not shown: %s" % shown)
    s.click(shown["arrowBox"])
    wait("the toggle's menu open", lambda: s.describe()["menuOpen"])
    shown = s.describe()
    if shown["items"] != ["Disarm", "Keep Awake (lid open)", "Settings..."]:
        raise Failed("an armed menu offers %s" % shown["items"])
    s.eval("Main.messageTray.getSources().forEach(source => source.destroy())")
    time.sleep(0.5)  # the menu's opening animation
    print("capture:", s.capture("quick-settings-menu-armed.png"))
    s.click(s.describe()["keepAwakeBox"], at=0.3)
    wait("keep-awake switched on from the menu", lambda: s.status()["keepAwake"])
    wait("the switch follows", lambda: s.describe()["keepAwake"])
    s.ctl("disarm")
    wait("ctl's disarm in the toggle", lambda: not s.describe()["checked"])
    shown = s.describe()
    if shown["items"][:2] != ["Arm for Next Close", "Arm For"] or len(shown["items"]) != 8:
        raise Failed("a disarmed menu offers %s" % shown["items"])
    if not s.describe()["quickSettingsOpen"]:
        s.click(qs)
        wait("Quick Settings open again", lambda: s.describe()["quickSettingsOpen"])
    if not s.describe()["menuOpen"]:
        s.click(s.describe()["arrowBox"])
        wait("the toggle's menu open again", lambda: s.describe()["menuOpen"])
    s.eval("Main.messageTray.getSources().forEach(source => source.destroy())")
    time.sleep(0.5)
    print("capture:", s.capture("quick-settings-menu-disarmed.png"))
    # Settings... asks the running Noctave for its window and closes Quick Settings.
    s.click(s.describe()["settingsBox"], at=0.3)
    wait("the settings window", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^(Arming|General|About)$"], env=s.env,
        capture_output=True).returncode == 0)
    wait("Quick Settings closed", lambda: not s.describe()["quickSettingsOpen"])

    time.sleep(3.5)  # past the moment a window would stand in for the missing tray
    log = s.noctave_log()
    if "a window stands in" in log or "the GNOME Shell extension stands in" not in log:
        raise Failed("Noctave did not see that the extension serves the user:\n" + log)
    windows = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Noctave$"],
                             env=s.env, capture_output=True, text=True).stdout.split()
    if windows:
        raise Failed("a Noctave window is shown: %s" % windows)
    env = {k: v for k, v in s.env.items() if k != "NOCTAVE_PLATFORM"}
    said = subprocess.run([s.noctave, "--diagnose"], env=env, capture_output=True, text=True,
                          timeout=60).stdout
    if "--- surfaces serving the user ---\n  GNOME extension" not in said:
        raise Failed("--diagnose does not name the extension:\n" + said)
    if s.shell_errors():
        raise Failed("the shell's log: %s" % s.shell_errors())


def disable_leaves_nothing(s):
    """With Noctave running and a timed session standing (so the time-left timer runs, due a
    few seconds on), three rounds of enable and disable: each disable gives back every match
    rule on the bus, the bus name, the panel indicator and the Quick Settings item; neither a
    state change afterwards nor the timer's moment reaches anything of it."""
    s.ctl("arm", "--for", "65s")
    tick = time.monotonic() + 5
    before = s.match_rules()
    counts = s.eval(COUNTS)
    for round in range(3):
        s.enable(UUID)
        wait("the armed state in the toggle", lambda: s.describe().get("checked"))
        during = s.match_rules()
        if not during:
            raise Failed("no match rule of the extension's on the bus")
        if s.eval(COUNTS) == counts:
            raise Failed("the extension added nothing to Quick Settings")
        s.disable(UUID)
        print("round %d: match rules naming Noctave %d, enabled %d, disabled %d" % (
            round, len(before), len(during), len(s.match_rules())))
        if s.has_owner("com.quillor.noctave.GnomeShell"):
            raise Failed("round %d: the bus name outlived disable()" % round)
        if s.match_rules() != before:
            raise Failed("round %d: match rules left: %s" % (
                round, sorted(set(s.match_rules()) - set(before))))
        if s.eval(COUNTS) != counts:
            raise Failed("round %d: the shell holds %s, before %s" % (round, s.eval(COUNTS),
                                                                      counts))
        s.ctl("keep-awake", "on" if round % 2 == 0 else "off")
    time.sleep(max(0.5, tick + 1 - time.monotonic()))
    if s.shell_errors():
        raise Failed("the shell's log: %s" % s.shell_errors())


def main():
    if sys.argv[1:] == ["--list"]:
        print(" ".join(STORIES))
        return 0
    if len(sys.argv) != 3 or sys.argv[2] not in STORIES:
        sys.stderr.write("usage: stories.py --list | stories.py NOCTAVE STORY\n")
        return 2
    noctave, story = os.path.abspath(sys.argv[1]), sys.argv[2]
    for program in ["gnome-shell", "gnome-extensions", "Xvfb", "dbus-daemon", "xdotool",
                    "import", "/usr/libexec/dconf-service"]:
        if shutil.which(program) is None:
            print("skipped: %s is not installed" % program)
            return SKIP
    share = os.environ.get("NOCTAVE_GNOME_SHARE") or os.path.join(
        os.path.dirname(os.path.dirname(noctave)), "gnome-shell", "share")
    if not os.path.isdir(os.path.join(share, "gnome-shell", "extensions", UUID)):
        sys.stderr.write("no staged extension under %s\n" % share)
        return 1
    session = None
    try:
        session = Session(noctave, share)
        session.start()
        globals()[story](session)
        print("%s: passed on GNOME Shell %d" % (story, session.version))
        return 0
    except (Failed, dbus.DBusException) as e:
        traceback.print_exc()
        sys.stderr.write("%s: %s\n" % (story, e))
        if session:
            session.dump()
        return 1
    finally:
        if session:
            session.close()


if __name__ == "__main__":
    sys.exit(main())
