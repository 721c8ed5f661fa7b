#include "http/kbvIdGlobalProtocols_Dates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

#include "core/Exceptions.h"

namespace {

// Runs the test under a fixed local time zone and restores the one before.
class TZoneGuard {
public:
    explicit TZoneGuard(const char* AZone) {
        if (const char* Old = std::getenv("TZ"))
            FOld = Old;
        setenv("TZ", AZone, 1);
        tzset();
    }
    ~TZoneGuard() {
        if (FOld)
            setenv("TZ", FOld->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> FOld;
};

// A date-time compared to the millisecond, as text for readable failures.
std::string Show(TDateTime AValue) {
    if (AValue == 0)
        return "0";
    int Y, Mo, D, H, Mi, S, Ms;
    DecodeDateTime(AValue, Y, Mo, D, H, Mi, S, Ms);
    char Buffer[40];
    std::snprintf(Buffer, sizeof Buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Y, Mo, D, H, Mi, S, Ms);
    return Buffer;
}

// ParseInternetDate's date-time and the zone text it leaves.
std::pair<std::string, std::string> Parse(const std::string& AText) {
    std::string Text = AText;
    TDateTime Result = -1;
    if (!ParseInternetDate(Text, Result)) {
        EXPECT_EQ(Result, 0);
        return {"fails", ""};
    }
    return {Show(Result), Text};
}

using Parsed = std::pair<std::string, std::string>;

TEST(HttpDateToLocal, TheThreeHttpFormsGiveTheSameInstant) {
    TZoneGuard Zone("UTC0");
    const std::string Expected = "1994-11-06 08:49:37.000";
    EXPECT_EQ(Show(HttpDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT")), Expected);
    EXPECT_EQ(Show(HttpDateToLocal("Sunday, 06-Nov-94 08:49:37 GMT")), Expected);
    EXPECT_EQ(Show(HttpDateToLocal("Sun Nov  6 08:49:37 1994")), Expected);
}

TEST(HttpDateToLocal, ConvertsToTheLocalZoneOfThatDate) {
    TZoneGuard Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(Show(HttpDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT")), "1994-11-06 09:49:37.000");
    EXPECT_EQ(Show(HttpDateToLocal("Fri, 07 Jul 2023 08:00:00 GMT")), "2023-07-07 10:00:00.000");
    // The offset is subtracted before the conversion.
    EXPECT_EQ(Show(HttpDateToLocal("Tue,07 Apr 2023 07:33:17 +0200")), "2023-04-07 07:33:17.000");
    EXPECT_EQ(Show(HttpDateToLocal("2023-04-07T07:33:17Z")), "2023-04-07 09:33:17.000");
}

TEST(HttpDateToLocal, ZonesAndOffsets) {
    TZoneGuard Zone("UTC0");
    EXPECT_EQ(Show(HttpDateToLocal("06 Nov 1994 08:49:37 EST")), "1994-11-05 21:49:37.000");  // EST is +1100
    EXPECT_EQ(Show(HttpDateToLocal("06 Nov 1994 08:49:37 pst")), "1994-11-06 16:49:37.000");
    EXPECT_EQ(Show(HttpDateToLocal("06 Nov 1994 08:49:37 -05:30")), "1994-11-06 14:19:37.000");
    EXPECT_EQ(Show(HttpDateToLocal("06 Nov 1994 08:49:37 XYZ")), "1994-11-06 08:49:37.000");
    // The offset may carry the value over a day boundary, also before 1899-12-30.
    EXPECT_EQ(Show(HttpDateToLocal("01 Jan 1970 00:30:00 +0100")), "1969-12-31 23:30:00.000");
    EXPECT_EQ(Show(HttpDateToLocal("29 Dec 1899 23:00:00 -0200")), "1899-12-30 01:00:00.000");
}

TEST(ParseInternetDate, LeavesTheZonePart) {
    EXPECT_EQ(Parse("  Sun, 06 Nov 1994 08:49:37 GMT  "), Parsed("1994-11-06 08:49:37.000", "GMT"));
    EXPECT_EQ(Parse("Tue,07 Apr 2023 07:33:17 +0200"), Parsed("2023-04-07 07:33:17.000", "+0200"));
    EXPECT_EQ(Parse("Sun Nov  6 08:49:37 1994"), Parsed("1994-11-06 08:49:37.000", ""));
    EXPECT_EQ(Parse("06 Nov 1994"), Parsed("1994-11-06 00:00:00.000", ""));
    EXPECT_EQ(Parse("06 Nov 1994  08:49:37 GMT"), Parsed("1994-11-06 08:49:37.000", "GMT"));
    EXPECT_EQ(Parse("06 Nov 1994 08.49.37 GMT"), Parsed("1994-11-06 08:49:37.000", "GMT"));
}

TEST(ParseInternetDate, YearWindowAndTwelveHourClock) {
    EXPECT_EQ(Parse("06 Nov 49").first, "2049-11-06 00:00:00.000");
    EXPECT_EQ(Parse("06 Nov 50").first, "1950-11-06 00:00:00.000");
    EXPECT_EQ(Parse("06 Nov 123").first, "2023-11-06 00:00:00.000");
    EXPECT_EQ(Parse("06 Nov 0049").first, "0049-11-06 00:00:00.000");
    EXPECT_EQ(Parse("06 Nov 1994 12:15:00 AM").first, "1994-11-06 00:15:00.000");
    EXPECT_EQ(Parse("06 Nov 1994 01:00:00 PM").first, "1994-11-06 13:00:00.000");
    EXPECT_EQ(Parse("06 Nov 1994 12:30:00 PM").first, "1994-11-06 12:30:00.000");
    EXPECT_EQ(Parse("06 Nov 1994 11:30 AM").first, "1994-11-06 11:30:00.000");
}

TEST(ParseInternetDate, MonthNamesInSeveralLanguages) {
    EXPECT_EQ(Parse("07 Mrz 2023").first, "2023-03-07 00:00:00.000");
    EXPECT_EQ(Parse("07 janvier 2023").first, "2023-01-07 00:00:00.000");
    EXPECT_EQ(Parse("07 février 2023").first, "2023-02-07 00:00:00.000");
    EXPECT_EQ(Parse("07 AOÛT 2023").first, "2023-08-07 00:00:00.000");
    EXPECT_EQ(Parse("07-märz-2023 10:00:00").first, "2023-03-07 10:00:00.000");
    EXPECT_EQ(Parse("07-märz-2023").first, "fails");  // "-" delimits only before a blank
    EXPECT_EQ(Parse("Dec 24 2023").first, "2023-12-24 00:00:00.000");
}

TEST(ParseInternetDate, IsoForms) {
    EXPECT_EQ(Parse("2023-04-07T07:33:17Z"), Parsed("2023-04-07 07:33:17.000", "Z"));
    // The character after the fraction is skipped, so "+" is lost from the zone.
    EXPECT_EQ(Parse("2023-04-07T07:33:17.123+02:00"), Parsed("2023-04-07 07:33:17.123", "02:00"));
    EXPECT_EQ(Parse("2023-04-07T07:33Z"), Parsed("2023-04-07 07:33:00.000", "Z"));
    EXPECT_EQ(Parse("2023-04-07").first, "2023-04-07 00:00:00.000");
    EXPECT_EQ(Parse("2023").first, "2023-01-01 00:00:00.000");
    // Too short for a time, or a fraction running to the end: not ISO, and no other form fits.
    EXPECT_EQ(Parse("2023-04-07T07:33").first, "fails");
    EXPECT_EQ(Parse("2023-04-07T07:33:17").first, "fails");
    EXPECT_EQ(Parse("2023-04-07T07:33:17.123").first, "fails");
    // An impossible date or a fraction above 999 ms fails the whole parse.
    EXPECT_EQ(Parse("2023-02-30T07:33:17Z").first, "fails");
    EXPECT_EQ(Parse("2023-04-07T07:33:17.1234Z").first, "fails");
    EXPECT_EQ(Parse("2023-04-07T07:33:17.0999Z").first, "2023-04-07 07:33:17.999");

    std::string Text = "2023-02-30T07:33:17Z";
    TDateTime Result = 1;
    EXPECT_FALSE(ParseIsoDate(Text, Result));
    Text = " 2023-04-07T07:33:17+01:00 ";
    EXPECT_TRUE(ParseIsoDate(Text, Result));
    EXPECT_EQ(Text, "+01:00");
    Text = "07 Nov 2023";
    EXPECT_FALSE(ParseIsoDate(Text, Result));
    EXPECT_EQ(Text, "07 Nov 2023");
}

TEST(ParseInternetDate, MalformedTextGivesZero) {
    TZoneGuard Zone("UTC0");
    for (const char* Text : {"", "   ", "Sun,", "garbage", "32 Nov 1994", "06 Foo 1994", "06 Nov", "06 Nov abc",
                             "06 Nov 1994 25:00:00", "06 Nov 1994 10:61:00", "Nov 06 10:00:00 x", "Feb 29 2023",
                             "99999999999 Nov 1994", "06 Nov 10000"}) {
        EXPECT_EQ(Parse(Text).first, "fails") << Text;
        EXPECT_EQ(HttpDateToLocal(Text), 0) << Text;
    }
}

TEST(InternetDateNames, MonthDayAndZoneLookups) {
    EXPECT_EQ(MonthFromName("jan"), 1);
    EXPECT_EQ(MonthFromName("SEPT"), 9);
    EXPECT_EQ(MonthFromName("Mai"), 5);
    EXPECT_EQ(MonthFromName("jän"), 1);
    EXPECT_EQ(MonthFromName("Déc"), 12);
    EXPECT_EQ(MonthFromName("juI"), 7);
    EXPECT_EQ(MonthFromName("avgust"), 8);
    EXPECT_EQ(MonthFromName("Janu"), 0);
    EXPECT_EQ(MonthFromName(""), 0);
    EXPECT_EQ(MonthFromName("JAN "), 0);

    EXPECT_EQ(DayFromName("sun"), 1);
    EXPECT_EQ(DayFromName("SAT"), 7);
    EXPECT_EQ(DayFromName("Sunday"), 0);
    EXPECT_EQ(DayFromName(""), 0);

    // The first of several meanings wins.
    EXPECT_EQ(ZoneToOffsetText("EST"), "+1100");
    EXPECT_EQ(ZoneToOffsetText("cdt"), "+1030");
    EXPECT_EQ(ZoneToOffsetText("IST"), "+0100");
    EXPECT_EQ(ZoneToOffsetText("BST"), "+0100");
    EXPECT_EQ(ZoneToOffsetText("ChST"), "+1000");
    EXPECT_EQ(ZoneToOffsetText("Z"), "+0000");
    EXPECT_EQ(ZoneToOffsetText("CHADT"), "+1345");
    EXPECT_EQ(ZoneToOffsetText("NOPE"), "-0000");
    EXPECT_EQ(ZoneToOffsetText(""), "-0000");
}

TEST(InternetDateNames, OffsetToTime) {
    const TDateTime Hour = 1.0 / 24, Minute = Hour / 60;
    EXPECT_DOUBLE_EQ(OffsetToTime("+0200"), 2 * Hour);
    EXPECT_DOUBLE_EQ(OffsetToTime(" -05:30 trailing"), -(5 * Hour + 30 * Minute));
    EXPECT_DOUBLE_EQ(OffsetToTime("+09"), 9 * Hour);
    EXPECT_DOUBLE_EQ(OffsetToTime("NPT"), 5 * Hour + 45 * Minute);
    EXPECT_DOUBLE_EQ(OffsetToTime("hst"), -10 * Hour);
    for (const char* Text : {"", "+2", "+02:0", "+0a00", "+2400", "+0060", "02:00", "+12345", "UNKNOWN"})
        EXPECT_EQ(OffsetToTime(Text), 0) << Text;
}

TEST(HttpDateOutput, WritesTheRfc1123Form) {
    EXPECT_EQ(DateTimeGMTToHttpStr(EncodeDateTime(1994, 11, 6, 8, 49, 37, 0)), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(DateTimeGMTToHttpStr(EncodeDateTime(2024, 2, 29, 23, 59, 59, 0)), "Thu, 29 Feb 2024 23:59:59 GMT");
    TZoneGuard Zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(LocalDateTimeToHttpStr(EncodeDateTime(2023, 7, 7, 10, 0, 0, 0)), "Fri, 07 Jul 2023 08:00:00 GMT");
    // What is written reads back as the same instant.
    TDateTime Local = EncodeDateTime(2023, 1, 15, 13, 14, 15, 0);
    EXPECT_EQ(Show(HttpDateToLocal(LocalDateTimeToHttpStr(Local))), Show(Local));
}

// Random and truncated date texts never raise and give 0 or a valid date.
TEST(ParseInternetDate, RandomAndTruncatedTextNeverRaises) {
    TZoneGuard Zone("UTC0");
    const std::string Seeds[] = {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 -05:30",
                                 "Sun Nov  6 08:49:37 1994", "2023-04-07T07:33:17.123+02:00",
                                 "07 février 2023 12:00 PM CEST"};
    const std::string Alphabet = "0123456789 -:.,+TZAPMSunNovfévrier\t";
    std::mt19937 Random(4711);
    for (int Round = 0; Round < 5000; ++Round) {
        std::string Text;
        const std::string& Seed = Seeds[Round % 5];
        if (Round % 3 == 0) {
            Text = Seed.substr(0, Random() % (Seed.size() + 1));
        } else if (Round % 3 == 1) {
            Text = Seed;
            for (int Edits = 1 + Random() % 3; Edits > 0; --Edits)
                Text[Random() % Text.size()] = Alphabet[Random() % Alphabet.size()];
        } else {
            for (size_t Length = Random() % 32; Length > 0; --Length)
                Text.push_back(Alphabet[Random() % Alphabet.size()]);
        }
        TDateTime Local = 0;
        ASSERT_NO_THROW(Local = HttpDateToLocal(Text)) << Text;
        if (Local != 0) {
            ASSERT_NO_THROW(Show(Local)) << Text;
        }
        std::string Copy = Text;
        TDateTime Result;
        ASSERT_NO_THROW(ParseIsoDate(Copy, Result)) << Text;
        ASSERT_NO_THROW(OffsetToTime(Text)) << Text;
    }
}

}  // namespace
