// Internet dates: a forgiving reader for the date forms found in HTTP headers
// (RFC 1123, RFC 850, asctime, ISO 8601 and many variants) and the writer of
// the one form HTTP sends. None of the readers raises: a text that cannot be
// read gives 0.
#pragma once

#include <string>
#include <string_view>

#include "core/DateTime.h"

// The local date-time of an Internet date; 0 when the text is empty or unreadable.
TDateTime HttpDateToLocal(const std::string& AText);

// Reads a date and time in the zone the text names and leaves VText holding
// what follows them (the zone part). False, with VResult 0, on failure.
bool ParseInternetDate(std::string& VText, TDateTime& VResult);
// Reads an ISO 8601 date-time ("2023-04-07T07:33:17.123Z") and leaves VText
// holding its zone part. False when the text is not in that form, leaving
// VText alone; an impossible date or time also gives false.
bool ParseIsoDate(std::string& VText, TDateTime& VResult);

// 1 to 12 for a month name in one of several languages (letter case ignored,
// accented letters too); 0 when none.
int MonthFromName(std::string_view AName);
// 1 (Sunday) to 7 for "Sun" to "Sat" in any letter case; 0 otherwise.
int DayFromName(std::string_view AName);
// The offset ("+hhmm" / "-hhmm") of a zone abbreviation, letter case ignored;
// "-0000" for an unknown one. Ambiguous abbreviations take their first meaning
// in the table ("EST" is +1100).
std::string ZoneToOffsetText(std::string_view AZone);
// The offset of a zone text (+hhmm, +hh:mm, +hh or an abbreviation) as a
// fraction of a day, positive east of Greenwich; 0 when empty or malformed.
TDateTime OffsetToTime(std::string_view AZone);

// "Sun, 06 Nov 1994 08:49:37 GMT". Raise EConvertError for values outside the
// years 1 to 9999.
std::string DateTimeGMTToHttpStr(TDateTime AGMT);
std::string LocalDateTimeToHttpStr(TDateTime ALocal);
