'''What every harness of real daemons and compositors shares: the story runner and its skip,
bounded waits, processes started and ended once (each with its log), an unprivileged user,
private buses and folders, mount namespaces, and umockdev testbeds; on them, the two harnesses.

SystemHarness: the real systemd-logind and upowerd on a private system bus, a laptop's lid and
battery emulated with umockdev, and stand-ins for the systemd manager and polkit. Each daemon runs
in a mount namespace of its own with a private /run (and whatever state folders it writes),
under umockdev's preload so that its /sys and /dev are a testbed's. An emulated event node hands
each event to one reader, so logind and Noctave each get a lid node of their own and the harness
writes every lid event to both. upowerd gets the battery in a testbed without a lid, so that it
takes no lid events from anyone; Noctave's testbed shows the same battery, as the kernel would
(with upower_lid, upowerd gets a lid node too: the desktops' power managers hear of the lid from
it). Noctave runs as an unprivileged user (logind trusts uid 0 and would hide its refusals),
outside any logind session, in a namespace of its own too.

Compositor: a headless sway (pixman renderer, no input devices) with one or more outputs, run as
the unprivileged user (sway refuses root) with a runtime folder of its own and a private session
bus, and Noctave on it through Qt's Wayland platform, on the virtual laptop.

Everything a harness starts is ended and reaped once, and its folder removed, by close() (a
harness is a context manager), also when a story fails; a failed story gets every process's
output. Waits are bounded polls on names, log lines and answers, never a fixed pause.
'''

import glob
import itertools
import json
import os
import pwd
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time

LOGIND = '/lib/systemd/systemd-logind'
UPOWERD = '/usr/libexec/upowerd'
PYTHON = '/usr/bin/python3'
PRELOAD = 'libumockdev-preload.so.0'
HERE = os.path.dirname(os.path.abspath(__file__))
LOGIN = 'org.freedesktop.login1'
LOGIN_PATH = '/org/freedesktop/login1'
LOGIN_MANAGER = 'org.freedesktop.login1.Manager'
UPOWER = 'org.freedesktop.UPower'
MOCK = 'org.freedesktop.DBus.Mock'
# The unprivileged user Noctave runs as: logind trusts uid 0 and would hide its refusals, and
# sway refuses root.
USER = 'nobody'
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for the stories


# ---- the story runner ----

class Skip(Exception):
    '''The harness cannot run here; the message says why, in one line.'''


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run_story(name, program, story, required=False, harness=None, **options):
    '''Runs `story(h)` in a harness of its own (`harness(name, program, **options)`, a
    SystemHarness unless named), then ends the process: one line saying what passed; exit 77
    with one line when the harness cannot run here (a failure when `required`); or the
    failure, with every process's output.'''
    started = time.monotonic()
    try:
        with (harness or SystemHarness)(name, program, **options) as h:
            said = story(h)
            up = h.startup_seconds
    except Skip as e:
        if required:
            sys.exit(f'FAIL {name}: cannot run here: {e}')
        print(f'SKIP {name}: {e}')
        sys.exit(SKIPPED)
    except Failure as e:
        sys.exit(f'FAIL {name}: {e}')
    print(f'{name}: {said} (harness up in {up:.2f} s, story {time.monotonic() - started:.2f} s, '
          f'load {os.getloadavg()[0]:.2f})')


def story_main(stories, run):
    '''A stories.py's command line: `--list`, or `NOCTAVE STORY`, which calls run(program, name).'''
    if sys.argv[1:] == ['--list']:
        print(' '.join(stories))
        return
    if len(sys.argv) != 3 or sys.argv[2] not in stories:
        sys.exit('usage: stories.py NOCTAVE STORY\nstories: ' + ' '.join(stories))
    run(sys.argv[1], sys.argv[2])


def absent(programs):
    '''Those of `programs` (paths or names on PATH) this machine lacks.'''
    return [p for p in programs if not (os.access(p, os.X_OK) if os.path.isabs(p)
                                        else shutil.which(p))]


def first_of(*paths):
    '''The first of `paths` that exists (a file that moved between releases), else the first.'''
    return next((p for p in paths if os.path.exists(p)), paths[0])


# ---- waits ----

def poll(done, seconds=10, step=0.02):
    '''Asks `done` until it answers truly or the deadline passes; returns its last answer.'''
    deadline = time.monotonic() + seconds
    while True:
        answer = done()
        if answer or time.monotonic() >= deadline:
            return answer
        time.sleep(step)


def expect(done, message, seconds=15):
    answer = poll(done, seconds)
    if not answer:
        raise Failure(message)
    return answer


def pump(done, seconds):
    '''poll() for a process that serves D-Bus objects itself: runs the GLib main loop between
    the questions.'''
    from gi.repository import GLib
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        GLib.MainContext.default().iteration(False)
        time.sleep(0.02)
    return done()


# ---- processes and users ----

def as_user(argv, user):
    '''`argv` run as `user` (a pwd entry), without the caller's groups.'''
    return ['setpriv', f'--reuid={user.pw_uid}', f'--regid={user.pw_gid}', '--clear-groups',
            '--'] + list(argv)


def namespaced(name, argv, environment, private=('/run',), prepare=(), user=None):
    '''`argv` in a mount namespace of its own where each folder in `private` is an empty tmpfs,
    after the shell commands in `prepare`; as `user` (a pwd entry) when one is given. Takes
    LD_PRELOAD out of `environment`: the preload would redirect the shell's own /dev and /sys.'''
    steps = [f'mount -t tmpfs -o mode=0755 tmpfs {folder}' for folder in private]
    steps += list(prepare) + ['exec "$@"']
    wrapped = ['unshare', '--mount', '--propagation', 'private', 'sh', '-ec', ' && '.join(steps),
               name]
    if user is not None:
        wrapped += as_user([], user)
    preload = environment.pop('LD_PRELOAD', None)
    if preload:
        wrapped += ['env', f'LD_PRELOAD={preload}']
    return wrapped + list(argv)


class Process:
    '''A program started by a harness in a process group of its own, its output in a file;
    ended (with its group) and reaped once.'''

    def __init__(self, name, argv, log_path, env=None, pass_fds=()):
        self.name = name
        self.log_path = log_path
        self.out = open(log_path, 'ab')
        self.popen = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=self.out,
                                      stderr=subprocess.STDOUT, start_new_session=True,
                                      pass_fds=pass_fds)
        self.pid = self.popen.pid

    def log(self):
        with open(self.log_path, encoding='utf-8', errors='replace') as f:
            return f.read()

    def running(self):
        return self.popen.poll() is None

    def signal(self, number):
        if self.running():
            self.popen.send_signal(number)

    def wait(self, seconds=10):
        '''The exit status; killed first when it is still running at the deadline.'''
        try:
            return self.popen.wait(seconds)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            return self.popen.wait()

    def stop(self):
        # The group: what the program started (sway's swaybg, a guardian) goes with it.
        for number, seconds in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            try:
                os.killpg(self.pid, number)
            except ProcessLookupError:
                break
            try:
                self.popen.wait(seconds)
                break
            except subprocess.TimeoutExpired:
                continue
        status = self.wait(5)
        self.out.close()
        return status


class Harness:
    '''A folder of its own (logs, the user's home and runtime folder) and the processes it
    started; the base of the harnesses below.'''
    kind = 'harness'

    def __init__(self, name, program=None):
        self.name = name
        self.program = program  # the noctave executable
        self.processes = []
        self.dir = None
        self.started = time.monotonic()
        self.startup_seconds = 0.0

    def __enter__(self):
        why = self.missing()
        if why:
            raise Skip(why)
        try:
            self.user = pwd.getpwnam(USER)
            # Short: the buses' sockets live in it.
            self.dir = tempfile.mkdtemp(prefix=f'noctave-{self.kind}-')
            os.chmod(self.dir, 0o755)
            self.logs = os.path.join(self.dir, 'logs')
            os.mkdir(self.logs)
            self._start()
        except BaseException:
            self.dump()
            self.close()
            raise
        self.startup_seconds = time.monotonic() - self.started
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None and not isinstance(value, Skip):
            self.dump()
        self.close()
        return False

    def missing(self):
        '''Why the harness cannot run on this machine, or None.'''
        return None

    def user_folder(self, name):
        '''A folder of the unprivileged user's in the harness's folder (made once).'''
        folder = os.path.join(self.dir, name)
        if not os.path.isdir(folder):
            os.mkdir(folder, 0o700)
            os.chown(folder, self.user.pw_uid, self.user.pw_gid)
        return folder

    def start(self, name, argv, env=None, pass_fds=()):
        '''A Process, logged to logs/<name>.log (numbered when the name was taken).'''
        if any(p.name == name for p in self.processes):
            name = f'{name}-{len(self.processes)}'
        process = Process(name, argv, os.path.join(self.logs, name + '.log'), env, pass_fds)
        self.processes.append(process)
        return process

    def run(self, argv, env=None, timeout=20, check=True):
        '''`argv` run to its end as the user: its CompletedProcess (text); with `check`, a
        failure unless it exited 0.'''
        result = subprocess.run(as_user(argv, self.user), env=env, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise Failure('%s exited %d: %s' % (argv[0], result.returncode, result.stderr))
        return result

    def start_bus(self, kind):
        '''A private bus of `kind` ('system' or 'session') open to every user; its address.'''
        folder = os.path.join(self.dir, kind + '-bus')
        os.mkdir(folder)
        os.chmod(folder, 0o755)
        config = os.path.join(folder, 'bus.conf')
        with open(config, 'w') as f:
            # A <type>system</type> bus needs an explicit <auth>EXTERNAL</auth>, or clients hang.
            f.write(f'<busconfig><type>{kind}</type><listen>unix:dir={folder}</listen>'
                    '<auth>EXTERNAL</auth><policy context="default"><allow user="*"/>'
                    '<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>'
                    '<allow own="*"/></policy></busconfig>\n')
        read_end, write_end = os.pipe()
        self.start(kind + '-bus', ['dbus-daemon', f'--config-file={config}', '--nofork',
                                   '--nopidfile', f'--print-address={write_end}'],
                   pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            address = pipe.readline().strip()
        if not address:
            raise Failure(f'the {kind} bus did not start')
        return address

    def dump(self):
        '''Every process's output, for the reader of a failed story.'''
        for process in self.processes:
            try:
                text = process.log()
            except OSError:
                continue
            sys.stderr.write(f'---- {process.name} ----\n{text[-6000:]}\n')

    def close(self):
        for process in reversed(self.processes):
            process.stop()
        self.processes = []
        if self.dir:
            if os.environ.get('NOCTAVE_KEEP_HARNESS'):
                print('kept ' + self.dir)
            else:
                shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None


def has_name(connection, name):
    return bool(connection.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                         'org.freedesktop.DBus', 'NameHasOwner', 's', [name]))


# ---- umockdev: a lid switch and a battery ----

EV_SYN, EV_SW, SW_LID = 0, 5, 0
LID_DEVICE = 'input/event0'
LID_MAJMIN = '13:64'
# An ACPI lid switch as the kernel shows it (umockdev's record format, device before parent).
LID_RECORD = f'''P: /devices/platform/PNP0C0D:00/input/input0/event0
N: {LID_DEVICE}
E: DEVNAME=/dev/{LID_DEVICE}
E: SUBSYSTEM=input
E: MAJOR=13
E: MINOR=64
E: ID_INPUT=1
E: ID_INPUT_SWITCH=1
E: TAGS=:power-switch:
A: dev={LID_MAJMIN}

P: /devices/platform/PNP0C0D:00/input/input0
E: SUBSYSTEM=input
E: NAME="Lid Switch"
E: PRODUCT=19/0/5/0
A: name=Lid Switch
A: capabilities/ev=21
A: capabilities/sw=1
'''


# udev's database lives in /run, which each daemon has to itself; umockdev's preload (before
# 0.18) does not redirect it. The control socket's presence tells sd-device that udev runs.
UDEV_RUNNING = ['mkdir -p /run/udev /run/systemd', 'touch /run/udev/control']
# What udev would have recorded of the lid: logind finds its buttons by the tag.
LID_UDEV_DATA = 'E:ID_INPUT=1\nE:ID_INPUT_SWITCH=1\nG:power-switch\nQ:power-switch\n'
LID_UDEV_PRINTF = LID_UDEV_DATA.replace('\n', '\\n')


def murmur2(text):
    '''libudev's subsystem filter hash (MurmurHash2, seed = length).'''
    data = text.encode()
    m, h = 0x5bd1e995, len(data)
    mask = 0xffffffff
    whole = len(data) - len(data) % 4
    for i in range(0, whole, 4):
        k = (int.from_bytes(data[i:i + 4], 'little') * m) & mask
        k ^= k >> 24
        k = (k * m) & mask
        h = ((h * m) & mask) ^ k
    rest = data[whole:]
    if rest:
        for i in reversed(range(len(rest))):
            h ^= rest[i] << (8 * i)
        h = (h * m) & mask
    h ^= h >> 13
    h = (h * m) & mask
    return h ^ (h >> 15)


def send_uevent(root, devpath, action='change'):
    '''A udev event for the device at `devpath` ("/sys/...") of the testbed in `root`, to
    every listener there. This umockdev sends its own only from a process under its preload.'''
    folder = os.path.join(root, devpath.lstrip('/'))
    subsystem = os.path.basename(os.readlink(os.path.join(folder, 'subsystem')))
    with open(os.path.join(folder, 'uevent')) as f:
        extra = [line for line in f.read().splitlines() if line]
    body = b''.join(p.encode() + b'\0' for p in
                    [f'ACTION={action}', f'DEVPATH={devpath[len("/sys"):]}',
                     f'SUBSYSTEM={subsystem}', f'SEQNUM={next(UEVENT_SEQUENCE)}'] + extra)
    header = (b'libudev\0' + struct.pack('>I', 0xfeedcafe) + struct.pack('=III', 40, 40, len(body))
              + struct.pack('>II', murmur2(subsystem), 0) + struct.pack('=II', 0, 0))
    for name in os.listdir(root):
        if name.startswith('event') and name[5:].isdigit():
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as listener:
                try:
                    listener.sendto(header + body, os.path.join(root, name))
                except (ConnectionRefusedError, FileNotFoundError):
                    pass  # a listener that went away


UEVENT_SEQUENCE = itertools.count(1)


class LidHandler:
    '''Answers the evdev ioctls of an emulated lid switch; the switch state is shared.'''

    def __init__(self, UMockdev, state):
        self.state = state
        self.handler = UMockdev.IoctlBase()
        self.handler.connect('handle-ioctl', self.handle)

    def handle(self, _handler, client):
        request = client.get_request()
        size = (request >> 16) & 0x3fff
        kind = (request >> 8) & 0xff
        number = request & 0xff
        if kind != ord('E'):
            client.complete(-1, 25)  # ENOTTY
            return True
        answer = None
        if number == 0x01:  # EVIOCGVERSION
            answer = struct.pack('i', 0x010001)
        elif number == 0x02:  # EVIOCGID: bus (host), vendor, product, version
            answer = struct.pack('HHHH', 0x19, 0, 5, 0)
        elif number == 0x06:  # EVIOCGNAME
            answer = b'Lid Switch\0'
        elif number in (0x07, 0x08):  # EVIOCGPHYS, EVIOCGUNIQ
            answer = b'PNP0C0D/button/input0\0' if number == 0x07 else b'\0'
        elif number == 0x1b:  # EVIOCGSW
            answer = bytes([1 if self.state['closed'] else 0])
        elif number == 0x20:  # EVIOCGBIT(0): event types
            answer = bytes([(1 << EV_SYN) | (1 << EV_SW)])
        elif number == 0x20 + EV_SW:
            answer = bytes([1 << SW_LID])
        elif 0x20 < number < 0x40 or number in (0x09, 0x18, 0x19, 0x1a):  # other bits: none
            answer = b''
        elif number in (0x90, 0x93):  # EVIOCGRAB, EVIOCSMASK
            client.complete(0, 0)
            return True
        if answer is None:
            client.complete(-1, 22)  # EINVAL
            return True
        answer = answer[:size] + bytes(max(0, size - len(answer)))
        data = client.get_arg().resolve(0, size)
        data.update(0, answer)
        client.complete(size, 0)
        return True


class SystemHarness(Harness):
    '''The real logind and upowerd on a private system bus, with an emulated lid and battery.'''
    kind = 'system'

    def __init__(self, name, program=None, upower_lid=False):
        super().__init__(name, program)
        # The desktops' power managers hear of the lid from upowerd, which then needs one too.
        self.upower_lid = upower_lid
        self.noctaves = []
        self.testbeds = []
        self.lid_state = {'closed': False}
        self.lid_nodes = []  # (testbed, pty master fd)
        self.power_supplies = []  # (testbed, mains devpath, battery devpath)
        self.handlers = []

    # ---- start-up ----

    def missing(self):
        if os.geteuid() != 0:
            return 'needs root (private mount namespaces, the daemons run as root)'
        for path, package in ((LOGIND, 'systemd'), (UPOWERD, 'upower'), (PYTHON, 'python3'),
                              ('/usr/bin/dbus-daemon', 'dbus'), ('/usr/bin/unshare', 'util-linux'),
                              ('/usr/bin/setpriv', 'util-linux')):
            if absent([path]):
                return f'{path} is missing (package {package})'
        try:
            import gi
            gi.require_version('UMockdev', '1.0')
            from gi.repository import UMockdev  # noqa: F401
            import dbus  # noqa: F401
            import dbusmock  # noqa: F401
        except (ImportError, ValueError) as e:
            return f'{e} (packages umockdev, gir1.2-umockdev-1.0, python3-gi, python3-dbus, python3-dbusmock)'
        if USER not in {entry.pw_name for entry in pwd.getpwall()}:
            return f'no user {USER!r} to run Noctave as'
        if subprocess.run(['unshare', '--mount', 'true'], capture_output=True).returncode != 0:
            return 'cannot make a mount namespace here (no CAP_SYS_ADMIN)'
        return None

    def _start(self):
        import gi
        gi.require_version('UMockdev', '1.0')
        from gi.repository import UMockdev
        import dbus
        self.UMockdev = UMockdev
        self.system_bus = self.start_bus('system')
        self.session_bus = self.start_bus('session')
        self.bus = dbus.bus.BusConnection(self.system_bus)
        self.session = dbus.bus.BusConnection(self.session_bus)

        # The manager and polkit stand-ins come first: logind asks for both as it starts.
        self.manager = self.add_daemon(
            'systemd-manager', [PYTHON, '-m', 'dbusmock', '--system', '--template',
                                os.path.join(HERE, 'systemd_manager.py')],
            'org.freedesktop.systemd1', namespace=False)
        self.polkit = self.add_daemon(
            'polkit', [PYTHON, '-m', 'dbusmock', '--system', '--template', 'polkitd'],
            'org.freedesktop.PolicyKit1', namespace=False)
        self.bus.call_blocking('org.freedesktop.PolicyKit1', '/org/freedesktop/PolicyKit1/Authority',
                               MOCK, 'AllowUnknown', 'b', [True])

        self.logind_bed = self._testbed(lid=True, battery=False)
        # The kernel shows Noctave the same battery that upowerd reads.
        self.noctave_bed = self._testbed(lid=True, battery=True)
        self.upower_bed = self._testbed(lid=self.upower_lid, battery=True)

        self.logind = self.add_daemon(
            'logind', [LOGIND], LOGIN, testbed=self.logind_bed,
            prepare=UDEV_RUNNING + [
                'mkdir -p /run/udev/tags/power-switch /run/udev/data',
                f'touch /run/udev/tags/power-switch/c{LID_MAJMIN}',
                f"printf '{LID_UDEV_PRINTF}' > /run/udev/data/c{LID_MAJMIN}",
                # Debian's defaults, spelled out so the machine's own settings cannot change
                # the stories; no hold-off, so that a lid left shut is acted on at once.
                'mkdir -p /run/systemd/logind.conf.d',
                "printf '[Login]\\nHandleLidSwitch=suspend\\nHandleLidSwitchExternalPower=suspend\\n"
                "HandleLidSwitchDocked=ignore\\nLidSwitchIgnoreInhibited=yes\\nHoldoffTimeoutSec=0\\n'"
                ' > /run/systemd/logind.conf.d/harness.conf'],
            env={'SYSTEMD_LOG_LEVEL': 'debug', 'SYSTEMD_LOG_TARGET': 'console'})
        self.wait_log(self.logind, 'Watching system buttons on')
        self.start_upower()

    def _testbed(self, lid, battery):
        bed = self.UMockdev.Testbed.new()
        root = bed.get_root_dir()
        self.testbeds.append(bed)
        if lid:
            bed.add_from_string(LID_RECORD)
            # umockdev 0.18 and later send sd-device's reads of the udev database (logind 257's
            # among them) into the testbed: the lid's entry goes there too.
            for folder, name, text in (('data', f'c{LID_MAJMIN}', LID_UDEV_DATA),
                                       ('tags/power-switch', f'c{LID_MAJMIN}', ''),
                                       ('', 'control', '')):
                os.makedirs(os.path.join(root, 'run/udev', folder), exist_ok=True)
                with open(os.path.join(root, 'run/udev', folder, name), 'w') as f:
                    f.write(text)
            handler = LidHandler(self.UMockdev, self.lid_state)
            self.handlers.append(handler)
            bed.attach_ioctl('/dev/' + LID_DEVICE, handler.handler)
            master = bed.get_dev_fd('/dev/' + LID_DEVICE)
            self.lid_nodes.append((bed, master))
            # The node is a pty; Noctave runs unprivileged and must be able to open it.
            os.chmod(os.path.realpath(os.path.join(root, 'dev', LID_DEVICE)), 0o666)
        if lid:
            # logind suspends only where the kernel offers a sleep state.
            power = os.path.join(root, 'sys', 'power')
            os.makedirs(power, exist_ok=True)
            for name, text in (('state', 'freeze mem disk'), ('mem_sleep', 's2idle [deep]'),
                               ('disk', '[platform] shutdown reboot suspend')):
                with open(os.path.join(power, name), 'w') as f:
                    f.write(text + '\n')
        if battery:
            ac = bed.add_device('power_supply', 'AC', None, ['type', 'Mains', 'online', '0'],
                                ['POWER_SUPPLY_ONLINE', '0'])
            cell = bed.add_device(
                'power_supply', 'BAT0', None,
                ['type', 'Battery', 'present', '1', 'status', 'Discharging', 'technology', 'Li-ion',
                 'energy_full', '60000000', 'energy_full_design', '80000000',
                 'energy_now', '48000000', 'capacity', '80', 'voltage_now', '12000000',
                 'power_now', '10000000'],
                ['POWER_SUPPLY_ONLINE', '1'])
            self.power_supplies.append((bed, ac, cell))
        # Open to the unprivileged user: the preload reads the tree and talks on its sockets.
        for folder, _, files in os.walk(root):
            os.chmod(folder, 0o755)
            for name in files:
                path = os.path.join(folder, name)
                if not os.path.islink(path):
                    socket = stat.S_ISSOCK(os.stat(path).st_mode)
                    os.chmod(path, 0o777 if socket else 0o644)
        # A udev monitor under the preload listens on a socket it makes in the root.
        os.chmod(root, 0o1777)
        return bed

    def add_daemon(self, name, argv, bus_name, testbed=None, namespace=True, prepare=(),
                   private=('/run',), env=None, user=None, session=False):
        '''Starts a daemon on the private system bus and waits for its bus name.

        With `namespace`, it runs in a mount namespace of its own where each folder in
        `private` is an empty tmpfs, after the shell commands in `prepare`. With a `testbed`,
        its /sys and /dev are that testbed's. In a namespace it runs as `user` (a pwd entry)
        when one is given. With `session`, it also gets Noctave's session bus and `bus_name`
        is awaited there: a desktop's power manager is such a daemon, e.g.
        add_daemon('powerdevil', [...], 'org.kde.Solid.PowerManagement', user=self.user,
        session=True, env=self.noctave_env()).'''
        # The stand-ins are templates from this folder: leave no bytecode beside them.
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.system_bus,
                           PYTHONDONTWRITEBYTECODE='1')
        environment.pop('DBUS_SESSION_BUS_ADDRESS', None)
        if session:
            environment['DBUS_SESSION_BUS_ADDRESS'] = self.session_bus
        environment.update(env or {})
        if testbed is not None:
            environment.update(LD_PRELOAD=PRELOAD, UMOCKDEV_DIR=testbed.get_root_dir())
        if namespace:
            argv = namespaced(name, argv, environment, private, prepare, user)
        process = self.start(name, argv, environment)
        connection = self.session if session else self.bus
        if bus_name and not self.wait_name(bus_name, True, connection=connection):
            raise Failure(f'{name} did not take {bus_name} on the bus')
        return process

    def add_mock(self, name, bus_name, path, interface, methods=(), properties=None,
                 session=True):
        '''A dbusmock stand-in owning `bus_name`, with `methods` as (name, in-signature,
        out-signature, code) and `properties` (a dict) on `interface` at `path`.'''
        process = self.add_daemon(name, [PYTHON, '-m', 'dbusmock',
                                         '--session' if session else '--system', bus_name, path,
                                         interface], bus_name, namespace=False, session=session)
        connection = self.session if session else self.bus
        for method in methods:
            connection.call_blocking(bus_name, path, MOCK, 'AddMethod', 'sssss', ['', *method])
        if properties:
            connection.call_blocking(bus_name, path, MOCK, 'AddProperties', 'sa{sv}',
                                     [interface, properties])
        return process

    def start_upower(self):
        self.upower = self.add_daemon('upowerd', [UPOWERD, '--verbose'], UPOWER,
                                      testbed=self.upower_bed, prepare=UDEV_RUNNING,
                                      private=('/run', '/var/lib/upower'))

    def stop_daemon(self, process, bus_name=None):
        process.signal(signal.SIGKILL)
        process.wait()
        if bus_name and not self.wait_name(bus_name, False):
            raise Failure(f'{bus_name} is still on the bus after {process.name} died')

    # ---- the bus ----

    def wait_name(self, name, present, seconds=15, connection=None):
        return poll(lambda: has_name(connection or self.bus, name) == present, seconds)

    def inhibitors(self):
        '''logind's inhibitors now: (what, who, why, mode, uid, pid) each.'''
        listed = self.bus.call_blocking(LOGIN, LOGIN_PATH, LOGIN_MANAGER, 'ListInhibitors', '', [])
        return [tuple(str(x) if i < 4 else int(x) for i, x in enumerate(row)) for row in listed]

    def lid_inhibitors(self, who='Noctave'):
        return [i for i in self.inhibitors() if i[1] == who and 'handle-lid-switch' in i[0]]

    def open_jobs(self):
        return [str(u) for u in self.bus.call_blocking('org.freedesktop.systemd1',
                                                       '/org/freedesktop/systemd1', MOCK,
                                                       'OpenJobs', '', [])]

    def started_units(self):
        calls = self.bus.call_blocking('org.freedesktop.systemd1', '/org/freedesktop/systemd1',
                                       MOCK, 'GetMethodCalls', 's', ['StartUnit'])
        return [str(args[0]) for _, args in calls]

    def wake(self):
        '''The machine wakes: the open sleep job ends, logind announces PrepareForSleep(false).'''
        return int(self.bus.call_blocking('org.freedesktop.systemd1', '/org/freedesktop/systemd1',
                                          MOCK, 'FinishJobs', '', []))

    # ---- the hardware ----

    def set_lid(self, closed):
        self.lid_state['closed'] = closed
        now = time.time()
        sec, usec = int(now), int((now % 1) * 1e6)
        events = struct.pack('qqHHi', sec, usec, EV_SW, SW_LID, 1 if closed else 0)
        events += struct.pack('qqHHi', sec, usec, EV_SYN, 0, 0)
        for _, master in self.lid_nodes:
            os.write(master, events)

    def set_battery(self, percent, discharging=True, announce=True):
        '''The battery's charge, in every testbed that shows it; announced with a udev event.'''
        for bed, ac, cell in self.power_supplies:
            bed.set_attribute(ac, 'online', '0' if discharging else '1')
            bed.set_attribute(cell, 'status', 'Discharging' if discharging else 'Charging')
            bed.set_attribute(cell, 'capacity', str(percent))
            bed.set_attribute(cell, 'energy_now', str(600000 * percent))
            if announce:
                self.announce_power(bed)

    def drop_battery_charge(self):
        '''The battery stops reporting its charge (a driver that lost its gauge), unannounced.'''
        for bed, _, cell in self.power_supplies:
            for name in ('capacity', 'energy_now', 'energy_full', 'energy_full_design'):
                os.unlink(os.path.join(bed.get_root_dir(), cell.lstrip('/'), name))

    def announce_power(self, bed=None):
        '''The kernel's change events for the mains and the battery.'''
        for each, ac, cell in self.power_supplies:
            if bed is None or each is bed:
                send_uevent(each.get_root_dir(), ac)
                send_uevent(each.get_root_dir(), cell)

    def display_device(self, name):
        return self.bus.call_blocking(UPOWER, '/org/freedesktop/UPower/devices/DisplayDevice',
                                      'org.freedesktop.DBus.Properties', 'Get', 'ss',
                                      ['org.freedesktop.UPower.Device', name])

    # ---- waits ----

    def wait_log(self, process, text, since=0, seconds=15):
        if not poll(lambda: text in process.log()[since:], seconds):
            raise Failure(f'{process.name} never said {text!r}')

    def expect(self, done, message, seconds=15):
        return expect(done, message, seconds)

    # ---- Noctave ----

    def noctave_env(self, extra=None):
        home, runtime = self.user_folder('home'), self.user_folder('runtime')
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(('DBUS_', 'XDG_', 'DISPLAY', 'WAYLAND', 'NOCTAVE_', 'LD_'))}
        env.update(HOME=home, USER=USER, LOGNAME=USER, XDG_RUNTIME_DIR=runtime,
                   DBUS_SYSTEM_BUS_ADDRESS=self.system_bus,
                   DBUS_SESSION_BUS_ADDRESS=self.session_bus, NOCTAVE_PLATFORM='linux',
                   QT_QPA_PLATFORM='offscreen', LD_PRELOAD=PRELOAD,
                   UMOCKDEV_DIR=self.noctave_bed.get_root_dir())
        env.update(extra or {})
        return env

    def _noctave(self, args, env):
        # Noctave runs as the unprivileged user, outside any logind session, with the lid and
        # battery testbed for its /sys and /dev, and a /run of its own where udev "runs".
        index = len(self.noctaves)
        name = f'noctave-{index}'
        environment = self.noctave_env(env)
        argv = namespaced(name, [self.program] + list(args), environment, prepare=UDEV_RUNNING,
                          user=self.user)
        process = self.start(name, argv, environment)
        self.noctaves.append(process)
        return process

    def start_noctave(self, args=(), env=None):
        '''The tray application on the Linux backend; waits until its control interface
        answers.'''
        process = self._noctave(args, env)
        self.expect(lambda: self.ctl('status').returncode == 0 or not process.running(),
                    'Noctave never answered `noctave ctl status`')
        if not process.running():
            raise Failure('Noctave ended as it started:\n' + process.log())
        return process

    def run_noctave(self, args, env=None, seconds=30):
        '''A one-shot run of the program: (exit status, output).'''
        process = self._noctave(args, env)
        status = process.wait(seconds)
        return status, process.log()

    def ctl(self, *args):
        env = self.noctave_env()
        env.pop('LD_PRELOAD')
        return self.run([self.program, 'ctl'] + list(args), env, check=False)

    # ---- the end ----

    def close(self):
        for name in ('bus', 'session'):
            connection = getattr(self, name, None)
            if connection is not None:
                connection.close()
                setattr(self, name, None)
        super().close()
        for bed in self.testbeds:
            bed.clear()
        # A testbed removes its folder itself when it goes.
        self.testbeds = []
        self.lid_nodes = []
        self.power_supplies = []
        self.logind_bed = self.noctave_bed = self.upower_bed = None


# ---- a headless sway ----

SWAY_TOOLS = ['sway', 'swaymsg', 'swaybg', 'grim', 'wtype', 'dbus-daemon', 'setpriv']
QT_WAYLAND = '/usr/lib/{}/qt6/plugins/platforms/libqwayland-generic.so'
OUTPUT_SIZE = (640, 480)
# The desktop's colour behind every window: far from the curtain's near-black.
BACKGROUND = (0x33, 0x66, 0x99)


def read_ppm(path):
    '''(width, height, pixels) of a binary PPM, pixels as bytes, three a pixel.'''
    with open(path, 'rb') as f:
        data = f.read()
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b'#':
            position = data.index(b'\n', position)
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    if fields[0] != b'P6' or fields[3] != b'255':
        raise Failure('not an 8-bit PPM: ' + path)
    width, height = int(fields[1]), int(fields[2])
    pixels = data[position + 1:]
    if len(pixels) != width * height * 3:
        raise Failure('short PPM: ' + path)
    return width, height, pixels


class Capture:
    '''One output's picture.'''

    def __init__(self, path):
        self.width, self.height, self.pixels = read_ppm(path)

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def share(self, colour_test, top=0.0, bottom=1.0):
        '''The share of pixels in the rows from `top` to `bottom` (fractions of the height),
        every 4th pixel each way, that pass `colour_test`.'''
        rows = range(int(top * self.height), int(bottom * self.height), 4)
        sampled = passed = 0
        for y in rows:
            for x in range(0, self.width, 4):
                sampled += 1
                passed += 1 if colour_test(self.pixel(x, y)) else 0
        return passed / sampled if sampled else 0.0


def is_black(rgb):
    return max(rgb) <= 24


def is_background(rgb):
    return all(abs(a - b) <= 8 for a, b in zip(rgb, BACKGROUND))


class Compositor(Harness):
    '''A headless sway with `outputs` outputs, its session bus, and Noctave on the virtual
    laptop on it; every tool that talks to them runs as the unprivileged user too.'''
    kind = 'wayland'

    def __init__(self, name, program=None, outputs=1):
        super().__init__(name, program)
        self.outputs = ['HEADLESS-%d' % (i + 1) for i in range(outputs)]
        self.app = None

    def missing(self):
        lacking = absent(SWAY_TOOLS)
        arch = subprocess.run(['gcc', '-print-multiarch'], capture_output=True,
                              text=True).stdout.strip()
        if not glob.glob(QT_WAYLAND.format(arch or '*')):
            lacking.append('qt6-wayland')
        if lacking:
            return 'missing ' + ', '.join(lacking) + ' (scripts/install-deps.sh installs them)'
        if os.geteuid() != 0:
            return 'needs root to run the compositor as the unprivileged user ' + USER
        return None

    def _start(self):
        self.home = self.user_folder('home')
        self.runtime = self.user_folder('run')
        self.captures = self.user_folder('captures')
        self.env = {
            'PATH': '/usr/bin:/bin', 'HOME': self.home, 'USER': USER,
            'XDG_RUNTIME_DIR': self.runtime, 'XDG_CONFIG_HOME': os.path.join(self.home, '.config'),
            'XDG_STATE_HOME': os.path.join(self.home, '.state'), 'LANG': 'C.UTF-8',
            'DBUS_SESSION_BUS_ADDRESS': self.start_bus('session'),
        }
        config = os.path.join(self.dir, 'sway.conf')
        with open(config, 'w') as f:
            f.write('xwayland disable\n')
            f.write('default_border none\n')
            f.write('output * bg #%02x%02x%02x solid_color\n' % BACKGROUND)
            for i, name in enumerate(self.outputs):
                f.write('output %s resolution %dx%d position %d 0\n'
                        % (name, OUTPUT_SIZE[0], OUTPUT_SIZE[1], i * OUTPUT_SIZE[0]))
        self.sway = self.spawn(['sway', '--unsupported-gpu', '-c', config], name='sway',
                               env={'WLR_BACKENDS': 'headless', 'WLR_RENDERER': 'pixman',
                                    'WLR_LIBINPUT_NO_DEVICES': '1',
                                    'WLR_HEADLESS_OUTPUTS': str(len(self.outputs))})
        sockets = expect(lambda: glob.glob(os.path.join(self.runtime, 'wayland-[0-9]')),
                         'the compositor made no socket')
        self.env['WAYLAND_DISPLAY'] = os.path.basename(sockets[0])
        ipc = expect(lambda: glob.glob(os.path.join(self.runtime, 'sway-ipc.*.sock')),
                     'the compositor made no IPC socket')
        self.env['SWAYSOCK'] = ipc[0]
        expect(lambda: set(self.outputs) <= set(self.output_names()),
               f'the compositor never showed {self.outputs}')
        # sway 1.10 starts with the last output focused, 1.7 with the first: windows map there.
        self.run(['swaymsg', 'focus', 'output', self.outputs[0]])

    def spawn(self, argv, env=None, name=None):
        '''`argv` as the user in the compositor's session; a Process.'''
        return self.start(name or os.path.basename(argv[0]), as_user(argv, self.user),
                          dict(self.env, **(env or {})))

    def run(self, argv, env=None, timeout=20, check=True):
        return super().run(argv, dict(self.env, **(env or {})), timeout, check)

    def output_names(self):
        result = self.run(['swaymsg', '-t', 'get_outputs', '-r'], check=False)
        if result.returncode != 0:
            return []
        return [output['name'] for output in json.loads(result.stdout) if output.get('active')]

    def tree(self):
        return json.loads(self.run(['swaymsg', '-t', 'get_tree', '-r']).stdout)

    def windows(self):
        '''Every mapped window as (title, focused, output name, rect).'''
        found = []

        def walk(node, output):
            if node.get('type') == 'output':
                output = node.get('name')
            if node.get('type') in ('con', 'floating_con') and node.get('pid'):
                found.append((node.get('name') or '', bool(node.get('focused')), output,
                              node['rect']))
            for child in node.get('nodes', []) + node.get('floating_nodes', []):
                walk(child, output)
        walk(self.tree(), None)
        return found

    def capture(self, output):
        path = os.path.join(self.captures, '%s-%f.ppm' % (output, time.monotonic()))
        self.run(['grim', '-t', 'ppm', '-o', output, path])
        return Capture(path)

    def keys(self, *arguments):
        '''Types on a virtual keyboard (wtype's arguments); returns the running process.'''
        return self.spawn(['wtype'] + list(arguments))

    def noctave(self, *arguments, env=None, first_launch=False):
        '''Starts Noctave on the virtual laptop; unless `first_launch`, as a user who has seen
        the onboarding already.'''
        if not first_launch:
            config = os.path.join(self.home, 'config')
            os.makedirs(config, exist_ok=True)
            path = os.path.join(config, 'com.quillor.noctave.conf')
            with open(path, 'w') as f:
                f.write('hasSeenOnboarding = true\n')
            for item in (config, path):
                os.chown(item, self.user.pw_uid, self.user.pw_gid)
        self.app = self.spawn([self.program] + list(arguments), name='noctave',
                              env=dict({'NOCTAVE_PLATFORM': 'sim', 'QT_QPA_PLATFORM': 'wayland',
                                        'NOCTAVE_SIM_HOME': self.home}, **(env or {})))
        return self.app

    def app_log(self):
        return self.app.log() if self.app else ''


# ---- a tray played on a session bus ----

WATCHER = 'org.kde.StatusNotifierWatcher'
ITEM = 'org.kde.StatusNotifierItem'
# Qt reads the watcher's properties through its introspected interface, so they are declared.
WATCHER_XML = '''<node><interface name="%s">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
</interface></node>''' % WATCHER


def tray_watcher(bus):
    '''A StatusNotifierWatcher on `bus` (a dbus-python connection); its `items` are the
    registered (sender, path) pairs. Serve it with pump().'''
    import dbus
    import dbus.service

    class Watcher(dbus.service.Object):
        def __init__(self):
            self.items = []
            super().__init__(dbus.service.BusName(WATCHER, bus), '/StatusNotifierWatcher')

        @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
        def RegisterStatusNotifierItem(self, service, sender=None):
            path = service if service.startswith('/') else '/StatusNotifierItem'
            self.items.append((sender, path))

        @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature='s')
        def Introspect(self):
            return WATCHER_XML

        @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
        def Get(self, interface, prop):
            items = dbus.Array([s + p for s, p in self.items], signature='s')
            return {'IsStatusNotifierHostRegistered': dbus.Boolean(True),
                    'RegisteredStatusNotifierItems': items}[prop]

    return Watcher()
