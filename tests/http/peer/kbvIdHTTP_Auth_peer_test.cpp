// Authentication against real servers: Basic on nginx and httpbin, Digest on
// apache2 (mod_auth_digest) and httpbin, Basic, Digest and NTLM on squid as a
// forward proxy and for CONNECT; and where credentials go on a redirect, as
// the logs of both servers saw it.
#include "http/kbvIdHTTP.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/Streams.h"
#include "http/kbvIdAuthentication.h"
#include "http/kbvIdAuthenticationDigest.h"
#include "http/kbvIdAuthenticationNTLM.h"
#include "net/kbvIdSSLOpenSSL.h"
#include "tests/support/Files.h"
#include "tests/support/MessageOf.h"
#include "tests/support/Peers.h"

namespace {

// Challenges answered within the call, the request sent again at once.
void AnswerInProcess(TIdHTTP& AHTTP) {
    TIdHTTPOptions Options = AHTTP.HTTPOptions();
    Options.Include(hoInProcessAuth);
    AHTTP.SetHTTPOptions(Options);
}

std::string Url(const char* APortName, const std::string& APath, const std::string& AHost = "127.0.0.1") {
    return "http://" + AHost + ":" + PeerPortText(APortName) + APath;
}

// A client that answers challenges in the exchange, every wait bounded.
class AuthPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerPort("APACHE_PORT"))
            GTEST_SKIP() << "no peers: run through ctest (-L peer)";
        AnswerInProcess(HTTP);
        HTTP.SetConnectTimeout(10000);
        HTTP.SetReadTimeout(10000);
    }
    std::string Get(const std::string& AURL) { return HTTP.Get(AURL); }
    void Login(const std::string& AUser, const std::string& APassword) {
        HTTP.Request().SetUsername(AUser);
        HTTP.Request().SetPassword(APassword);
    }

    TIdHTTP HTTP;
};

TEST_F(AuthPeers, BasicOnNginxAndHttpbin) {
    struct TCase {
        std::string URL, User, Password;
    };
    const std::vector<TCase> Cases = {
        {Url("NGINX_HTTP_PORT", "/auth/basic/"), "basicuser", "basicpass"},
        {Url("NGINX_HTTP_PORT", "/auth/basic/"), "Aladdin", "open sesame"},
        {Url("NGINX_HTTP_PORT", "/auth/basic/"), "emptypass", ""},
        {Url("NGINX_HTTP_PORT", "/auth/basic-utf8/"), "utf8user", "pässwörd"},  // the challenge asks for UTF-8
        {Url("HTTPBIN_PORT", "/basic-auth/user/passwd"), "user", "passwd"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.URL + " " + Case.User);
        TIdHTTP Client;
        AnswerInProcess(Client);
        Client.Request().SetUsername(Case.User);
        Client.Request().SetPassword(Case.Password);
        EXPECT_NO_THROW(Client.Get(Case.URL));
        EXPECT_EQ(Client.ResponseCode(), 200);
        EXPECT_EQ(Client.AuthRetries(), 1);
        EXPECT_TRUE(dynamic_cast<TIdBasicAuthentication*>(Client.Request().Authentication()));
    }

    // A wrong password is answered until MaxAuthRetries, then the 401 stands.
    Login("basicuser", "wrong");
    EXPECT_EQ(MessageOf([&] { Get(Url("NGINX_HTTP_PORT", "/auth/basic/")); }).rfind("HTTP/1.1 401", 0), 0u);
    EXPECT_EQ(HTTP.AuthRetries(), HTTP.MaxAuthRetries());
}

TEST_F(AuthPeers, DigestOnApacheAndHttpbin) {
    TPeerLogTail ApacheLog("apache2/logs/access.log");
    const std::string User = *PeerSetting("DIGEST_USER"), Password = *PeerSetting("DIGEST_PASS");
    Login(User, Password);
    EXPECT_NO_THROW(Get(Url("APACHE_PORT", "/digest/")));
    auto* Digest = dynamic_cast<TIdDigestAuthentication*>(HTTP.Request().Authentication());
    ASSERT_TRUE(Digest);
    const std::string Nonce = Digest->Nonce();

    // The same nonce counts on; a POST body is no obstacle.
    TStringStream Body("field=value");
    EXPECT_NO_THROW(HTTP.Post(Url("APACHE_PORT", "/digest/"), &Body));
    EXPECT_EQ(HTTP.ResponseCode(), 200);
    // apache challenges each request afresh: a new nonce counts from 1 again.
    EXPECT_NE(Digest->Nonce(), Nonce);
    EXPECT_EQ(Digest->NonceCount(), 2u);  // 00000001 was sent
    EXPECT_TRUE(ApacheLog.Has("nc=00000001"));

    // httpbin checks qop auth and auth-int, the body included.
    for (const char* Qop : {"auth", "auth-int"}) {
        SCOPED_TRACE(Qop);
        TIdHTTP Client;
        AnswerInProcess(Client);
        Client.Request().SetUsername("user");
        Client.Request().SetPassword("passwd");
        const std::string Target = Url("HTTPBIN_PORT", std::string("/digest-auth/") + Qop + "/user/passwd/MD5");
        EXPECT_NO_THROW(Client.Get(Target));
        EXPECT_EQ(Client.ResponseCode(), 200);
    }

    // An algorithm other than MD5 is refused by name.
    TIdHTTP Sha;
    AnswerInProcess(Sha);
    Sha.Request().SetUsername("user");
    Sha.Request().SetPassword("passwd");
    EXPECT_EQ(MessageOf([&] { Sha.Get(Url("HTTPBIN_PORT", "/digest-auth/auth/user/passwd/SHA-256")); }),
              "Unsupported hash algorithm. This implementation supports only MD5 encoding.");
}

TEST_F(AuthPeers, AStaleNonceIsAnsweredWithoutAskingAgain) {
    int Asked = 0;
    HTTP.SetOnAuthorization([&](TObject*, TIdAuthentication* AAuth, bool& Handled) {
        ++Asked;
        AAuth->SetUsername(*PeerSetting("DIGEST_USER"));
        AAuth->SetPassword(*PeerSetting("DIGEST_PASS"));
        Handled = true;
    });
    // The scheme is chosen once, for the object the request then keeps.
    int Selected = 0;
    HTTP.SetOnSelectAuthorization([&](TObject*, TIdAuthenticationClass& AClass, TIdHeaderList&) {
        ++Selected;
        EXPECT_EQ(AClass, FindAuthSchemeClass("digest"));
    });
    // No credentials set: the program is asked, once.
    EXPECT_NO_THROW(Get(Url("APACHE_PORT", "/digest-stale/")));
    EXPECT_EQ(Asked, 1);
    const std::string First = dynamic_cast<TIdDigestAuthentication&>(*HTTP.Request().Authentication()).Nonce();
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));  // past the nonce's life
    EXPECT_NO_THROW(Get(Url("APACHE_PORT", "/digest-stale/")));
    auto& Digest = dynamic_cast<TIdDigestAuthentication&>(*HTTP.Request().Authentication());
    EXPECT_NE(Digest.Nonce(), First);
    EXPECT_EQ(Asked, 1);
    EXPECT_EQ(Selected, 1);
}

// Squid offers NTLM, Digest and Basic; the selection event picks each.
TEST_F(AuthPeers, ProxyAuthenticationForForwardAndTunnel) {
    struct TScheme {
        const char* Name;
        std::string User, Password;
    };
    const std::vector<TScheme> Schemes = {
        {"Basic", *PeerSetting("SQUID_AUTH_USER"), *PeerSetting("SQUID_AUTH_PASS")},
        {"Digest", *PeerSetting("SQUID_DIGEST_USER"), *PeerSetting("SQUID_DIGEST_PASS")},
        {"NTLM", "KBV\\ntlmuser", "ntlmpass"},
    };
    for (const TScheme& Scheme : Schemes)
        for (bool TLS : {false, true}) {
            SCOPED_TRACE(std::string(Scheme.Name) + (TLS ? " CONNECT" : " forward"));
            TIdHTTP Client;
            AnswerInProcess(Client);
            Client.SetReadTimeout(10000);
            auto* Handler = new TIdSSLIOHandlerSocketOpenSSL(&Client);
            Handler->SSLOptions().SetMethod(sslvSSLv23);
            Handler->SSLOptions().SetVerifyMode({sslvrfPeer});
            Handler->SSLOptions().SetRootCertFile(*PeerSetting("NGINX_CA_FILE"));
            Client.SetIOHandler(Handler);
            Client.ProxyParams().SetProxyServer("127.0.0.1");
            Client.ProxyParams().SetProxyPort(*PeerPort("SQUID_MULTIAUTH_PORT"));
            Client.ProxyParams().SetProxyUsername(Scheme.User);
            Client.ProxyParams().SetProxyPassword(Scheme.Password);
            std::vector<std::string> Offered;
            Client.SetOnSelectProxyAuthorization(
                [&](TObject*, TIdAuthenticationClass& AClass, TIdHeaderList& AInfo) {
                    for (int I = 0; I < AInfo.Count(); ++I)
                        Offered.push_back(AInfo.Strings(I).substr(0, AInfo.Strings(I).find(' ')));
                    AClass = FindAuthSchemeClass(Scheme.Name);
                });
            const std::string Target = TLS ? "https://localhost:" + PeerPortText("NGINX_HTTPS_PORT") + "/files/size-1024.bin"
                                           : Url("NGINX_HTTP_PORT", "/files/size-1024.bin", "localhost");
            TStringStream Got;
            EXPECT_NO_THROW(Client.Get(Target, &Got));
            EXPECT_EQ(Client.ResponseCode(), 200);
            EXPECT_EQ(Got.DataString().size(), 1024u);
            EXPECT_EQ(Offered.size(), 3u);
        }
}

// Credentials stay with the origin the call started with.
TEST_F(AuthPeers, ARedirectToAnotherServerCarriesNoCredentials) {
    TPeerLogTail Nginx("nginx/logs/access.log");
    TPeerLogTail Apache("apache2/logs/access.log");
    HTTP.SetHandleRedirects(true);
    Login("basicuser", "basicpass");
    HTTP.Request().SetBasicAuthentication(true);
    HTTP.Request().CustomHeaders().Add("Cookie: session=s3cret");
    EXPECT_NO_THROW(Get(Url("NGINX_HTTP_PORT", "/redir/to-apache")));
    EXPECT_EQ(HTTP.ResponseCode(), 200);
    // nginx got both; apache neither (its log shows "-" for each).
    EXPECT_TRUE(Nginx.Has("Basic YmFzaWN1c2VyOmJhc2ljcGFzcw=="));
    EXPECT_TRUE(Nginx.Has("session=s3cret"));
    ASSERT_TRUE(Apache.Has("/plain/hello.txt"));
    const std::string ApacheLog = FileText(*PeerSetting("APACHE_ACCESS_LOG"));
    EXPECT_EQ(ApacheLog.find("YmFzaWN1c2Vy"), std::string::npos);
    EXPECT_EQ(ApacheLog.find("s3cret"), std::string::npos);
}

}  // namespace
