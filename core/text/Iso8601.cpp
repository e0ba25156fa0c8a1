#include "core/text/Iso8601.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace noctave::iso8601 {

using namespace std::chrono;

std::string format(runtime::WallTime time) {
    const auto ms = time_point_cast<milliseconds>(time);
    // floor, so that times before a second boundary never print the next second
    const auto day = floor<days>(ms);
    const year_month_day ymd{day};
    const hh_mm_ss hms{floor<milliseconds>(ms - day)};
    // Room for every field at its widest int, so GCC 14 can prove the print never truncates.
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                  static_cast<int>(hms.subseconds().count()));
    return buffer;
}

namespace {
bool number(std::string_view text, std::size_t at, std::size_t width, int& out) {
    if (at + width > text.size()) {
        return false;
    }
    for (std::size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return std::from_chars(text.data() + at, text.data() + at + width, out).ec == std::errc{};
}
}  // namespace

std::optional<runtime::WallTime> parse(std::string_view text) {
    int y, mo, d, h, mi, s;
    if (text.size() < 20 || !number(text, 0, 4, y) || text[4] != '-' || !number(text, 5, 2, mo) ||
        text[7] != '-' || !number(text, 8, 2, d) || (text[10] != 'T' && text[10] != 't') ||
        !number(text, 11, 2, h) || text[13] != ':' || !number(text, 14, 2, mi) || text[16] != ':' ||
        !number(text, 17, 2, s)) {
        return std::nullopt;
    }
    std::size_t at = 19;
    nanoseconds fraction{0};
    if (at < text.size() && text[at] == '.') {
        ++at;
        int64_t scale = 100'000'000;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            fraction += nanoseconds((text[at] - '0') * scale);
            scale /= 10;
            ++at;
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
    }
    minutes offset{0};
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int oh, om;
        if (!number(text, at + 1, 2, oh) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !number(text, at + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offset = hours(oh) + minutes(om);
        if (text[at] == '-') {
            offset = -offset;
        }
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size() || h > 23 || mi > 59 || s > 60) {
        return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)},
                             day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) {
        return std::nullopt;
    }
    const auto point = sys_days{ymd} + hours(h) + minutes(mi) + seconds(s) + fraction - offset;
    return time_point_cast<runtime::WallTime::duration>(point);
}

}  // namespace noctave::iso8601
