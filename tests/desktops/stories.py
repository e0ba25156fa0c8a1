#!/usr/bin/python3
'''Noctave against each desktop's real power manager, beside the real logind and upowerd (the
system stories' harness): one desktop per run, named by the second argument (the first is the
noctave executable); NOCTAVE_DPMS_STANDIN names the display power stand-in preloaded into the
daemons that need one. Prints one line with the figures when it passes; exits 77 with one
line when a package is missing here (a failure instead with NOCTAVE_REQUIRE_DESKTOPS set, as
in CI).

Each story: the daemon suspends on a close by itself; without Noctave a lid close suspends;
armed it does not; disarmed it does again and the desktop's lid settings are the user's, as
they were; a value the user changes while armed stays; SIGKILL while armed gets the settings
back within 5 s (the guardian); and a record left with no guardian is restored by the next
start.'''

import os
import shutil
import signal
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import harness  # noqa: E402

XFCONF = 'org.xfce.Xfconf'
XFCONFD = '/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd'
DCONF_SERVICE = '/usr/libexec/dconf-service'
GUARDIAN = 'noctave-lid-gua'  # the kernel keeps 15 bytes of a command's name
# How long a close is watched for a suspend that must not come.
QUIET_SECONDS = 2.5


class Desktop:
    '''One desktop's power manager: how to start it with the lid set to suspend, how to read
    the user's lid settings, and how the user changes one.'''
    program = ''
    needs = ()  # executables that must exist
    display = False
    acts_on_lid = True  # it suspends on a lid close by itself
    takes_lock = True  # it holds a handle-lid-switch lock while it runs

    def __init__(self, h, standin):
        self.h = h
        self.standin = standin
        self.env = h.noctave_env()
        self.env.pop('LD_PRELOAD', None)
        self.env.pop('UMOCKDEV_DIR', None)

    def missing(self):
        for path in self.needs:
            if not (os.path.exists(path) or shutil.which(path)):
                return f'{path} is missing'
        if self.display and not shutil.which('Xvfb'):
            return 'Xvfb is missing (package xvfb)'
        if not os.path.exists(self.standin):
            return 'no display power stand-in (NOCTAVE_DPMS_STANDIN)'
        return None

    def as_user(self, argv):
        return self.h.run(argv, self.env).stdout

    def start_display(self):
        read_end, write_end = os.pipe()
        self.h.start('xvfb', ['Xvfb', '-displayfd', str(write_end), '-nolisten', 'tcp', '-screen',
                              '0', '1024x768x24'], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise harness.Failure('Xvfb did not start')
        self.env['DISPLAY'] = ':' + number

    def daemon(self, name, argv, bus_name, preload=False):
        env = dict(self.env)
        if preload:
            env['LD_PRELOAD'] = self.standin
        return self.h.add_daemon(name, argv, bus_name, user=self.h.user, session=True, env=env,
                                 private=())

    def holds_lid(self):
        return any('handle-lid-switch' in i[0] and i[1] != 'Noctave' for i in self.h.inhibitors())

    def start(self):
        raise NotImplementedError

    def settings(self):
        raise NotImplementedError

    def change_while_armed(self):
        '''Changes one recorded key to a third value; returns what settings() must then show,
        or None where the owner has no key with a third value.'''
        return None


class Xfce(Desktop):
    program = 'xfce4-power-manager'
    needs = ('xfce4-power-manager', XFCONFD)
    display = True
    PROPERTIES = (('/xfce4-power-manager/lid-action-on-battery', 'u', 1),
                  ('/xfce4-power-manager/lid-action-on-ac', 'u', 1),
                  ('/xfce4-power-manager/logind-handle-lid-switch', 'b', False))

    def start(self):
        import dbus
        self.start_display()
        self.daemon('xfconfd', [XFCONFD], XFCONF)
        for name, kind, value in self.PROPERTIES:
            typed = dbus.UInt32(value) if kind == 'u' else dbus.Boolean(value)
            self.h.session.call_blocking(XFCONF, '/org/xfce/Xfconf', XFCONF, 'SetProperty',
                                         'ssv', [self.program, name, typed])
        self.daemon(self.program, [self.program, '--no-daemon'], 'org.xfce.PowerManager',
                    preload=True)

    def settings(self):
        found = self.h.session.call_blocking(XFCONF, '/org/xfce/Xfconf', XFCONF,
                                             'GetAllProperties', 'ss', [self.program, '/'])
        return {str(k): repr(v) for k, v in found.items()}


class GSettingsDesktop(Desktop):
    schema = ''
    keys = ()
    extra = ()  # other settings the run needs, (key, value)

    def start(self):
        if self.display:
            self.start_display()
        self.daemon('dconf-service', [DCONF_SERVICE], 'ca.desrt.dconf')
        for key in self.keys:
            self.as_user(['gsettings', 'set', self.schema, key, 'suspend'])
        for key, value in self.extra:
            self.as_user(['gsettings', 'set', self.schema, key, value])
        self.start_daemon()

    def settings(self):
        # What the user set, and nothing of the defaults: a key never set must stay unset.
        return self.as_user(['dconf', 'dump', '/' + self.schema.replace('.', '/') + '/'])

    def change_while_armed(self):
        self.as_user(['gsettings', 'set', self.schema, self.keys[0], 'hibernate'])
        return "hibernate"


class Mate(GSettingsDesktop):
    program = 'mate-power-manager'
    needs = ('mate-power-manager', DCONF_SERVICE, 'dconf')
    display = True
    schema = 'org.mate.power-manager'
    keys = ('button-lid-battery', 'button-lid-ac')

    def start_daemon(self):
        self.daemon(self.program, [self.program], 'org.mate.PowerManager', preload=True)


class Cinnamon(GSettingsDesktop):
    program = 'csd-power'
    CSD = '/usr/lib/x86_64-linux-gnu/cinnamon-settings-daemon/csd-power'
    needs = (CSD, DCONF_SERVICE, 'dconf', '/usr/share/glib-2.0/schemas/org.cinnamon.SessionManager.gschema.xml')
    display = True
    schema = 'org.cinnamon.settings-daemon.plugins.power'
    keys = ('lid-close-battery-action', 'lid-close-ac-action')
    # Xvfb's one output does not look like a laptop's panel, and a lid closed beside an
    # external screen does not suspend by default.
    extra = (('lid-close-suspend-with-external-monitor', 'true'),)

    def start_daemon(self):
        import dbus
        # csd-power asks the session manager whether suspending is inhibited, and does not
        # suspend when it cannot tell: a stand-in that says nothing is.
        manager = 'org.gnome.SessionManager'
        self.h.add_mock('session-manager', manager, '/org/gnome/SessionManager', manager, [
            ('IsInhibited', 'u', 'b', 'ret = False'),
            ('RegisterClient', 'ss', 'o', "ret = '/org/gnome/SessionManager/Client1'")])
        # Cinnamon 6's desktop library waits for Muffin's display configuration before csd-power
        # starts: a stand-in with no screens to report.
        muffin = 'org.cinnamon.Muffin.DisplayConfig'
        self.h.add_mock('muffin-display-config', muffin, '/org/cinnamon/Muffin/DisplayConfig',
                        muffin, [('GetResources', '', 'ua(uxiiiiiuaua{sv})a(uxiausauaua{sv})'
                                  'a(uxuudu)ii', 'ret = (1, [], [], [], 8192, 8192)')],
                        {'PowerSaveMode': dbus.Int32(0)})
        self.daemon(self.program, [self.CSD], 'org.cinnamon.SettingsDaemon.Power', preload=True)


class PowerDevil(Desktop):
    program = 'PowerDevil'
    BINARY = '/usr/lib/x86_64-linux-gnu/libexec/org_kde_powerdevil'
    KSCREEN = harness.first_of('/usr/lib/x86_64-linux-gnu/libexec/kf6/kscreen_backend_launcher',
                               '/usr/lib/x86_64-linux-gnu/libexec/kf5/kscreen_backend_launcher')
    # It takes its lock for the logind session it runs in, and here runs outside any.
    takes_lock = False
    needs = (BINARY, KSCREEN)
    display = True
    PROFILES = ('[AC]\nicon=battery-charging\n\n[AC][HandleButtonEvents]\nlidAction=1\n'
                'powerButtonAction=16\n\n[Battery]\nicon=battery-060\n\n'
                '[Battery][HandleButtonEvents]\nlidAction=1\n\n[LowBattery]\n'
                'icon=battery-low\n\n[LowBattery][HandleButtonEvents]\nlidAction=1\n')

    def file(self):
        return os.path.join(self.env['HOME'], '.config', 'powermanagementprofilesrc')

    def start(self):
        self.start_display()
        os.makedirs(os.path.dirname(self.file()), exist_ok=True)
        with open(self.file(), 'w') as f:
            f.write(self.PROFILES)
        for path in (os.path.dirname(self.file()), self.file()):
            os.chown(path, self.h.user.pw_uid, self.h.user.pw_gid)
        # Its idle timer has a plugin for X11 only, and it crashes without one; it handles the
        # lid only once KScreen has told it the screens.
        self.env['QT_QPA_PLATFORM'] = 'xcb'
        self.daemon('kscreen', [self.KSCREEN], 'org.kde.KScreen')
        self.daemon(self.program, [self.BINARY], 'org.kde.Solid.PowerManagement')

    def settings(self):
        with open(self.file(), 'rb') as f:
            return f.read()

    def change_while_armed(self):
        text = open(self.file()).read().replace('[Battery][HandleButtonEvents]\nlidAction=0',
                                                '[Battery][HandleButtonEvents]\nlidAction=2')
        with open(self.file(), 'w') as f:
            f.write(text)
        return 'lidAction=2'


class Gnome(Desktop):
    program = 'gsd-power'
    needs = ('/usr/libexec/gsd-power',)
    display = True
    acts_on_lid = False
    takes_lock = False  # only briefly, around changes of the screens

    def start(self):
        self.start_display()
        self.daemon(self.program, ['/usr/libexec/gsd-power'], 'org.gnome.SettingsDaemon.Power')
        # gsd-power 48 holds the lid for some seconds after its start ("External monitor
        # attached or configuration changed recently"): the story begins once it lets go.
        self.h.expect(lambda: not self.holds_lid(), f'{self.program} kept its lid lock', 20)

    def settings(self):
        return None  # it leaves the lid to logind: nothing of the user's is changed


DESKTOPS = {'xfce': Xfce, 'mate': Mate, 'cinnamon': Cinnamon, 'plasma': PowerDevil,
            'gnome': Gnome}


def ctl_ok(h, *args):
    done = h.ctl(*args)
    if done.returncode != 0:
        raise harness.Failure(f'noctave ctl {" ".join(args)} failed: {done.stderr}{done.stdout}')
    return done.stdout


def daemon_suspends_by_itself(h, desktop):
    '''With logind's own lid action blocked by a lock of the harness, the close still suspends:
    the daemon acts on the lid itself (for GNOME's, which leaves it to logind: it holds).'''
    lock = h.bus.call_blocking(harness.LOGIN, harness.LOGIN_PATH, harness.LOGIN_MANAGER, 'Inhibit',
                               'ssss', ['handle-lid-switch', 'harness', 'the daemon alone',
                                        'block']).take()
    try:
        if desktop.acts_on_lid:
            close_lid_suspends(h, f'{desktop.program} did not suspend on a close by itself')
        else:
            close_lid_holds(h, f'{desktop.program} suspended by itself')
    finally:
        os.close(lock)
    h.expect(lambda: not [i for i in h.inhibitors() if i[1] == 'harness'],
             'the harness\'s lock stayed')


def close_lid_suspends(h, why):
    since = len(h.logind.log())
    h.set_lid(True)
    h.wait_log(h.logind, 'Lid closed.', since)
    h.expect(lambda: h.open_jobs(), why)
    h.wake()
    h.set_lid(False)
    h.wait_log(h.logind, 'Lid opened.', since)


def close_lid_holds(h, why):
    since, jobs = len(h.logind.log()), h.started_units()
    h.set_lid(True)
    h.wait_log(h.logind, 'Lid closed.', since)
    if harness.poll(lambda: h.started_units() != jobs, QUIET_SECONDS):
        raise harness.Failure(f'{why}: {h.started_units()[len(jobs):]}')
    h.set_lid(False)
    h.wait_log(h.logind, 'Lid opened.', since)


def guardian_of(pid):
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open(f'/proc/{entry}/stat') as f:
                    stat = f.read()
            except OSError:
                continue
            name = stat[stat.index('(') + 1:stat.rindex(')')]
            ppid = int(stat[stat.rindex(')') + 2:].split()[1])
            if name == GUARDIAN and ppid == pid:
                return int(entry)
    return None


def timed(fn):
    started = time.monotonic()
    fn()
    return time.monotonic() - started


def story(h, desktop):
    desktop.start()
    if desktop.takes_lock:
        h.expect(desktop.holds_lid, f'{desktop.program} took no handle-lid-switch lock')
    user = desktop.settings()
    figures = []

    daemon_suspends_by_itself(h, desktop)
    owner = (f'lid-close owner = {desktop.program}' if desktop.acts_on_lid else
             f'lid-close owner = {desktop.program}, which leaves the lid to systemd-logind')
    status, output = h.run_noctave(['--diagnose'], seconds=40)
    if status != 0 or owner not in output:
        raise harness.Failure(f'--diagnose did not say {owner!r} ({status}):\n{output}')
    if desktop.settings() != user:
        raise harness.Failure('--diagnose left the desktop\'s lid settings changed')
    # The daemon's own lid lock is the sign that it will suspend, not that nothing will.
    status, output = h.run_noctave(['--selftest'], seconds=40)
    for said in ('the advisory lid-sleep property = Yes',
                 owner.replace('lid-close owner = ', 'a lid close is handled by ')):
        if said not in output:
            raise harness.Failure(f'--selftest did not say {said!r} ({status}):\n{output}')
    if desktop.settings() != user:
        raise harness.Failure('--selftest left the desktop\'s lid settings changed')
    close_lid_suspends(h, f'without Noctave, the close did not suspend under {desktop.program}')

    app = h.start_noctave()
    figures.append(f'arm {timed(lambda: ctl_ok(h, "arm")) * 1000:.0f} ms')
    close_lid_holds(h, f'armed under {desktop.program}, the close suspended')
    ctl_ok(h, 'disarm')
    if desktop.settings() != user:
        raise harness.Failure(f'the disarm left {desktop.settings()!r}, not {user!r}')
    close_lid_suspends(h, f'disarmed, the close did not suspend under {desktop.program}')
    if user is None:
        return f'{desktop.program}: holds while armed, suspends without; ' + ', '.join(figures)

    # A value the user sets while armed is theirs: the disarm leaves it.
    ctl_ok(h, 'arm')
    expected = desktop.change_while_armed()
    if expected is not None:
        ctl_ok(h, 'disarm')
        changed = desktop.settings()
        if expected not in str(changed) or changed == user:
            raise harness.Failure(f'the user\'s change while armed was undone: {changed!r}')
        return story_deaths(h, desktop, changed, figures)
    ctl_ok(h, 'disarm')
    return story_deaths(h, desktop, user, figures)


def story_deaths(h, desktop, user, figures):
    app = h.noctaves[-1]
    # SIGKILL while armed: the guardian puts everything back.
    ctl_ok(h, 'arm')
    if desktop.settings() == user:
        raise harness.Failure('arming changed nothing of the desktop\'s lid settings')
    app.signal(signal.SIGKILL)
    killed = time.monotonic()
    app.wait()
    h.expect(lambda: desktop.settings() == user, 'nothing restored 5 s after SIGKILL', seconds=5)
    figures.append(f'restored {(time.monotonic() - killed) * 1000:.0f} ms after SIGKILL')

    # Guardian and program both gone: the next start restores the record they left.
    app = h.start_noctave()
    ctl_ok(h, 'arm')
    guardian = h.expect(lambda: guardian_of(app.pid), 'no guardian beside the armed Noctave')
    os.kill(guardian, signal.SIGKILL)
    app.signal(signal.SIGKILL)
    app.wait()
    if desktop.settings() == user:
        raise harness.Failure('the settings came back with no one left to restore them')
    h.start_noctave()
    h.expect(lambda: desktop.settings() == user, 'the next start did not restore the record')
    return f'{desktop.program}: ' + ', '.join(figures)


def run_desktop(program, name):
    standin = os.environ.get('NOCTAVE_DPMS_STANDIN', '')

    def run(h):
        desktop = DESKTOPS[name](h, standin)
        why = desktop.missing()
        if why:
            raise harness.Skip(why)
        return story(h, desktop)

    harness.run_story(name, program, run,
                      required=bool(os.environ.get('NOCTAVE_REQUIRE_DESKTOPS')), upower_lid=True)


def main():
    harness.story_main(DESKTOPS, run_desktop)


if __name__ == '__main__':
    main()
