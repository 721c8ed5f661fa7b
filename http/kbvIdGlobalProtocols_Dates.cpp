#include "http/kbvIdGlobalProtocols_Dates.h"

#include <cmath>
#include <limits>
#include <utility>

#include "core/Exceptions.h"
#include "core/Format.h"
#include "core/Text.h"
#include "net/kbvIdGlobal.h"

namespace {
// Rows in search order; entry j - 1 of a row names month j, or is empty.
constexpr std::u16string_view MonthNames[15][12] = {
    {u"JAN", u"FEB", u"MAR", u"APR", u"MAY", u"JUN", u"JUL", u"AUG", u"SEP", u"OCT", u"NOV", u"DEC"},
    {u"JANUARY", u"FEBRUARY", u"MARCH", u"APRIL", u"", u"JUNE", u"JULY", u"AUGUST", u"SEPTEMBER", u"OCTOBER",
     u"NOVEMBER", u"DECEMBER"},
    {u"", u"", u"", u"", u"", u"", u"", u"", u"SEPT", u"", u"", u""},
    {u"JÄN", u"", u"MRZ", u"", u"MAI", u"JUNI", u"JULI", u"", u"", u"OKT", u"", u"DEZ"},
    {u"JANUAR", u"FEBRUAR", u"MÄRZ", u"", u"MAI", u"", u"", u"", u"", u"OKTOBER", u"", u"DEZEMBER"},
    {u"ENO", u"FBRO", u"MZO", u"ABR", u"", u"", u"", u"AGTO", u"SBRE", u"OBRE", u"NBRE", u"DBRE"},
    {u"ENERO", u"FBRERO", u"MARZO", u"ABRIL", u"MAYO", u"JUNIO", u"JULIO", u"AGOSTO", u"SEPTIEMBRE", u"OCTUBRE",
     u"NOVIEMBRE", u"DICIEMBRE"},
    {u"", u"", u"", u"AB", u"", u"", u"", u"", u"SET", u"", u"", u"DIC"},
    {u"", u"", u"MRT", u"", u"", u"", u"", u"", u"", u"", u"", u""},
    {u"JANUARI", u"FEBRUARI", u"MAART", u"", u"MEI", u"", u"", u"AUGUSTUS", u"", u"", u"", u""},
    {u"JANV", u"FÉV", u"", u"AVR", u"", u"", u"JUIL", u"AOÛ", u"", u"", u"", u"DÉC"},
    {u"JANVIER", u"FÉVRIER", u"MARS", u"AVRIL", u"", u"JUIN", u"JUILLET", u"AOÛT", u"SEPTEMBRE", u"OCTOBRE",
     u"NOVEMBRE", u"DÉCEMBRE"},
    {u"", u"FÉVR", u"", u"", u"", u"", u"JUI", u"", u"", u"", u"", u""},
    {u"", u"", u"", u"", u"", u"", u"", u"AVG", u"", u"", u"", u""},
    {u"", u"", u"MAREC", u"", u"MAJ", u"JUNJI", u"JULIJ", u"AVGUST", u"", u"", u"", u""},
};

constexpr std::string_view DayNames[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

// Searched in order; an abbreviation with several meanings takes its first.
constexpr std::pair<std::string_view, std::string_view> Zones[] = {
    {"A", "+0100"}, {"ACDT", "+1030"}, {"ACST", "+0930"}, {"ACT", "+0800"}, {"ADT", "-0300"}, {"AEDT", "+1100"},
    {"AEST", "+1000"}, {"AFT", "+0430"}, {"AKDT", "-0800"}, {"AKST", "-0900"}, {"AMST", "-0300"}, {"AMST", "+0500"},
    {"AMT", "-0400"}, {"AMT", "+0400"}, {"ART", "-0300"}, {"AST", "-0400"}, {"AST", "+0300"}, {"AWDT", "+0900"},
    {"AWST", "+0800"}, {"AZOST", "-0100"}, {"AZT", "+0400"}, {"B", "+0200"}, {"BDT", "+0800"}, {"BIOT", "+0600"},
    {"BIT", "-1200"}, {"BOT", "-0400"}, {"BRT", "-0300"}, {"BST", "+0100"}, {"BST", "+0600"}, {"BTT", "+0600"},
    {"C", "+0300"}, {"CAT", "+0200"}, {"CCT", "+0630"}, {"CDT", "+1030"}, {"CDT", "-0500"}, {"CEDT", "+0200"},
    {"CEST", "+0200"}, {"CET", "+0100"}, {"CHADT", "+1345"}, {"CHAST", "+1245"}, {"CHOT", "+0800"},
    {"ChST", "+1000"}, {"CHUT", "+1000"}, {"CIST", "-0800"}, {"CIT", "+0800"}, {"CKT", "-1000"}, {"CLST", "-0300"},
    {"CLT", "-0400"}, {"COST", "-0400"}, {"COT", "-0500"}, {"CST", "+1030"}, {"CST", "+0930"}, {"CST", "-0600"},
    {"CST", "+0800"}, {"CST", "-0500"}, {"CT", "+0800"}, {"CVT", "-0100"}, {"CWST", "+0845"}, {"CXT", "+0700"},
    {"D", "+0400"}, {"DAVT", "+0700"}, {"DDUT", "+1000"}, {"DFT", "+0100"}, {"E", "+0500"}, {"EASST", "-0500"},
    {"EAST", "-0600"}, {"EAT", "+0300"}, {"ECT", "-0400"}, {"ECT", "-0500"}, {"EDT", "+1100"}, {"EDT", "-0400"},
    {"EEDT", "+0300"}, {"EEST", "+0300"}, {"EET", "+0200"}, {"EGST", "+0000"}, {"EGT", "-0100"}, {"EIT", "+0900"},
    {"EST", "+1100"}, {"EST", "+1000"}, {"EST", "-0500"}, {"F", "+0600"}, {"FET", "+0300"}, {"FJT", "+1200"},
    {"FKST", "-0300"}, {"FKST", "-0300"}, {"FKT", "-0400"}, {"FNT", "-0200"}, {"G", "+0700"}, {"GALT", "-0600"},
    {"GAMT", "-0900"}, {"GET", "+0400"}, {"GFT", "-0300"}, {"GILT", "+1200"}, {"GIT", "-0900"}, {"GMT", "+0000"},
    {"GST", "-0200"}, {"GST", "+0400"}, {"GYT", "-0400"}, {"H", "+0800"}, {"HAA", "-0300"}, {"HAC", "-0500"},
    {"HADT", "-0900"}, {"HAE", "-0400"}, {"HAEC", "+0200"}, {"HAP", "-0700"}, {"HAR", "-0600"}, {"HAST", "-1000"},
    {"HAT", "-0230"}, {"HAY", "-0800"}, {"HKT", "+0800"}, {"HMT", "+0500"}, {"HNA", "-0400"}, {"HNC", "-0600"},
    {"HNE", "-0500"}, {"HNP", "-0800"}, {"HNR", "-0700"}, {"HNT", "-0330"}, {"HNY", "-0900"}, {"HOVT", "+0700"},
    {"HST", "-1000"}, {"I", "+0900"}, {"ICT", "+0700"}, {"IDT", "+0300"}, {"IOT", "+0300"}, {"IRDT", "+0430"},
    {"IRKT", "+0900"}, {"IRST", "+0330"}, {"IST", "+0100"}, {"IST", "+0530"}, {"IST", "+0200"}, {"JST", "+0900"},
    {"K", "+1000"}, {"KGT", "+0600"}, {"KOST", "+1100"}, {"KRAT", "+0700"}, {"KST", "+0900"}, {"L", "+1100"},
    {"LHST", "+1030"}, {"LHST", "+1100"}, {"LINT", "+1400"}, {"M", "+1200"}, {"MAGT", "+1200"}, {"MART", "-0930"},
    {"MAWT", "+0500"}, {"MDT", "-0600"}, {"MEHSZ", "+0300"}, {"MEST", "+0200"}, {"MESZ", "+0200"}, {"MET", "+0100"},
    {"MEZ", "+0100"}, {"MHT", "+1200"}, {"MIST", "+1100"}, {"MIT", "-0930"}, {"MMT", "+0630"}, {"MSD", "+0400"},
    {"MSK", "+0300"}, {"MST", "-0700"}, {"MST", "+0800"}, {"MST", "+0630"}, {"MUT", "+0400"}, {"MVT", "+0500"},
    {"MYT", "+0800"}, {"N", "-0100"}, {"NCT", "+1100"}, {"NDT", "-0230"}, {"NFT", "+1130"}, {"NPT", "+0545"},
    {"NST", "-0330"}, {"NT", "-0330"}, {"NUT", "-1100"}, {"NZDT", "+1300"}, {"NZST", "+1200"}, {"O", "-0200"},
    {"OMST", "+0700"}, {"ORAT", "+0500"}, {"P", "-0300"}, {"PDT", "-0700"}, {"PET", "-0500"}, {"PETT", "+1200"},
    {"PGT", "+1000"}, {"PHOT", "+1300"}, {"PKT", "+0500"}, {"PMDT", "-0200"}, {"PMST", "-0300"}, {"PONT", "+1100"},
    {"PST", "-0800"}, {"PST", "+0800"}, {"PYST", "-0300"}, {"PYT", "-0400"}, {"Q", "-0400"}, {"R", "-0500"},
    {"RET", "+0400"}, {"ROTT", "-0300"}, {"S", "-0600"}, {"SAKT", "+1100"}, {"SAMT", "+0400"}, {"SAST", "+0200"},
    {"SBT", "+1100"}, {"SCT", "+0400"}, {"SGT", "+0800"}, {"SLST", "+0530"}, {"SRT", "-0300"}, {"SST", "-1100"},
    {"SST", "+0800"}, {"SYOT", "+0300"}, {"T", "-0700"}, {"TAHT", "-1000"}, {"THA", "+0700"}, {"TFT", "+0500"},
    {"TJT", "+0500"}, {"TKT", "+1300"}, {"TLT", "+0900"}, {"TMT", "+0500"}, {"TOT", "+1300"}, {"TVT", "+1200"},
    {"U", "-0800"}, {"UCT", "+0000"}, {"ULAT", "+0800"}, {"UT", "+0000"}, {"UTC", "+0000"}, {"UYST", "-0200"},
    {"UYT", "-0300"}, {"UZT", "+0500"}, {"V", "-0900"}, {"VET", "-0430"}, {"VLAT", "+1000"}, {"VOLT", "+0400"},
    {"VOST", "+0600"}, {"VUT", "+1100"}, {"W", "-1000"}, {"WAKT", "+1200"}, {"WAST", "+0200"}, {"WAT", "+0100"},
    {"WDT", "+0900"}, {"WEDT", "+0100"}, {"WEST", "+0100"}, {"WET", "+0000"}, {"WIT", "+0700"}, {"WST", "+0900"},
    {"WST", "+0800"}, {"X", "-1100"}, {"Y", "-1200"}, {"YAKT", "+1000"}, {"YEKT", "+0600"}, {"Z", "+0000"},
};

// The capital of a Latin, Greek or Cyrillic small letter; other characters unchanged.
char16_t UpperChar(char16_t C) {
    if ((C >= u'a' && C <= u'z') || (C >= 0xE0 && C <= 0xFE && C != 0xF7) || (C >= 0x3B1 && C <= 0x3CB && C != 0x3C2) ||
        (C >= 0x430 && C <= 0x44F))
        return static_cast<char16_t>(C - 0x20);
    if (C == 0xFF)
        return 0x178;
    if (C >= 0x450 && C <= 0x45F)
        return static_cast<char16_t>(C - 0x50);
    // Latin Extended-A pairs capital and small letter as neighbours.
    if ((C >= 0x100 && C <= 0x137) || (C >= 0x14A && C <= 0x177))
        return static_cast<char16_t>(C & ~1u);
    if (((C >= 0x139 && C <= 0x148) || (C >= 0x179 && C <= 0x17E)) && C % 2 == 0)
        return static_cast<char16_t>(C - 1);
    return C;
}

TIdWideChars UpperText(std::string_view AText) {
    TIdWideChars Result = UTF8ToUTF16(AText);
    for (char16_t& C : Result)
        C = UpperChar(C);
    return Result;
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// The text before the first ADelim; VText continues after it, or is emptied when there is none.
std::string Fetch(std::string& VText, std::string_view ADelim) {
    size_t Pos = VText.find(ADelim);
    std::string Token = VText.substr(0, Pos);
    VText = Pos == std::string::npos ? std::string() : VText.substr(Pos + ADelim.size());
    return Token;
}

std::string Peek(const std::string& AText, std::string_view ADelim) { return AText.substr(0, AText.find(ADelim)); }

// 1-based position of ASub in AText, 0 when it does not occur.
size_t Pos(const std::string& AText, std::string_view ASub) {
    size_t P = AText.find(ASub);
    return P == std::string::npos ? 0 : P + 1;
}

// A signed decimal integer (the token trimmed first); false when it is not one or out of range.
bool TryNumber(std::string_view AToken, int& VValue) {
    const std::string_view Text = Trim(AToken);
    size_t I = !Text.empty() && (Text[0] == '+' || Text[0] == '-') ? 1 : 0;
    if (I == Text.size())
        return false;
    long long Value = 0;
    for (size_t J = I; J < Text.size(); ++J) {
        if (!IsDigit(Text[J]))
            return false;
        Value = Value * 10 + (Text[J] - '0');
        if (Value > std::numeric_limits<int>::max())
            return false;
    }
    VValue = static_cast<int>(Text[0] == '-' ? -Value : Value);
    return true;
}

int NumberOr(std::string_view AToken, int ADefault) {
    int Value;
    return TryNumber(AToken, Value) ? Value : ADefault;
}

// Where a number is required: anything else is a conversion error.
int Number(std::string_view AToken) {
    int Value;
    if (!TryNumber(AToken, Value))
        throw EConvertError(Format("'%s' is not a valid integer value", std::string(AToken)));
    return Value;
}

// Before 1899-12-30 a date-time is a negative day with a fraction that still
// counts forward from midnight, so adding a time there means subtracting it.
TDateTime AddTime(TDateTime ADate, TDateTime ATime) { return ADate < 0 ? ADate - ATime : ADate + ATime; }

// Shifts by ADays on the continuous time line, across that sign convention.
TDateTime ShiftDateTime(TDateTime AValue, TDateTime ADays) {
    double Day = std::trunc(AValue);
    double Linear = (AValue < 0 ? Day + std::fabs(AValue - Day) : AValue) + ADays;
    if (Linear >= 0)
        return Linear;
    double Whole = std::floor(Linear);
    return Whole - (Linear - Whole);
}

// True and VText cut to the zone part for an ISO 8601 date-time; false
// (VText untouched) when the text is not in that form. VText is trimmed.
// An impossible date or time raises EConvertError.
bool ReadIsoDate(std::string& VText, TDateTime& VResult) {
    const std::string& S = VText;
    size_t L = S.size();
    auto At = [&](size_t APos) { return APos <= L ? S[APos - 1] : '\0'; };  // 1-based
    auto Digits = [&](size_t AFrom, size_t ACount) {
        for (size_t P = AFrom; P < AFrom + ACount; ++P)
            if (!IsDigit(At(P)))
                return false;
        return true;
    };
    auto Value = [&](size_t AFrom, size_t ACount) { return Number(S.substr(AFrom - 1, ACount)); };

    if (!Digits(1, 4))
        return false;
    int Year = Value(1, 4), Month = 1, Day = 1, Hour = 0, Min = 0, Sec = 0, MSec = 0;
    size_t Rest = 5;
    if (L >= 5) {
        if (At(5) != '-' || !Digits(6, 2))
            return false;
        Month = Value(6, 2);
        Rest = 8;
    }
    if (L >= 8) {
        if (At(8) != '-' || !Digits(9, 2))
            return false;
        Day = Value(9, 2);
        Rest = 11;
    }
    if (L > 10) {
        if (At(11) != 'T' || !Digits(12, 2) || At(14) != ':' || !Digits(15, 2) || L < 17)
            return false;
        Hour = Value(12, 2);
        Min = Value(15, 2);
        Rest = 17;
        if (At(17) == ':') {
            if (!Digits(18, 2) || L < 20)
                return false;
            Sec = Value(18, 2);
            Rest = 20;
            if (At(20) == '.') {
                size_t End = 21;  // the first character after the fraction's digits
                while (End <= L && IsDigit(At(End)))
                    ++End;
                if (End > L)
                    return false;
                MSec = Number(S.substr(20, End - 21));
                Rest = End + 1;
            }
        }
    }
    VResult = EncodeDateTime(Year, Month, Day, Hour, Min, Sec, MSec);
    VText = Rest > L ? std::string() : S.substr(Rest - 1);
    return true;
}

// The date and time of the forms other than ISO 8601; VText is left with the
// zone part. Raises EConvertError where a number or a valid date is missing.
TDateTime ReadDateAndTime(std::string& VText) {
    if (DayFromName(VText.substr(0, 3)) != 0) {
        if (VText.size() >= 5 && VText[3] == ',' && VText[4] != ' ')
            VText = VText.substr(0, 4) + " " + VText.substr(4);
        Fetch(VText, " ");
        VText = TrimLeft(VText);
    }

    size_t Dash = Pos(VText, "-");
    std::string_view Delim = Dash >= 2 && Dash < Pos(VText, " ") ? "-" : " ";
    int Month, Day;
    if (MonthFromName(Peek(VText, Delim)) != 0) {
        Month = MonthFromName(Fetch(VText, Delim));
        VText = TrimLeft(VText);
        Day = NumberOr(Fetch(VText, Delim), 1);
    } else {
        Day = Number(Fetch(VText, Delim));
        VText = TrimLeft(VText);
        Month = MonthFromName(Fetch(VText, Delim));
    }
    VText = TrimLeft(VText);

    std::string YearText = Fetch(VText, " ");
    int Year = NumberOr(YearText, -1);
    if (Year == -1) {  // asctime: the time stands before the year
        std::string Time = YearText;
        YearText = Fetch(VText, " ");
        VText = TrimRight(Time + " " + VText);
        Year = Number(YearText);
    }
    VText = TrimLeft(VText);  // tolerate several blanks before the time
    size_t YearLength = Trim(YearText).size();
    if (YearLength == 2 && Year >= 0 && Year <= 49)
        Year += 2000;
    else if ((YearLength == 2 && Year >= 50 && Year <= 99) || YearLength == 3)
        Year += 1900;
    TDateTime Result = EncodeDate(Year, Month, Day);

    bool AM = false, PM = false;
    if (size_t P = VText.find("AM"); P != std::string::npos) {
        VText.erase(P);
        AM = true;
    } else if (P = VText.find("PM"); P != std::string::npos) {
        VText.erase(P);
        PM = true;
    }
    size_t Dot = Pos(VText, ".");
    std::string_view Sep = Dot >= 1 && Dot < Pos(VText, " ") ? "." : ":";
    if (VText.find(Sep) != std::string::npos) {
        std::string Time = Fetch(VText, " ");
        int Hour = NumberOr(Fetch(Time, Sep), 0);
        int Min = NumberOr(Fetch(Time, Sep), 0);
        int Sec = NumberOr(Fetch(Time, " "), 0);
        if (AM && Hour == 12)
            Hour = 0;
        else if (PM && Hour < 12)
            Hour += 12;
        Result = AddTime(Result, EncodeTime(Hour, Min, Sec, 0));
    }
    VText = TrimLeft(VText);
    return Result;
}
}  // namespace

TDateTime HttpDateToLocal(const std::string& AText) {
    std::string Text = AText;
    TDateTime Result;
    if (!ParseInternetDate(Text, Result))
        return 0;
    try {
        return UTCToLocal(ShiftDateTime(Result, -OffsetToTime(Text)));
    } catch (const EConvertError&) {  // shifted out of the calendar's range
        return 0;
    }
}

bool ParseInternetDate(std::string& VText, TDateTime& VResult) {
    VResult = 0;
    std::string Text(Trim(VText));
    if (Text.empty())
        return false;
    try {
        if (!ReadIsoDate(Text, VResult))
            VResult = ReadDateAndTime(Text);
    } catch (const EConvertError&) {
        VResult = 0;
        return false;
    }
    VText = std::move(Text);
    return true;
}

bool ParseIsoDate(std::string& VText, TDateTime& VResult) {
    std::string Text(Trim(VText));
    TDateTime Result = 0;
    try {
        if (!ReadIsoDate(Text, Result))
            return false;
    } catch (const EConvertError&) {
        return false;
    }
    VText = std::move(Text);
    VResult = Result;
    return true;
}

int MonthFromName(std::string_view AName) {
    if (AName.empty())
        return 0;
    TIdWideChars Name = UpperText(AName);
    for (const auto& Row : MonthNames)
        for (int Month = 1; Month <= 12; ++Month)
            if (Row[Month - 1] == Name)
                return Month;
    return 0;
}

int DayFromName(std::string_view AName) {
    for (int Day = 1; Day <= 7; ++Day)
        if (TextIsSame(AName, DayNames[Day - 1]))
            return Day;
    return 0;
}

std::string ZoneToOffsetText(std::string_view AZone) {
    for (const auto& [Name, Offset] : Zones)
        if (TextIsSame(AZone, Name))
            return std::string(Offset);
    return "-0000";
}

TDateTime OffsetToTime(std::string_view AZone) {
    std::string Token(Trim(AZone));
    Token = Fetch(Token, " ");
    if (Token.empty())
        return 0;
    if (Token[0] == '+' || Token[0] == '-') {
        if (Token.size() == 6 && Token[3] == ':')
            Token.erase(3, 1);
        else if (Token.size() == 3)
            Token += "00";
    } else {
        Token = ZoneToOffsetText(Token);
    }
    if (Token.size() != 5 || !IsDigit(Token[1]) || !IsDigit(Token[2]) || !IsDigit(Token[3]) || !IsDigit(Token[4]))
        return 0;
    TDateTime Offset;
    if (!TryEncodeTime(std::stoi(Token.substr(1, 2)), std::stoi(Token.substr(3, 2)), 0, 0, Offset))
        return 0;
    return Token[0] == '-' ? -Offset : Offset;
}

std::string DateTimeGMTToHttpStr(TDateTime AGMT) {
    static constexpr const char* Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static constexpr const char* Days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDateTime(AGMT, Year, Month, Day, Hour, Min, Sec, MSec);
    return Format("%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", Days[DayOfWeek(AGMT) - 1], Day, Months[Month - 1], Year, Hour,
                  Min, Sec);
}

std::string LocalDateTimeToHttpStr(TDateTime ALocal) { return DateTimeGMTToHttpStr(LocalToUTC(ALocal)); }
