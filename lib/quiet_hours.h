#pragma once
// Quiet hours: days and a time of day during which new mail is counted but not
// shown or sounded. Written as one or more rules separated by ';', each a day
// list and a range, e.g. "Mon-Fri 22:00-07:00; Sat,Sun 00:00-24:00". A range
// that ends before it starts runs across midnight and belongs to the day it
// starts on: "Fri 22:00-07:00" is quiet from Friday 22:00 to Saturday 07:00.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

class QuietHours {
public:
    struct Rule {
        std::uint8_t days = 0; // bit 0 Monday .. bit 6 Sunday
        int startMinute = 0;   // 0 .. 1439
        int endMinute = 0;     // 1 .. 1440; before startMinute: across midnight
    };

    // The empty text gives quiet hours that never hold. Nothing (and a reason
    // in *error when given) for text that is not rules as above.
    static std::optional<QuietHours> Parse(std::string_view text, std::string* error = nullptr);

    bool Empty() const { return rules_.empty(); }
    // weekday 0 is Monday; minute of the day 0 .. 1439.
    bool Contains(int weekday, int minuteOfDay) const;
    // At that moment in the local time zone.
    bool Contains(std::time_t when) const;
    // At a date-time of the program's clock (days since 1899-12-30, UTC).
    bool ContainsDays(double days) const;
    // The rules written back in the form Parse reads, days and times normalised.
    std::string Text() const;
    const std::vector<Rule>& Rules() const { return rules_; }

private:
    std::vector<Rule> rules_;
};

} // namespace nuvex
