#pragma once

namespace noctave::linuxos::wayland {

class WaylandClient;

namespace OutputPower {

// Whether the compositor lets a client turn its outputs off (wlroots' output power
// management: sway, Hyprland, niri, labwc, river and others).
bool isOffered(const WaylandClient& client);

// Turns every output off and waits for the compositor's answer. 0 when all went off, else an
// errno-style code: ENOTSUP where the protocol is not offered, ENODEV with no output, EIO when
// the compositor refused one. The outputs stay off after the client goes, until input or
// another client wakes them.
int sleepAll(WaylandClient& client);

}  // namespace OutputPower

}  // namespace noctave::linuxos::wayland
