#include "http/kbvIdAuthenticationManager.h"

#include "core/Exceptions.h"
#include "http/kbvIdAuthentication.h"

TIdAuthenticationItem* TIdAuthenticationCollection::Add() {
    FItems.push_back(std::make_unique<TIdAuthenticationItem>());
    return FItems.back().get();
}

TIdAuthenticationItem* TIdAuthenticationCollection::Items(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        RaiseListIndexError(AIndex);
    return FItems[static_cast<size_t>(AIndex)].get();
}

void TIdAuthenticationCollection::Delete(int AIndex) {
    Items(AIndex);
    FItems.erase(FItems.begin() + AIndex);
}

TIdAuthenticationManager::TIdAuthenticationManager(TComponent* AOwner) : TComponent(AOwner) {}

void TIdAuthenticationManager::AddAuthentication(TIdAuthentication* AAuthentication, TIdURI& AURL) {
    // Read first: a URL that cannot be rebuilt adds nothing.
    const std::string Text = AURL.URI();
    TIdAuthenticationItem* Item = FAuthentications.Add();
    Item->URL().SetURI(Text);
    if (AAuthentication)
        Item->Params().Assign(AAuthentication->Params());
}
