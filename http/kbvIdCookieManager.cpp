#include "http/kbvIdCookieManager.h"

#include <algorithm>
#include <vector>

#include "http/kbvIdHeaderList.h"
#include "http/kbvIdURI.h"
#include "net/kbvIdGlobal.h"

namespace {

// Holds a collection's lock for a scope.
class TCookieListLock {
public:
    TCookieListLock(TIdCookies& ACookies, TIdCookieAccess AAccess)
        : FCookies(ACookies), FAccess(AAccess), FList(ACookies.LockCookieList(AAccess)) {}
    ~TCookieListLock() { FCookies.UnlockCookieList(FAccess); }
    TCookieListLock(const TCookieListLock&) = delete;
    TCookieListLock& operator=(const TCookieListLock&) = delete;
    TIdCookieList& List() { return FList; }

private:
    TIdCookies& FCookies;
    TIdCookieAccess FAccess;
    TIdCookieList& FList;
};

bool AppliesTo(const TIdCookie& ACookie, const std::string& AHost, const std::string& APath, bool ASecureOnly,
               bool AIsHTTP) {
    bool HostMatches =
        ACookie.HostOnly() ? TextIsSame(AHost, ACookie.Domain()) : IsDomainMatch(AHost, ACookie.Domain());
    return HostMatches && IsPathMatch(APath, ACookie.Path()) && (!ACookie.Secure() || ASecureOnly) &&
           (!ACookie.HttpOnly() || AIsHTTP) && !ACookie.IsExpired();
}

}  // namespace

TIdCookieManager::TIdCookieManager(TComponent* AOwner)
    : TIdBaseComponent(AOwner), FCookieCollection(std::make_unique<TIdCookies>()) {
    DoOnCreate();
}

TIdCookieManager::~TIdCookieManager() {
    FCookieCollection->RemoveExpiredCookies();
    DoOnDestroy();
}

void TIdCookieManager::DoOnCreate() {
    if (FOnCreate)
        FOnCreate(this, *FCookieCollection);
}

void TIdCookieManager::DoOnDestroy() {
    if (FOnDestroy)
        FOnDestroy(this, *FCookieCollection);
}

bool TIdCookieManager::DoOnNewCookie(TIdCookie& ACookie) {
    bool Accept = true;
    if (FOnNewCookie)
        FOnNewCookie(this, ACookie, Accept);
    return Accept;
}

bool TIdCookieManager::StoreIfAccepted(std::unique_ptr<TIdCookie> ACookie, const TIdURI* AURL) {
    return DoOnNewCookie(*ACookie) && FCookieCollection->AddCookie(std::move(ACookie), AURL, true);
}

void TIdCookieManager::AddServerCookie(const std::string& ACookie, const TIdURI& AURL) {
    auto Cookie = std::make_unique<TIdCookie>();
    if (Cookie->ParseServerCookie(ACookie, AURL))
        StoreIfAccepted(std::move(Cookie), &AURL);
}

void TIdCookieManager::AddServerCookies(const TStringList& ACookies, const TIdURI& AURL) {
    for (int I = 0; I < ACookies.Count(); ++I)
        AddServerCookie(ACookies.Strings(I), AURL);
}

void TIdCookieManager::GenerateClientCookies(const TIdURI& AURL, bool SecureOnly, TIdHeaderList& AHeaders) {
    FCookieCollection->RemoveExpiredCookies();
    const std::string& Host = AURL.Host();
    // The whole request path (RFC 6265 section 5.4): a cookie for /a/b
    // belongs to the resource /a/b, not only to what lies under /a/b/.
    const std::string Path = (AURL.Path().empty() ? std::string("/") : AURL.Path()) + AURL.Document();
    const bool HTTP = IsHTTP(AURL.Protocol());
    std::string Line;
    {
        TCookieListLock Lock(*FCookieCollection, caRead);
        std::vector<TIdCookie*> Selected;
        if (!Host.empty())
            for (const auto& Cookie : Lock.List())
                if (AppliesTo(*Cookie, Host, Path, SecureOnly, HTTP))
                    Selected.push_back(Cookie.get());
        std::stable_sort(Selected.begin(), Selected.end(), [](const TIdCookie* A, const TIdCookie* B) {
            if (A->Path().size() != B->Path().size())
                return A->Path().size() > B->Path().size();
            return A->CreatedAt() < B->CreatedAt();
        });
        const TDateTime Time = CookieNow();
        for (TIdCookie* Cookie : Selected) {
            Cookie->SetLastAccessed(Time);
            if (!Line.empty())
                Line += "; ";
            Line += Cookie->ClientCookie();
        }
    }
    if (!Line.empty())
        AHeaders.AddValue("Cookie", Line);
}

void TIdCookieManager::AddCookies(TIdCookieManager& ASource) {
    // Copied out first, so no two locks are ever held at once (and a manager
    // may take its own cookies).
    std::vector<std::unique_ptr<TIdCookie>> Copies;
    {
        TCookieListLock Lock(ASource.CookieCollection(), caRead);
        for (const auto& Cookie : Lock.List()) {
            Copies.push_back(std::make_unique<TIdCookie>());
            Copies.back()->Assign(*Cookie);
        }
    }
    for (auto& Copy : Copies)
        if (!Copy->Domain().empty())
            StoreIfAccepted(std::move(Copy), nullptr);
}

bool TIdCookieManager::CopyCookie(const TIdCookie& ACookie) {
    if (ACookie.Domain().empty())
        return false;
    auto Copy = std::make_unique<TIdCookie>();
    Copy->Assign(ACookie);
    return StoreIfAccepted(std::move(Copy), nullptr);
}
