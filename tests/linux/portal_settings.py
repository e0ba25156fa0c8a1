"""dbusmock template: the desktop portal's Settings interface, with settings the test sets."""

import dbus

BUS_NAME = "org.freedesktop.portal.Desktop"
MAIN_OBJ = "/org/freedesktop/portal/desktop"
MAIN_IFACE = "org.freedesktop.portal.Settings"
SYSTEM_BUS = True

NOT_FOUND = (
    'raise dbus.exceptions.DBusException("no such setting", '
    'name="org.freedesktop.portal.Error.NotFound")'
)


def load(mock, parameters):
    mock.portal_settings = {}
    mock.AddMethods(
        MAIN_IFACE,
        [
            (
                "ReadOne",
                "ss",
                "v",
                "key = (args[0], args[1])\n"
                "if key not in self.portal_settings:\n    " + NOT_FOUND + "\n"
                "ret = self.portal_settings[key]",
            ),
            # The old method; the program unwraps a second variant if it finds one.
            (
                "Read",
                "ss",
                "v",
                "key = (args[0], args[1])\n"
                "if key not in self.portal_settings:\n    " + NOT_FOUND + "\n"
                "ret = dbus.types.Variant(self.portal_settings[key], variant_level=1)",
            ),
            # Test control: set a value and announce it as the portal does.
            (
                "Set",
                "ssv",
                "",
                "self.portal_settings[(args[0], args[1])] = args[2]\n"
                "self.EmitSignal('" + MAIN_IFACE + "', 'SettingChanged', 'ssv', args)",
            ),
        ],
    )
