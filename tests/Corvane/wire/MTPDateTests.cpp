#include "Corvane/wire/MTPDate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

using namespace corvane;
using namespace std::chrono;

namespace {

system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s);
}

/// Sets the process's time zone for one test and puts the previous one back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) {
            m_previous = previous;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_previous) {
            setenv("TZ", m_previous->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_previous;
};

} // namespace

TEST(MTPDateTests, ParsesExplicitZones) {
    const ScopedTimeZone zone("XST-3"); // local time must not leak into texts with a zone
    const auto end = utc(2024, 1, 31, 23, 59, 59);
    EXPECT_EQ(MTPDate::parse("20240131T235959Z"), end);
    EXPECT_EQ(MTPDate::parse("20240131T235959.5Z"), end);
    EXPECT_EQ(MTPDate::parse("20240131T235959.123456Z"), end);
    EXPECT_EQ(MTPDate::parse("20240131T235959+0200"), utc(2024, 1, 31, 21, 59, 59));
    EXPECT_EQ(MTPDate::parse("20240131T235959-0130"), utc(2024, 2, 1, 1, 29, 59));
    EXPECT_EQ(MTPDate::parse("20240131T235959.0+0000"), end);
    EXPECT_EQ(MTPDate::parse("20240131T235959Zignored"), end);
    EXPECT_EQ(MTPDate::parse("20240131T235959.\u0665\u0666Z"), end); // Arabic-Indic digits are numeric
}

TEST(MTPDateTests, TextsWithoutAReadableZoneUseLocalTime) {
    const ScopedTimeZone zone("XST-3"); // three hours east of UTC, no daylight saving
    const auto local = utc(2024, 1, 31, 20, 59, 59);
    for (const char* text : {"20240131T235959", "20240131T235959.123", "20240131T235959X",
                             "20240131T235959+02", "20240131T235959+0a00", "20240131T235959+1900"}) {
        EXPECT_EQ(MTPDate::parse(text), local) << text;
    }
}

TEST(MTPDateTests, LocalTimeFollowsDaylightSaving) {
    const ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(MTPDate::parse("20240115T120000"), utc(2024, 1, 15, 17, 0, 0));
    EXPECT_EQ(MTPDate::parse("20240715T120000"), utc(2024, 7, 15, 16, 0, 0));
    // The one second that mktime also answers with -1 is a real instant, not a failure.
    const ScopedTimeZone utcZone("UTC0");
    EXPECT_EQ(MTPDate::parse("19691231T235959"), utc(1969, 12, 31, 23, 59, 59));
}

TEST(MTPDateTests, RejectsTextsThatAreNotDates) {
    for (const char* text : {"", "20240131 235959", "2024013T235959", "2024AB31T235959", "20240131t235959Z",
                             "2024-1-31T23:59:59", "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9"}) {
        EXPECT_EQ(MTPDate::parse(text), std::nullopt) << text;
    }
}

TEST(MTPDateTests, RejectsOutOfRangeFieldsInsteadOfRollingThemOver) {
    for (const char* text : {"20241301T000000Z", "20240001T000000Z", "20240100T000000Z", "20230229T000000Z",
                             "20240431T000000Z", "20240131T240000Z", "20240131T236000Z", "20240131T235960Z",
                             "20240131T-10000Z", "2024-131T000000Z"}) {
        EXPECT_EQ(MTPDate::parse(text), std::nullopt) << text;
    }
    EXPECT_EQ(MTPDate::parse("20240229T000000Z"), utc(2024, 2, 29, 0, 0, 0));
    EXPECT_EQ(MTPDate::parse("2024+131T000000Z"), utc(2024, 1, 31, 0, 0, 0)); // a signed field still reads
}

TEST(MTPDateTests, RejectsInstantsTheSystemClockCannotHold) {
    const ScopedTimeZone zone("UTC0");
    for (const char* text : {"00000101T000000Z", "+9990101T000000Z", "16000101T000000Z", "99991231T235959Z",
                             "99991231T235959", "00010101T000000"}) {
        EXPECT_EQ(MTPDate::parse(text), std::nullopt) << text;
    }
    EXPECT_EQ(MTPDate::parse("18000101T000000Z"), utc(1800, 1, 1, 0, 0, 0));
    EXPECT_EQ(MTPDate::parse("22000101T000000Z"), utc(2200, 1, 1, 0, 0, 0));
}

TEST(MTPDateTests, FormatsInUTCWhateverTheLocalZone) {
    const ScopedTimeZone zone("XST-3");
    EXPECT_EQ(MTPDate::format(utc(2024, 1, 31, 23, 59, 59) + milliseconds(700)), "20240131T235959Z");
    EXPECT_EQ(MTPDate::format(utc(1970, 1, 1, 0, 0, 0)), "19700101T000000Z");
    EXPECT_EQ(MTPDate::format(utc(1969, 12, 31, 23, 59, 59) + milliseconds(500)), "19691231T235959Z");
}

TEST(MTPDateTests, FormattedDatesParseBack) {
    const ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    for (const auto instant :
         {utc(2000, 2, 29, 12, 0, 0), utc(2038, 1, 19, 3, 14, 8), utc(1999, 12, 31, 23, 59, 59)}) {
        EXPECT_EQ(MTPDate::parse(MTPDate::format(instant)), instant);
    }
}
