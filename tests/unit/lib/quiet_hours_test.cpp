#include "lib/quiet_hours.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

constexpr int Mon = 0, Fri = 4, Sat = 5, Sun = 6;
int At(int h, int m) {
    return h * 60 + m;
}

struct QuietRow {
    const char* text;
    int weekday;
    int minute;
    bool quiet;
};

TEST(QuietHoursTest, RulesHoldOnTheirDaysAndAcrossMidnight) {
    const QuietRow rows[] = {
        {"Mon-Fri 22:00-07:00", Mon, At(23, 0), true},
        {"Mon-Fri 22:00-07:00", Mon, At(21, 59), false},
        {"Mon-Fri 22:00-07:00", Sat, At(6, 59), true}, // Friday's night
        {"Mon-Fri 22:00-07:00", Sat, At(7, 0), false},
        {"Mon-Fri 22:00-07:00", Mon, At(3, 0), false}, // Sunday had no night
        {"Mon-Fri 22:00-07:00", Sat, At(23, 0), false},
        {"Sat,Sun 00:00-24:00", Sun, At(23, 59), true},
        {"Sat,Sun 00:00-24:00", Mon, At(0, 0), false},
        {"sat-mon 12:00-13:00", Sun, At(12, 30), true}, // a range of days that wraps
        {"Sat-Mon 12:00-13:00", Fri, At(12, 30), false},
        {"Mon 09:00-10:00; Fri 9:00-10:00", Fri, At(9, 0), true},
        {"Mon 09:00-10:00; Fri 9:00-10:00", Fri, At(10, 0), false},
        {"", Mon, At(12, 0), false},
    };
    for (const QuietRow& row : rows) {
        auto hours = QuietHours::Parse(row.text);
        ASSERT_TRUE(hours) << row.text;
        EXPECT_EQ(hours->Contains(row.weekday, row.minute), row.quiet)
            << row.text << " day " << row.weekday << " minute " << row.minute;
    }
}

TEST(QuietHoursTest, TextIsNormalisedAndBadTextRefusedWithAReason) {
    EXPECT_EQ(QuietHours::Parse(" mon,TUE,Wed-Fri  7:05-24:00 ;Sun 23:00-01:00")->Text(),
              "Mon-Fri 07:05-24:00; Sun 23:00-01:00");
    for (const char* bad : {"Mon", "22:00-07:00", "Mon-Fry 22:00-07:00", "Mon 22:00", "Mon 22:00-22:00",
                            "Mon 24:00-01:00", "Mon 7:60-8:00", "Mon 123:00-124:00", "Mon 22:00-07:00x"}) {
        std::string why;
        EXPECT_FALSE(QuietHours::Parse(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

} // namespace
} // namespace nuvex
