"""dbusmock template: the desktop portal's Inhibit interface. Each inhibition is a request
object that lives until its Close; `Held` (test control) lists the live ones as
"<flags>:<reason>:<path>"."""

BUS_NAME = "org.freedesktop.portal.Desktop"
MAIN_OBJ = "/org/freedesktop/portal/desktop"
MAIN_IFACE = "org.freedesktop.portal.Inhibit"
SYSTEM_BUS = True
REQUEST_IFACE = "org.freedesktop.portal.Request"


def load(mock, parameters):
    mock.inhibitions = {}
    mock.AddMethods(
        MAIN_IFACE,
        [
            (
                "Inhibit",
                "sua{sv}",
                "o",
                "path = '/org/freedesktop/portal/desktop/request/x/' + str(args[2]['handle_token'])\n"
                "self.inhibitions[path] = '%d:%s' % (args[1], args[2].get('reason', ''))\n"
                "self.AddObject(path, '" + REQUEST_IFACE + "', {}, [('Close', '', '', "
                "'objects[\"" + MAIN_OBJ + "\"].inhibitions.pop(self.__dbus_object_path__, None)')])\n"
                "ret = dbus.ObjectPath(path)",
            ),
            ("Held", "", "as",
             "ret = sorted(v + ':' + k for k, v in self.inhibitions.items())"),
        ],
    )
