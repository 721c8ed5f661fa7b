#include "core/DateTime.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "core/Exceptions.h"

namespace {
constexpr int64_t MSecsPerDay = 86400000;
constexpr int64_t MSecsPerSec = 1000;
constexpr int64_t FirstDay = -693593;  // 0001-01-01
constexpr int64_t LastDay = 2958465;   // 9999-12-31

int64_t FloorDiv(int64_t A, int64_t B) { return A / B - (A % B != 0 && (A < 0) != (B < 0)); }
int64_t FloorMod(int64_t A, int64_t B) { return A - FloorDiv(A, B) * B; }

// Day number of a proleptic Gregorian date, counted from 1899-12-30. The
// calendar is shifted to start in March so the leap day ends the year.
int64_t DayFromCivil(int64_t Year, int Month, int Day) {
    Year -= Month <= 2;
    int64_t Era = FloorDiv(Year, 400);
    int64_t YearOfEra = Year - Era * 400;
    int64_t DayOfYear = (153 * (Month > 2 ? Month - 3 : Month + 9) + 2) / 5 + Day - 1;
    int64_t DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
    return Era * 146097 + DayOfEra - 719468 + static_cast<int64_t>(UnixDateDelta);
}

void CivilFromDay(int64_t DayNumber, int& Year, int& Month, int& Day) {
    int64_t Z = DayNumber - static_cast<int64_t>(UnixDateDelta) + 719468;
    int64_t Era = FloorDiv(Z, 146097);
    int64_t DayOfEra = Z - Era * 146097;
    int64_t YearOfEra = (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
    int64_t DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
    int64_t ShiftedMonth = (5 * DayOfYear + 2) / 153;
    Day = static_cast<int>(DayOfYear - (153 * ShiftedMonth + 2) / 5 + 1);
    Month = static_cast<int>(ShiftedMonth < 10 ? ShiftedMonth + 3 : ShiftedMonth - 9);
    Year = static_cast<int>(YearOfEra + Era * 400 + (Month <= 2));
}

// A date-time split into its day number and the milliseconds into that day.
struct TDayAndTime {
    int64_t Day;
    int64_t MSec;
};

TDayAndTime Split(TDateTime AValue) {
    // The bound keeps llround in range; the day check below is the real one.
    if (!std::isfinite(AValue) || std::fabs(AValue) > 1e7)
        throw EConvertError("Invalid date-time value");
    int64_t Total = std::llround(AValue * MSecsPerDay);
    TDayAndTime Result{Total / MSecsPerDay, std::abs(Total % MSecsPerDay)};
    if (Result.Day < FirstDay || Result.Day > LastDay)
        throw EConvertError("Invalid date-time value");
    return Result;
}

TDateTime Compose(int64_t Day, int64_t MSec) {
    TDateTime Time = static_cast<double>(MSec) / MSecsPerDay;
    return Day < 0 ? static_cast<double>(Day) - Time : static_cast<double>(Day) + Time;
}

int64_t ToUnixMSec(TDateTime AValue) {
    TDayAndTime Parts = Split(AValue);
    return (Parts.Day - static_cast<int64_t>(UnixDateDelta)) * MSecsPerDay + Parts.MSec;
}

TDateTime FromUnixMSec(int64_t AValue) {
    return Compose(FloorDiv(AValue, MSecsPerDay) + static_cast<int64_t>(UnixDateDelta), FloorMod(AValue, MSecsPerDay));
}

TDateTime FromBrokenDown(const std::tm& ATime, int AMSec) {
    // A leap second (tm_sec 60) has no place in a TDateTime.
    int Sec = ATime.tm_sec > 59 ? 59 : ATime.tm_sec;
    return EncodeDateTime(ATime.tm_year + 1900, ATime.tm_mon + 1, ATime.tm_mday, ATime.tm_hour, ATime.tm_min, Sec,
                          AMSec);
}

TDateTime LocalFromUnixMSec(int64_t AValue) {
    std::time_t Seconds = static_cast<std::time_t>(FloorDiv(AValue, MSecsPerSec));
    std::tm Local{};
    if (!localtime_r(&Seconds, &Local))
        throw EConvertError("Invalid date-time value");
    return FromBrokenDown(Local, static_cast<int>(FloorMod(AValue, MSecsPerSec)));
}
}  // namespace

bool IsLeapYear(int AYear) { return AYear % 4 == 0 && (AYear % 100 != 0 || AYear % 400 == 0); }

int DaysInMonth(int AYear, int AMonth) {
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (AMonth < 1 || AMonth > 12)
        return 0;
    return Days[AMonth - 1] + (AMonth == 2 && IsLeapYear(AYear));
}

bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult) {
    if (AYear < 1 || AYear > 9999 || ADay < 1 || ADay > DaysInMonth(AYear, AMonth))
        return false;
    AResult = static_cast<double>(DayFromCivil(AYear, AMonth, ADay));
    return true;
}

bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult) {
    if (AHour < 0 || AHour > 23 || AMin < 0 || AMin > 59 || ASec < 0 || ASec > 59 || AMSec < 0 || AMSec > 999)
        return false;
    int64_t MSec = ((AHour * 60LL + AMin) * 60 + ASec) * MSecsPerSec + AMSec;
    AResult = static_cast<double>(MSec) / MSecsPerDay;
    return true;
}

TDateTime EncodeDate(int AYear, int AMonth, int ADay) {
    TDateTime Result;
    if (!TryEncodeDate(AYear, AMonth, ADay, Result))
        throw EConvertError("Invalid argument to date encode");
    return Result;
}

TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec) {
    TDateTime Result;
    if (!TryEncodeTime(AHour, AMin, ASec, AMSec, Result))
        throw EConvertError("Invalid argument to time encode");
    return Result;
}

TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMin, int ASec, int AMSec) {
    TDateTime Day = EncodeDate(AYear, AMonth, ADay);
    TDateTime Time = EncodeTime(AHour, AMin, ASec, AMSec);
    return Day < 0 ? Day - Time : Day + Time;
}

void DecodeDate(TDateTime AValue, int& AYear, int& AMonth, int& ADay) {
    CivilFromDay(Split(AValue).Day, AYear, AMonth, ADay);
}

void DecodeTime(TDateTime AValue, int& AHour, int& AMin, int& ASec, int& AMSec) {
    int64_t MSec = Split(AValue).MSec;
    AMSec = static_cast<int>(MSec % 1000);
    ASec = static_cast<int>(MSec / 1000 % 60);
    AMin = static_cast<int>(MSec / 60000 % 60);
    AHour = static_cast<int>(MSec / 3600000);
}

void DecodeDateTime(TDateTime AValue, int& AYear, int& AMonth, int& ADay, int& AHour, int& AMin, int& ASec,
                    int& AMSec) {
    DecodeDate(AValue, AYear, AMonth, ADay);
    DecodeTime(AValue, AHour, AMin, ASec, AMSec);
}

int DayOfWeek(TDateTime AValue) {
    // 1899-12-30 was a Saturday.
    return static_cast<int>(FloorMod(Split(AValue).Day + 6, 7)) + 1;
}

TDateTime Now() {
    std::timespec Clock{};
    clock_gettime(CLOCK_REALTIME, &Clock);
    return LocalFromUnixMSec(Clock.tv_sec * MSecsPerSec + Clock.tv_nsec / 1000000);
}

TDateTime Date() { return Compose(Split(Now()).Day, 0); }

TDateTime LocalToUTC(TDateTime AValue) {
    TDayAndTime Parts = Split(AValue);
    std::tm Local{};
    CivilFromDay(Parts.Day, Local.tm_year, Local.tm_mon, Local.tm_mday);
    Local.tm_year -= 1900;
    Local.tm_mon -= 1;
    int64_t Seconds = Parts.MSec / MSecsPerSec;
    Local.tm_hour = static_cast<int>(Seconds / 3600);
    Local.tm_min = static_cast<int>(Seconds / 60 % 60);
    Local.tm_sec = static_cast<int>(Seconds % 60);
    Local.tm_isdst = -1;  // let the zone rules decide
    errno = 0;
    std::time_t UTC = std::mktime(&Local);
    if (UTC == static_cast<std::time_t>(-1) && errno != 0)
        throw EConvertError("Invalid date-time value");
    return FromUnixMSec(UTC * MSecsPerSec + Parts.MSec % MSecsPerSec);
}

TDateTime UTCToLocal(TDateTime AValue) { return LocalFromUnixMSec(ToUnixMSec(AValue)); }

int64_t DateTimeToUnix(TDateTime AValue) { return FloorDiv(ToUnixMSec(AValue), MSecsPerSec); }

TDateTime UnixToDateTime(int64_t AValue) {
    return Compose(FloorDiv(AValue, 86400) + static_cast<int64_t>(UnixDateDelta), FloorMod(AValue, 86400) * MSecsPerSec);
}
