#include "core/session/Deadlines.hpp"

#include <cctype>
#include <chrono>
#include <ctime>

namespace noctave::deadlines {

namespace {
constexpr double kLongestSeconds = 7 * 24 * 3600.0;
constexpr int kMorningHour = 8;

// The local time of day `hour`:`minute` on the day of `now`, shifted by `days`.
runtime::WallTime localAt(runtime::WallTime now, int days, int hour, int minute) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    parts.tm_mday += days;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = 0;
    parts.tm_isdst = -1;  // let mktime decide across a daylight-saving change
    return std::chrono::system_clock::from_time_t(std::mktime(&parts));
}

runtime::WallTime nextAt(runtime::WallTime now, int hour, int minute) {
    const auto today = localAt(now, 0, hour, minute);
    return today > now ? today : localAt(now, 1, hour, minute);
}
}  // namespace

std::optional<double> parseDuration(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    double total = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        double number = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            number = number * 10 + (text[i] - '0');
            if (number > kLongestSeconds) {
                return std::nullopt;
            }
        }
        double unit = 60;
        if (i < text.size()) {
            switch (text[i++]) {
                case 'h':
                    unit = 3600;
                    break;
                case 'm':
                    unit = 60;
                    break;
                case 's':
                    unit = 1;
                    break;
                default:
                    return std::nullopt;
            }
        } else if (total != 0) {
            return std::nullopt;  // "1h30" is ambiguous
        }
        total += number * unit;
    }
    if (total <= 0 || total > kLongestSeconds) {
        return std::nullopt;
    }
    return total;
}

std::optional<runtime::WallTime> parseClockTime(std::string_view text, runtime::WallTime now) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3) {
        return std::nullopt;
    }
    int hour = 0;
    int minute = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == colon) {
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        int& field = i < colon ? hour : minute;
        field = field * 10 + (text[i] - '0');
    }
    if (hour > 23 || minute > 59) {
        return std::nullopt;
    }
    return nextAt(now, hour, minute);
}

runtime::WallTime nextMorning(runtime::WallTime now) {
    return nextAt(now, kMorningHour, 0);
}

std::vector<Choice> menuChoices(runtime::WallTime now) {
    using std::chrono::hours;
    return {{"1 hour", now + hours(1)},
            {"2 hours", now + hours(2)},
            {"4 hours", now + hours(4)},
            {"Until tomorrow morning", nextMorning(now)}};
}

std::string localText(runtime::WallTime time, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

std::string timeLeftText(runtime::WallTime deadline, runtime::WallTime now) {
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(deadline - now).count();
    if (minutes < 1) {
        return "less than a minute left";
    }
    const auto hours = minutes / 60;
    std::string text;
    if (hours > 0) {
        text = std::to_string(hours) + " h ";
    }
    return text + std::to_string(minutes % 60) + " min left";
}

}  // namespace noctave::deadlines
