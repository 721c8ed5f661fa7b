// The date-time type and its conversions. A TDateTime counts days since
// 1899-12-30 00:00; the fraction is the time of day. Before that day the value
// is negative and its fraction still counts forward from midnight:
// -1.25 is 1899-12-29 06:00. Dates run from the year 1 to 9999.
#pragma once

#include <cstdint>

using TDateTime = double;

// Days from 1899-12-30 to 1970-01-01.
constexpr TDateTime UnixDateDelta = 25569;

bool IsLeapYear(int AYear);
// 0 for a month outside 1..12.
int DaysInMonth(int AYear, int AMonth);

// The Try forms return false for arguments outside the calendar or clock;
// the others raise EConvertError "Invalid argument to date encode" /
// "Invalid argument to time encode".
bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult);
bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult);
TDateTime EncodeDate(int AYear, int AMonth, int ADay);
TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec);
TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMin, int ASec, int AMSec);

// Values are taken to the nearest millisecond first, so date and time agree.
// A value outside the years 1 to 9999 raises EConvertError.
void DecodeDate(TDateTime AValue, int& AYear, int& AMonth, int& ADay);
void DecodeTime(TDateTime AValue, int& AHour, int& AMin, int& ASec, int& AMSec);
void DecodeDateTime(TDateTime AValue, int& AYear, int& AMonth, int& ADay, int& AHour, int& AMin, int& ASec,
                    int& AMSec);
// 1 for Sunday to 7 for Saturday.
int DayOfWeek(TDateTime AValue);

// Local time of the system clock, to the millisecond; Date() without the time.
TDateTime Now();
TDateTime Date();

// Through the C library's time-zone rules (TZ). A local time that occurs twice
// when clocks go back maps to either instant; one skipped when they go
// forward is taken as the C library normalises it.
TDateTime LocalToUTC(TDateTime AValue);
TDateTime UTCToLocal(TDateTime AValue);

// Whole seconds since 1970-01-01 00:00 UTC; a fraction of a second is dropped.
int64_t DateTimeToUnix(TDateTime AValue);
TDateTime UnixToDateTime(int64_t AValue);
