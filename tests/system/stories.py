#!/usr/bin/python3
'''Noctave against the real systemd-logind and upowerd: one story per run, named by the
second argument (the first is the noctave executable). Each story gets a harness of its own.
Prints one line when it passes; exits 77 with one line when the harness cannot run here.'''

import os
import signal
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
)}


def main():
    harness.story_main(STORIES, lambda program, name: harness.run_story(name, program,
                                                                        STORIES[name]))

if __name__ == '__main__':
    main()
