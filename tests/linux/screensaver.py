"""dbusmock template: org.freedesktop.ScreenSaver's inhibitions, counted by cookie; `Held`
(test control) lists the live ones as "<cookie>:<application>:<reason>"."""

BUS_NAME = "org.freedesktop.ScreenSaver"
MAIN_OBJ = "/org/freedesktop/ScreenSaver"
MAIN_IFACE = "org.freedesktop.ScreenSaver"
SYSTEM_BUS = True


def load(mock, parameters):
    mock.inhibitions = {}
    mock.next_cookie = 41
    mock.AddMethods(
        MAIN_IFACE,
        [
            ("Inhibit", "ss", "u",
             "self.next_cookie += 1\n"
             "self.inhibitions[self.next_cookie] = args[0] + ':' + args[1]\n"
             "ret = self.next_cookie"),
            ("UnInhibit", "u", "",
             "self.inhibitions.pop(int(args[0]))"),
            ("Held", "", "as",
             "ret = sorted('%d:%s' % item for item in self.inhibitions.items())"),
        ],
    )
