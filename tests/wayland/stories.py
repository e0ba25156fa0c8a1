#!/usr/bin/python3
'''Noctave under a real Wayland compositor (a headless sway): one story per run, named by the
second argument (the first is the noctave executable). Each story gets a compositor of its own.
Prints one line when it passes; exits 77 with one line when the harness cannot run here.'''

import json
import os
import signal
import sys

# Running the tests leaves the source tree as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import harness  # noqa: E402

SIMULATOR = 'Virtual laptop'
# The virtual laptop's lid starts at 110 degrees; each Page Down on its angle slider (which has
# the focus when its window opens) takes 10 off, so the lid moves as a hand would move it.
STEPS_TO_COMMIT = 8   # down to 30 degrees: the gesture commits, the curtain nearly covers
STEPS_TO_SHUT = 11    # down to 0: the lid switch closes and the session seals
STEP_MS = 200
PAUSE_MS = 3000


check, expect = harness.check, harness.expect


def simulator_focused(c):
    return any(title.startswith(SIMULATOR) and focused for title, focused, *_ in c.windows())


def focus_is_simulators(c):
    '''The focused window is the virtual laptop's; a curtain never shows up focused.'''
    windows = c.windows()
    focused = [title for title, is_focused, *_ in windows if is_focused]
    check(not any('curtain' in title for title, *_ in windows),
          'a curtain is a window in the tree: %s' % windows)
    check(len(focused) == 1 and focused[0].startswith(SIMULATOR),
          'the focus left the virtual laptop: %s' % windows)


def hold_fn_and_close(c):
    '''Holds Super (the virtual laptop's Fn) on a virtual keyboard and moves the lid down to
    30 degrees, pauses there while the story looks, then shuts it and lets go. Returns the
    running keyboard.'''
    # The keyboard's first key can reach the window before its key map does: a tap of Super
    # (Fn pressed and let go at once, which does nothing) goes first.
    args = ['-k', 'Super_L', '-s', '300', '-P', 'Super_L', '-s', '600']
    for step in range(STEPS_TO_SHUT):
        args += ['-k', 'Next', '-s', str(PAUSE_MS if step + 1 == STEPS_TO_COMMIT else STEP_MS)]
    return c.keys(*args, '-p', 'Super_L')


def start_on_simulator(c):
    app = c.noctave('--simulate')
    expect(lambda: simulator_focused(c), 'the virtual laptop\'s window never had the focus')
    return app


def curtain_story(outputs):
    def story(c):
        start_on_simulator(c)
        keyboard = hold_fn_and_close(c)
        expect(lambda: 'gesture: committed' in c.app_log(), 'the gesture never committed')

        # Every output is covered from the top; the bottom of an output with nothing on it
        # still shows the desktop, so this is the curtain and not a dead output.
        def covered():
            captures = [c.capture(name) for name in c.outputs]
            return all(shot.share(harness.is_black, 0.0, 0.5) > 0.97 for shot in captures)
        expect(covered, 'the curtain did not cover the top of every output', 2.5)
        last = c.capture(c.outputs[-1])
        if outputs > 1:
            check(last.share(harness.is_background, 0.97, 1.0) > 0.9,
                  'the second output shows no desktop below the curtain')
        focus_is_simulators(c)

        # The lid shuts: the session arms, the curtain seals black, then leaves every output.
        keyboard.wait(15)
        expect(lambda: 'gesture confirmed' in c.app_log(),
               'closing the lid did not arm the session')
        if outputs > 1:
            expect(lambda: c.capture(c.outputs[-1]).share(harness.is_background) > 0.97,
                   'the curtain did not leave the second output after the seal', 5)
        else:
            expect(lambda: c.capture(c.outputs[0]).share(harness.is_black) < 0.5,
                   'the curtain did not leave after the seal', 5)
        focus_is_simulators(c)
        return 'the curtain covered %d output(s) and left; the focus never moved' % outputs
    return story


def window_rects(c):
    return [(title, rect) for title, _, _, rect in c.windows()]


def drawn(shot, rect):
    '''Whether the window at `rect` shows its own pixels: several colours, little desktop.'''
    colours = set()
    desktop = samples = 0
    for y in range(rect['y'] + 2, rect['y'] + rect['height'] - 2, 6):
        for x in range(rect['x'] + 2, rect['x'] + rect['width'] - 2, 6):
            rgb = shot.pixel(x, y)
            colours.add(rgb)
            desktop += 1 if harness.is_background(rgb) else 0
            samples += 1
    return samples > 0 and len(colours) >= 4 and desktop <= samples // 4


def windows_map_and_draw(c):
    seen = []
    for option, title in (('--simulate', SIMULATOR), ('--show-settings', 'Arming'),
                          ('--show-onboarding', 'Welcome')):
        app = c.noctave(option)
        expect(lambda: any(title in name for name, _ in window_rects(c)),
               '%s mapped no window titled "%s"' % (option, title))
        rect = [rect for name, rect in window_rects(c) if title in name][0]
        expect(lambda: drawn(c.capture(c.outputs[0]), rect),
               'the window "%s" mapped but its pixels are not in the capture' % title, 10)
        seen.append(title)
        os.kill(app.pid, signal.SIGTERM)
        check(app.wait(10) == 0, 'Noctave did not quit cleanly after %s' % option)
    return 'the %s windows mapped and drew' % ', '.join(seen)


def quitting_leaves_no_surface(c):
    app = start_on_simulator(c)
    os.kill(app.pid, signal.SIGTERM)
    status = app.wait(10)
    check(status == 0, 'SIGTERM ended Noctave with status %d' % status)
    check(not c.windows(), 'windows left after quitting: %s' % c.windows())
    shot = c.capture(c.outputs[0])
    check(shot.share(harness.is_background) > 0.99, 'the output still shows something of Noctave')
    return 'SIGTERM exited 0 and left the desktop bare'


def client_pieces(c):
    '''The Wayland client pieces' own tests, run inside the compositor.'''
    tests = os.environ.get('NOCTAVE_WAYLAND_CLIENT_TESTS') or os.path.join(
        os.path.dirname(c.program), '..', 'tests', 'noctave_wayland_client_tests')
    result = c.run([tests, '--gtest_brief=1'], check=False, timeout=60)
    check(result.returncode == 0, 'the client tests failed:\n' + result.stdout + result.stderr)
    check('SKIPPED' not in result.stdout, 'the client tests skipped:\n' + result.stdout)
    return 'outputs, layer surfaces and output power work against sway'


def tray_item_and_menu(c):
    '''A panel whose watcher appears two seconds after Noctave: it gets the item, which says it
    is a menu (a Wayland client cannot place one), exports the menu\'s entries, answers a left
    click at once, and a right click arms.'''
    c.noctave()
    panel = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'panel.py')
    seen = json.loads(c.run(['/usr/bin/python3', panel, '2'], timeout=40).stdout)
    check(seen['isMenu'], 'the item does not say it is a menu')
    check(seen['labels'] == ['Arm for Next Close', 'Arm For', 'Keep Awake (lid open)', '-',
                             'Settings...', '-', 'Quit Noctave'],
          'the exported menu reads %s' % seen['labels'])
    check(seen['activateMs'] < 100, 'Activate took %.0f ms' % seen['activateMs'])
    expect(lambda: 'armed (right-click)' in c.app_log(), 'the right click did not arm')
    check(not c.windows(), 'a window opened beside the tray item: %s' % c.windows())
    return 'a watcher 2 s late got the item and its menu; Activate answered in %.1f ms' % (
        seen['activateMs'])


def compositor_killed_while_armed_is_a_quit(c):
    '''The compositor dies under an armed session: Noctave ends as on SIGTERM, in order.'''
    app = c.noctave()
    ctl = [c.program, 'ctl']
    expect(lambda: c.run(ctl + ['status'], check=False).returncode == 0,
           'Noctave never answered `noctave ctl status`')
    c.run(ctl + ['arm'])
    expect(lambda: 'armed (dbus)' in c.app_log(), 'ctl arm did not arm')
    marker = os.path.join(c.home, 'state', 'Noctave', 'session.pid')
    check(os.path.exists(marker), 'no recovery marker while armed')
    c.sway.signal(signal.SIGKILL)
    # Killed at the deadline when it hangs: any status but 0 fails below.
    status = app.wait(15)
    said = c.app_log()
    check(status == 0, 'losing the compositor ended Noctave with status %d' % status)
    for line in ('WRN display connection lost (wayland); quitting', 'INF disarmed (quit)',
                 'INF clean exit'):
        check(line in said, 'losing the compositor: no %r' % line)
    check(not os.path.exists(marker), 'the recovery marker outlived the quit')
    with open(os.path.join(c.home, 'sim-state')) as f:
        check('lid-close bit: clear' in f.read(), 'the lid-close bit was left set')
    return 'sway killed under an armed session: disarmed (quit), clean exit, status 0'


# (story, number of outputs).
STORIES = {
    'curtain_on_one_output': (curtain_story(1), 1),
    'curtain_on_every_output_without_focus': (curtain_story(2), 2),
    'windows_map_and_draw': (windows_map_and_draw, 1),
    'quitting_leaves_no_surface': (quitting_leaves_no_surface, 1),
    'client_pieces': (client_pieces, 2),
    'tray_item_and_menu': (tray_item_and_menu, 1),
    'compositor_killed_while_armed_is_a_quit': (compositor_killed_while_armed_is_a_quit, 1),
}


def main():
    def run(program, name):
        story, outputs = STORIES[name]
        harness.run_story(name, program, story, harness=harness.Compositor, outputs=outputs)
    harness.story_main(STORIES, run)


if __name__ == '__main__':
    main()
