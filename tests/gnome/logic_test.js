// The extension's logic that needs no shell, in both of its forms: the legacy script GNOME 43-44
// import and the ES module GNOME 45+ import. Run: gjs -m logic_test.js SOURCE-DIR MODULE-FILE
import System from 'system';

const [sourceDir, moduleFile] = System.programArgs;
imports.searchPath.unshift(sourceDir);
const forms = {legacy: imports.noctave, modules: await import(`file://${moduleFile}`)};

let failures = 0;
function expect(what, actual, expected) {
    const a = JSON.stringify(actual), e = JSON.stringify(expected);
    if (a !== e) {
        failures++;
        printerr(`FAIL ${what}: got ${a}, expected ${e}`);
    }
}

const MIN = 60e6;
const NOW = 1_800_000_000e6;
const status = fields => ({
    State: 'disarmed', KeepAwake: false, Deadline: 0, KeepAwakeUntil: 0, Holds: [], ...fields,
});

for (const [form, N] of Object.entries(forms)) {
    // The words `noctave ctl status` uses, whole minutes truncated.
    for (const [left, text] of [
        [-MIN, 'less than a minute left'],
        [59e6, 'less than a minute left'],
        [MIN, '1 min left'],
        [80 * MIN + 59e6, '1 h 20 min left'],
        [120 * MIN, '2 h 0 min left'],
    ])
        expect(`${form} timeLeftText(${left})`, N.timeLeftText(NOW + left, NOW), text);

    // The timer wakes when the text changes next, never on a fixed beat.
    for (const [left, ms] of [[90e6, 30000], [2 * MIN, 60000], [500e3, 500], [0, 0], [-1, 0]])
        expect(`${form} msUntilNextMinute(${left})`, N.msUntilNextMinute(NOW + left, NOW), ms);

    // State to what the toggle, its menu and the panel show.
    const pick = d => [d.checked, d.icon, d.subtitle, d.indicatorVisible, d.primaryLabel,
        d.showArmFor];
    for (const [what, s, shown] of [
        ['not running', null,
            [false, 'com.quillor.noctave-ready-symbolic', 'Not running', false,
                'Arm for Next Close', true]],
        ['disarmed', status({}),
            [false, 'com.quillor.noctave-ready-symbolic', 'Ready', false, 'Arm for Next Close',
                true]],
        ['pending', status({State: 'pending'}),
            [false, 'com.quillor.noctave-ready-symbolic', 'Closing\u2026', true,
                'Arm for Next Close', true]],
        ['armed, timed', status({State: 'armed', Deadline: NOW + 80 * MIN}),
            [true, 'com.quillor.noctave-armed-symbolic', 'Armed, 1 h 20 min left', true,
                'Disarm', false]],
        ['restore failed', status({State: 'restoreFailed'}),
            [false, 'com.quillor.noctave-warning-symbolic', 'Retrying', true,
                'Arm for Next Close', true]],
    ])
        expect(`${form} describe(${what})`, pick(N.describe(s, NOW)), shown);

    // GNOME 43 has no subtitle on the toggle: the menu's header carries the time left.
    expect(`${form} header`, [null, status({State: 'armed', Deadline: NOW + 5 * MIN})]
        .map(s => N.describe(s, NOW).menuSubtitle), ['Noctave is not running',
        'Armed, 5 min left']);

    // Keep-awake's own deadline shows on its switch; the earlier deadline drives the timer; a
    // deadline already passed (the service has not said it ended yet) wakes nothing.
    const both = N.describe(status({
        State: 'armed', Deadline: NOW + 90 * MIN, KeepAwake: true, KeepAwakeUntil: NOW + 5 * MIN,
    }), NOW);
    expect(`${form} keep-awake label`, both.keepAwakeLabel, 'Keep Awake (lid open), 5 min left');
    expect(`${form} next deadline`, both.nextDeadline, NOW + 5 * MIN);
    const offUntil = N.describe(status({KeepAwake: false, KeepAwakeUntil: NOW + 5 * MIN}), NOW);
    expect(`${form} keep-awake off`, [offUntil.keepAwake, offUntil.keepAwakeLabel,
        offUntil.nextDeadline], [false, 'Keep Awake (lid open)', 0]);
    expect(`${form} passed deadline`,
        N.describe(status({State: 'armed', Deadline: NOW - 1}), NOW).nextDeadline, 0);

    // The tray's "Arm For" choices; the morning is the next 08:00 on the local clock.
    for (const [hour, minute, dayAfter] of [[22, 0, 1], [7, 59, 0], [8, 0, 1], [0, 0, 0]]) {
        const now = new Date(2026, 2, 10, hour, minute);
        const choices = N.menuChoices(now);
        expect(`${form} choice titles`, choices.map(c => c.title),
            ['1 hour', '2 hours', '4 hours', 'Until tomorrow morning']);
        expect(`${form} 2 hours at ${hour}:${minute}`, choices[1].deadlineUsec,
            (now.getTime() + 7200e3) * 1000);
        expect(`${form} morning at ${hour}:${minute}`, choices[3].deadlineUsec,
            new Date(2026, 2, 10 + dayAfter, 8, 0).getTime() * 1000);
    }
}

if (failures > 0) {
    printerr(`${failures} failed`);
    System.exit(1);
}
print('logic tests passed');
