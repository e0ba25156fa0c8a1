// An X11 tray that only embeds windows (the XEmbed system-tray protocol, no
// StatusNotifierWatcher), as i3bar or stalonetray are: it owns _NET_SYSTEM_TRAY_S0, announces
// itself, and prints "dock <window>" for every window asked to be docked and "gone <window>"
// when a docked window is unmapped or destroyed. Runs until killed.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace {

xcb_atom_t atom(xcb_connection_t* x, const std::string& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(
            x, xcb_intern_atom(x, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace

int main() {
    int screenNumber = 0;
    xcb_connection_t* x = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(x) != 0) {
        std::fprintf(stderr, "xembed-tray: no X display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const xcb_window_t tray = xcb_generate_id(x);
    xcb_create_window(x, XCB_COPY_FROM_PARENT, tray, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t selection = atom(x, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = atom(x, "_NET_SYSTEM_TRAY_OPCODE");
    xcb_set_selection_owner(x, tray, selection, XCB_CURRENT_TIME);

    xcb_client_message_event_t manager{};
    manager.response_type = XCB_CLIENT_MESSAGE;
    manager.format = 32;
    manager.window = screen->root;
    manager.type = atom(x, "MANAGER");
    manager.data.data32[0] = XCB_CURRENT_TIME;
    manager.data.data32[1] = selection;
    manager.data.data32[2] = tray;
    xcb_send_event(x, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&manager));
    xcb_flush(x);
    std::printf("ready\n");
    std::fflush(stdout);

    std::set<xcb_window_t> docked;
    while (xcb_generic_event_t* event = xcb_wait_for_event(x)) {
        const uint8_t type = event->response_type & 0x7fU;
        if (type == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
            if (message->type == opcode && message->data.data32[1] == 0) {  // REQUEST_DOCK
                const xcb_window_t window = message->data.data32[2];
                docked.insert(window);
                const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
                xcb_change_window_attributes(x, window, XCB_CW_EVENT_MASK, &mask);
                xcb_flush(x);
                std::printf("dock %u\n", window);
            }
        } else if (type == XCB_UNMAP_NOTIFY || type == XCB_DESTROY_NOTIFY) {
            const xcb_window_t window =
                type == XCB_UNMAP_NOTIFY
                    ? reinterpret_cast<xcb_unmap_notify_event_t*>(event)->window
                    : reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window;
            if (docked.erase(window) > 0) {
                std::printf("gone %u\n", window);
            }
        }
        std::fflush(stdout);
        std::free(event);
    }
    xcb_disconnect(x);
    return 0;
}
