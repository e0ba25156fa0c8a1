#pragma once

#include <string>
#include <utility>

namespace noctave::SessionLocker {

// Locks the login session at once through a library loaded on every call, so that the program
// still runs where the library is missing. Keeps no state; any thread.

struct Outcome {
    enum class Kind { failed, locked };

    static Outcome failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static Outcome locked() { return {Kind::locked, {}}; }

    bool succeeded() const { return kind == Kind::locked; }

    Kind kind;
    std::string message;  // why it failed (failed only)
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome lockNow();

}  // namespace noctave::SessionLocker
