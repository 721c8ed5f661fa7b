// Cookies as servers set them and clients send them back (RFC 6265): one
// cookie with its Set-Cookie and Cookie forms, the rules deciding where a
// cookie applies, and the bounded, thread-safe collection that stores them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/DateTime.h"
#include "core/Persistent.h"
#include "core/StringList.h"

class TIdURI;

// Bounds that keep a hostile server from filling memory or slowing parsing:
// - A Set-Cookie or Cookie value longer than IdCookieMaxLineLength bytes is
//   dropped before it is parsed.
// - A cookie longer than IdCookieMaxLength bytes is rejected. For a Set-Cookie
//   value that is its name, value and attribute text (all after the first
//   ";") together; for a cookie handed to a collection, its name, value,
//   domain and path together.
// - A collection keeps at most IdCookieMaxPerDomain cookies of one domain
//   (compared without case) and IdCookieMaxTotal in all. When a stored cookie
//   takes it over either, expired cookies go first; then, while still over,
//   the least recently used cookie of that domain (for the total: of all
//   domains) is removed: the earliest LastAccessed, on a tie the earliest
//   CreatedAt, on a tie the one stored first. The cookie just stored is never
//   the one removed.
constexpr size_t IdCookieMaxLineLength = 8192;
constexpr size_t IdCookieMaxLength = 4096;
constexpr int IdCookieMaxPerDomain = 50;
constexpr int IdCookieMaxTotal = 3000;

// Where every cookie rule reads "now" (local time). Null restores the system
// clock. Meant for tests: set it before cookies are used from other threads.
using TIdCookieClock = TDateTime (*)();
void SetCookieClock(TIdCookieClock AClock);
TDateTime CookieNow();

// The expiry of a cookie that lasts as long as its store: 9999-12-31 23:59:59.999.
TDateTime CookieNeverExpires();

// The cookie date of RFC 6265 section 5.1.1 as local time; 0 when invalid.
// Beside the RFC's month names a month may be a number 1 to 12; a time, day,
// month or year token followed by a further digit is not that token.
TDateTime CookieStrToLocalDateTime(std::string_view AText);

// True for an IPv4 or IPv6 address literal, bracketed or not, with or without
// an IPv6 zone; IPv4 forms the resolver takes ("127.1") count too.
bool IsIPAddressLiteral(std::string_view AHost);
// AHost domain-matches ADomain: equal without case, or AHost is a host name
// (no address literal, no leading ".") ending in "." + ADomain. Both not empty.
bool IsDomainMatch(std::string_view AHost, std::string_view ADomain);
// The request path AURIPath path-matches ACookiePath, without case.
bool IsPathMatch(std::string_view AURIPath, std::string_view ACookiePath);
// "http" or "https", without case.
bool IsHTTP(std::string_view AProtocol);

class TIdCookie : public TPersistent {
public:
    TIdCookie() = default;

    const std::string& CookieName() const { return FName; }
    void SetCookieName(std::string Value) { FName = std::move(Value); }
    const std::string& Value() const { return FValue; }
    void SetValue(std::string Value) { FValue = std::move(Value); }
    const std::string& Domain() const { return FDomain; }
    void SetDomain(std::string Value) { FDomain = std::move(Value); }
    const std::string& Path() const { return FPath; }
    void SetPath(std::string Value) { FPath = std::move(Value); }
    // Local time; 0 never expires.
    TDateTime Expires() const { return FExpires; }
    void SetExpires(TDateTime Value) { FExpires = Value; }
    bool HttpOnly() const { return FHttpOnly; }
    void SetHttpOnly(bool Value) { FHttpOnly = Value; }
    bool Secure() const { return FSecure; }
    void SetSecure(bool Value) { FSecure = Value; }
    // Whole seconds until Expires (negative once past); -1 when Expires is 0.
    int64_t MaxAge() const;
    TDateTime CreatedAt() const { return FCreatedAt; }
    void SetCreatedAt(TDateTime Value) { FCreatedAt = Value; }
    // Expires is set and now is later than it.
    bool IsExpired() const;
    bool HostOnly() const { return FHostOnly; }
    void SetHostOnly(bool Value) { FHostOnly = Value; }
    // Atomic: concurrent Cookie headers update it under the shared lock.
    TDateTime LastAccessed() const { return FLastAccessed.load(std::memory_order_relaxed); }
    void SetLastAccessed(TDateTime Value) { FLastAccessed.store(Value, std::memory_order_relaxed); }
    bool Persistent() const { return FPersistent; }
    void SetPersistent(bool Value) { FPersistent = Value; }
    const std::string& SameSite() const { return FSameSite; }
    void SetSameSite(std::string Value) { FSameSite = std::move(Value); }

    // name=value, as sent in a Cookie header.
    std::string ClientCookie() const;
    // The Set-Cookie form: name=value, then "; Path=", "; Domain=", "; Secure",
    // "; HttpOnly", "; Max-Age=", "; Expires=Wdy, DD-Mon-YYYY hh:mm:ss GMT" and
    // "; SameSite=" for what is set.
    std::string ServerCookie() const;
    std::string CookieText() const { return ServerCookie(); }

    // Reads a Set-Cookie value received for AURI. False, leaving the cookie
    // unusable, when it is to be rejected: too long, CR/LF/NUL in it, no
    // "name=", a Domain naming another site, a public suffix or set from an
    // address literal, HttpOnly from a protocol other than http(s).
    bool ParseServerCookie(const std::string& ACookieText, const TIdURI& AURI);
    // Reads one "name=value" part of a Cookie header (a quoted value is
    // unquoted); a session cookie without domain or path. False when rejected.
    bool ParseClientCookie(const std::string& ACookieText);

    // Copies every field but SameSite from another cookie.
    void Assign(const TPersistent& Source) override;

private:
    std::string FSameSite = "Lax";
    std::string FDomain;
    TDateTime FExpires = 0;
    bool FHttpOnly = false;
    std::string FName;
    std::string FPath;
    bool FSecure = false;
    std::string FValue;
    TDateTime FCreatedAt = 0;
    bool FHostOnly = false;
    std::atomic<TDateTime> FLastAccessed{0};
    bool FPersistent = false;
};

enum TIdCookieAccess { caRead, caReadWrite };

// The stored cookies in order of storing; the collection owns them.
using TIdCookieList = std::vector<std::unique_ptr<TIdCookie>>;

// The cookies of a store. Adding, replacing, removing and clearing take the
// lock for writing. Count, Cookies and the look-ups do not lock: a caller
// sharing the collection between threads holds LockCookieList around them
// (the lock is not recursive: no locking member inside it).
class TIdCookies : public TPersistent {
public:
    int Count() const { return static_cast<int>(FCookieList.size()); }
    // Raises EListError outside 0..Count()-1.
    TIdCookie& Cookies(int AIndex) const;

    // Stores ACookie; false (the cookie dropped) when it is not stored. With
    // AReplaceOld a stored cookie of the same name, domain and path (without
    // case) is replaced, keeping its CreatedAt, unless it is HttpOnly and AURI
    // is given with a protocol other than http(s). An expired cookie is not
    // stored: that is how a server deletes one.
    bool AddCookie(std::unique_ptr<TIdCookie> ACookie, const TIdURI* AURI = nullptr, bool AReplaceOld = true);
    bool AddServerCookie(const std::string& ACookie, const TIdURI& AURI);
    void AddServerCookies(const TStringList& ACookies, const TIdURI& AURI);
    bool AddClientCookie(const std::string& ACookie);
    // Each ";"-separated part of a Cookie header value.
    void AddClientCookies(const std::string& ACookies);
    void AddClientCookies(const TStringList& ACookies);

    // The first index from AFirstIndex on whose name (and domain) equal the
    // arguments without case; -1 when none.
    int GetCookieIndex(const std::string& AName, int AFirstIndex = 0) const;
    int GetCookieIndex(const std::string& AName, const std::string& ADomain, int AFirstIndex = 0) const;
    TIdCookie* GetCookieByNameAndDomain(const std::string& AName, const std::string& ADomain) const;

    // Takes the lock shared (caRead) or exclusive (caReadWrite) and returns
    // the list; every call is paired with UnlockCookieList of the same access.
    TIdCookieList& LockCookieList(TIdCookieAccess AAccessType);
    void UnlockCookieList(TIdCookieAccess AAccessType);

    void RemoveExpiredCookies();
    void Clear();

private:
    int IndexOfSame(const TIdCookie& ACookie) const;
    void RemoveExpiredLocked();
    int CountOfDomain(const std::string& ADomain) const;
    // The least recently used cookie other than AKeep, of ADomain unless null.
    void RemoveLeastRecentlyUsed(const TIdCookie* AKeep, const std::string* ADomain);
    void EnforceBounds(const TIdCookie& ANew);

    mutable std::shared_mutex FRWLock;
    TIdCookieList FCookieList;
};
