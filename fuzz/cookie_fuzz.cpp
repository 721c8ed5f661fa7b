// Set-Cookie values from a peer through the cookie store, and the cookie date
// rule alone. Besides crashes, a finding is a Cookie line that carries CR, LF
// or NUL, or a store that outgrows its bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/StringList.h"
#include "fuzz/FuzzSupport.h"
#include "http/kbvIdCookie.h"
#include "http/kbvIdCookieManager.h"
#include "http/kbvIdHeaderList.h"
#include "http/kbvIdURI.h"

namespace {

void Fail(const char* AWhat, const std::string& AText) {
    std::fprintf(stderr, "%s: \"%s\"\n", AWhat, AText.c_str());
    std::abort();
}

void CheckCookieLine(TIdCookieManager& AManager, const std::string& AURL) {
    TIdURI URI(AURL);
    TIdHeaderList Headers(QuoteHTTP);
    AManager.GenerateClientCookies(URI, URI.Protocol() == "https", Headers);
    const std::string Line = Headers.Values("Cookie");
    if (Line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        Fail("a Cookie line with CR, LF or NUL", Line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string Input(reinterpret_cast<const char*>(AData), ASize);
    Try([&] { CookieStrToLocalDateTime(Input); });
    Try([&] {
        TIdCookieManager Manager;
        TIdURI URI("https://www.example.co.uk/dir/page?q=1");
        Manager.AddServerCookie(Input, URI);
        // Each line as its own Set-Cookie value, as a response with many would give.
        TStringList Lines;
        Lines.SetText(Input);
        Manager.AddServerCookies(Lines, URI);
        Manager.CookieCollection().AddClientCookies(Input);
        if (Manager.CookieCollection().Count() > IdCookieMaxTotal)
            Fail("a store over its bound", Input);
        for (int I = 0; I < Manager.CookieCollection().Count(); ++I)
            Manager.CookieCollection().Cookies(I).CookieText();
        CheckCookieLine(Manager, "https://www.example.co.uk/dir/sub/");
        CheckCookieLine(Manager, "http://a.example.co.uk/");
    });
    return 0;
}
