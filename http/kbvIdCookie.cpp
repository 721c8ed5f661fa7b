#include "http/kbvIdCookie.h"

#include <arpa/inet.h>
#include <libpsl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>

#include "core/Exceptions.h"
#include "core/Format.h"
#include "core/Text.h"
#include "http/kbvIdURI.h"
#include "net/kbvIdGlobal.h"

namespace {

std::atomic<TIdCookieClock> GClock{nullptr};

constexpr std::array<const char*, 12> MonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> DayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr double SecondsPerDay = 86400;

TDateTime EarliestDate() { return EncodeDate(1, 1, 1); }

bool IsDigit(char C) { return C >= '0' && C <= '9'; }
bool IsLetter(char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); }

// CR and LF would split the request line a cookie is written into; NUL cuts it.
bool HasForbiddenByte(std::string_view AText) {
    return AText.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// ---- the cookie date (RFC 6265 5.1.1) ----

bool IsDateDelimiter(unsigned char C) {
    return C == 0x09 || (C >= 0x20 && C <= 0x2F) || (C >= 0x3B && C <= 0x40) || (C >= 0x5B && C <= 0x60) ||
           (C >= 0x7B && C <= 0x7E);
}

// AMinDigits to AMaxDigits digits at VPos, not followed by another digit.
bool ReadNumber(std::string_view AToken, size_t& VPos, size_t AMinDigits, size_t AMaxDigits, int& VValue) {
    size_t End = VPos;
    while (End < AToken.size() && IsDigit(AToken[End]))
        ++End;
    size_t Count = End - VPos;
    if (Count < AMinDigits || Count > AMaxDigits)
        return false;
    VValue = 0;
    for (; VPos < End; ++VPos)
        VValue = VValue * 10 + (AToken[VPos] - '0');
    return true;
}

bool MatchTime(std::string_view AToken, int& VHour, int& VMin, int& VSec) {
    size_t Pos = 0;
    return ReadNumber(AToken, Pos, 1, 2, VHour) && Pos < AToken.size() && AToken[Pos++] == ':' &&
           ReadNumber(AToken, Pos, 1, 2, VMin) && Pos < AToken.size() && AToken[Pos++] == ':' &&
           ReadNumber(AToken, Pos, 1, 2, VSec);
}

bool MatchLeadingNumber(std::string_view AToken, size_t AMinDigits, size_t AMaxDigits, int& VValue) {
    size_t Pos = 0;
    return ReadNumber(AToken, Pos, AMinDigits, AMaxDigits, VValue);
}

bool MatchMonth(std::string_view AToken, int& VMonth) {
    if (AToken.size() >= 3 && IsLetter(AToken[0]) && IsLetter(AToken[1]) && IsLetter(AToken[2])) {
        for (size_t I = 0; I < MonthNames.size(); ++I)
            if (TextIsSame(AToken.substr(0, 3), MonthNames[I])) {
                VMonth = static_cast<int>(I) + 1;
                return true;
            }
        return false;
    }
    return MatchLeadingNumber(AToken, 1, 2, VMonth);
}

struct TCookieDateParts {
    std::optional<std::array<int, 3>> Time;
    std::optional<int> Day, Month, Year;
};

void TakeDateToken(std::string_view AToken, TCookieDateParts& VParts) {
    int A = 0, B = 0, C = 0;
    if (!VParts.Time && MatchTime(AToken, A, B, C))
        VParts.Time = std::array<int, 3>{A, B, C};
    else if (!VParts.Day && MatchLeadingNumber(AToken, 1, 2, A))
        VParts.Day = A;
    else if (!VParts.Month && MatchMonth(AToken, A))
        VParts.Month = A;
    else if (!VParts.Year && MatchLeadingNumber(AToken, 2, 4, A))
        VParts.Year = A;
}

// UTC to local, held inside the years 1 to 9999 where the zone shift leaves them.
TDateTime ClampedUTCToLocal(TDateTime AUTC) {
    try {
        return UTCToLocal(AUTC);
    } catch (const EConvertError&) {
        return AUTC > 0 ? CookieNeverExpires() : EarliestDate();
    }
}

// ---- attributes ----

// A value starting with a double quote is the text up to the next one.
std::string_view Unquote(std::string_view AValue) {
    if (AValue.empty() || AValue[0] != '"')
        return AValue;
    AValue.remove_prefix(1);
    return AValue.substr(0, AValue.find('"'));
}

// An optional "-" and digits, as whole seconds; saturates instead of overflowing.
bool ReadWholeSeconds(std::string_view AText, int64_t& VSeconds) {
    bool Negative = !AText.empty() && AText[0] == '-';
    std::string_view Digits = AText.substr(Negative ? 1 : 0);
    if (Digits.empty() || !std::all_of(Digits.begin(), Digits.end(), IsDigit))
        return false;
    constexpr int64_t Limit = std::numeric_limits<int64_t>::max() / 10 - 9;
    int64_t Value = 0;
    for (char C : Digits)
        Value = Value > Limit ? Limit : Value * 10 + (C - '0');
    VSeconds = Negative ? -Value : Value;
    return true;
}

// Now plus ASeconds; zero or fewer is the earliest date (already expired).
TDateTime ExpiryAfter(int64_t ASeconds, TDateTime ANow) {
    if (ASeconds <= 0)
        return EarliestDate();
    return std::min(ANow + static_cast<double>(ASeconds) / SecondsPerDay, CookieNeverExpires());
}

// The Path attribute's default: the URI's directory without its last "/", or "/".
std::string DefaultPath(const TIdURI& AURI) {
    const std::string& Path = AURI.Path();
    size_t LastSlash = Path.rfind('/');
    if (Path.empty() || Path[0] != '/' || LastSlash == 0)
        return "/";
    return Path.substr(0, LastSlash);
}

// The processed Domain attribute: no leading ".", no port, lower case.
std::string DomainAttribute(std::string_view AValue) {
    if (!AValue.empty() && AValue[0] == '.')
        AValue.remove_prefix(1);
    return LowerCase(AValue.substr(0, AValue.find(':')));
}

// The attributes of a Set-Cookie value that a cookie keeps.
struct TSetCookieAttributes {
    std::optional<int64_t> MaxAge;
    std::optional<TDateTime> Expires;
    std::optional<std::string> Domain;
    std::optional<std::string> Path;
    bool Secure = false;
    bool HttpOnly = false;
};

// One "name=value" attribute; unrecognised and unreadable ones change nothing,
// so that of repeated attributes the last usable one counts.
void TakeAttribute(std::string_view APart, TDateTime ANow, TSetCookieAttributes& VAttributes) {
    APart = Trim(APart);
    size_t Equals = APart.find('=');
    std::string_view Name = Trim(APart.substr(0, Equals));
    std::string_view Value =
        Equals == std::string_view::npos ? std::string_view() : Unquote(Trim(APart.substr(Equals + 1)));
    int64_t Seconds = 0;
    if (TextIsSame(Name, "Expires")) {
        if (ReadWholeSeconds(Value, Seconds))
            VAttributes.Expires = ExpiryAfter(Seconds, ANow);
        else if (TDateTime Date = CookieStrToLocalDateTime(Value); Date != 0)
            VAttributes.Expires = Date;
    } else if (TextIsSame(Name, "Max-Age")) {
        if (ReadWholeSeconds(Value, Seconds))
            VAttributes.MaxAge = Seconds;
    } else if (TextIsSame(Name, "Domain")) {
        if (!Value.empty())
            VAttributes.Domain = DomainAttribute(Value);
    } else if (TextIsSame(Name, "Path")) {
        VAttributes.Path = std::string(Value);
    } else if (TextIsSame(Name, "Secure")) {
        VAttributes.Secure = true;
    } else if (TextIsSame(Name, "HttpOnly")) {
        VAttributes.HttpOnly = true;
    }
}

// ---- the public-suffix list ----

const psl_ctx_t* PublicSuffixList() {
    // The newer of libpsl's built-in list and the system's (publicsuffix).
    static const psl_ctx_t* const List = [] {
        const psl_ctx_t* Latest = psl_latest(nullptr);
        return Latest ? Latest : psl_builtin();
    }();
    return List;
}

bool IsPublicSuffix(const std::string& ADomain) {
    const psl_ctx_t* List = PublicSuffixList();
    return List && psl_is_public_suffix(List, ADomain.c_str());
}

// ADomain (processed, lower case) may scope a cookie set by AHost (lower case).
bool IsAcceptableCookieDomain(const std::string& AHost, const std::string& ADomain) {
    if (IsIPAddressLiteral(AHost) || IsIPAddressLiteral(ADomain) || !IsDomainMatch(AHost, ADomain))
        return false;
    const psl_ctx_t* List = PublicSuffixList();
    return !List || psl_is_cookie_domain_acceptable(List, AHost.c_str(), ADomain.c_str());
}

std::string CookieDateText(TDateTime ALocal) {
    TDateTime UTC;
    try {
        UTC = std::clamp(LocalToUTC(ALocal), EarliestDate(), CookieNeverExpires());
    } catch (const EConvertError&) {
        UTC = ALocal > 0 ? CookieNeverExpires() : EarliestDate();
    }
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDateTime(UTC, Year, Month, Day, Hour, Min, Sec, MSec);
    return Format("%s, %.2d-%s-%.4d %.2d:%.2d:%.2d GMT", DayNames[DayOfWeek(UTC) - 1], Day, MonthNames[Month - 1],
                  Year, Hour, Min, Sec);
}

bool TooLong(const TIdCookie& ACookie) {
    return ACookie.CookieName().size() + ACookie.Value().size() + ACookie.Domain().size() + ACookie.Path().size() >
           IdCookieMaxLength;
}

bool IsStorable(const TIdCookie& ACookie) {
    return !ACookie.CookieName().empty() && !TooLong(ACookie) && !HasForbiddenByte(ACookie.CookieName()) &&
           !HasForbiddenByte(ACookie.Value()) && !HasForbiddenByte(ACookie.Domain()) &&
           !HasForbiddenByte(ACookie.Path());
}

}  // namespace

void SetCookieClock(TIdCookieClock AClock) { GClock.store(AClock); }

TDateTime CookieNow() {
    TIdCookieClock Clock = GClock.load();
    return Clock ? Clock() : Now();
}

TDateTime CookieNeverExpires() {
    static const TDateTime Never = EncodeDateTime(9999, 12, 31, 23, 59, 59, 999);
    return Never;
}

TDateTime CookieStrToLocalDateTime(std::string_view AText) {
    TCookieDateParts Parts;
    size_t Pos = 0;
    while (Pos < AText.size()) {
        while (Pos < AText.size() && IsDateDelimiter(static_cast<unsigned char>(AText[Pos])))
            ++Pos;
        size_t End = Pos;
        while (End < AText.size() && !IsDateDelimiter(static_cast<unsigned char>(AText[End])))
            ++End;
        if (End > Pos)
            TakeDateToken(AText.substr(Pos, End - Pos), Parts);
        Pos = End;
    }
    if (!Parts.Time || !Parts.Day || !Parts.Month || !Parts.Year)
        return 0;
    int Year = *Parts.Year;
    if (Year >= 70 && Year <= 99)
        Year += 1900;
    else if (Year <= 69)
        Year += 2000;
    auto [Hour, Min, Sec] = *Parts.Time;
    TDateTime Day = 0, Time = 0;
    if (Year < 1601 || *Parts.Day < 1 || *Parts.Day > 31 || !TryEncodeDate(Year, *Parts.Month, *Parts.Day, Day) ||
        !TryEncodeTime(Hour, Min, Sec, 0, Time))
        return 0;
    return ClampedUTCToLocal(EncodeDateTime(Year, *Parts.Month, *Parts.Day, Hour, Min, Sec, 0));
}

bool IsIPAddressLiteral(std::string_view AHost) {
    if (AHost.size() >= 2 && AHost.front() == '[' && AHost.back() == ']')
        AHost = AHost.substr(1, AHost.size() - 2);
    if (AHost.empty() || AHost.size() > 64)
        return false;
    std::string Host(AHost.substr(0, AHost.find('%')));  // an IPv6 zone is no part of the address
    in_addr IPv4{};
    in6_addr IPv6{};
    // inet_aton also takes the short forms ("127.1") resolvers accept.
    return inet_aton(Host.c_str(), &IPv4) != 0 || inet_pton(AF_INET6, Host.c_str(), &IPv6) == 1;
}

bool IsDomainMatch(std::string_view AHost, std::string_view ADomain) {
    if (AHost.empty() || ADomain.empty())
        return false;
    if (TextIsSame(AHost, ADomain))
        return true;
    return AHost.size() > ADomain.size() && TextEndsWith(AHost, ADomain) &&
           AHost[AHost.size() - ADomain.size() - 1] == '.' && AHost[0] != '.' && !IsIPAddressLiteral(AHost);
}

bool IsPathMatch(std::string_view AURIPath, std::string_view ACookiePath) {
    if (TextIsSame(AURIPath, ACookiePath))
        return true;
    return TextStartsWith(AURIPath, ACookiePath) &&
           ((!ACookiePath.empty() && ACookiePath.back() == '/') || AURIPath[ACookiePath.size()] == '/');
}

bool IsHTTP(std::string_view AProtocol) { return TextIsSame(AProtocol, "http") || TextIsSame(AProtocol, "https"); }

// ---- TIdCookie ----

int64_t TIdCookie::MaxAge() const {
    if (FExpires == 0)
        return -1;
    // Through whole milliseconds, so that 60 s of days reads back as 60, not 59.
    auto MSec = static_cast<int64_t>(std::llround((FExpires - CookieNow()) * SecondsPerDay * 1000));
    return MSec >= 0 ? MSec / 1000 : -((-MSec + 999) / 1000);
}

bool TIdCookie::IsExpired() const { return FExpires != 0 && CookieNow() > FExpires; }

std::string TIdCookie::ClientCookie() const { return FName + "=" + FValue; }

std::string TIdCookie::ServerCookie() const {
    std::string Result = ClientCookie();
    if (!FPath.empty())
        Result += "; Path=" + FPath;
    if (!FDomain.empty())
        Result += "; Domain=" + FDomain;
    if (FSecure)
        Result += "; Secure";
    if (FHttpOnly)
        Result += "; HttpOnly";
    if (int64_t Seconds = MaxAge(); Seconds >= 0)
        Result += "; Max-Age=" + std::to_string(Seconds);
    if (FExpires != 0)
        Result += "; Expires=" + CookieDateText(FExpires);
    if (!FSameSite.empty())
        Result += "; SameSite=" + FSameSite;
    return Result;
}

bool TIdCookie::ParseServerCookie(const std::string& ACookieText, const TIdURI& AURI) {
    if (ACookieText.size() > IdCookieMaxLineLength || HasForbiddenByte(ACookieText))
        return false;
    std::string_view Text = ACookieText;
    size_t Semicolon = Text.find(';');
    std::string_view Pair = Text.substr(0, Semicolon);
    std::string_view Attributes = Semicolon == std::string_view::npos ? std::string_view() : Text.substr(Semicolon + 1);
    size_t Equals = Pair.find('=');
    if (Equals == std::string_view::npos)
        return false;
    std::string_view Name = Trim(Pair.substr(0, Equals));
    std::string_view Value = Trim(Pair.substr(Equals + 1));
    if (Name.empty() || Name.size() + Value.size() + Attributes.size() > IdCookieMaxLength)
        return false;

    const TDateTime Time = CookieNow();
    TSetCookieAttributes Attrs;
    for (size_t Start = 0; Start < Attributes.size();) {
        size_t End = std::min(Attributes.find(';', Start), Attributes.size());
        TakeAttribute(Attributes.substr(Start, End - Start), Time, Attrs);
        Start = End + 1;
    }

    FName = Name;
    FValue = Value;
    FCreatedAt = Time;
    SetLastAccessed(Time);
    FPersistent = Attrs.MaxAge || Attrs.Expires;
    FExpires = Attrs.MaxAge ? ExpiryAfter(*Attrs.MaxAge, Time) : Attrs.Expires.value_or(CookieNeverExpires());

    const std::string Host = LowerCase(AURI.Host());
    if (Host.empty())
        return false;
    if (Attrs.Domain && !Attrs.Domain->empty()) {
        if (!IsAcceptableCookieDomain(Host, *Attrs.Domain))
            return false;
        FDomain = *Attrs.Domain;
        // A public suffix may only name the host itself, which keeps the cookie to it.
        FHostOnly = IsPublicSuffix(FDomain);
    } else {
        FDomain = Host;
        FHostOnly = true;
    }
    FPath = Attrs.Path && !Attrs.Path->empty() && (*Attrs.Path)[0] == '/' ? *Attrs.Path : DefaultPath(AURI);
    FSecure = Attrs.Secure;
    FHttpOnly = Attrs.HttpOnly;
    return !FHttpOnly || IsHTTP(AURI.Protocol());
}

bool TIdCookie::ParseClientCookie(const std::string& ACookieText) {
    if (ACookieText.size() > IdCookieMaxLength || HasForbiddenByte(ACookieText))
        return false;
    std::string_view Text = Trim(ACookieText);
    size_t Equals = Text.find('=');
    if (Equals == std::string_view::npos)
        return false;
    std::string_view Name = Trim(Text.substr(0, Equals));
    if (Name.empty())
        return false;
    const TDateTime Time = CookieNow();
    FName = Name;
    FValue = Unquote(Trim(Text.substr(Equals + 1)));
    FExpires = CookieNeverExpires();
    FPersistent = false;
    FCreatedAt = Time;
    SetLastAccessed(Time);
    return true;
}

void TIdCookie::Assign(const TPersistent& Source) {
    const auto* Other = dynamic_cast<const TIdCookie*>(&Source);
    if (!Other) {
        TPersistent::Assign(Source);
        return;
    }
    FDomain = Other->FDomain;
    FExpires = Other->FExpires;
    FHttpOnly = Other->FHttpOnly;
    FName = Other->FName;
    FPath = Other->FPath;
    FSecure = Other->FSecure;
    FValue = Other->FValue;
    FCreatedAt = Other->FCreatedAt;
    FHostOnly = Other->FHostOnly;
    SetLastAccessed(Other->LastAccessed());
    FPersistent = Other->FPersistent;
}

// ---- TIdCookies ----

TIdCookie& TIdCookies::Cookies(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        throw EListError(Format("List index out of bounds (%d)", AIndex));
    return *FCookieList[static_cast<size_t>(AIndex)];
}

int TIdCookies::IndexOfSame(const TIdCookie& ACookie) const {
    for (size_t I = 0; I < FCookieList.size(); ++I) {
        const TIdCookie& Stored = *FCookieList[I];
        if (TextIsSame(Stored.CookieName(), ACookie.CookieName()) && TextIsSame(Stored.Domain(), ACookie.Domain()) &&
            TextIsSame(Stored.Path(), ACookie.Path()))
            return static_cast<int>(I);
    }
    return -1;
}

bool TIdCookies::AddCookie(std::unique_ptr<TIdCookie> ACookie, const TIdURI* AURI, bool AReplaceOld) {
    if (!ACookie || !IsStorable(*ACookie))
        return false;
    std::unique_lock Lock(FRWLock);
    if (AReplaceOld) {
        if (int Index = IndexOfSame(*ACookie); Index >= 0) {
            TIdCookie& Old = *FCookieList[static_cast<size_t>(Index)];
            if (AURI && !IsHTTP(AURI->Protocol()) && Old.HttpOnly())
                return false;
            ACookie->SetCreatedAt(Old.CreatedAt());
            FCookieList.erase(FCookieList.begin() + Index);
        }
    }
    if (ACookie->IsExpired())
        return false;
    FCookieList.push_back(std::move(ACookie));
    EnforceBounds(*FCookieList.back());
    return true;
}

int TIdCookies::CountOfDomain(const std::string& ADomain) const {
    return static_cast<int>(std::count_if(FCookieList.begin(), FCookieList.end(),
                                          [&](const auto& Cookie) { return TextIsSame(Cookie->Domain(), ADomain); }));
}

void TIdCookies::RemoveLeastRecentlyUsed(const TIdCookie* AKeep, const std::string* ADomain) {
    auto Oldest = FCookieList.end();
    for (auto It = FCookieList.begin(); It != FCookieList.end(); ++It) {
        const TIdCookie& Cookie = **It;
        if (&Cookie == AKeep || (ADomain && !TextIsSame(Cookie.Domain(), *ADomain)))
            continue;
        if (Oldest == FCookieList.end() || Cookie.LastAccessed() < (*Oldest)->LastAccessed() ||
            (Cookie.LastAccessed() == (*Oldest)->LastAccessed() && Cookie.CreatedAt() < (*Oldest)->CreatedAt()))
            Oldest = It;
    }
    if (Oldest != FCookieList.end())
        FCookieList.erase(Oldest);
}

void TIdCookies::EnforceBounds(const TIdCookie& ANew) {
    const std::string Domain = ANew.Domain();
    auto OverDomain = [&] { return CountOfDomain(Domain) > IdCookieMaxPerDomain; };
    auto OverTotal = [&] { return Count() > IdCookieMaxTotal; };
    if (!OverDomain() && !OverTotal())
        return;
    RemoveExpiredLocked();
    while (OverDomain())
        RemoveLeastRecentlyUsed(&ANew, &Domain);
    while (OverTotal())
        RemoveLeastRecentlyUsed(&ANew, nullptr);
}

bool TIdCookies::AddServerCookie(const std::string& ACookie, const TIdURI& AURI) {
    auto Cookie = std::make_unique<TIdCookie>();
    return Cookie->ParseServerCookie(ACookie, AURI) && AddCookie(std::move(Cookie), &AURI);
}

void TIdCookies::AddServerCookies(const TStringList& ACookies, const TIdURI& AURI) {
    for (int I = 0; I < ACookies.Count(); ++I)
        AddServerCookie(ACookies.Strings(I), AURI);
}

bool TIdCookies::AddClientCookie(const std::string& ACookie) {
    auto Cookie = std::make_unique<TIdCookie>();
    return Cookie->ParseClientCookie(ACookie) && AddCookie(std::move(Cookie));
}

void TIdCookies::AddClientCookies(const std::string& ACookies) {
    if (ACookies.size() > IdCookieMaxLineLength)
        return;
    std::string_view Text = ACookies;
    for (size_t Start = 0; Start <= Text.size();) {
        size_t End = std::min(Text.find(';', Start), Text.size());
        if (std::string_view Part = Trim(Text.substr(Start, End - Start)); !Part.empty())
            AddClientCookie(std::string(Part));
        Start = End + 1;
    }
}

void TIdCookies::AddClientCookies(const TStringList& ACookies) {
    for (int I = 0; I < ACookies.Count(); ++I)
        AddClientCookies(ACookies.Strings(I));
}

int TIdCookies::GetCookieIndex(const std::string& AName, int AFirstIndex) const {
    for (int I = std::max(AFirstIndex, 0); I < Count(); ++I)
        if (TextIsSame(FCookieList[static_cast<size_t>(I)]->CookieName(), AName))
            return I;
    return -1;
}

int TIdCookies::GetCookieIndex(const std::string& AName, const std::string& ADomain, int AFirstIndex) const {
    for (int I = std::max(AFirstIndex, 0); I < Count(); ++I) {
        const TIdCookie& Cookie = *FCookieList[static_cast<size_t>(I)];
        if (TextIsSame(Cookie.CookieName(), AName) && TextIsSame(Cookie.Domain(), ADomain))
            return I;
    }
    return -1;
}

TIdCookie* TIdCookies::GetCookieByNameAndDomain(const std::string& AName, const std::string& ADomain) const {
    int Index = GetCookieIndex(AName, ADomain);
    return Index < 0 ? nullptr : FCookieList[static_cast<size_t>(Index)].get();
}

TIdCookieList& TIdCookies::LockCookieList(TIdCookieAccess AAccessType) {
    if (AAccessType == caRead)
        FRWLock.lock_shared();
    else
        FRWLock.lock();
    return FCookieList;
}

void TIdCookies::UnlockCookieList(TIdCookieAccess AAccessType) {
    if (AAccessType == caRead)
        FRWLock.unlock_shared();
    else
        FRWLock.unlock();
}

void TIdCookies::RemoveExpiredLocked() {
    std::erase_if(FCookieList, [](const auto& Cookie) { return Cookie->IsExpired(); });
}

void TIdCookies::RemoveExpiredCookies() {
    std::unique_lock Lock(FRWLock);
    RemoveExpiredLocked();
}

void TIdCookies::Clear() {
    std::unique_lock Lock(FRWLock);
    FCookieList.clear();
}
