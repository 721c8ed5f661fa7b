// The per-call HTTP component and the API client against the real peers:
// each call on a connection of its own, every option group (TLS version,
// client certificate, trust, proxy, log) as the server or proxy sees it, and
// the API client's verbs, bodies and errors against httpbin.
#include "httpapi/kbvHTTP_API.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Format.h"
#include "http/kbvIdMultipartFormData.h"
#include "httpapi/kbvHTTP_Client.h"
#include "tests/support/Files.h"
#include "tests/support/MessageOf.h"
#include "tests/support/Peers.h"

namespace {

bool Contains(const std::string& AText, const std::string& APart) { return AText.find(APart) != std::string::npos; }

std::string Https(const std::string& APath, const char* APortName = "NGINX_HTTPS_PORT") {
    return "https://localhost:" + PeerPortText(APortName) + APath;
}

std::string Http(const std::string& APath) { return "http://localhost:" + PeerPortText("NGINX_HTTP_PORT") + APath; }

std::string HttpBin(const std::string& APath) { return "http://127.0.0.1:" + PeerPortText("HTTPBIN_PORT") + APath; }

std::string CertFile(const std::string& AName) { return *PeerSetting("NGINX_CERT_DIR") + "/" + AName; }

// A client that trusts the test CA.
void TrustPeers(TkbvIdHTTPTLS_Options& AOptions) { AOptions.SetRootCertFile(*PeerSetting("NGINX_CA_FILE")); }

// A component bounded in time that verifies nginx with the test CA.
void Prepare(TkbvIdHTTP& AHTTP) {
    AHTTP.SetConnectTimeout(10000);
    AHTTP.SetReadTimeout(10000);
    AHTTP.TLSOptions().SetVersion(tls1_2);
    AHTTP.TLSOptions().SetVerifyCertificate(true);
    TrustPeers(AHTTP.TLSOptions());
}

// A file of this process under the temporary directory, removed with the object.
class TScratchFile {
public:
    explicit TScratchFile(const std::string& AName)
        : FPath(std::filesystem::temp_directory_path().string() + "/kbv_httpapi_peer_" + std::to_string(getpid()) +
                "_" + AName) {}
    ~TScratchFile() { std::remove(FPath.c_str()); }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

class HTTPAPIPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerPort("NGINX_HTTPS_PORT"))
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
        TrustPeers(FClient.TLSOptions());
    }
    TkbvHTTPAPI_client FClient;
};

// --- one component per call -------------------------------------------------------

// Two calls of one API client are two handshakes that share nothing: the
// second offers no session of the first. One component kept across a
// reconnect does resume, so the server would have shown sharing.
TEST_F(HTTPAPIPeers, EachCallIsAConnectionOfItsOwn) {
    for (int Call = 1; Call <= 2; ++Call) {
        const std::string Tls = FClient.Get(Https("/tls"));
        EXPECT_TRUE(Contains(Tls, "protocol=TLSv1.2\n")) << Call << ": " << Tls;
        EXPECT_TRUE(Contains(Tls, "session_reused=.\n")) << Call << ": " << Tls;
    }

    TkbvIdHTTP Kept;
    Prepare(Kept);
    EXPECT_TRUE(Contains(Kept.Get(Https("/tls")), "session_reused=.\n"));
    Kept.Disconnect();
    EXPECT_TRUE(Contains(Kept.Get(Https("/tls")), "session_reused=r\n"));
}

// --- TLS options -------------------------------------------------------------------

TEST_F(HTTPAPIPeers, TheTLSVersionIsTheOneTheServerSees) {
    struct TCase {
        TwsTLSVersions Version;
        const char* PortName;
        const char* Protocol;  // null: the handshake fails
    };
    const TCase Cases[] = {
        {tls1_2, "NGINX_HTTPS_PORT", "TLSv1.2"},      {tls1_3, "NGINX_HTTPS_PORT", "TLSv1.3"},
        {tlsUndefined, "NGINX_HTTPS_PORT", "TLSv1.3"}, {tlsUndefined, "NGINX_TLS12_PORT", "TLSv1.2"},
        {tls1_3, "NGINX_TLS12_PORT", nullptr},         {tls1_2, "NGINX_TLS13_PORT", nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.PortName) + " version " + std::to_string(Case.Version));
        FClient.TLSOptions().SetVersion(Case.Version);
        const std::string Answer = Case.Protocol ? FClient.Get(Https("/tls", Case.PortName))
                                                 : MessageOf([&] { FClient.Get(Https("/tls", Case.PortName)); });
        EXPECT_TRUE(Contains(Answer, Case.Protocol ? std::string("protocol=") + Case.Protocol
                                                   : "Error connecting with SSL.")) << Answer;
    }
}

TEST_F(HTTPAPIPeers, TheClientCertificateFromPEMOrPKCS12) {
    struct TCase {
        const char* Name;
        std::string Cert, Key, Password;
        const char* Answer;  // a part of the body, or of the error's message
    };
    const TCase Cases[] = {
        {"none", "", "", "", "HTTP/1.1 400 Bad Request. "},
        {"PEM", CertFile("client.crt"), CertFile("client.key"), "", "client=CN=kbv test client\n"},
        {"PEM, encrypted key", CertFile("client.crt"), CertFile("client-encrypted.key"), "keysecret",
         "client=CN=kbv test client\n"},
        {"PKCS#12", CertFile("client.p12"), "", "p12secret", "client=CN=kbv test client\n"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        FClient.TLSOptions().SetCertFile(Case.Cert);
        FClient.TLSOptions().SetKeyFile(Case.Key);
        FClient.TLSOptions().SetPassword(Case.Password);
        std::string Answer;
        FClient.SetOnHTTPAPIException([&](TObject*, Exception& E) { Answer = E.Message(); });
        Answer += FClient.Get(Https("/tls", "NGINX_CLIENTCERT_PORT"));
        EXPECT_TRUE(Contains(Answer, Case.Answer)) << Answer;
        if (Case.Cert.empty()) {
            EXPECT_TRUE(Contains(Answer, "No required SSL certificate was sent")) << Answer;
        }
    }
}

// Verification is on by default; the root certificate file is what makes
// the test CA trusted.
TEST_F(HTTPAPIPeers, TheRootCertFileDecidesVerification) {
    TkbvHTTPAPI_client Bare;
    const std::string Failure = MessageOf([&] { Bare.Get(Https("/tls")); });
    EXPECT_TRUE(Contains(Failure, "Certificate verification failed")) << Failure;
    Bare.TLSOptions().SetVerifyCertificate(false);
    EXPECT_TRUE(Contains(Bare.Get(Https("/tls")), "protocol=TLSv1.2\n"));
    EXPECT_TRUE(Contains(FClient.Get(Https("/tls")), "protocol=TLSv1.2\n"));
    // Trusted, yet for another name.
    const std::string Mismatch = MessageOf([&] { FClient.Get(Https("/tls", "NGINX_OTHERNAME_PORT")); });
    EXPECT_TRUE(Contains(Mismatch, "certificate is not valid for \"localhost\"")) << Mismatch;
}

// --- proxy --------------------------------------------------------------------------


// An https and a plain request through each proxy: the connection's peer is
// the proxy, the answer nginx's, and the proxy's log names the target as
// the client gave it.
TEST_F(HTTPAPIPeers, EveryProxyKindReachesNginx) {
    struct TCase {
        const char* Name;
        TwsProxy Type;
        const char* PortName;
        const char* User = nullptr;  // setting names of the login
        const char* Password = nullptr;
        const char* Log = nullptr;   // under PEER_DIR, with a line per target...
        const char* Line = nullptr;  // ...with this, "%s" the target's port
    };
    const TCase Cases[] = {
        {"squid", pxyHTTP, "SQUID_PORT", nullptr, nullptr, "squid/logs/access.log", " CONNECT localhost:%s - "},
        {"squid with login", pxyHTTP, "SQUID_AUTH_PORT", "SQUID_AUTH_USER", "SQUID_AUTH_PASS",
         "squid-auth/logs/access.log", " CONNECT localhost:%s pu "},
        {"dante, SOCKS 4", pxySocks4, "DANTE_PORT"},
        {"dante, SOCKS 5", pxySocks5, "DANTE_PORT"},
        {"microsocks, SOCKS 5 with login", pxySocks5, "MICROSOCKS_PORT", "MICROSOCKS_USER", "MICROSOCKS_PASS"},
        // The proxy, not the client, finds out what "localhost" is.
        {"socks4a.py, SOCKS 4A", pxySocks4A, "SOCKS4A_PORT", nullptr, nullptr, "socks4a/socks4a.log",
         "v4a user='' localhost:%s connected"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::optional<TPeerLogTail> Log;
        if (Case.Log)
            Log.emplace(Case.Log);
        {
            TkbvIdHTTP HTTP;
            Prepare(HTTP);
            HTTP.Proxy().SetEnabled(true);
            HTTP.Proxy().SetHost("127.0.0.1");
            HTTP.Proxy().SetPort(*PeerPort(Case.PortName));
            HTTP.Proxy().SetProxyType(Case.Type);
            if (Case.User) {
                HTTP.Proxy().SetUsername(*PeerSetting(Case.User));
                HTTP.Proxy().SetPassword(*PeerSetting(Case.Password));
            }
            const std::string Tls = HTTP.Get(Https("/tls"));
            EXPECT_TRUE(Contains(Tls, "protocol=TLSv1.2\nsni=localhost\n")) << Tls;
            ASSERT_TRUE(HTTP.Connected());
            EXPECT_EQ(HTTP.Socket()->Binding()->PeerPort(), *PeerPort(Case.PortName));

            const std::string Head = HTTP.Get(Http("/echo/headers"));
            EXPECT_EQ(Head.rfind("GET /echo/headers HTTP/1.1\r\n", 0), 0u) << Head;
            ASSERT_TRUE(HTTP.Connected());
            EXPECT_EQ(HTTP.Socket()->Binding()->PeerPort(), *PeerPort(Case.PortName));
        }
        for (const char* Target : {"NGINX_HTTPS_PORT", "NGINX_HTTP_PORT"}) {
            if (Log) {
                EXPECT_TRUE(Log->Has(Format(Case.Line, PeerPortText(Target).c_str()))) << Target;
            }
        }
    }
}

// --- log ------------------------------------------------------------------------------

TEST_F(HTTPAPIPeers, TheLogTranscribesAnHttpsExchange) {
    const TScratchFile LogFile("https.log");
    {
        TkbvIdHTTP HTTP;
        Prepare(HTTP);
        HTTP.SetLog(true);
        HTTP.LogOptions().SetFileName(LogFile.Path());
        EXPECT_TRUE(Contains(HTTP.Get(Https("/tls")), "protocol=TLSv1.2\n"));
    }
    const std::string Log = FileText(LogFile.Path());
    const size_t Connected = Log.find("Stat Connected.\r\n");
    const size_t Sent = Log.find("Sent ");
    const size_t Head = Log.find(": GET /tls HTTP/1.1\r\nHost: localhost:" + PeerPortText("NGINX_HTTPS_PORT") + "\r\n");
    const size_t Received = Log.find("Recv ");
    const size_t Status = Log.find(": HTTP/1.1 200 OK\r\n");
    const size_t Body = Log.find("protocol=TLSv1.2\nsni=localhost\n");
    const size_t Disconnected = Log.find("Stat Disconnected.\r\n");
    EXPECT_EQ(Connected, 0u) << Log;
    EXPECT_LT(Connected, Sent) << Log;
    EXPECT_LT(Sent, Head) << Log;
    EXPECT_LT(Head, Received) << Log;
    EXPECT_LT(Received, Status) << Log;
    EXPECT_LT(Status, Body) << Log;
    EXPECT_NE(Disconnected, std::string::npos) << Log;
    EXPECT_EQ(Disconnected + 20, Log.size()) << Log;
}

// --- the API client against httpbin -----------------------------------------------

// An HTTP error becomes "<status line>. <body>".
TEST_F(HTTPAPIPeers, ErrorsCarryTheStatusLineAndTheBody) {
    EXPECT_EQ(MessageOf([&] { FClient.Get(HttpBin("/status/404")); }), "HTTP/1.1 404 NOT FOUND. ");
    EXPECT_EQ(MessageOf([&] { FClient.Get(Https("/notfound")); }), "HTTP/1.1 404 Not Found. not found here\n");
}

// Verbs, header lists and bodies as httpbin's /anything received them.
TEST_F(HTTPAPIPeers, VerbsAndBodiesArriveAsSent) {
    TStringList Headers;
    Headers.Add("Content-Type: application/json");
    Headers.Add("X-Kbv-Call: peer");
    const std::string Json = "{\"q\":\"caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80\"}";
    struct TCase {
        const char* Method;
        std::function<std::string()> Call;
        std::string Data;  // what the request carried
    };
    const TCase Cases[] = {
        {"POST", [&] { return FClient.Post(HttpBin("/anything"), Json, &Headers); }, Json},
        {"PUT", [&] { return FClient.Put(HttpBin("/anything"), Json, &Headers); }, Json},
        {"PATCH", [&] { return FClient.Patch(HttpBin("/anything"), Json, &Headers); }, Json},
        {"DELETE", [&] { return FClient.Delete(HttpBin("/anything"), &Headers, Json); }, Json},
        {"DELETE", [&] { return FClient.Delete(HttpBin("/anything"), &Headers); }, ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Method) + (Case.Data.empty() ? " without a body" : ""));
        const nlohmann::json Echo = nlohmann::json::parse(Case.Call());
        EXPECT_EQ(Echo["method"], Case.Method);
        EXPECT_EQ(Echo["data"], Case.Data);
        EXPECT_EQ(Echo["headers"]["X-Kbv-Call"], "peer");
        EXPECT_EQ(Echo["headers"].contains("Content-Length"), !Case.Data.empty()) << Echo.dump();
    }

    const TScratchFile Upload("train.jsonl");
    const std::string Lines = "{\"prompt\":\"a\"}\n{\"prompt\":\"b\"}\n";
    std::ofstream(Upload.Path(), std::ios::binary) << Lines;
    TIdMultiPartFormDataStream Form;
    Form.AddFormField("purpose", "fine-tune");
    Form.AddFile("file", Upload.Path(), "application/jsonl");
    const nlohmann::json Echo = nlohmann::json::parse(FClient.Post(HttpBin("/anything"), "not sent", nullptr, &Form));
    EXPECT_EQ(Echo["form"], nlohmann::json({{"purpose", "fine-tune"}})) << Echo.dump();
    EXPECT_EQ(Echo["files"], nlohmann::json({{"file", Lines}})) << Echo.dump();
    EXPECT_EQ(Echo["data"], "");
    EXPECT_TRUE(Contains(Echo["headers"]["Content-Type"], "multipart/form-data; boundary=")) << Echo.dump();
}

// --- server-sent events --------------------------------------------------------------

// A body that is no event stream (five bytes, one a second apart, no line
// break) gives no message, and the call ends with the body.
TEST_F(HTTPAPIPeers, GetSSEOverABodyWithoutEvents) {
    TkbvIdHTTP HTTP;
    Prepare(HTTP);
    int Messages = 0;
    HTTP.SetOnSSEMessage([&](TObject*, const std::string&, bool&) { ++Messages; });
    const auto Start = std::chrono::steady_clock::now();
    HTTP.GetSSE(HttpBin("/drip?numbytes=5&duration=1"));
    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    EXPECT_EQ(Messages, 0);
    EXPECT_EQ(HTTP.ResponseCode(), 200);
    EXPECT_LT(Seconds, 5.0);
}

}  // namespace
