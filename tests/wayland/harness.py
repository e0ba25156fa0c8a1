'''A headless sway (pixman renderer, no input devices) with one or more outputs, run as an
unprivileged user with a runtime folder of its own and a private session bus, and Noctave on it
through Qt's Wayland platform, on the virtual laptop.

sway refuses root, so the compositor, the bus, Noctave and every tool that talks to them (grim
for captures, wtype for a virtual keyboard, swaymsg for the window tree) run as that user.
Everything started is ended and reaped once, and the folder removed, by close() (the harness is
a context manager), also when a story fails. Waits are bounded polls, never a fixed pause.
'''

import glob
import json
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

USER = 'nobody'
TOOLS = ['sway', 'swaymsg', 'swaybg', 'grim', 'wtype', 'dbus-daemon', 'setpriv']
QT_WAYLAND = '/usr/lib/{}/qt6/plugins/platforms/libqwayland-generic.so'
OUTPUT_SIZE = (640, 480)
# The desktop's colour behind every window: far from the curtain's near-black.
BACKGROUND = (0x33, 0x66, 0x99)


class Skip(Exception):
    '''The harness cannot run here; the message says why, in one line.'''


def missing():
    '''Why the harness cannot run on this machine, or None.'''
    absent = [tool for tool in TOOLS if shutil.which(tool) is None]
    arch = subprocess.run(['gcc', '-print-multiarch'], capture_output=True, text=True).stdout.strip()
    if not glob.glob(QT_WAYLAND.format(arch or '*')):
        absent.append('qt6-wayland')
    if absent:
        return 'missing ' + ', '.join(absent) + ' (scripts/install-deps.sh installs them)'
    if os.geteuid() != 0:
        return 'needs root to run the compositor as the unprivileged user ' + USER
    return None


def wait_for(condition, what, timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.05)


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
        raise AssertionError('not an 8-bit PPM: ' + path)
    width, height = int(fields[1]), int(fields[2])
    pixels = data[position + 1:]
    if len(pixels) != width * height * 3:
        raise AssertionError('short PPM: ' + path)
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


class Compositor:
    def __init__(self, outputs=1):
        why = missing()
        if why:
            raise Skip(why)
        self.user = pwd.getpwnam(USER)
        self.processes = []
        self.root = tempfile.mkdtemp(prefix='noctave-wayland-')
        os.chmod(self.root, 0o755)
        self.runtime = os.path.join(self.root, 'run')
        self.home = os.path.join(self.root, 'home')
        self.captures = os.path.join(self.root, 'captures')
        for folder in (self.runtime, self.home, self.captures):
            os.mkdir(folder, 0o700)
            os.chown(folder, self.user.pw_uid, self.user.pw_gid)
        self.outputs = ['HEADLESS-%d' % (i + 1) for i in range(outputs)]
        config = os.path.join(self.root, 'sway.conf')
        with open(config, 'w') as f:
            f.write('xwayland disable\n')
            f.write('default_border none\n')
            f.write('output * bg #%02x%02x%02x solid_color\n' % BACKGROUND)
            for i, name in enumerate(self.outputs):
                f.write('output %s resolution %dx%d position %d 0\n'
                        % (name, OUTPUT_SIZE[0], OUTPUT_SIZE[1], i * OUTPUT_SIZE[0]))
        self.env = {
            'PATH': '/usr/bin:/bin', 'HOME': self.home, 'USER': USER,
            'XDG_RUNTIME_DIR': self.runtime, 'XDG_CONFIG_HOME': os.path.join(self.home, '.config'),
            'XDG_STATE_HOME': os.path.join(self.home, '.state'), 'LANG': 'C.UTF-8',
        }
        try:
            self._start_bus()
            self._start_sway(config, outputs)
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def spawn(self, argv, env=None, **kwargs):
        process = subprocess.Popen(self.as_user(argv), env=dict(self.env, **(env or {})),
                                   start_new_session=True, **kwargs)
        self.processes.append(process)
        return process

    def run(self, argv, env=None, timeout=20, check=True):
        result = subprocess.run(self.as_user(argv), env=dict(self.env, **(env or {})),
                                capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError('%s exited %d: %s' % (argv[0], result.returncode, result.stderr))
        return result

    def as_user(self, argv):
        return ['setpriv', '--reuid=%d' % self.user.pw_uid, '--regid=%d' % self.user.pw_gid,
                '--clear-groups', '--'] + list(argv)

    def _start_bus(self):
        address = 'unix:path=' + os.path.join(self.runtime, 'bus')
        self.spawn(['dbus-daemon', '--session', '--nofork', '--nopidfile', '--address=' + address],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env['DBUS_SESSION_BUS_ADDRESS'] = address
        wait_for(lambda: os.path.exists(os.path.join(self.runtime, 'bus')), 'the session bus')

    def _start_sway(self, config, outputs):
        self.sway_log = open(os.path.join(self.root, 'sway.log'), 'w')
        self.sway = self.spawn(['sway', '--unsupported-gpu', '-c', config],
                               env={'WLR_BACKENDS': 'headless', 'WLR_RENDERER': 'pixman',
                                    'WLR_LIBINPUT_NO_DEVICES': '1',
                                    'WLR_HEADLESS_OUTPUTS': str(outputs)},
                               stdout=self.sway_log, stderr=subprocess.STDOUT)
        sockets = wait_for(lambda: glob.glob(os.path.join(self.runtime, 'wayland-[0-9]')),
                           'the compositor\'s socket')
        self.env['WAYLAND_DISPLAY'] = os.path.basename(sockets[0])
        ipc = wait_for(lambda: glob.glob(os.path.join(self.runtime, 'sway-ipc.*.sock')),
                       'the compositor\'s IPC socket')
        self.env['SWAYSOCK'] = ipc[0]
        wait_for(lambda: len(self.output_names()) == outputs, 'every output')

    def output_names(self):
        result = self.run(['swaymsg', '-t', 'get_outputs', '-r'], check=False)
        if result.returncode != 0:
            return []
        return [output['name'] for output in json.loads(result.stdout) if output.get('active')]

    def tree(self):
        return json.loads(self.run(['swaymsg', '-t', 'get_tree', '-r']).stdout)

    def windows(self):
        '''Every mapped window as (title, focused, output name).'''
        found = []

        def walk(node, output):
            if node.get('type') == 'output':
                output = node.get('name')
            if node.get('type') in ('con', 'floating_con') and node.get('pid'):
                found.append((node.get('name') or '', bool(node.get('focused')), output))
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

    def noctave(self, executable, *arguments, env=None, first_launch=False):
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
        self.app_log_path = os.path.join(self.root, 'noctave.log')
        log = open(self.app_log_path, 'w')
        os.chown(self.app_log_path, self.user.pw_uid, self.user.pw_gid)
        self.app = self.spawn([executable] + list(arguments),
                              env=dict({'NOCTAVE_PLATFORM': 'sim', 'QT_QPA_PLATFORM': 'wayland',
                                        'NOCTAVE_SIM_HOME': self.home}, **(env or {})),
                              stdout=log, stderr=subprocess.STDOUT)
        log.close()
        return self.app

    def app_log(self):
        with open(self.app_log_path, encoding='utf-8', errors='replace') as f:
            return f.read()

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        self.processes = []
        if getattr(self, 'sway_log', None):
            self.sway_log.close()
            self.sway_log = None
        if os.environ.get('NOCTAVE_KEEP_WAYLAND_ROOT'):
            print('kept ' + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
