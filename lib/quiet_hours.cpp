#include "lib/quiet_hours.h"

#include "lib/text.h"

#include <array>
#include <cctype>

namespace nuvex {
// A named namespace, not an anonymous one: the sanitizer tree compiles this
// file in one unit with others, whose helpers have the same short names.
namespace quiet_rules {

constexpr std::array<std::string_view, 7> kDayNames = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
// Rules beyond this are not quiet hours a person wrote.
constexpr std::size_t kMaxRules = 32;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = s.find(sep);
        parts.push_back(Trim(s.substr(0, at)));
        if (at == std::string_view::npos) {
            return parts;
        }
        s.remove_prefix(at + 1);
    }
}

std::optional<int> Day(std::string_view name) {
    for (std::size_t i = 0; i < kDayNames.size(); ++i) {
        if (text::EqualsNoCase(name, kDayNames[i])) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

// "Mon-Fri", "Sat", "Mon,Wed-Fri"; a range that wraps ("Sat-Mon") takes the
// days from the first round to the last.
std::optional<std::uint8_t> Days(std::string_view text) {
    std::uint8_t days = 0;
    for (std::string_view item : Split(text, ',')) {
        const auto dash = item.find('-');
        const auto first = Day(Trim(item.substr(0, dash)));
        const auto last = dash == std::string_view::npos ? first : Day(Trim(item.substr(dash + 1)));
        if (!first || !last) {
            return std::nullopt;
        }
        for (int d = *first;; d = (d + 1) % 7) {
            days |= static_cast<std::uint8_t>(1u << d);
            if (d == *last) {
                break;
            }
        }
    }
    return days;
}

// "7:05", "22:00", "24:00" (only as an end).
std::optional<int> Minute(std::string_view text, bool end) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3) {
        return std::nullopt;
    }
    int hours = 0;
    for (char c : text.substr(0, colon)) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        hours = hours * 10 + (c - '0');
    }
    const char m1 = text[colon + 1];
    const char m2 = text[colon + 2];
    if (!std::isdigit(static_cast<unsigned char>(m1)) || !std::isdigit(static_cast<unsigned char>(m2))) {
        return std::nullopt;
    }
    const int minutes = (m1 - '0') * 10 + (m2 - '0');
    const int total = hours * 60 + minutes;
    if (minutes > 59 || total > (end ? 1440 : 1439)) {
        return std::nullopt;
    }
    return total;
}

std::string ClockText(int minute) {
    std::string out(5, '0');
    out[0] = static_cast<char>('0' + minute / 600);
    out[1] = static_cast<char>('0' + minute / 60 % 10);
    out[2] = ':';
    out[3] = static_cast<char>('0' + minute % 60 / 10);
    out[4] = static_cast<char>('0' + minute % 10);
    return out;
}

std::string DayText(std::uint8_t days) {
    std::string out;
    for (int d = 0; d < 7;) {
        if (!(days & (1u << d))) {
            ++d;
            continue;
        }
        int last = d;
        while (last + 1 < 7 && (days & (1u << (last + 1)))) {
            ++last;
        }
        if (!out.empty()) {
            out += ',';
        }
        out += kDayNames[static_cast<std::size_t>(d)];
        if (last > d) {
            out += '-';
            out += kDayNames[static_cast<std::size_t>(last)];
        }
        d = last + 1;
    }
    return out;
}

} // namespace quiet_rules

std::optional<QuietHours> QuietHours::Parse(std::string_view text, std::string* error) {
    auto fail = [error](std::string why) -> std::optional<QuietHours> {
        if (error) {
            *error = std::move(why);
        }
        return std::nullopt;
    };
    QuietHours hours;
    if (quiet_rules::Trim(text).empty()) {
        return hours;
    }
    for (std::string_view ruleText : quiet_rules::Split(text, ';')) {
        if (ruleText.empty()) {
            continue;
        }
        if (hours.rules_.size() == quiet_rules::kMaxRules) {
            return fail("more than " + std::to_string(quiet_rules::kMaxRules) + " rules");
        }
        const auto space = ruleText.find_last_of(" \t");
        if (space == std::string_view::npos) {
            return fail("\"" + std::string(ruleText) +
                        "\" needs days and a time range, e.g. Mon-Fri 22:00-07:00");
        }
        const auto days = quiet_rules::Days(quiet_rules::Trim(ruleText.substr(0, space)));
        if (!days) {
            return fail(
                "\"" + std::string(quiet_rules::Trim(ruleText.substr(0, space))) +
                "\" is not a list of days (Mon, Tue, Wed, Thu, Fri, Sat, Sun; ranges with -, lists with ,)");
        }
        const std::string_view range = ruleText.substr(space + 1);
        const auto dash = range.find('-');
        const auto start =
            dash == std::string_view::npos ? std::nullopt : quiet_rules::Minute(range.substr(0, dash), false);
        const auto end =
            dash == std::string_view::npos ? std::nullopt : quiet_rules::Minute(range.substr(dash + 1), true);
        if (!start || !end || *start == *end) {
            return fail("\"" + std::string(range) +
                        "\" is not a time range HH:MM-HH:MM of two different times");
        }
        hours.rules_.push_back({*days, *start, *end});
    }
    return hours;
}

bool QuietHours::Contains(int weekday, int minuteOfDay) const {
    const int previous = (weekday + 6) % 7;
    for (const Rule& rule : rules_) {
        const bool today = rule.days & (1u << weekday);
        if (rule.startMinute < rule.endMinute) {
            if (today && minuteOfDay >= rule.startMinute && minuteOfDay < rule.endMinute) {
                return true;
            }
        } else if ((today && minuteOfDay >= rule.startMinute) ||
                   ((rule.days & (1u << previous)) && minuteOfDay < rule.endMinute)) {
            return true;
        }
    }
    return false;
}

bool QuietHours::Contains(std::time_t when) const {
    if (rules_.empty()) {
        return false;
    }
    std::tm local{};
    if (!::localtime_r(&when, &local)) {
        return false;
    }
    return Contains((local.tm_wday + 6) % 7, local.tm_hour * 60 + local.tm_min);
}

bool QuietHours::ContainsDays(double days) const {
    // 25569 days lie between 1899-12-30 and the Unix epoch.
    return Contains(static_cast<std::time_t>((days - 25569.0) * 86400.0));
}

std::string QuietHours::Text() const {
    std::string out;
    for (const Rule& rule : rules_) {
        if (!out.empty()) {
            out += "; ";
        }
        out += quiet_rules::DayText(rule.days) + ' ' + quiet_rules::ClockText(rule.startMinute) + '-' +
               quiet_rules::ClockText(rule.endMinute);
    }
    return out;
}

} // namespace nuvex
