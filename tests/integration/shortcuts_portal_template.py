'''A desktop portal offering only GlobalShortcuts. Requests answer through Response signals
on the request path the client announced, sent right after the method's reply.'''

import dbus
from gi.repository import GLib
from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.GlobalShortcuts'
SYSTEM_BUS = False
MOCK_IFACE = 'org.freedesktop.DBus.Mock'


def load(mock, parameters):
    mock.AddProperty(MAIN_IFACE, 'version', dbus.UInt32(1))
    mock.bind_answer = 0
    mock.last_session = ''
    mock.closed = []
    mock.triggers = []


def _client_path(sender):
    return sender[1:].replace('.', '_')


def _respond(mock, path, code, results, destination):
    def send():
        msg = dbus.lowlevel.SignalMessage(path, 'org.freedesktop.portal.Request', 'Response')
        msg.append(dbus.UInt32(code), dbus.Dictionary(results, signature='sv'),
                   signature='ua{sv}')
        msg.set_destination(destination)
        mock.connection.send_message(msg)
        return False
    GLib.idle_add(send)


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o',
                     sender_keyword='sender')
def CreateSession(self, options, sender):
    client = _client_path(sender)
    session = '/org/freedesktop/portal/desktop/session/%s/%s' % (
        client, options['session_handle_token'])
    self.AddObject(session, 'org.freedesktop.portal.Session', {}, [
        ('Close', '', '', 'objects["%s"].closed.append("%s"); self.RemoveObject("%s")'
         % (MAIN_OBJ, session, session)),
    ])
    self.last_session = session
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (client, options['handle_token'])
    _respond(self, path, 0, {'session_handle': dbus.String(session)}, sender)
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature='oa(sa{sv})sa{sv}', out_signature='o',
                     sender_keyword='sender')
def BindShortcuts(self, session, shortcuts, _parent, options, sender):
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (
        _client_path(sender), options['handle_token'])
    self.triggers = [str(s[1].get('preferred_trigger', '')) for s in shortcuts]
    bound = dbus.Array([dbus.Struct((s[0], dbus.Dictionary(
        {'trigger_description': dbus.String('Ctrl+Alt+Super+L')}, signature='sv')),
        signature=None) for s in shortcuts], signature='(sa{sv})')
    _respond(self, path, self.bind_answer, {'shortcuts': bound}, sender)
    return dbus.ObjectPath(path)


@dbus.service.method(MOCK_IFACE, in_signature='i', out_signature='')
def SetBindAnswer(self, code):
    self.bind_answer = code


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Activate(self, shortcut_id):
    self.EmitSignal(MAIN_IFACE, 'Activated', 'osta{sv}',
                    [dbus.ObjectPath(self.last_session), shortcut_id, dbus.UInt64(0),
                     dbus.Dictionary({}, signature='sv')])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ClosedSessions(self):
    return dbus.Array(self.closed, signature='s')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def BoundTriggers(self):
    return dbus.Array(self.triggers, signature='s')
