// The parameters of finished authentications, kept per URL.
#pragma once

#include <memory>
#include <vector>

#include "core/Component.h"
#include "core/StringList.h"
#include "http/kbvIdURI.h"

class TIdAuthentication;

// One finished authentication: where, and the object's Params then.
class TIdAuthenticationItem : public TObject {
public:
    TIdURI& URL() { return FURL; }
    const TIdURI& URL() const { return FURL; }
    TStringList& Params() { return FParams; }
    const TStringList& Params() const { return FParams; }

private:
    TIdURI FURL;
    TStringList FParams;
};

class TIdAuthenticationCollection : public TObject {
public:
    TIdAuthenticationItem* Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises EListError outside 0..Count-1.
    TIdAuthenticationItem* Items(int AIndex) const;
    void Delete(int AIndex);
    void Clear() { FItems.clear(); }

private:
    std::vector<std::unique_ptr<TIdAuthenticationItem>> FItems;
};

class TIdAuthenticationManager : public TComponent {
public:
    explicit TIdAuthenticationManager(TComponent* AOwner = nullptr);

    // Appends an item: the URL's text without credentials and fragment, and a
    // copy of the object's Params. Raises EIdURIException for a URL without
    // protocol or host.
    void AddAuthentication(TIdAuthentication* AAuthentication, TIdURI& AURL);
    TIdAuthenticationCollection& Authentications() { return FAuthentications; }
    const TIdAuthenticationCollection& Authentications() const { return FAuthentications; }

private:
    TIdAuthenticationCollection FAuthentications;
};
