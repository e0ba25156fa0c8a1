// Round trips of the control interface's Status against a running Noctave: prints the median
// and the tail over N calls (default 1000). Run by bench/control_footprint.sh, or by hand
// with DBUS_SESSION_BUS_ADDRESS pointing at the bus Noctave serves.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/control/ControlClient.hpp"

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::string error;
    auto client = noctave::control::ControlClient::connect(&error);
    if (!client || calls <= 0) {
        std::fprintf(stderr, "control bench: %s\n", client ? "bad call count" : error.c_str());
        return 1;
    }
    noctave::control::Status status;
    // The first call pays for the connection's handshake; it is not a round trip.
    if (auto failure = client->status(status)) {
        std::fprintf(stderr, "control bench: %s\n", failure->message.c_str());
        return 1;
    }
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (auto failure = client->status(status)) {
            std::fprintf(stderr, "control bench: call %d: %s\n", i, failure->message.c_str());
            return 1;
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&micros](double q) {
        return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
    };
    std::printf(
        "Status round trip over %d calls: median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n",
        calls, at(0.5), at(0.9), at(0.99), micros.back());
    return 0;
}
