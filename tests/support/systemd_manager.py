'''A stand-in for the systemd manager, as far as logind's sleep path needs one (a dbusmock
template). logind asks it to start the sleep target and waits for the job to end before it
tells the world the machine woke: the job stays open until the harness calls FinishJobs, so
a test sees PrepareForSleep(true) while the "machine" sleeps and PrepareForSleep(false) when
it wakes.
'''

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = True


def load(mock, _parameters):
    mock.next_job = 1
    mock.open_jobs = []  # (id, path, unit)
    mock.AddProperties(MAIN_IFACE, {'Version': 'v252-standin'})
    # logind asks whether a sleep target is loaded before it starts it.
    for unit in ('suspend.target', 'hibernate.target', 'hybrid-sleep.target',
                 'suspend-then-hibernate.target'):
        mock.AddObject(f'{MAIN_OBJ}/unit/' + unit.replace('.', '_2e').replace('-', '_2d'),
                       'org.freedesktop.systemd1.Unit',
                       {'Id': unit, 'LoadState': 'loaded', 'ActiveState': 'inactive'}, [])


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Subscribe(_self):
    pass


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Unsubscribe(_self):
    pass


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StartUnit(self, name, _mode):
    job = self.next_job
    self.next_job += 1
    path = dbus.ObjectPath(f'{MAIN_OBJ}/job/{job}')
    self.open_jobs.append((job, path, str(name)))
    self.EmitSignal(MAIN_IFACE, 'JobNew', 'uos', [job, path, name])
    return path


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def OpenJobs(self):
    return [unit for _, _, unit in self.open_jobs]


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def FinishJobs(self):
    '''Ends every open job as done: for a sleep target, the machine has woken.'''
    finished = self.open_jobs
    self.open_jobs = []
    for job, path, unit in finished:
        self.EmitSignal(MAIN_IFACE, 'JobRemoved', 'uoss', [job, path, unit, 'done'])
    return len(finished)
