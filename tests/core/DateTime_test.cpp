#include "core/DateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "core/Exceptions.h"
#include "core/Ticks.h"

namespace {
// Switches the process time zone for one test and restores it afterwards.
struct TTimeZone {
    explicit TTimeZone(const char* AZone) {
        if (const char* Old = std::getenv("TZ"))
            FOld = Old;
        setenv("TZ", AZone, 1);
        tzset();
    }
    ~TTimeZone() {
        FOld ? setenv("TZ", FOld->c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> FOld;
};

std::string Show(TDateTime AValue) {
    int Y, M, D, H, N, S, MS;
    DecodeDateTime(AValue, Y, M, D, H, N, S, MS);
    char Text[40];
    std::snprintf(Text, sizeof Text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Y, M, D, H, N, S, MS);
    return Text;
}

constexpr double Hour = 1.0 / 24;
}  // namespace

TEST(DateTime, EveryCalendarDayEncodesAndDecodes) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
    EXPECT_EQ(EncodeDate(1900, 3, 1), 61);  // 1900 is no leap year
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526);
    double Expected = -693593;  // 0001-01-01
    for (int Y = 1; Y <= 9999; ++Y)
        for (int M = 1; M <= 12; ++M)
            for (int D = 1; D <= DaysInMonth(Y, M); ++D) {
                ASSERT_EQ(EncodeDate(Y, M, D), Expected++);
                int DY, DM, DD;
                DecodeDate(Expected - 1, DY, DM, DD);
                ASSERT_TRUE(DY == Y && DM == M && DD == D) << Y << "-" << M << "-" << D;
            }
    EXPECT_EQ(DayOfWeek(EncodeDate(2024, 6, 2)), 1);  // a Sunday
}

TEST(DateTime, EncodeRejectsWhatIsNotInTheCalendarOrClock) {
    TDateTime Value = 0;
    EXPECT_TRUE(TryEncodeDate(2000, 2, 29, Value));
    for (auto [Y, M, D] : {std::tuple{1900, 2, 29}, std::tuple{0, 1, 1}, std::tuple{10000, 1, 1},
                           std::tuple{2024, 13, 1}, std::tuple{2024, 4, 31}, std::tuple{2024, 1, 0}})
        EXPECT_FALSE(TryEncodeDate(Y, M, D, Value)) << Y << "-" << M << "-" << D;
    EXPECT_EQ(Value, EncodeDate(2000, 2, 29));  // failures leave the result alone
    for (auto [H, N, S, MS] : {std::tuple{24, 0, 0, 0}, std::tuple{0, 60, 0, 0}, std::tuple{0, 0, 60, 0},
                               std::tuple{0, 0, 0, 1000}, std::tuple{-1, 0, 0, 0}})
        EXPECT_FALSE(TryEncodeTime(H, N, S, MS, Value));
    try {
        EncodeDate(2023, 2, 29);
        FAIL();
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Invalid argument to date encode");
    }
    int Y, M, D;
    EXPECT_THROW(DecodeDate(NAN, Y, M, D), EConvertError);
    EXPECT_THROW(DecodeDate(EncodeDate(1, 1, 1) - 1, Y, M, D), EConvertError);
}

TEST(DateTime, ValuesBeforeDayZeroAndUnixSeconds) {
    // Before 1899-12-30 the fraction still counts forward from midnight.
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
    EXPECT_EQ(Show(EncodeDateTime(1, 1, 1, 12, 30, 0, 1)), "0001-01-01 12:30:00.001");
    const int64_t Before = -2209161600 - 86400 + 6 * 3600;  // 1899-12-29 06:00
    EXPECT_EQ(UnixToDateTime(Before), -1.25);
    EXPECT_EQ(DateTimeToUnix(-1.25), Before);
    // Within half a millisecond of midnight the next day begins, for both parts.
    EXPECT_EQ(Show(EncodeDate(2024, 1, 1) - 1e-10), "2024-01-01 00:00:00.000");
    EXPECT_EQ(DateTimeToUnix(EncodeDateTime(2038, 1, 19, 3, 14, 8, 0)), int64_t{1} << 31);
    EXPECT_EQ(Show(UnixToDateTime(-1)), "1969-12-31 23:59:59.000");
    EXPECT_EQ(DateTimeToUnix(EncodeDateTime(1969, 12, 31, 23, 59, 59, 999)), -1);  // whole seconds, not rounded
}

TEST(DateTime, LocalAndUTCFollowTheZoneRules) {
    // Central Europe, written out so no zone database is needed.
    TTimeZone Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(Show(LocalToUTC(EncodeDateTime(2024, 1, 15, 12, 0, 0, 123))), "2024-01-15 11:00:00.123");
    EXPECT_EQ(Show(UTCToLocal(EncodeDateTime(1850, 1, 1, 12, 0, 0, 0))), "1850-01-01 13:00:00.000");

    // Hour by hour through a year: the offset switches on the right hours and
    // local time maps back, except where clocks go back and it is ambiguous.
    TDateTime SpringUTC = EncodeDateTime(2024, 3, 31, 1, 0, 0, 0);
    TDateTime AutumnUTC = EncodeDateTime(2024, 10, 27, 1, 0, 0, 0);
    for (int I = 0; I < 366 * 24; ++I) {
        TDateTime UTC = UnixToDateTime(DateTimeToUnix(EncodeDate(2024, 1, 1)) + I * 3600);
        bool Summer = UTC > SpringUTC - 1e-9 && UTC < AutumnUTC - 1e-9;
        TDateTime Local = UTCToLocal(UTC);
        ASSERT_NEAR(Local - UTC, (Summer ? 2 : 1) * Hour, 1e-9) << Show(UTC);
        double Miss = std::abs(LocalToUTC(Local) - UTC);
        if (UTC > AutumnUTC - 1.5 * Hour && UTC < AutumnUTC + 0.5 * Hour)
            EXPECT_TRUE(Miss < 1e-9 || std::abs(Miss - Hour) < 1e-9) << Show(UTC);
        else
            ASSERT_LT(Miss, 1e-9) << Show(UTC);
    }
}

TEST(DateTime, NowAndTicksFollowTheirClocks) {
    TTimeZone Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    TDateTime Before = UTCToLocal(UnixToDateTime(std::time(nullptr) - 1));
    TDateTime Current = Now();
    EXPECT_LE(Before, Current);
    // time() may read a coarser clock that lags the precise one by a tick.
    EXPECT_LE(Current, UTCToLocal(UnixToDateTime(std::time(nullptr) + 2)));
    TDateTime Today = Date();
    EXPECT_TRUE(Today == std::floor(Current) || Today == std::floor(Current) + 1);

    uint64_t Start = GetTickCount64();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t Elapsed = GetTickDiff64(Start, GetTickCount64());
    EXPECT_GE(Elapsed, 20u);
    EXPECT_LT(Elapsed, 10000u);
    EXPECT_EQ(GetTickDiff64(UINT64_MAX - 4, 5), 10u);  // across a wrap
}
