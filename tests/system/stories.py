#!/usr/bin/python3
'''Noctave against the real systemd-logind and upowerd: one story per run, named by the
second argument (the first is the noctave executable). Each story gets a harness of its own.
Prints one line when it passes; exits 77 with one line when the harness cannot run here.'''

import json
import os
import shutil
import signal
import stat
import sys

# Running the tests leaves the source tree as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import harness  # noqa: E402

LID_LOCK = 'Noctave: keeping laptop awake (lid closed)'
KEEP_AWAKE = 'Noctave: keep awake (lid open)'


def ctl_ok(h, *args):
    done = h.ctl(*args)
    if done.returncode != 0:
        raise harness.Failure(f'noctave ctl {" ".join(args)} failed: {done.stderr}')
    return done.stdout


def noctave_locks(h):
    return [i for i in h.inhibitors() if i[1] == 'Noctave']


def armed(h):
    '''Starts Noctave, arms it, and checks logind lists its lid lock under its own user.'''
    app = h.start_noctave()
    ctl_ok(h, 'arm')
    locks = h.expect(lambda: h.lid_inhibitors(), 'arming took no handle-lid-switch lock')
    what, _, _, mode, uid, pid = locks[0]
    if mode != 'block' or uid != h.user.pw_uid or pid != app.pid or len(locks) != 1:
        raise harness.Failure(f'the lid lock is not one block lock of Noctave: {locks}')
    return app


def close_lid_refused(h):
    since, sleeps = len(h.logind.log()), h.started_units()
    h.set_lid(True)
    h.wait_log(h.logind, 'Lid closed.', since)
    h.wait_log(h.logind, 'handle-lid-switch is inhibited', since)
    if h.started_units() != sleeps:
        raise harness.Failure(f'logind suspended despite the lock: {h.started_units()}')


def expect_suspend(h, why):
    h.expect(lambda: 'suspend.target' in h.started_units(), why)


# ---- the stories ----

def arming_holds_logind_off_a_lid_close(h):
    app = armed(h)
    close_lid_refused(h)
    h.wait_log(app, 'lid shut; arm stands')
    return 'armed: logind listed the lock and refused the lid close'


def a_lock_logind_refuses_is_a_failure_with_its_notice(h):
    # Noctave runs outside any logind session here, as over ssh or from a user service.
    app = armed(h)
    close_lid_refused(h)
    h.wait_log(app, 'ERR logind\'s LockSession action is unavailable (logind could not lock the session')
    h.wait_log(app, 'notice: Noctave needs attention - The laptop could not be locked.')
    said = app.log()
    if 'session locked via' in said or said.count('WRN session lock refused: logind could not') != 1:
        raise harness.Failure(f'a refused lock was not said as one refusal:\n{said}')
    if ctl_ok(h, 'status').find('armed') < 0:
        raise harness.Failure('the session did not stand after the lock failed')
    return 'refused LockSession: error line and notice, the session stands'


def disarming_with_the_lid_shut_lets_logind_suspend_at_once(h):
    armed(h)
    close_lid_refused(h)
    ctl_ok(h, 'disarm')
    expect_suspend(h, 'logind did not suspend once the lock was gone')
    h.expect(lambda: not noctave_locks(h), 'disarming left a lock behind')
    return 'disarmed with the lid shut: logind suspended'


def sigkill_drops_the_locks_and_the_next_close_suspends(h):
    app = armed(h)
    app.signal(signal.SIGKILL)
    app.wait()
    h.expect(lambda: not noctave_locks(h), f'locks outlived SIGKILL: {noctave_locks(h)}')
    h.set_lid(True)
    expect_suspend(h, 'the close after the kill did not suspend')
    return 'SIGKILL: no lock left, the next close suspended'


def keep_awake_lists_its_idle_lock_only_while_on(h):
    h.start_noctave()
    ctl_ok(h, 'keep-awake', 'on')
    h.expect(lambda: [i for i in noctave_locks(h) if i[:4] == ('idle', 'Noctave', KEEP_AWAKE,
                                                                'block')],
             'keep-awake on: no idle block lock listed')
    if h.lid_inhibitors():
        raise harness.Failure('keep-awake took the lid lock')
    ctl_ok(h, 'keep-awake', 'off')
    h.expect(lambda: not noctave_locks(h), 'keep-awake off: the idle lock stayed')
    return 'keep-awake: idle lock listed while on, gone when off'


def the_battery_floor_disarms_from_upowerds_figures(h):
    app = armed(h)
    h.set_battery(15)
    h.expect(lambda: h.display_device('Percentage') == 15, 'upowerd did not follow the battery')
    h.wait_log(app, 'low battery (15%); disarming')
    h.wait_log(app, 'notice: Noctave disarmed - Battery dropped to 15%. Your laptop can sleep '
               'instead of running flat.')
    h.expect(lambda: not noctave_locks(h), 'the low-battery disarm left a lock behind')
    return 'battery at 15 %: upowerd told Noctave, Noctave disarmed'


def lost_battery_telemetry_disarms_when_upowerd_goes_away(h):
    app = armed(h)
    # upowerd dies while the kernel's battery no longer reports a charge: the next two reports
    # (upowerd leaving, then the kernel's next event) have no level, on battery.
    h.drop_battery_charge()
    h.stop_daemon(h.upower, harness.UPOWER)
    h.announce_power(h.noctave_bed)
    h.wait_log(app, 'battery level unavailable twice while safety enabled; disarming')
    h.expect(lambda: not noctave_locks(h), 'the disarm left a lock behind')
    return 'upowerd gone, no charge from the kernel: Noctave disarmed'


def without_upowerd_the_floor_disarms_from_the_kernels_figures(h):
    app = armed(h)
    h.stop_daemon(h.upower, harness.UPOWER)
    h.set_battery(15)
    h.wait_log(app, 'low battery (15%); disarming')
    h.expect(lambda: not noctave_locks(h), 'the low-battery disarm left a lock behind')
    return 'upowerd gone: the kernel said 15 %, Noctave disarmed'


def sleep_and_wake_reapply_the_override(h):
    app = armed(h)
    # Someone suspends by hand (root, as a power manager or `systemctl suspend` would).
    h.bus.call_blocking(harness.LOGIN, harness.LOGIN_PATH, harness.LOGIN_MANAGER, 'Suspend', 'b',
                        [False])
    h.expect(lambda: h.open_jobs() == ['suspend.target'], 'logind started no sleep job')
    h.wake()
    h.wait_log(app, 're-applied lid-close flag after system wake')
    if len(h.lid_inhibitors()) != 1:
        raise harness.Failure(f'after the wake the lid lock is not one: {h.inhibitors()}')
    close_lid_refused(h)
    return 'suspend and wake: the override re-applied, a close after it refused'


def another_programs_lid_lock_makes_the_arm_fail_naming_it(h):
    # A program Noctave does not know holds the lid: arming says so and holds nothing, rather
    # than showing armed while that program may suspend on the close.
    lock = h.bus.call_blocking(harness.LOGIN, harness.LOGIN_PATH, harness.LOGIN_MANAGER,
                               'Inhibit', 'ssss', ['handle-lid-switch', 'lidkeeper',
                                                   'its own lid action', 'block']).take()
    try:
        h.start_noctave()
        done = h.ctl('arm')
        said = done.stdout + done.stderr
        if done.returncode == 0 or f'lidkeeper (python3) (pid {os.getpid()}) handles the lid' \
                not in said:
            raise harness.Failure(f'arming beside another lid lock: {done.returncode} {said!r}')
        if noctave_locks(h) or 'State: disarmed' not in ctl_ok(h, 'status'):
            raise harness.Failure('a refused arm left Noctave holding or armed')
    finally:
        os.close(lock)
    return 'another program\'s lid lock: the arm failed, naming it'


def one_shot_check(h, option, *expected):
    status, output = h.run_noctave([option], seconds=40)
    if status != 0:
        raise harness.Failure(f'{option} ended with {status}:\n{output}')
    for text in expected:
        if text not in output:
            raise harness.Failure(f'{option} did not say {text!r}:\n{output}')
    if noctave_locks(h):
        raise harness.Failure(f'{option} left {noctave_locks(h)}')


def selftest_passes_and_leaves_no_lock(h):
    one_shot_check(h, '--selftest', 'PASS',
                   "  ok    set lid-close flag (logind's Inhibit(handle-lid-switch), taken)\n")
    return '--selftest: PASS, no lock left'


def diagnose_runs_and_leaves_no_lock(h):
    one_shot_check(h, '--diagnose')
    return '--diagnose: status 0, no lock left'


# ---- the display going away, and files in odd states ----

def state_folder(h):
    '''Noctave's state folder on the Linux backend (the virtual laptop keeps its own).'''
    return os.path.join(h.dir, 'home', '.local', 'state', 'Noctave')


def start_xvfb(h):
    '''An X server for Noctave (Xvfb, reachable by the unprivileged user); returns the process
    and its display name.'''
    if not shutil.which('Xvfb'):
        raise harness.Skip('Xvfb is missing (package xvfb)')
    read_end, write_end = os.pipe()
    xvfb = harness.Process('xvfb', ['Xvfb', '-displayfd', str(write_end), '-nolisten', 'tcp',
                                    '-screen', '0', '1024x768x24'],
                           os.path.join(h.logs, 'xvfb.log'), pass_fds=(write_end,))
    os.close(write_end)
    h.processes.append(xvfb)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        raise harness.Failure('Xvfb did not start')
    return xvfb, ':' + number


def display_lost_while_armed_is_a_quit(h, app, kill_display, platform, state=None):
    '''Armed (on the Linux backend with the lid shut), the display server dies: Noctave ends
    as on SIGTERM. `state` is the virtual laptop's state folder when it runs on one.'''
    sim = state is not None
    state = state or state_folder(h)
    ctl_ok(h, 'arm')
    if sim:
        h.wait_log(app, 'armed (dbus)')
    else:
        h.expect(lambda: h.lid_inhibitors(), 'arming took no handle-lid-switch lock')
        close_lid_refused(h)
        h.wait_log(app, 'lid shut; arm stands')
    marker = os.path.join(state, 'session.pid')
    if not os.path.exists(marker):
        raise harness.Failure('no recovery marker while armed')
    kill_display()
    status = app.wait(15)
    said = app.log()
    if status != 0:
        raise harness.Failure(f'losing the display ended Noctave with status {status}:\n{said}')
    for line in (f'WRN display connection lost ({platform}); quitting', 'INF disarmed (quit)',
                 'INF clean exit'):
        if line not in said:
            raise harness.Failure(f'losing the display: no {line!r}:\n{said}')
    if os.path.exists(marker):
        raise harness.Failure('the recovery marker outlived the quit')
    with open(os.path.join(state, 'history.json')) as f:
        last = json.load(f)['sessions'][-1]
    if last.get('reason') != 'quit':
        raise harness.Failure(f'the history does not end the session with the quit: {last}')
    if not sim:
        # logind hears of a closed lock on its own loop, a moment after the close.
        h.expect(lambda: not noctave_locks(h), 'locks outlived the quit')
        expect_suspend(h, 'the lid left shut did not suspend once Noctave had quit')


def x_server_killed_while_armed_is_a_quit(h):
    xvfb, display = start_xvfb(h)
    app = h.start_noctave(env={'QT_QPA_PLATFORM': 'xcb', 'DISPLAY': display})
    display_lost_while_armed_is_a_quit(h, app, lambda: xvfb.signal(signal.SIGKILL), 'xcb')
    return 'Xvfb killed, armed, lid shut: disarmed (quit), clean exit, status 0, logind suspended'


def x_server_killed_on_the_virtual_laptop_is_a_quit(h):
    xvfb, display = start_xvfb(h)
    home = os.path.join(h.dir, 'home')
    app = h.start_noctave(env={'QT_QPA_PLATFORM': 'xcb', 'DISPLAY': display,
                               'NOCTAVE_PLATFORM': 'sim', 'NOCTAVE_SIM_HOME': home})
    display_lost_while_armed_is_a_quit(h, app, lambda: xvfb.signal(signal.SIGKILL), 'xcb',
                                       state=os.path.join(home, 'state', 'Noctave'))
    with open(os.path.join(home, 'sim-state')) as f:
        if 'lid-close bit: clear' not in f.read():
            raise harness.Failure('the virtual laptop was left with its lid-close bit set')
    return 'Xvfb killed on the virtual laptop: disarmed (quit), clean exit, bit clear, status 0'


def compositor_killed_while_armed_is_a_quit(h):
    with harness.Compositor('display-loss') as compositor:
        socket = os.path.join(compositor.runtime, compositor.env['WAYLAND_DISPLAY'])
        app = h.start_noctave(env={'QT_QPA_PLATFORM': 'wayland', 'WAYLAND_DISPLAY': socket})
        display_lost_while_armed_is_a_quit(
            h, app, lambda: compositor.sway.signal(signal.SIGKILL), 'wayland')
    return 'sway killed, armed, lid shut: disarmed (quit), clean exit, status 0, logind suspended'


def plant(h, name, make):
    folder = state_folder(h)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    make(path)
    for item in (os.path.join(h.dir, 'home'), os.path.join(h.dir, 'home', '.local'),
                 os.path.dirname(folder), folder, path):
        os.lchown(item, h.user.pw_uid, h.user.pw_gid)
    return path


def a_fifo_at_the_history_temporary_stops_nothing(h):
    h.noctave_env()  # makes the home
    fifo = plant(h, 'history.json.tmp', lambda path: os.mkfifo(path, 0o600))
    app = h.start_noctave()
    for verb in ('arm', 'disarm', 'arm'):
        done = h.ctl(verb)
        if done.returncode != 0:
            raise harness.Failure(f'ctl {verb} beside a FIFO at {fifo}: {done.returncode} '
                                  f'{done.stderr}')
    if not stat.S_ISFIFO(os.lstat(fifo + '.bad').st_mode):
        raise harness.Failure('the FIFO was not moved aside')
    app.signal(signal.SIGTERM)
    status = app.wait(10)
    if status != 0 or 'INF disarmed (quit)' not in app.log():
        raise harness.Failure(f'SIGTERM beside the FIFO ended with {status}:\n{app.log()}')
    return 'a FIFO at history.json.tmp: moved aside; arm, disarm and SIGTERM answered'


STORIES = {f.__name__: f for f in (
    arming_holds_logind_off_a_lid_close,
    a_lock_logind_refuses_is_a_failure_with_its_notice,
    disarming_with_the_lid_shut_lets_logind_suspend_at_once,
    sigkill_drops_the_locks_and_the_next_close_suspends,
    keep_awake_lists_its_idle_lock_only_while_on,
    the_battery_floor_disarms_from_upowerds_figures,
    lost_battery_telemetry_disarms_when_upowerd_goes_away,
    without_upowerd_the_floor_disarms_from_the_kernels_figures,
    sleep_and_wake_reapply_the_override,
    another_programs_lid_lock_makes_the_arm_fail_naming_it,
    selftest_passes_and_leaves_no_lock,
    diagnose_runs_and_leaves_no_lock,
    x_server_killed_while_armed_is_a_quit,
    x_server_killed_on_the_virtual_laptop_is_a_quit,
    compositor_killed_while_armed_is_a_quit,
    a_fifo_at_the_history_temporary_stops_nothing,
)}


def main():
    harness.story_main(STORIES, lambda program, name: harness.run_story(name, program,
                                                                        STORIES[name]))

if __name__ == '__main__':
    main()
