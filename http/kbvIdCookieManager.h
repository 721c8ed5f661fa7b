// The cookie store of an HTTP client: takes the Set-Cookie values of each
// response and writes the Cookie line of each request (RFC 6265).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "http/kbvIdCookie.h"
#include "net/kbvIdComponent.h"

class TIdHeaderList;
class TIdURI;

using TIdCookieManagerEvent = std::function<void(TObject* ASender, TIdCookies& ACookieCollection)>;
// VAccept arrives true; false discards the cookie.
using TIdNewCookieEvent = std::function<void(TObject* ASender, TIdCookie& ACookie, bool& VAccept)>;

// Safe to share between threads: the collection's lock guards the list and
// the events run outside it, so they may read the collection (under
// LockCookieList) but must not add to it from inside.
class TIdCookieManager : public TIdBaseComponent {
public:
    explicit TIdCookieManager(TComponent* AOwner = nullptr);
    // Removes the expired cookies, then fires OnDestroy.
    ~TIdCookieManager() override;

    // One Set-Cookie value received for AURL: stored when parsing and
    // OnNewCookie accept it, replacing one of the same name, domain and path.
    void AddServerCookie(const std::string& ACookie, const TIdURI& AURL);
    void AddServerCookies(const TStringList& ACookies, const TIdURI& AURL);
    // Adds one "Cookie" line (never replacing one) with the cookies that apply
    // to AURL, the longest path first, then the earliest created; none when
    // none applies. Secure cookies need SecureOnly. Expired cookies are
    // removed first; the cookies sent are marked as used now.
    void GenerateClientCookies(const TIdURI& AURL, bool SecureOnly, TIdHeaderList& AHeaders);
    // Copies of ASource's cookies, each through CopyCookie.
    void AddCookies(TIdCookieManager& ASource);
    // A copy of ACookie, stored when it has a domain and OnNewCookie accepts it.
    bool CopyCookie(const TIdCookie& ACookie);

    TIdCookies& CookieCollection() { return *FCookieCollection; }

    void SetOnCreate(TIdCookieManagerEvent Value) { FOnCreate = std::move(Value); }
    void SetOnDestroy(TIdCookieManagerEvent Value) { FOnDestroy = std::move(Value); }
    void SetOnNewCookie(TIdNewCookieEvent Value) { FOnNewCookie = std::move(Value); }

protected:
    virtual void DoOnCreate();
    virtual void DoOnDestroy();
    // OnNewCookie's verdict; true without a handler.
    virtual bool DoOnNewCookie(TIdCookie& ACookie);

private:
    // OnNewCookie, then the store.
    bool StoreIfAccepted(std::unique_ptr<TIdCookie> ACookie, const TIdURI* AURL);

    std::unique_ptr<TIdCookies> FCookieCollection;
    TIdCookieManagerEvent FOnCreate;
    TIdCookieManagerEvent FOnDestroy;
    TIdNewCookieEvent FOnNewCookie;
};
