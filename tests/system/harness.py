'''The real systemd-logind and upowerd on a private system bus, a laptop's lid and battery
emulated with umockdev, and stand-ins for the systemd manager and polkit.

Each daemon runs in a mount namespace of its own with a private /run (and whatever state
folders it writes), under umockdev's preload so that its /sys and /dev are a testbed's. An
emulated event node hands each event to one reader, so logind and Noctave each get a lid node
of their own and the harness writes every lid event to both. upowerd gets the battery in a
testbed without a lid, so that it takes no lid events from anyone; Noctave's testbed shows the
same battery, as the kernel would (with upower_lid, upowerd gets a lid node too: the desktops'
power managers hear of the lid from it). Noctave runs as an unprivileged user (logind trusts uid 0
and would hide its refusals), outside any logind session, in a namespace of its own too.

Everything started is ended and reaped once, and the folders removed, by close() (the harness
is a context manager), also when a story fails. Waits are bounded polls on names, log lines
and logind's answers, never a fixed pause.

One more daemon on the same bus (a desktop's power manager) is added with add_daemon().
'''

import itertools
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
# The unprivileged user Noctave runs as: logind trusts uid 0 and would hide its refusals.
USER = 'nobody'

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


# udev's database lives in /run, which each daemon has to itself; this umockdev's preload does
# not redirect it. The control socket's presence tells sd-device that udev runs.
UDEV_RUNNING = ['mkdir -p /run/udev /run/systemd', 'touch /run/udev/control']


SKIPPED = 77  # ctest's SKIP_RETURN_CODE for the stories


def run_story(name, program, story, required=False, **options):
    '''Runs `story(h)` in a harness of its own, then ends the process: one line saying what
    passed; exit 77 with one line when the harness cannot run here (a failure when
    `required`); or the failure. `options` go to SystemHarness.'''
    started = time.monotonic()
    try:
        with SystemHarness(name, program, **options) as h:
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


class Skip(Exception):
    '''The harness cannot run here; the message says why, in one line.'''


def missing():
    '''Why the harness cannot run on this machine, or None.'''
    if os.geteuid() != 0:
        return 'needs root (private mount namespaces, the daemons run as root)'
    for path, package in ((LOGIND, 'systemd'), (UPOWERD, 'upower'), (PYTHON, 'python3'),
                          ('/usr/bin/dbus-daemon', 'dbus'), ('/usr/bin/unshare', 'util-linux'),
                          ('/usr/bin/setpriv', 'util-linux')):
        if not os.access(path, os.X_OK):
            return f'{path} is missing (package {package})'
    try:
        import gi
        gi.require_version('UMockdev', '1.0')
        from gi.repository import UMockdev  # noqa: F401
        import dbus  # noqa: F401
        import dbusmock  # noqa: F401
    except (ImportError, ValueError) as e:
        return f'{e} (packages umockdev, gir1.2-umockdev-1.0, python3-gi, python3-dbus, python3-dbusmock)'
    try:
        pwd.getpwnam(USER)
    except KeyError:
        return f'no user {USER!r} to run Noctave as'
    if subprocess.run(['unshare', '--mount', 'true'], capture_output=True).returncode != 0:
        return 'cannot make a mount namespace here (no CAP_SYS_ADMIN)'
    return None


def poll(done, seconds=10, step=0.02):
    '''Asks `done` until it answers truly or the deadline passes; returns its last answer.'''
    deadline = time.monotonic() + seconds
    while True:
        answer = done()
        if answer or time.monotonic() >= deadline:
            return answer
        time.sleep(step)


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


class Failure(AssertionError):
    pass


def namespaced(name, argv, environment, private=('/run',), prepare=(), user=None):
    '''`argv` in a mount namespace of its own where each folder in `private` is an empty tmpfs,
    after the shell commands in `prepare`; as `user` (a pwd entry) when one is given. Takes
    LD_PRELOAD out of `environment`: the preload would redirect the shell's own /dev and /sys.'''
    steps = [f'mount -t tmpfs -o mode=0755 tmpfs {folder}' for folder in private]
    steps += list(prepare) + ['exec "$@"']
    wrapped = ['unshare', '--mount', '--propagation', 'private', 'sh', '-ec', ' && '.join(steps),
               name]
    if user is not None:
        wrapped += ['setpriv', f'--reuid={user.pw_uid}', f'--regid={user.pw_gid}',
                    '--clear-groups']
    preload = environment.pop('LD_PRELOAD', None)
    if preload:
        wrapped += ['env', f'LD_PRELOAD={preload}']
    return wrapped + list(argv)


class Process:
    '''A program started by the harness, its output in a file; ended and reaped once.'''

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
        if self.running():
            self.popen.terminate()
        status = self.wait(5)
        self.out.close()
        return status


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


class SystemHarness:
    '''The real logind and upowerd on a private system bus, with an emulated lid and battery.'''

    def __init__(self, name, program=None, upower_lid=False):
        self.name = name
        self.program = program  # the noctave executable
        # The desktops' power managers hear of the lid from upowerd, which then needs one too.
        self.upower_lid = upower_lid
        self.processes = []
        self.noctaves = []
        self.testbeds = []
        self.lid_state = {'closed': False}
        self.lid_nodes = []  # (testbed, pty master fd)
        self.power_supplies = []  # (testbed, mains devpath, battery devpath)
        self.handlers = []
        self.dir = None
        self.started = time.monotonic()

    # ---- start-up ----

    def __enter__(self):
        why = missing()
        if why:
            raise Skip(why)
        try:
            self._start()
        except BaseException:
            self.dump()
            self.close()
            raise
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None and not isinstance(value, Skip):
            self.dump()
        self.close()
        return False

    def _start(self):
        import gi
        gi.require_version('UMockdev', '1.0')
        from gi.repository import UMockdev
        import dbus
        self.UMockdev = UMockdev
        self.user = pwd.getpwnam(USER)
        self.dir = tempfile.mkdtemp(prefix='noctave-system-')
        os.chmod(self.dir, 0o755)
        self.logs = os.path.join(self.dir, 'logs')
        os.mkdir(self.logs)

        self.system_bus = self._bus('system')
        self.session_bus = self._bus('session')
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
                # What udev would have recorded: logind finds its buttons by this tag.
                'mkdir -p /run/udev/tags/power-switch /run/udev/data',
                f'touch /run/udev/tags/power-switch/c{LID_MAJMIN}',
                f"printf 'E:ID_INPUT=1\\nE:ID_INPUT_SWITCH=1\\nG:power-switch\\nQ:power-switch\\n'"
                f' > /run/udev/data/c{LID_MAJMIN}',
                # Debian's defaults, spelled out so the machine's own settings cannot change
                # the stories; no hold-off, so that a lid left shut is acted on at once.
                'mkdir -p /run/systemd/logind.conf.d',
                "printf '[Login]\\nHandleLidSwitch=suspend\\nHandleLidSwitchExternalPower=suspend\\n"
                "HandleLidSwitchDocked=ignore\\nLidSwitchIgnoreInhibited=yes\\nHoldoffTimeoutSec=0\\n'"
                ' > /run/systemd/logind.conf.d/harness.conf'],
            env={'SYSTEMD_LOG_LEVEL': 'debug', 'SYSTEMD_LOG_TARGET': 'console'})
        self.wait_log(self.logind, 'Watching system buttons on')
        self.start_upower()
        self.startup_seconds = time.monotonic() - self.started

    def _bus(self, kind):
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
        address_file = os.path.join(folder, 'address')
        read_end, write_end = os.pipe()
        daemon = Process(kind + '-bus', ['dbus-daemon', f'--config-file={config}', '--nofork',
                                         '--nopidfile', f'--print-address={write_end}'],
                         os.path.join(self.logs, kind + '-bus.log'), pass_fds=(write_end,))
        os.close(write_end)
        self.processes.append(daemon)
        with os.fdopen(read_end) as pipe:
            address = pipe.readline().strip()
        if not address:
            raise Failure(f'the {kind} bus did not start')
        with open(address_file, 'w') as f:
            f.write(address)
        return address

    def _testbed(self, lid, battery):
        bed = self.UMockdev.Testbed.new()
        root = bed.get_root_dir()
        self.testbeds.append(bed)
        if lid:
            bed.add_from_string(LID_RECORD)
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
        process = Process(name, argv, os.path.join(self.logs, name + '.log'), environment)
        self.processes.append(process)
        connection = self.session if session else self.bus
        if bus_name and not self.wait_name(bus_name, True, connection=connection):
            raise Failure(f'{name} did not take {bus_name} on the bus')
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

    def has_name(self, name, connection=None):
        return bool((connection or self.bus).call_blocking(
            'org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
            'NameHasOwner', 's', [name]))

    def wait_name(self, name, present, seconds=15, connection=None):
        return poll(lambda: self.has_name(name, connection) == present, seconds)

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
        answer = poll(done, seconds)
        if not answer:
            raise Failure(message)
        return answer

    # ---- Noctave ----

    def noctave_env(self, extra=None):
        home = os.path.join(self.dir, 'home')
        runtime = os.path.join(self.dir, 'runtime')
        for folder in (home, runtime):
            if not os.path.isdir(folder):
                os.mkdir(folder, 0o700)
                os.chown(folder, self.user.pw_uid, self.user.pw_gid)
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
        process = Process(name, argv, os.path.join(self.logs, name + '.log'), environment)
        self.processes.append(process)
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
        return subprocess.run([self.program, 'ctl'] + list(args), env=env, capture_output=True,
                              text=True, timeout=20, user=self.user.pw_uid,
                              group=self.user.pw_gid, extra_groups=[])

    # ---- the end ----

    def dump(self):
        '''Every process's output, for the reader of a failed story.'''
        for process in self.processes:
            try:
                text = process.log()
            except OSError:
                continue
            sys.stderr.write(f'---- {process.name} ----\n{text[-6000:]}\n')

    def close(self):
        for name in ('bus', 'session'):
            connection = getattr(self, name, None)
            if connection is not None:
                connection.close()
                setattr(self, name, None)
        for process in reversed(self.processes):
            process.stop()
        self.processes = []
        for bed in self.testbeds:
            bed.clear()
        # A testbed removes its folder itself when it goes.
        self.testbeds = []
        self.lid_nodes = []
        self.power_supplies = []
        self.logind_bed = self.noctave_bed = self.upower_bed = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
