#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/runtime/Clock.hpp"

// Spelling deadlines for timed sessions: durations and clock times as people type them, the
// menu's choices, and the time left as a status line shows it. Local time is the process's.
namespace noctave::deadlines {

// "90m", "2h", "1h30m", "45s"; a bare number is minutes. No value for anything else, for zero,
// or for more than a week.
std::optional<double> parseDuration(std::string_view text);

// "18:00" or "7:05": the next time the local clock shows it after `now` (tomorrow when that
// time has passed today). No value for anything else.
std::optional<runtime::WallTime> parseClockTime(std::string_view text, runtime::WallTime now);

// The next 08:00 local after `now`.
runtime::WallTime nextMorning(runtime::WallTime now);

struct Choice {
    std::string title;
    runtime::WallTime deadline;
};
// The menu's durations: 1, 2 and 4 hours and "Until tomorrow morning" (08:00).
std::vector<Choice> menuChoices(runtime::WallTime now);

// `time` on the local clock, as strftime(3) spells `format` ("%Y-%m-%d %H:%M").
std::string localText(runtime::WallTime time, const char* format);

// "1 h 20 min left", "less than a minute left".
std::string timeLeftText(runtime::WallTime deadline, runtime::WallTime now);

}  // namespace noctave::deadlines
