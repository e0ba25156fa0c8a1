#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

void SimKeys::add(std::string key, Handler handler) {
    handlers_.insert_or_assign(std::move(key), std::move(handler));
}

bool SimKeys::configure(std::string_view spec, std::string* error) const {
    while (!spec.empty()) {
        const auto comma = spec.find(',');
        const std::string_view piece = trim(spec.substr(0, comma));
        spec = comma == std::string_view::npos ? std::string_view{} : spec.substr(comma + 1);
        if (piece.empty()) {
            continue;
        }
        const auto equals = piece.find('=');
        const std::string_view key = trim(piece.substr(0, equals));
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : trim(piece.substr(equals + 1));
        const auto handler = handlers_.find(key);
        if (handler == handlers_.end()) {
            if (error != nullptr) {
                *error = "unknown NOCTAVE_SIM key: " + std::string(key);
            }
            return false;
        }
        if (equals == std::string_view::npos || !handler->second(value)) {
            if (error != nullptr) {
                *error =
                    "bad NOCTAVE_SIM value for " + std::string(key) + ": " + std::string(value);
            }
            return false;
        }
    }
    return true;
}

}  // namespace noctave::sim
