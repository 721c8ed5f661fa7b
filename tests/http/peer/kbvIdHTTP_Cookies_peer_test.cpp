// Cookies against httpbin, reached under several host names through squid
// (its own hosts file maps www.kbv.test, api.kbv.test, kbv.test and
// other.test to the loopback): what a site sets comes back to it, to its
// sub-domains when it said so, and to no other site.
#include "http/kbvIdHTTP.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http/kbvIdCookieManager.h"
#include "tests/support/Peers.h"

namespace {

using json = nlohmann::json;

class CookiePeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerPort("SQUID_PORT"))
            GTEST_SKIP() << "no peers: run through ctest (-L peer)";
        HTTP.ProxyParams().SetProxyServer("127.0.0.1");
        HTTP.ProxyParams().SetProxyPort(*PeerPort("SQUID_PORT"));
        HTTP.SetHandleRedirects(true);
        HTTP.SetReadTimeout(10000);
        HTTP.SetCookieManager(&Cookies);
    }
    static std::string At(const std::string& AHost, const std::string& APath) {
        return "http://" + AHost + ":" + PeerPortText("HTTPBIN_PORT") + APath;
    }
    // Sets the cookie through httpbin's header echo on AHost.
    void Set(const std::string& AHost, const std::string& ASetCookie) {
        std::string Encoded;
        for (unsigned char C : ASetCookie)
            Encoded += isalnum(C) ? std::string(1, static_cast<char>(C)) : "%" + std::string(1, "0123456789ABCDEF"[C >> 4]) +
                                                                        std::string(1, "0123456789ABCDEF"[C & 15]);
        HTTP.Get(At(AHost, "/response-headers?Set-Cookie=" + Encoded));
    }
    // The Cookie line AHost received for APath ("" for none).
    std::string Sent(const std::string& AHost, const std::string& APath = "/headers") {
        const json Echo = json::parse(HTTP.Get(At(AHost, APath)));
        return Echo["headers"].value("Cookie", "");
    }

    TIdCookieManager Cookies;  // declared first: outlives the client that uses it
    TIdHTTP HTTP;
};

TEST_F(CookiePeers, EachSiteGetsItsOwnCookies) {
    // httpbin sets a cookie and redirects to /cookies on the same site.
    const json Jar = json::parse(HTTP.Get(At("www.kbv.test", "/cookies/set?visit=1")));
    EXPECT_EQ(Jar["cookies"]["visit"], "1");
    EXPECT_EQ(Sent("www.kbv.test"), "visit=1");
    EXPECT_EQ(Sent("api.kbv.test"), "");  // host-only
    EXPECT_EQ(Sent("other.test"), "");

    // A Domain cookie goes to the site and its sub-domains, never elsewhere.
    Set("www.kbv.test", "wide=1; Domain=.kbv.test; Path=/");
    Set("www.kbv.test", "foreign=1; Domain=other.test");
    Set("www.kbv.test", "tld=1; Domain=test");
    EXPECT_EQ(Sent("api.kbv.test"), "wide=1");
    EXPECT_EQ(Sent("kbv.test"), "wide=1");
    EXPECT_EQ(Sent("other.test"), "");

    // An address never takes a Domain cookie.
    Set("127.0.0.1", "ip=1; Domain=127.0.0.1");
    EXPECT_EQ(Sent("127.0.0.1"), "");
}

TEST_F(CookiePeers, PathsSecureExpiryAndDeletion) {
    Set("www.kbv.test", "root=1; Path=/");
    Set("www.kbv.test", "deep=2; Path=/headers");
    Set("www.kbv.test", "other=3; Path=/head");  // /headers does not lie under /head
    Set("www.kbv.test", "secure=4; Secure; Path=/");
    Set("www.kbv.test", "gone=5; Max-Age=0; Path=/");
    Set("www.kbv.test", "old=6; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Path=/");
    Set("www.kbv.test", "maxage=7; Max-Age=3600; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Path=/");
    // The longer path first; Secure stays off plain http; expired ones never come.
    EXPECT_EQ(Sent("www.kbv.test"), "deep=2; root=1; maxage=7");

    // A cookie already expired deletes the stored one of the same name, domain and path.
    Set("www.kbv.test", "root=; Expires=Thu, 01-Jan-98 00:00:00 GMT; Path=/");
    EXPECT_EQ(Sent("www.kbv.test"), "deep=2; maxage=7");
}

}  // namespace
