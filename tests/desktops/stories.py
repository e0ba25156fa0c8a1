#!/usr/bin/python3
'''Noctave against each desktop's real power manager, beside the real logind and upowerd (the
system stories' harness): one desktop per run, named by the second argument (the first is the
noctave executable); NOCTAVE_DPMS_STANDIN names the display power stand-in preloaded into the
daemons that need one. Prints one line with the figures when it passes; exits 77 with one
line when a package is missing here (a failure instead with NOCTAVE_REQUIRE_DESKTOPS set, as
in CI).

Each story: the daemon suspends on a close by itself; without Noctave a lid close suspends;
armed it does not, and the daemon itself answers that a close does nothing; disarmed it does
again and the desktop's lid settings are the user's, as they were; a value the user changes
while armed stays; SIGKILL while armed gets the settings back within 5 s (the guardian); and a
record left with no guardian is restored by the next start. Plasma's stories run on the
installed PowerDevil, 5 or 6: with and without KDE_SESSION_VERSION, a duplicated lid key, an
immutable one (the arm fails with its notice and changes nothing), and on Plasma 6 a user's
Plasma 5 files it migrates.'''

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
    refused = None  # what a refused arm says, where the user's settings cannot be stood down
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

    def noctave_env(self):
        '''What Noctave's environment adds.'''
        return {}

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

    def answer(self):
        '''What the daemon itself says a lid close does now, through its own interface: (its
        words, whether that is nothing); None where the daemon leaves the lid to logind.'''
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

    def answer(self):
        # Handing the lid to logind, it drops its own lid lock: then ours decides.
        hands = self.h.session.call_blocking(XFCONF, '/org/xfce/Xfconf', XFCONF, 'GetProperty',
                                             'ss', [self.program, self.PROPERTIES[2][0]])
        holds = self.holds_lid()
        return (f'logind-handle-lid-switch={bool(hands)}, own lid lock {holds}',
                bool(hands) and not holds)


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

    def answer(self):
        # The values in effect, as the daemon reads them through dconf.
        said = [self.as_user(['gsettings', 'get', self.schema, key]).strip() for key in self.keys]
        return ', '.join(f'{k}={v}' for k, v in zip(self.keys, said)), all(
            v == "'nothing'" for v in said)


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


def plasma_six():
    '''Whether the installed PowerDevil is Plasma 6's (it runs on Qt 6).'''
    try:
        with open(PowerDevil.BINARY, 'rb') as f:
            return b'libQt6Core' in f.read()
    except OSError:
        return False


class PowerDevil(Desktop):
    '''Plasma's PowerDevil, 5 or 6 as installed: a fresh user's files, the lid set to sleep.'''
    program = 'PowerDevil'
    BUS = 'org.kde.Solid.PowerManagement'
    BINARY = '/usr/lib/x86_64-linux-gnu/libexec/org_kde_powerdevil'
    KSCREEN = '/usr/lib/x86_64-linux-gnu/libexec/kf{}/kscreen_backend_launcher'
    # It takes its lock for the logind session it runs in, and here runs outside any.
    takes_lock = False
    display = True
    PROFILES = {5: ('[AC]\nicon=battery-charging\n\n[AC][HandleButtonEvents]\nlidAction=1\n'
                    'powerButtonAction=16\n\n[Battery]\nicon=battery-060\n\n'
                    '[Battery][HandleButtonEvents]\nlidAction=1\n\n[LowBattery]\n'
                    'icon=battery-low\n\n[LowBattery][HandleButtonEvents]\nlidAction=1\n'),
                6: ('[AC][Display]\nDimDisplayIdleTimeoutSec=300\n\n[AC][SuspendAndShutdown]\n'
                    'LidAction=1\nPowerButtonAction=16\n\n[Battery][SuspendAndShutdown]\n'
                    'LidAction=1\n\n[LowBattery][SuspendAndShutdown]\nLidAction=1\n')}
    FILES = {5: 'powermanagementprofilesrc', 6: 'powerdevilrc'}
    KEY = {5: 'lidAction', 6: 'LidAction'}
    session_version = False  # whether Noctave is told KDE_SESSION_VERSION

    def __init__(self, h, standin):
        super().__init__(h, standin)
        self.version = 6 if plasma_six() else 5
        self.needs = (self.BINARY, self.KSCREEN.format(self.version))

    def file(self, version=None):
        return os.path.join(self.env['HOME'], '.config', self.FILES[version or self.version])

    def user_files(self):
        '''The files the user has before PowerDevil first starts: {version: text}.'''
        return {self.version: self.PROFILES[self.version]}

    def noctave_env(self):
        return {'KDE_SESSION_VERSION': str(self.version)} if self.session_version else {}

    def start(self):
        self.start_display()
        os.makedirs(os.path.dirname(self.file()), exist_ok=True)
        os.chown(os.path.dirname(self.file()), self.h.user.pw_uid, self.h.user.pw_gid)
        for version, text in self.user_files().items():
            with open(self.file(version), 'w') as f:
                f.write(text)
            os.chown(self.file(version), self.h.user.pw_uid, self.h.user.pw_gid)
        # Its idle timer has a plugin for X11 only, and it crashes without one; it handles the
        # lid only once KScreen has told it the screens.
        self.env['QT_QPA_PLATFORM'] = 'xcb'
        self.daemon('kscreen', [self.KSCREEN.format(self.version)], 'org.kde.KScreen')
        self.daemon(self.program, [self.BINARY], self.BUS)
        # Plasma 6 migrates Plasma 5's file as it starts: the user's files are what it leaves.
        self.h.expect(lambda: self.version == 5 or os.path.exists(self.file(5)),
                      'PowerDevil 6 left no migration mark')

    def settings(self):
        found = []
        for version in (5, 6):
            try:
                with open(self.file(version), 'rb') as f:
                    found.append(f.read())
            except FileNotFoundError:
                found.append(None)
        return tuple(found)

    def answer(self):
        action = self.h.session.call_blocking(
            self.BUS, '/org/kde/Solid/PowerManagement/Actions/HandleButtonEvents',
            'org.kde.Solid.PowerManagement.Actions.HandleButtonEvents', 'lidAction', '', [])
        return f'lidAction() = {int(action)}', int(action) == 0

    def change_while_armed(self):
        key = self.KEY[self.version]
        group = '[Battery][SuspendAndShutdown]' if self.version == 6 else \
            '[Battery][HandleButtonEvents]'
        text = open(self.file()).read().replace(f'{group}\n{key}=0', f'{group}\n{key}=2')
        with open(self.file(), 'w') as f:
            f.write(text)
        return f'{key}=2'


class PowerDevilSession(PowerDevil):
    '''Noctave told the Plasma version by its environment, as a Plasma session does.'''
    session_version = True


class PowerDevilUpgraded(PowerDevil):
    '''Plasma 6 over a user's Plasma 5 files, which it migrates at its first start.'''
    def user_files(self):
        return {5: self.PROFILES[5]}


class PowerDevilDuplicate(PowerDevil):
    '''A hand-edited file with the lid key twice: KConfig, and PowerDevil, read the last.'''
    def user_files(self):
        key = self.KEY[self.version]
        return {self.version: self.PROFILES[self.version].replace(
            f'{key}=1\n', f'{key}=0\n{key}=1\n')}


class PowerDevilImmutable(PowerDevil):
    '''The user's lid action marked immutable: it cannot be stood down, and arming says so.'''
    refused = 'is immutable ([$i])'

    def user_files(self):
        key = self.KEY[self.version]
        return {self.version: self.PROFILES[self.version].replace(f'{key}=1\n',
                                                                  f'{key}[$i]=1\n')}


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
            'plasma-session': PowerDevilSession, 'plasma-duplicate': PowerDevilDuplicate,
            'plasma-immutable': PowerDevilImmutable, 'gnome': Gnome}
# Only Plasma 6 has Plasma 5's files to migrate.
if plasma_six():
    DESKTOPS['plasma-upgraded'] = PowerDevilUpgraded


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


def answers_nothing(h, desktop, armed):
    '''The daemon's own answer: nothing while armed, its own action otherwise.'''
    if desktop.answer() is None:
        return
    h.expect(lambda: desktop.answer()[1] == armed,
             f'{"armed" if armed else "unarmed"}, {desktop.program} answers {desktop.answer()[0]}')


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
    if desktop.refused:
        return refused_story(h, desktop, user)
    owner = (f'lid-close owner = {desktop.program}' if desktop.acts_on_lid else
             f'lid-close owner = {desktop.program}, which leaves the lid to systemd-logind')
    status, output = h.run_noctave(['--diagnose'], seconds=40)
    if status != 0 or owner not in output:
        raise harness.Failure(f'--diagnose did not say {owner!r} ({status}):\n{output}')
    if desktop.answer() is not None and 'lid-close owner answer = ' not in output:
        raise harness.Failure(f'--diagnose did not give {desktop.program}\'s answer:\n{output}')
    answers_nothing(h, desktop, False)
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

    app = h.start_noctave(env=desktop.noctave_env())
    figures.append(f'arm {timed(lambda: ctl_ok(h, "arm")) * 1000:.0f} ms')
    answers_nothing(h, desktop, True)
    close_lid_holds(h, f'armed under {desktop.program}, the close suspended')
    ctl_ok(h, 'disarm')
    answers_nothing(h, desktop, False)
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


def refused_story(h, desktop, user):
    '''Settings Noctave cannot change exactly: the arm fails with a notice naming the desktop
    and why, and changes nothing; the close still suspends.'''
    app = h.start_noctave(env=desktop.noctave_env())
    done = h.ctl('arm')
    said = done.stdout + done.stderr
    if done.returncode == 0 or f'{desktop.program} handles the lid' not in said or \
            desktop.refused not in said:
        raise harness.Failure(f'arming with settings it cannot change: {done.returncode} {said!r}')
    h.wait_log(app, f'notice: Could not change the laptop\'s sleep setting - {desktop.program} '
                    'handles the lid')
    if 'State: disarmed' not in ctl_ok(h, 'status') or desktop.settings() != user:
        raise harness.Failure('a refused arm left Noctave armed or the settings changed')
    close_lid_suspends(h, 'after the refused arm, the close did not suspend')
    return f'{desktop.program}: the arm refused ({desktop.refused}), nothing changed'


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
    app = h.start_noctave(env=desktop.noctave_env())
    ctl_ok(h, 'arm')
    guardian = h.expect(lambda: guardian_of(app.pid), 'no guardian beside the armed Noctave')
    os.kill(guardian, signal.SIGKILL)
    app.signal(signal.SIGKILL)
    app.wait()
    if desktop.settings() == user:
        raise harness.Failure('the settings came back with no one left to restore them')
    h.start_noctave(env=desktop.noctave_env())
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
