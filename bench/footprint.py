#!/usr/bin/python3
'''The tray application's footprint side by side with a bare Qt tray program, in one run.

    bench/footprint.py [build-folder] [--runs N] [--window SECONDS] [--no-states] [--no-system]

Prints, under a virtual X display whose tray (a StatusNotifierWatcher on a private session bus)
this script plays:

  * exec to tray item registered (the RegisterStatusNotifierItem call arriving at the watcher),
    Noctave against a bare Qt tray program the script writes and builds itself, N interleaved
    runs each, min and median;
  * per state, one process each on the virtual laptop: resident memory (RSS), proportional set
    (PSS), anonymous resident memory (the heap and the like), CPU, and wake-ups per second
    (voluntary + involuntary context switches) in all and per thread, over the measuring
    window: idle; each window (settings, first-run onboarding, virtual laptop) open, then
    closed for 10 s; armed with the lid open; armed and closed;
  * armed with the lid open and closed on the Linux backend against the real systemd-logind and
    upowerd (tests/system's harness; needs root, skipped with the reason otherwise).

The machine's load is printed with the figures: other builds on the machine slow a launch.
Re-runs itself inside `xvfb-run -a dbus-run-session` when not already there.
'''

import argparse
import ctypes
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True

BARE_TRAY = r'''
#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::black);
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("bare"));
    tray.show();
    return application.exec();
}
'''

CLOSED_SETTLE = 10.0  # seconds from a window's close to its figures
MIB = 1024.0


def load():
    with open('/proc/loadavg') as f:
        return ' '.join(f.read().split()[:3])


def build_bare_tray(folder):
    source = os.path.join(folder, 'bare_tray.cpp')
    with open(source, 'w') as f:
        f.write(BARE_TRAY)
    flags = subprocess.run(['pkg-config', '--cflags', '--libs', 'Qt6Widgets'], check=True,
                           capture_output=True, text=True).stdout.split()
    program = os.path.join(folder, 'bare_tray')
    subprocess.run(['c++', '-std=c++17', '-O2', '-fPIC', source, '-o', program] + flags,
                   check=True)
    return program


# ---- /proc readings ----

def threads(pid):
    '''tid -> (name, context switches so far).'''
    found = {}
    for tid in os.listdir(f'/proc/{pid}/task'):
        try:
            with open(f'/proc/{pid}/task/{tid}/comm') as f:
                name = f.read().strip()
            switches = 0
            with open(f'/proc/{pid}/task/{tid}/status') as f:
                for line in f:
                    if line.startswith(('voluntary_ctxt_switches:',
                                        'nonvoluntary_ctxt_switches:')):
                        switches += int(line.split()[1])
            found[tid] = (name, switches)
        except OSError:
            continue  # the thread ended in between
    return found


def cpu_ticks(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def memory(pid):
    '''(RSS, PSS, anonymous resident) in KiB.'''
    rss = pss = anon = 0
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                rss = int(line.split()[1])
            elif line.startswith('RssAnon:'):
                anon = int(line.split()[1])
    with open(f'/proc/{pid}/smaps_rollup') as f:
        for line in f:
            if line.startswith('Pss:'):
                pss = int(line.split()[1])
    return rss, pss, anon


class Figures:
    def __init__(self, pid, seconds):
        hz = os.sysconf('SC_CLK_TCK')
        before, cpu0, t0 = threads(pid), cpu_ticks(pid), time.monotonic()
        time.sleep(seconds)
        after, cpu1, t1 = threads(pid), cpu_ticks(pid), time.monotonic()
        wall = t1 - t0
        self.rss, self.pss, self.anon = memory(pid)
        self.cpu = (cpu1 - cpu0) / hz / wall * 100.0
        # A thread that began in between counts whole; one that ended took its count along.
        per_name = {}
        for tid, (name, switches) in after.items():
            woken = switches - before.get(tid, (name, 0))[1]
            per_name[name] = per_name.get(name, 0) + woken
        self.wakeups = sum(per_name.values()) / wall
        self.per_thread = {n: w / wall for n, w in per_name.items() if w}
        self.threads = len(after)

    def row(self, label):
        busy = ', '.join(f'{name} {rate:.2f}' for name, rate in
                         sorted(self.per_thread.items(), key=lambda item: -item[1])) or '-'
        return (f'{label:<34} {self.rss / MIB:6.1f} {self.pss / MIB:6.1f} {self.anon / MIB:6.1f} '
                f'{self.cpu:7.3f} '
                f'{self.wakeups:8.2f}  {self.threads:3d}  {busy}')


HEADER = (f'{"state":<34} {"RSS":>6} {"PSS":>6} {"anon":>6} {"CPU %":>7} {"wakes/s":>8}  thr  '
          'wake-ups/s per thread (those that woke)')


# ---- the played desktop ----

def watcher_class():
    import dbus
    import dbus.service
    sys.path.insert(0, os.path.join(ROOT, 'tests', 'app'))
    import tray_e2e

    class TimedWatcher(tray_e2e.Watcher):
        '''The played tray, noting when each item registers.'''

        def __init__(self, bus):
            self.registered = []
            super().__init__(bus)

        @dbus.service.method(tray_e2e.WATCHER, in_signature='s', sender_keyword='sender')
        def RegisterStatusNotifierItem(self, service, sender=None):
            self.registered.append(time.monotonic())
            tray_e2e.Watcher.RegisterStatusNotifierItem(self, service, sender)

    return TimedWatcher


class Desktop:
    def __init__(self, noctave, work):
        import dbus
        import dbus.mainloop.glib
        from gi.repository import GLib
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        self.context = GLib.MainContext.default()
        self.watcher = watcher_class()(dbus.SessionBus())
        self.noctave = noctave
        self.work = work
        self.homes = 0

    def pump_until(self, done, seconds=20):
        deadline = time.monotonic() + seconds
        while not done():
            if time.monotonic() > deadline:
                return False
            self.context.iteration(False)
            time.sleep(0.002)
        return True

    def home(self, seen_onboarding=True):
        self.homes += 1
        home = os.path.join(self.work, f'home{self.homes}')
        os.makedirs(os.path.join(home, 'config'))
        if seen_onboarding:
            with open(os.path.join(home, 'config', 'com.quillor.noctave.conf'), 'w') as f:
                f.write('hasSeenOnboarding = true\n')
        return home

    def environment(self, home, sim=''):
        return dict(os.environ, NOCTAVE_PLATFORM='sim', NOCTAVE_SIM=sim, NOCTAVE_SIM_HOME=home,
                    XDG_CONFIG_HOME=os.path.join(home, 'config'),
                    XDG_STATE_HOME=os.path.join(home, 'state'), QT_QPA_PLATFORM='xcb')

    def start(self, argv, env):
        '''(process, seconds from exec to its tray item registered).'''
        count = len(self.watcher.registered)
        log = open(os.path.join(self.work, f'run{self.homes}.log'), 'a')
        started = time.monotonic()
        process = subprocess.Popen(argv, env=env, stdout=log, stderr=log)
        if not self.pump_until(lambda: len(self.watcher.registered) > count):
            stop(process)
            sys.exit(f'{argv[0]} registered no tray item; see {log.name}')
        return process, self.watcher.registered[count] - started

    def start_noctave(self, args=(), seen_onboarding=True, sim=''):
        home = self.home(seen_onboarding)
        return self.start([self.noctave] + list(args), self.environment(home, sim))[0], home

    def ctl(self, home, *args):
        # The control interface comes up just after the tray item: a few tries.
        for _ in range(50):
            done = subprocess.run([self.noctave, 'ctl'] + list(args), capture_output=True,
                                  env=self.environment(home), timeout=20, text=True)
            if done.returncode == 0:
                return
            time.sleep(0.1)
        sys.exit(f'noctave ctl {" ".join(args)} failed: {done.stderr}')


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# ---- closing a window as a window manager would ----

class XClientMessageEvent(ctypes.Structure):
    _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong), ('send_event', ctypes.c_int),
                ('display', ctypes.c_void_p), ('window', ctypes.c_ulong),
                ('message_type', ctypes.c_ulong), ('format', ctypes.c_int),
                ('data', ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [('xclient', XClientMessageEvent), ('pad', ctypes.c_long * 24)]


def close_window(pid, title):
    '''Sends WM_DELETE_WINDOW to the visible window of `pid` named `title`, as the close button
    of a window manager does.'''
    found = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(pid), '--name',
                            f'^{title}$'], capture_output=True, text=True).stdout.split()
    if not found:
        sys.exit(f'no visible window {title!r} to close')
    x11 = ctypes.CDLL('libX11.so.6')
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    for window in found:
        event = XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = int(window)
        event.xclient.message_type = x11.XInternAtom(display, b'WM_PROTOCOLS', 0)
        event.xclient.format = 32
        event.xclient.data[0] = x11.XInternAtom(display, b'WM_DELETE_WINDOW', 0)
        x11.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


# ---- the parts of a run ----

def launch_times(desktop, bare, runs):
    times = {'bare Qt tray': [], 'Noctave': []}
    home = desktop.home()
    env = desktop.environment(home)
    for run in range(runs):
        # Interleaved, the order swapped every run: a burst of load hits both alike.
        order = [('bare Qt tray', [bare]), ('Noctave', [desktop.noctave])]
        for name, argv in order if run % 2 == 0 else reversed(order):
            process, seconds = desktop.start(argv, env)
            times[name].append(seconds)
            stop(process)
    print(f'exec to tray item registered, {runs} interleaved runs each (load {load()}):')
    for name, values in times.items():
        print(f'  {name:<14} min {min(values):.3f} s  median {statistics.median(values):.3f} s')
    ratio_min = min(times['Noctave']) / min(times['bare Qt tray'])
    ratio_median = statistics.median(times['Noctave']) / statistics.median(times['bare Qt tray'])
    print(f'  Noctave / bare: {ratio_min:.2f}x (min), {ratio_median:.2f}x (median)')


def states(desktop, window, settle):
    print(f'\nper state over {window:.0f} s each, on the virtual laptop (load {load()}):')
    print(HEADER)
    # Each state in a process of its own, started the same way.
    process, home = desktop.start_noctave()
    time.sleep(settle)
    idle = Figures(process.pid, window)
    print(idle.row('idle'))
    stop(process)

    windows = (('settings', ['--show-settings'], True, None),
               ('onboarding (first run)', [], False, 'Welcome to Noctave'),
               ('virtual laptop', ['--simulate'], True, None))
    for label, args, seen, title in windows:
        process, home = desktop.start_noctave(args, seen_onboarding=seen)
        time.sleep(settle)
        print(Figures(process.pid, window).row(label + ': open'))
        if title is None:
            found = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid',
                                    str(process.pid), '--name', '.'],
                                   capture_output=True, text=True).stdout.split()
            names = [subprocess.run(['xdotool', 'getwindowname', w], capture_output=True,
                                    text=True).stdout.strip() for w in found]
            title = next((n for n in names if n), '')
        close_window(process.pid, title)
        time.sleep(CLOSED_SETTLE)
        closed = Figures(process.pid, window)
        over = (closed.rss - idle.rss) / MIB
        anon = (closed.anon - idle.anon) / MIB
        print(closed.row(f'{label}: closed {CLOSED_SETTLE:.0f} s') +
              f'  [vs idle {over:+.1f} MiB RSS, {anon:+.1f} MiB anon]')
        stop(process)

    process, home = desktop.start_noctave()
    desktop.ctl(home, 'arm')
    time.sleep(settle)
    print(Figures(process.pid, window).row('armed, lid open'))
    stop(process)

    process, home = desktop.start_noctave(sim='lid=closed')
    desktop.ctl(home, 'arm')
    time.sleep(settle)
    print(Figures(process.pid, window).row('armed, lid closed').rstrip() +
          '  (100 ms heartbeat)')
    stop(process)


def linux_states(noctave, window, settle):
    sys.path.insert(0, os.path.join(ROOT, 'tests', 'system'))
    import harness
    print(f'\nLinux backend, real systemd-logind and upowerd over {window:.0f} s (load {load()}):')
    try:
        with harness.SystemHarness('footprint', noctave) as h:
            app = h.start_noctave()
            done = h.ctl('arm')
            if done.returncode != 0:
                sys.exit(f'noctave ctl arm failed: {done.stderr}')
            time.sleep(settle)
            print(HEADER)
            print(Figures(app.pid, window).row('linux: armed, lid open'))
            since = len(h.logind.log())
            h.set_lid(True)
            h.wait_log(h.logind, 'handle-lid-switch is inhibited', since)
            h.expect(lambda: 'Lid: closed' in h.ctl('status').stdout,
                     'Noctave never saw the lid close')
            time.sleep(settle)
            print(Figures(app.pid, window).row('linux: armed, lid closed'))
            status = h.ctl('status').stdout.replace('\n', '; ')
            print(f'  (status after: {status})')
    except harness.Skip as e:
        print(f'  skipped: {e}')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('build', nargs='?', default='build')
    parser.add_argument('--runs', type=int, default=10)
    parser.add_argument('--window', type=float, default=20.0)
    parser.add_argument('--settle', type=float, default=3.0)
    parser.add_argument('--no-states', action='store_true', help='the launch times only')
    parser.add_argument('--no-system', action='store_true', help='without the Linux backend')
    parser.add_argument('--inner', action='store_true', help=argparse.SUPPRESS)
    options = parser.parse_args()
    noctave = os.path.realpath(os.path.join(options.build, 'app', 'noctave'))
    if not os.access(noctave, os.X_OK):
        sys.exit(f'footprint: {noctave} not built')
    if not options.inner:
        argv = [sys.executable, os.path.abspath(__file__), '--inner'] + sys.argv[1:]
        status = subprocess.run(['xvfb-run', '-a', '-s', '-screen 0 1280x800x24',
                                 'dbus-run-session', '--'] + argv).returncode
        sys.exit(status)

    work = tempfile.mkdtemp(prefix='noctave-footprint-')
    try:
        print(f'{noctave}\nmachine: {os.cpu_count()} cores, load {load()}\n')
        desktop = Desktop(noctave, work)
        launch_times(desktop, build_bare_tray(work), options.runs)
        if not options.no_states:
            states(desktop, options.window, options.settle)
        if not options.no_states and not options.no_system:
            linux_states(noctave, options.window, options.settle)
        print(f'\nload at the end: {load()}')
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
